#include "cscache/keyrfile.h"

#include "cscache/cskeysinfo.h"
#include "support/fileutil.h"
#include "support/hextext.h"
#include "support/platform.h"
#include "cscache/nvimagecache.h"
#include "cscache/nvimagecs.h"
#include "support/stringutil.h"
#include "support/trace.h"

#include <cstdio>
#include <sstream>

namespace {

using stringutil::Upper;

const char kSource[] = "targets";
// Separators between the parts of a key line.
const char kSeparators[] = " \t\r\n";

bool IsSeparator(char aCharacter)
{
    return aCharacter == ' ' || aCharacter == '\t' || aCharacter == '\r' || aCharacter == '\n';
}

// Removes blanks, tabs, CRs and LFs from both ends.
std::string TrimSeparators(const std::string& aText)
{
    size_t first = aText.find_first_not_of(kSeparators);
    if (first == std::string::npos) return std::string();
    size_t last = aText.find_last_not_of(kSeparators);
    return aText.substr(first, last - first + 1);
}

// A comment must stay on its comment line when written.
std::string OneLine(std::string aText)
{
    for (char& c : aText)
        if (c == '\r' || c == '\n') c = ' ';
    return aText;
}

// A database name can stand for its key in a written file only when it
// reads back as that name.
bool NameReadsBack(const std::string& aName, const std::string& aActions)
{
    if (aName.empty()) return false;
    if (aName.find_first_of(aActions) != std::string::npos) return false;
    if (aName.find_first_of(" \t\r\n#;") != std::string::npos) return false;
    return aName.find("//") == std::string::npos;
}

}  // namespace

// --- CPSRFileBase --------------------------------------------------------------

const char* const CPSRFileBase::kVersionMark = ">DECIMAL_CS_VERSION=";

CPSRFileBase::CPSRFileBase() = default;
CPSRFileBase::~CPSRFileBase() = default;

bool CPSRFileBase::LookUpKeyId(std::string, uint16_t&)
{
    return false;
}

bool CPSRFileBase::LookUpKeyName(uint16_t, std::string&)
{
    return false;
}

bool CPSRFileBase::AcceptVersion(uint16_t)
{
    return true;
}

bool CPSRFileBase::UsesVersion()
{
    return false;
}

bool CPSRFileBase::ParseHex(const std::string& aText, uint16_t& aValue)
{
    // Formatted extraction takes a leading plus sign, as the version line does.
    size_t at = (!aText.empty() && aText[0] == '+') ? 1 : 0;
    if (aText.size() >= at + 2 && aText[at] == '0' && (aText[at + 1] == 'x' || aText[at + 1] == 'X')) at += 2;
    if (at >= aText.size()) return false;
    uint32_t value = 0;
    for (; at < aText.size(); ++at) {
        const int digit = hextext::DigitValue(aText[at]);
        if (digit < 0) return false;
        value = value * 16 + static_cast<uint32_t>(digit);
        if (value > 0xFFFF) return false;
    }
    aValue = static_cast<uint16_t>(value);
    return true;
}

std::string CPSRFileBase::Position(uint32_t aColumn) const
{
    return "At line " + std::to_string(mLineNumber) + ", column " + std::to_string(aColumn + 1) + ": ";
}

bool CPSRFileBase::ReadFromFile(const std::string& aFilename)
{
    // A file that cannot be opened gives no lines, and so the error of the
    // missing version. Only a regular file is read: a FIFO or device is
    // never opened in a way that could block.
    std::string text;
    platform::FileKind kind = platform::FileKind::Missing;
    if (std::FILE* file = platform::OpenRegularFileForReading(aFilename, kind)) {
        char buffer[65536];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
        std::fclose(file);
    }
    // Every line is stripped of white space, so a CR LF line end reads as
    // a line end.
    std::istringstream input(text);
    return ReadFromStream(input);
}

bool CPSRFileBase::ReadFromStream(std::istream& aInput)
{
    mLineNumber = 0;
    mVersionSeen = false;
    std::string line;
    while (aInput && std::getline(aInput, line)) {
        ++mLineNumber;
        stringutil::TrimLeadingAndTrailingWhitespace(line);
        mLine = line;
        mColumn = 0;
        HandleLine();
    }
    if (!mVersionSeen && UsesVersion() && mErrorText.empty())
        mErrorText += std::string("The mandatory version string (signified by '") + kVersionMark +
                      "') has not been specified. ";
    return mErrorText.empty();
}

void CPSRFileBase::HandleLine()
{
    if (mLine.compare(0, std::char_traits<char>::length(kVersionMark), kVersionMark) == 0) {
        if (UsesVersion()) HandleVersionLine();
        return;
    }
    for (const char* mark : {"//", "#", ";"}) {
        size_t cut = mLine.find(mark);
        if (cut != std::string::npos) mLine.erase(cut);
    }
    if (mLine.empty()) return;
    HandleKeyLine();
}

void CPSRFileBase::HandleVersionLine()
{
    if (mVersionSeen) {
        mErrorText += std::string("The version string (signified by '") + kVersionMark +
                      "') may only be supplied once; the second instance appears on line " +
                      std::to_string(mLineNumber) + ". ";
        return;
    }
    uint16_t version = 0;
    // The number reads as the key database reads its numbers.
    if (!CCsKeysInfo::ParseDecimal(mLine.substr(std::char_traits<char>::length(kVersionMark)), version)) {
        mErrorText += std::string("The version string (signified by '") + kVersionMark +
                      "') does not specify a valid decimal number on line " + std::to_string(mLineNumber) + ". ";
        return;
    }
    mVersionSeen = true;
    mVersion = version;
    AcceptVersion(version);
}

void CPSRFileBase::HandleKeyLine()
{
    const char start = StartCharacter();
    if (mLine[0] != start) {
        mErrorText += Position(0) + "expected: '" + start + "', found: '" + mLine[0] + "'. Missing start character. ";
        return;
    }
    size_t keyStart = 1;
    while (keyStart < mLine.size() && IsSeparator(mLine[keyStart])) ++keyStart;
    if (keyStart >= mLine.size()) {
        mErrorText += Position(static_cast<uint32_t>(mLine.size())) +
                      "expected: <hex number>, found: nothing, Invalid key ID. ";
        return;
    }
    const std::string actions = ActionCharacters();
    const size_t actionAt = mLine.find_first_of(actions, keyStart);
    if (actionAt == std::string::npos) {
        mErrorText += Position(static_cast<uint32_t>(keyStart)) + "expected one of: [" + actions + "], found: '" +
                      mLine + "'. Invalid action. ";
        return;
    }
    const std::string key = TrimSeparators(mLine.substr(keyStart, actionAt - keyStart));
    uint16_t id = 0;
    if (!ResolveKey(key, id)) {
        mErrorText += Position(static_cast<uint32_t>(keyStart)) + "expected: <hex number>, found: '" +
                      mLine.substr(keyStart) + "'. Invalid key ID. ";
        return;
    }
    KeyFileEntry entry;
    entry.id = id;
    entry.action = ActionFromCharacter(mLine[actionAt]);
    mColumn = static_cast<uint32_t>(actionAt + 1);
    ParseValues(entry.action, entry.values);
    mEntries.push_back(std::move(entry));
}

void CPSRFileBase::ParseValues(int32_t, std::vector<uint16_t>& aValues)
{
    size_t at = mColumn;
    while (at < mLine.size()) {
        while (at < mLine.size() && IsSeparator(mLine[at])) ++at;
        if (at >= mLine.size()) break;
        // At most four digits per value; a leading plus sign is no digit.
        const size_t longest = mLine[at] == '+' ? 5 : 4;
        size_t end = at;
        while (end < mLine.size() && !IsSeparator(mLine[end]) && end - at < longest) ++end;
        uint16_t value = 0;
        if (!ParseHex(mLine.substr(at, end - at), value)) {
            mErrorText += Position(static_cast<uint32_t>(at)) + "expected: <hex number>, found: '" +
                          mLine.substr(at) + "'. Invalid data. ";
            return;
        }
        aValues.push_back(value);
        at = end;
    }
}

bool CPSRFileBase::WriteToFile(const std::string& aFilename)
{
    // The check keeps an existing file as it is, and the text goes to a
    // temporary file renamed over the old one: a failure leaves the old file.
    if (!fileutil::IsFileWriteable(aFilename, true, false, false, true)) {
        RecordWriteFailure(aFilename);
        return false;
    }
    std::ostringstream output;
    const std::string actions = ActionCharacters();
    output << kVersionMark << (mVersionSeen ? mVersion : 0) << "\n";
    for (const KeyFileEntry& entry : mEntries) {
        std::string name;
        const std::string comment = OneLine(entry.comment);
        if (LookUpKeyName(entry.id, name) && NameReadsBack(name, actions) && NameFindsId(name, entry.id)) {
            output << "// (" << hextext::Lower4(entry.id) << ")";
            if (!comment.empty()) output << " - " << comment;
            output << "\n" << StartCharacter() << name << " ";
        } else {
            if (!comment.empty()) output << "// " << comment << "\n";
            output << StartCharacter() << hextext::Lower4(entry.id) << " ";
        }
        const bool known = entry.action >= 0 && entry.action < static_cast<int32_t>(actions.size());
        output << (known ? actions[static_cast<size_t>(entry.action)] : '=');
        for (uint16_t value : entry.values) output << " " << hextext::Lower4(value);
        output << "\n";
    }
    if (!fileutil::WriteFileReplacing(aFilename, output.str())) {
        RecordWriteFailure(aFilename);
        return false;
    }
    return true;
}

bool CPSRFileBase::ResolveKey(const std::string& aKey, uint16_t& aKeyId)
{
    uint16_t number = 0;
    const bool isNumber = ParseHex(aKey, number);
    std::string name;
    if (isNumber && LookUpKeyName(number, name)) {
        aKeyId = number;
        return true;
    }
    if (LookUpKeyId(aKey, aKeyId)) return true;
    if (!isNumber) return false;
    aKeyId = number;
    return true;
}

void CPSRFileBase::RecordWriteFailure(const std::string& aFilename)
{
    // A link (or FIFO, device) where the file should be is named as the
    // reason: the file is never written through it.
    const std::string obstacle = fileutil::WriteObstacle(aFilename);
    if (obstacle.empty())
        mErrorText += "Unable to write to the file '" + aFilename + "'. ";
    else
        mErrorText += "Unable to write to the file '" + aFilename + "': it is " + obstacle + ". ";
}

bool CPSRFileBase::NameFindsId(const std::string& aName, uint16_t aKeyId)
{
    // The name stands for the key only when a reader resolves it to this
    // key (a name that is another key's ID, or that another key shares in
    // any case, does not).
    uint16_t found = 0;
    return ResolveKey(aName, found) && found == aKeyId;
}

// --- CKeyFile, CKeyrFile -------------------------------------------------------

bool CKeyFile::LookUpKeyId(std::string aKey, uint16_t& aKeyId)
{
    if (mKeysInfo == nullptr) return false;
    // Walks the selected build itself: a failed name lookup is no error here,
    // the key may still be a number.
    const std::string wanted = Upper(aKey);
    const uint16_t count = mKeysInfo->NumKeys();
    for (uint16_t i = 0; i < count; ++i) {
        CsKeyDetails details;
        if (mKeysInfo->KeyDetailsFromIndex(i, details) != kCsOk) return false;
        if (Upper(details.name) == wanted) {
            aKeyId = details.id;
            return true;
        }
    }
    return false;
}

bool CKeyFile::LookUpKeyName(uint16_t aKeyId, std::string& aName)
{
    if (mKeysInfo == nullptr) return false;
    const uint16_t count = mKeysInfo->NumKeys();
    for (uint16_t i = 0; i < count; ++i) {
        CsKeyDetails details;
        if (mKeysInfo->KeyDetailsFromIndex(i, details) != kCsOk) return false;
        if (details.id == aKeyId) {
            aName = Upper(details.name);
            return true;
        }
    }
    return false;
}

bool CKeyrFile::AcceptVersion(uint16_t aVersion)
{
    if (mKeysInfo == nullptr) return false;
    return mKeysInfo->SetInterestedVersion(aVersion) == kCsOk;
}

int32_t CKeyrFile::ActionFromCharacter(char aCharacter)
{
    switch (aCharacter) {
    case '=': return kKeyActionSet;
    case '+': return kKeyActionSetNotPresent;
    case '~': return kKeyActionSetAlways;
    case '-': return kKeyActionDelete;
    case '*': return kKeyActionDefault;
    default: return kKeyActionInvalid;
    }
}

void CKeyrFile::ParseValues(int32_t aAction, std::vector<uint16_t>& aValues)
{
    // These two texts end their parts with carriage returns where the others
    // use spaces; callers compare the texts as they have always been.
    if (aAction == kKeyActionDelete)
        mErrorText += Position(mColumn) + "'Delete' ('-') not supported.\r  Invalid action.\r";
    else if (aAction == kKeyActionSetNotPresent)
        mErrorText += Position(mColumn) + "'Set not present' ('+') not supported.\r  Invalid action.\r";
    CPSRFileBase::ParseValues(aAction, aValues);
}

// --- CKeyrObject ---------------------------------------------------------------

CKeyrObject::CKeyrObject()
{
    NVT_TRACE(kSource, "CKeyrObject::CKeyrObject");
}

CKeyrObject::~CKeyrObject()
{
    NVT_TRACE(kSource, "CKeyrObject::~CKeyrObject");
}

int32_t CKeyrObject::Initialise(CCsKeysInfo* aKeysInfo, const std::string& aFilename, bool aWriteOperation)
{
    NVT_TRACE(kSource, "CKeyrObject::Initialise", "&aKeysInfo=0x%08p", aKeysInfo, "aFilename=>%s<", aFilename,
              "aWriteOperation=%d", aWriteOperation);
    mKeysInfo = aKeysInfo;
    mFilename = aFilename;
    mKeyFile.reset(new CKeyrFile(aKeysInfo));
    if (aWriteOperation) return kCsOk;
    if (!mKeyFile->ReadFromFile(aFilename)) {
        ReportError(HandlerOf("CKeyrObject::Initialise"), kCsFileNotFound, mKeyFile->ErrorText());
        return kCsFileNotFound;
    }
    if (!mKeyFile->VersionSeen()) return kCsOk;
    if (mKeysInfo == nullptr) {
        ReportError(HandlerOf("CKeyrObject::Initialise"), kCsInternalError, "KEYR object not initialised");
        return kCsInternalError;
    }
    return mKeysInfo->SetInterestedVersion(mKeyFile->Version());
}

int32_t CKeyrObject::Write(CNvImageCs& aCsObject)
{
    NVT_TRACE(kSource, "CKeyrObject::Write", "&aCsObject=0x%08p", &aCsObject);
    if (mKeyFile == nullptr || mKeysInfo == nullptr) {
        ReportError(HandlerOf("CKeyrObject::Write"), kCsInternalError, "KEYR object not initialised");
        return kCsInternalError;
    }
    std::vector<uint16_t> data;
    int32_t status = aCsObject.ReadData(data);
    if (status != kCsOk) return status;
    if (data.empty()) {
        ReportError(HandlerOf("CKeyrObject::Write"), kCsNothingThere, "The cache has not been read/initialised yet");
        return kCsNothingThere;
    }
    mKeyFile->SetVersion(data[0]);
    const uint16_t count = mKeysInfo->NumKeys();
    for (uint16_t i = 0; i < count && status == kCsOk; ++i) {
        uint16_t id = 0;
        status = mKeysInfo->KeyIdFromIndex(i, id);
        CsKeyDetails details;
        if (status == kCsOk) status = mKeysInfo->KeyDetailsFromId(id, details);
        if (status != kCsOk) break;
        // A key the CS data do not reach would be written with made-up
        // values; the data are too short for this build.
        const size_t end = static_cast<size_t>(details.offset) + details.length;
        if (end > data.size()) {
            ReportError(HandlerOf("CKeyrObject::Write"), kCsNothingThere,
                        "The CS data end before key ID 0x" + hextext::Lower4(id) + " (" + details.name + ")");
            return kCsNothingThere;
        }
        KeyFileEntry entry;
        entry.id = id;
        entry.action = kKeyActionSet;
        entry.comment = details.label;
        entry.values.assign(data.begin() + details.offset, data.begin() + static_cast<std::ptrdiff_t>(end));
        mKeyFile->Entries().push_back(std::move(entry));
    }
    return status;
}

int32_t CKeyrObject::Flush()
{
    NVT_TRACE(kSource, "CKeyrObject::Flush");
    if (mKeyFile == nullptr) {
        ReportError(HandlerOf("CKeyrObject::Flush"), kCsInternalError, "KEYR object not initialised");
        return kCsInternalError;
    }
    if (!mKeyFile->WriteToFile(mFilename)) {
        ReportError(HandlerOf("CKeyrObject::Flush"), kCsFileWriteFailed, mKeyFile->ErrorText());
        return kCsFileWriteFailed;
    }
    return fileutil::MightUacMoveThisFile(mFilename) ? kCsWrittenMayBeRedirected : kCsOk;
}

int32_t CKeyrObject::Read(CNvImageCs& aCsObject, CNvImageCache& aCache)
{
    NVT_TRACE(kSource, "CKeyrObject::Read", "&aCsObject=0x%08p", &aCsObject, "&aCache=0x%08p", &aCache);
    CMessageHandler& handler = HandlerOf("CKeyrObject::Read");
    if (mKeyFile == nullptr || mKeysInfo == nullptr) {
        ReportError(handler, kCsInternalError, "KEYR object not initialised");
        return kCsInternalError;
    }
    aCsObject.Clear();
    if (!mKeyFile->VersionSeen()) {
        ReportError(handler, kCsInternalError, "The CS version has not been specified in the KEYR file");
        return kCsInternalError;
    }
    aCsObject.WriteData(0, std::vector<uint16_t>{mKeyFile->Version()});

    const std::vector<KeyFileEntry>& entries = mKeyFile->Entries();
    int32_t status = kCsOk;
    const uint16_t count = mKeysInfo->NumKeys();
    for (uint16_t i = 0; i < count && status == kCsOk; ++i) {
        CsKeyDetails details;
        status = mKeysInfo->KeyDetailsFromIndex(i, details);
        if (status != kCsOk) break;
        bool stored = false;
        for (size_t e = 0; e < entries.size() && status == kCsOk; ++e) {
            if (entries[e].id != details.id) continue;
            if (DebugEnabled(handler, kDebugDetail))
                DebugPrint(handler, kSource, __LINE__, kDebugDetail, false, false, "The key IDs are both %d (%s)",
                           static_cast<int>(details.id), details.name.c_str());
            if (entries[e].action == kKeyActionSet || entries[e].action == kKeyActionSetAlways) {
                status = aCache.WriteKey(details.id, entries[e].values);
                stored = true;
            }
        }
        if (!stored && status == kCsOk) {
            if (DebugEnabled(handler, kDebugDetail))
                DebugPrint(handler, kSource, __LINE__, kDebugDetail, false, false,
                           "The key with ID %d (%s) was not set in the file; so setting the default",
                           static_cast<int>(details.id), details.name.c_str());
            status = aCache.WriteKey(details.id, details.defaultValues);
        }
    }
    for (size_t e = 0; e < entries.size() && status == kCsOk; ++e) {
        CsKeyDetails details;
        status = mKeysInfo->KeyDetailsFromId(entries[e].id, details);
    }
    return status;
}

// --- The CS section's KEYR side ----------------------------------------------

int32_t CNvImageCs::Load(CKeyrObject& aKeyrObject, CNvImageCache& aCache)
{
    NVT_TRACE("nvimageinternals", "CNvImageCs::Load", "&aKeyrObject=0x%08p", &aKeyrObject, "&aCache=0x%08p",
              &aCache);
    const int32_t status = aKeyrObject.Read(*this, aCache);
    mModified = false;
    return status;
}

int32_t CNvImageCs::Save(CKeyrObject& aKeyrObject)
{
    NVT_TRACE("nvimageinternals", "CNvImageCs::Save", "&aKeyrObject=0x%08p", &aKeyrObject);
    int32_t status = aKeyrObject.Write(*this);
    if (status == kCsOk) status = aKeyrObject.Flush();
    if (status == kCsOk || status == kCsWrittenMayBeRedirected) mModified = false;
    return status;
}
