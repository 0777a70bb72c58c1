#include "cscache/cskeysinfo.h"

#include "support/fileutil.h"
#include "support/hextext.h"
#include "support/platform.h"
#include "support/stringutil.h"
#include "support/trace.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/EntityResolver.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace xercesc;

const char* const CCsKeysInfo::kEnvironmentVariable = "CSCONFIGFILE";
const char* const CCsKeysInfo::kDefaultFileName = "cskey_db.xml";

// What LoadXML parses: a file, or a buffer in memory.
struct CCsKeysInfo::Source {
    std::string name;
    const void* data = nullptr;  // null: read the file called name
    size_t size = 0;
};

namespace {

// Element and attribute names of the file, as parser characters. XMLCh is
// char16_t or wchar_t, as Xerces-C was configured, so the names are made
// from plain ASCII literals.
template <size_t N>
struct XmlName {
    XMLCh text[N];
    operator const XMLCh*() const { return text; }
};

template <size_t N>
constexpr XmlName<N> MakeXmlName(const char (&aAscii)[N])
{
    XmlName<N> name{};
    for (size_t i = 0; i < N; ++i) name.text[i] = static_cast<XMLCh>(aAscii[i]);
    return name;
}

constexpr auto kPsKeyDatabase = MakeXmlName("PSKEY_DATABASE");
constexpr auto kBuildIdAttr = MakeXmlName("BUILD_ID");
constexpr auto kNameAttr = MakeXmlName("NAME");
constexpr auto kIdAttr = MakeXmlName("ID");
constexpr auto kOffsetAttr = MakeXmlName("OFFSET");
constexpr auto kLengthAttr = MakeXmlName("LENGTH");
constexpr auto kMinAttr = MakeXmlName("MIN");
constexpr auto kMaxAttr = MakeXmlName("MAX");
constexpr auto kDescription = MakeXmlName("DESCRIPTION");
constexpr auto kLabel = MakeXmlName("LABEL");
constexpr auto kDefault = MakeXmlName("DEFAULT");
constexpr auto kDefaultValue = MakeXmlName("DEFAULTVALUE");
constexpr auto kEmpty = MakeXmlName("");

const size_t kExecutablePathBufferSize = 260;

[[noreturn]] void Fail(int32_t aCode)
{
    throw CCsKeysInfo::ReturnCode{aCode};
}

// Parser text in the local code page.
std::string Local(const XMLCh* aText)
{
    if (aText == nullptr) return std::string();
    // ASCII reads the same in every local code page; only other text needs
    // the transcoder.
    std::string ascii;
    const XMLCh* p = aText;
    for (; *p != 0 && *p < 0x80; ++p) ascii += static_cast<char>(*p);
    if (*p == 0) return ascii;
    char* local = XMLString::transcode(aText);
    if (local == nullptr) return std::string();
    std::string result(local);
    XMLString::release(&local);
    return result;
}

// Every external entity and DTD resolves to an empty document, so nothing
// outside the database file is ever opened or fetched. A database that
// needs one (an entity it uses) is refused after the parse: its content
// would not be what its author meant.
class EmptyEntityResolver : public XMLEntityResolver, public EntityResolver {
public:
    InputSource* resolveEntity(XMLResourceIdentifier*) override { return Empty(); }
    InputSource* resolveEntity(const XMLCh* const, const XMLCh* const) override { return Empty(); }
    bool Asked() const { return mAsked; }

private:
    InputSource* Empty()
    {
        mAsked = true;
        static const XMLByte nothing[1] = {0};
        return new MemBufInputSource(nothing, 0, kEmpty, false);
    }
    bool mAsked = false;
};

// Notes fatal errors. Without a handler the parser stops at the first
// fatal error but keeps the document built so far, so a truncated or broken
// file (or one stopped by the entity expansion limit) would load as if it
// were whole. Other errors and warnings do not count. Only the place of the
// first fatal error is kept, never the parser's text: that may quote what
// the parser read.
class FatalErrorNote : public ErrorHandler {
public:
    void warning(const SAXParseException&) override {}
    void error(const SAXParseException&) override {}
    void fatalError(const SAXParseException& aError) override
    {
        if (mFatal) return;
        mFatal = true;
        mLine = aError.getLineNumber();
        mColumn = aError.getColumnNumber();
    }
    void resetErrors() override { mFatal = false; }
    bool Fatal() const { return mFatal; }
    uint64_t Line() const { return mLine; }
    uint64_t Column() const { return mColumn; }

private:
    bool mFatal = false;
    uint64_t mLine = 0;
    uint64_t mColumn = 0;
};

// The DOM parser, noting whether the entity expansion limit stopped it.
// The external DTD is never read, so the document is parsed as if it had
// none: an entity it uses must be declared in the document itself, and one
// that only the external DTD could declare is a fatal error rather than
// text that silently goes missing.
class KeyDatabaseParser : public XercesDOMParser {
public:
    void error(const unsigned int aCode, const XMLCh* const aDomain, const XMLErrorReporter::ErrTypes aType,
               const XMLCh* const aText, const XMLCh* const aSystemId, const XMLCh* const aPublicId,
               const XMLFileLoc aLine, const XMLFileLoc aColumn) override
    {
        if (aCode == XMLErrs::EntityExpansionLimitExceeded) mExpansionLimit = true;
        if (aCode == XMLErrs::EntityNotFound) mUndeclaredEntity = true;
        XercesDOMParser::error(aCode, aDomain, aType, aText, aSystemId, aPublicId, aLine, aColumn);
    }
    void doctypeDecl(const DTDElementDecl& aElement, const XMLCh* const aPublicId, const XMLCh* const aSystemId,
                     const bool aHasInternalSubset, const bool aHasExternalSubset) override
    {
        XercesDOMParser::doctypeDecl(aElement, aPublicId, aSystemId, aHasInternalSubset, aHasExternalSubset);
        getScanner()->setHasNoDTD(true);
    }
    void endIntSubset() override
    {
        XercesDOMParser::endIntSubset();
        getScanner()->setHasNoDTD(true);
    }
    bool ExpansionLimit() const { return mExpansionLimit; }
    bool UndeclaredEntity() const { return mUndeclaredEntity; }

private:
    bool mExpansionLimit = false;
    bool mUndeclaredEntity = false;
};

// Reference to XMLPlatformUtils for the duration of one load.
class ParserPlatform {
public:
    ParserPlatform() { XMLPlatformUtils::Initialize("en_US"); }
    ~ParserPlatform() { XMLPlatformUtils::Terminate(); }
    ParserPlatform(const ParserPlatform&) = delete;
    ParserPlatform& operator=(const ParserPlatform&) = delete;
};

const XMLCh* AttributeValue(const DOMNamedNodeMap* aAttributes, const XMLCh* aName)
{
    const DOMNode* attribute = aAttributes->getNamedItem(aName);
    return attribute != nullptr ? attribute->getNodeValue() : nullptr;
}

// A required number: missing or not decimal fails the load with 12.
uint16_t RequiredNumber(const DOMNamedNodeMap* aAttributes, const XMLCh* aName)
{
    const XMLCh* value = AttributeValue(aAttributes, aName);
    uint16_t number = 0;
    if (value == nullptr || !CCsKeysInfo::ParseDecimal(Local(value), number)) Fail(kCsBadFormat);
    return number;
}

uint16_t OptionalNumber(const DOMNamedNodeMap* aAttributes, const XMLCh* aName, uint16_t aDefault)
{
    const XMLCh* value = AttributeValue(aAttributes, aName);
    if (value == nullptr) return aDefault;
    uint16_t number = 0;
    if (!CCsKeysInfo::ParseDecimal(Local(value), number)) Fail(kCsBadFormat);
    return number;
}

// The text of an element: the value of its first child node (empty when it
// has none).
std::string FirstChildText(const DOMNode* aNode)
{
    const DOMNode* child = aNode->getFirstChild();
    return child != nullptr ? Local(child->getNodeValue()) : std::string();
}

// DEFAULT holds one or more DEFAULTVALUE elements. Nodes that are not
// elements (the white space of an indented file, comments) may stand between
// them but need not: a minified or reformatted database reads the same.
// Any other element, a value that is no decimal number, or no value at all
// make the database invalid.
void ReadDefaults(const DOMNode* aDefault, std::vector<uint16_t>& aValues)
{
    bool any = false;
    for (const DOMNode* node = aDefault->getFirstChild(); node != nullptr; node = node->getNextSibling()) {
        if (node->getNodeType() != DOMNode::ELEMENT_NODE) continue;
        if (!XMLString::equals(node->getNodeName(), kDefaultValue)) Fail(kCsBadFormat);
        const DOMNode* text = node->getFirstChild();
        uint16_t value = 0;
        if (text == nullptr || !CCsKeysInfo::ParseDecimal(Local(text->getNodeValue()), value)) Fail(kCsBadFormat);
        aValues.push_back(value);
        any = true;
    }
    if (!any) Fail(kCsBadFormat);
}

CsKeyDetails ReadKey(const DOMElement* aKey)
{
    const DOMNamedNodeMap* attributes = aKey->getAttributes();
    if (attributes == nullptr || attributes->getLength() == 0) Fail(kCsBadFormat);
    CsKeyDetails details;
    const XMLCh* name = AttributeValue(attributes, kNameAttr);
    if (name == nullptr) Fail(kCsBadFormat);
    details.name = Local(name);
    details.id = RequiredNumber(attributes, kIdAttr);
    details.offset = RequiredNumber(attributes, kOffsetAttr);
    details.length = RequiredNumber(attributes, kLengthAttr);
    details.min = OptionalNumber(attributes, kMinAttr, 0);
    details.max = OptionalNumber(attributes, kMaxAttr, 0xFFFF);

    const DOMNode* child = aKey->getFirstChild();
    if (child == nullptr) Fail(kCsBadFormat);
    for (; child != nullptr; child = child->getNextSibling()) {
        const XMLCh* nodeName = child->getNodeName();
        if (XMLString::equals(nodeName, kDescription))
            details.description = FirstChildText(child);
        else if (XMLString::equals(nodeName, kLabel))
            details.label = FirstChildText(child);
        else if (XMLString::equals(nodeName, kDefault))
            ReadDefaults(child, details.defaultValues);
    }
    return details;
}

void ReadBuilds(const DOMDocument* aDocument, std::vector<uint16_t>& aBuildIds,
                std::vector<std::vector<CsKeyDetails>>& aKeyTable)
{
    const DOMElement* root = aDocument->getDocumentElement();
    if (root == nullptr) Fail(kCsBadFormat);
    const DOMElement* build = root;
    if (XMLString::equals(root->getNodeName(), kPsKeyDatabase)) {
        build = root->getFirstElementChild();
        if (build == nullptr) Fail(kCsBadFormat);
    }
    for (; build != nullptr; build = build->getNextElementSibling()) {
        const DOMNamedNodeMap* attributes = build->getAttributes();
        if (attributes == nullptr || attributes->getLength() == 0) Fail(kCsBadFormat);
        const XMLCh* buildIdText = AttributeValue(attributes, kBuildIdAttr);
        if (buildIdText == nullptr) Fail(kCsBadFormat);
        uint16_t buildId = 0;
        // A build whose ID is not a number is skipped without error.
        if (!CCsKeysInfo::ParseDecimal(Local(buildIdText), buildId)) continue;
        buildId = static_cast<uint16_t>(buildId & 0x7FFF);
        aBuildIds.push_back(buildId);
        if (aKeyTable.size() <= buildId) aKeyTable.resize(static_cast<size_t>(buildId) + 1);

        const DOMElement* key = build->getFirstElementChild();
        if (key == nullptr) Fail(kCsBadFormat);
        std::vector<CsKeyDetails> keys;
        for (; key != nullptr; key = key->getNextElementSibling()) keys.push_back(ReadKey(key));
        aKeyTable[buildId] = std::move(keys);
    }
}

// Reads a regular file whole: 11 when nothing (or no regular file) is
// there, 12 when it is too large or cannot be read whole. A FIFO, device or
// folder is refused without being read and without blocking.
int32_t ReadWholeFile(const std::string& aFilename, std::string& aContents, CCsKeysInfo::LoadProblem& aProblem)
{
    using Failure = CCsKeysInfo::LoadFailure;
    aProblem.failure = Failure::NotFound;
    if (aFilename.empty()) return kCsFileNotFound;
    platform::FileKind kind = platform::FileKind::Missing;
    std::FILE* f = platform::OpenRegularFileForReading(aFilename, kind);
    if (f == nullptr) {
        if (kind != platform::FileKind::Missing) {
            aProblem.failure = Failure::NotRegularFile;
            aProblem.what = platform::FileKindText(kind);
        }
        return kCsFileNotFound;
    }
    aProblem.failure = Failure::None;
    char buffer[65536];
    int32_t result = kCsOk;
    for (;;) {
        const size_t n = std::fread(buffer, 1, sizeof(buffer), f);
        if (n > 0) {
            if (aContents.size() + n > CCsKeysInfo::kMaxFileSize) {
                aProblem.failure = Failure::TooLarge;
                result = kCsBadFormat;
                break;
            }
            aContents.append(buffer, n);
        }
        if (n < sizeof(buffer)) {
            if (std::ferror(f) != 0) {
                aProblem.failure = Failure::ReadError;
                result = kCsBadFormat;
            }
            break;
        }
    }
    std::fclose(f);
    return result;
}

// ASCII letters in lower case, as the C locale's case-insensitive
// comparison sees them; other bytes unchanged.
std::string FoldCase(const std::string& aText)
{
    std::string folded = aText;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

}  // namespace

CCsKeysInfo::CCsKeysInfo(CMessageHandler& aHandler) : CEngine("CCsKeysInfo::CCsKeysInfo", aHandler)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::CCsKeysInfo");
}

CCsKeysInfo::~CCsKeysInfo()
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::~CCsKeysInfo");
}

bool CCsKeysInfo::ParseDecimal(const std::string& aText, uint16_t& aValue)
{
    // Leading white space as formatted extraction skips it; a sign, trailing
    // characters (trailing white space included) or an empty value make the
    // text invalid.
    size_t i = aText.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) return false;
    if (aText[i] == '+') ++i;
    if (i == aText.size()) return false;
    uint32_t value = 0;
    for (; i < aText.size(); ++i) {
        const char c = aText[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 0xFFFF) return false;
    }
    aValue = static_cast<uint16_t>(value);
    return true;
}

std::string CCsKeysInfo::CompressedIdList(std::vector<uint16_t> aIds)
{
    std::sort(aIds.begin(), aIds.end());
    aIds.erase(std::unique(aIds.begin(), aIds.end()), aIds.end());
    std::string text;
    size_t i = 0;
    while (i < aIds.size()) {
        size_t last = i;
        while (last + 1 < aIds.size() && aIds[last + 1] == aIds[last] + 1) ++last;
        if (!text.empty()) text += ", ";
        text += std::to_string(aIds[i]);
        if (last - i >= 2) {
            text += "-" + std::to_string(aIds[last]);
        } else if (last - i == 1) {
            text += ", " + std::to_string(aIds[last]);
        }
        i = last + 1;
    }
    return text;
}

int32_t CCsKeysInfo::LoadDatabase(const std::string& aXmlFile)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::LoadDatabase", "aXmlFile=>%s<", aXmlFile);
    std::string path;
    bool fromEnvironment = false;
    std::string environment;
    if (!aXmlFile.empty()) {
        path = aXmlFile;
    } else if (platform::GetEnv(kEnvironmentVariable, environment)) {
        stringutil::TrimLeadingAndTrailingWhitespace(environment);
        path = environment;
        fromEnvironment = true;
    } else {
        std::string executable = platform::ExecutablePath();
        if (executable.size() >= kExecutablePathBufferSize) executable.resize(kExecutablePathBufferSize - 1);
        std::string directory;
        fileutil::DeterminePathComponent(executable, directory);
        path = directory + kDefaultFileName;
    }

    const int32_t result = LoadXML(path);
    if (result != kCsOk) {
        std::string message = std::string("Cannot load key definition file: ") + " " + " '" + path + "'" + " ";
        if (fromEnvironment) message += std::string(kEnvironmentVariable) + " environment variable is invalid" + " ";
        message += " ";
        message += result == kCsFileNotFound ? "XML file not found" : "XML file is incorrect format";
        message += ".";
        ReportError(Handler(), result, message);
    }
    return result;
}

int32_t CCsKeysInfo::LoadXML(const std::string& aFilename)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::LoadXML", "aFilename=>%s<", aFilename);
    Source source;
    source.name = aFilename;
    return Load(source);
}

int32_t CCsKeysInfo::LoadXMLFromBuffer(const void* aData, size_t aSize, const std::string& aName)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::LoadXMLFromBuffer", "aName=>%s<", aName, "aSize=0x%x",
              static_cast<unsigned>(aSize));
    static const char nothing = 0;
    Source source;
    source.name = aName;
    source.data = aData != nullptr ? aData : &nothing;
    source.size = aData != nullptr ? aSize : 0;
    return Load(source);
}

int32_t CCsKeysInfo::Load(const Source& aSource)
{
    int32_t result = kCsOk;
    // Until the parse ends, a failure is taken for one the parser raised.
    mProblem = LoadProblem();
    mProblem.failure = LoadFailure::NotWellFormed;
    try {
        ParserPlatform platformUse;
        {
            EmptyEntityResolver resolver;
            SecurityManager security;
            security.setEntityExpansionLimit(kEntityExpansionLimit);

            FatalErrorNote fatalErrors;
            KeyDatabaseParser parser;
            mBuildIds.clear();
            mKeyTable.clear();
            mNameIndex.clear();
            mIndexedBuild = -1;

            // No grammar is ever loaded and validity errors never decide
            // anything, so the parser does not validate: that would only
            // spend time building messages nobody reads.
            parser.setValidationScheme(XercesDOMParser::Val_Never);
            parser.setDoNamespaces(false);
            parser.setDoSchema(false);
            parser.setValidationSchemaFullChecking(true);
            parser.setCreateEntityReferenceNodes(false);
            // Nothing outside the file is read: no external DTD, no default
            // resolution of entities to files or network addresses, every
            // remaining external entity resolves to nothing, and entity
            // expansion is bounded.
            parser.setLoadExternalDTD(false);
            parser.setDisableDefaultEntityResolution(true);
            parser.setXMLEntityResolver(&resolver);
            parser.setSecurityManager(&security);
            parser.setHandleMultipleImports(false);
            parser.setErrorHandler(&fatalErrors);

            try {
                if (aSource.data != nullptr) {
                    if (aSource.size > kMaxFileSize) {
                        mProblem.failure = LoadFailure::TooLarge;
                        Fail(kCsBadFormat);
                    }
                    MemBufInputSource input(static_cast<const XMLByte*>(aSource.data), aSource.size, kEmpty, false);
                    mProblem.failure = LoadFailure::NotWellFormed;
                    parser.parse(input);
                } else {
                    // The file is read whole and parsed from memory: faster
                    // than the parser's own file reading, and the name is
                    // never taken as a URL.
                    std::string contents;
                    const int32_t read = ReadWholeFile(aSource.name, contents, mProblem);
                    if (read != kCsOk) Fail(read);
                    MemBufInputSource input(reinterpret_cast<const XMLByte*>(contents.data()), contents.size(), kEmpty,
                                            false);
                    mProblem.failure = LoadFailure::NotWellFormed;
                    parser.parse(input);
                }
                if (fatalErrors.Fatal()) Fail(kCsBadFormat);
                if (resolver.Asked()) {
                    mProblem.failure = LoadFailure::ExternalEntity;
                    Fail(kCsBadFormat);
                }
                const DOMDocument* document = parser.getDocument();
                if (document == nullptr) {
                    mProblem.failure = LoadFailure::NotFound;
                    Fail(kCsFileNotFound);
                }
                mProblem.failure = LoadFailure::NotKeyDatabase;
                ReadBuilds(document, mBuildIds, mKeyTable);
                mProblem.failure = LoadFailure::None;
                mXmlFile = aSource.name;
            } catch (const ReturnCode& code) {
                result = code.code;
            } catch (...) {
                result = kCsBadFormat;
            }
            if (result != kCsOk && mProblem.failure == LoadFailure::NotWellFormed && fatalErrors.Fatal()) {
                mProblem.line = fatalErrors.Line();
                mProblem.column = fatalErrors.Column();
                mProblem.expansionLimit = parser.ExpansionLimit();
                mProblem.undeclaredEntity = parser.UndeclaredEntity();
            }
        }
    } catch (const ReturnCode& code) {
        result = code.code;
    } catch (...) {
        result = kCsBadFormat;
    }
    return result;
}

int32_t CCsKeysInfo::SetInterestedVersion(uint16_t aReqVersion)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::SetInterestedVersion", "aReqVersion=%d", aReqVersion);
    const uint16_t build = static_cast<uint16_t>(aReqVersion & 0x7FFF);
    if (IsLoaded() && build < mKeyTable.size() && !mKeyTable[build].empty()) {
        mSelectedBuild = build;
        return kCsOk;
    }
    std::string message;
    if (IsLoaded()) {
        message = std::string("XML file is wrong version for device") + "  " + "File: " + mXmlFile + " " +
                  "Requested: " + std::to_string(build) + " " + "XML contains: " + CompressedIdList(mBuildIds);
    } else {
        message = std::string("The XML file has not yet been loaded.") + " ";
    }
    ReportError(Handler(), kCsNoKeysForBuild, message);
    return kCsNoKeysForBuild;
}

void CCsKeysInfo::SelectNoBuild()
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::SelectNoBuild");
    // No build ID reaches this value (bit 15 is never part of one).
    mSelectedBuild = 0xFFFF;
}

const std::vector<CsKeyDetails>& CCsKeysInfo::KeysOfBuild(uint16_t aBuild) const
{
    static const std::vector<CsKeyDetails> kNone;
    const uint16_t build = static_cast<uint16_t>(aBuild & 0x7FFF);
    return build < mKeyTable.size() ? mKeyTable[build] : kNone;
}

const std::vector<CsKeyDetails>* CCsKeysInfo::SelectedKeys() const
{
    return mSelectedBuild < mKeyTable.size() ? &mKeyTable[mSelectedBuild] : nullptr;
}

int32_t CCsKeysInfo::KeyDetailsFromId(uint16_t aKeyId, CsKeyDetails& aDetails)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::KeyDetailsFromId", "aKeyId=%d", aKeyId, "&aDetails=0x%08p", &aDetails);
    if (const std::vector<CsKeyDetails>* keys = SelectedKeys()) {
        for (const CsKeyDetails& key : *keys) {
            if (key.id == aKeyId) {
                aDetails = key;
                return kCsOk;
            }
        }
    }
    ReportError(Handler(), kCsKeyNotFound,
                std::string("Key not found:") + " " + "Key ID: 0x" + hextext::Lower4(aKeyId) + "." + "  ");
    return kCsKeyNotFound;
}

int32_t CCsKeysInfo::KeyDetailsFromIndex(uint16_t aKeyIndex, CsKeyDetails& aDetails)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::KeyDetailsFromIndex", "aKeyIndex=%d", aKeyIndex, "&aDetails=0x%08p",
              &aDetails);
    // Build 0 is a build like any other: its keys are found by index too.
    const std::vector<CsKeyDetails>* keys = SelectedKeys();
    if (keys != nullptr && aKeyIndex < keys->size()) {
        aDetails = (*keys)[aKeyIndex];
        return kCsOk;
    }
    ReportError(Handler(), kCsKeyNotFound,
                std::string("Key not found:") + " " + "Key index: " + std::to_string(aKeyIndex) +
                    " not found in database version " + std::to_string(mSelectedBuild) + "." + "  ");
    return kCsKeyNotFound;
}

int32_t CCsKeysInfo::KeyField(int32_t (CCsKeysInfo::*aLookup)(uint16_t, CsKeyDetails&), uint16_t aKey,
                              uint16_t CsKeyDetails::*aField, uint16_t& aValue)
{
    CsKeyDetails details;
    const int32_t result = (this->*aLookup)(aKey, details);
    if (result == kCsOk) aValue = details.*aField;
    return result;
}

int32_t CCsKeysInfo::KeyIdFromIndex(uint16_t aKeyIndex, uint16_t& aKeyId)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::KeyIdFromIndex", "aKeyIndex=%d", aKeyIndex, "&aKeyId=0x%08p", &aKeyId);
    return KeyField(&CCsKeysInfo::KeyDetailsFromIndex, aKeyIndex, &CsKeyDetails::id, aKeyId);
}

int32_t CCsKeysInfo::KeyLength(uint16_t aKeyId, uint16_t& aLength)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::KeyLength", "aKeyId=%d", aKeyId, "&aLength=0x%08p", &aLength);
    return KeyField(&CCsKeysInfo::KeyDetailsFromId, aKeyId, &CsKeyDetails::length, aLength);
}

int32_t CCsKeysInfo::KeyIdFromName(const std::string& aName, uint16_t& aKeyId)
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::KeyIdFromName", "aName=>%s<", aName, "&aKeyId=0x%08p", &aKeyId);
    // The first key of the selected build whose name matches without regard
    // to letter case. The names of the build are indexed on the first lookup
    // after a change of build, so a lookup costs a hash, not a scan.
    if (const std::vector<CsKeyDetails>* keys = SelectedKeys()) {
        if (mIndexedBuild != static_cast<int32_t>(mSelectedBuild)) {
            mNameIndex.clear();
            mNameIndex.reserve(keys->size());
            for (size_t i = 0; i < keys->size(); ++i) mNameIndex.emplace(FoldCase((*keys)[i].name), i);
            mIndexedBuild = mSelectedBuild;
        }
        auto it = mNameIndex.find(FoldCase(aName));
        if (it != mNameIndex.end()) {
            aKeyId = (*keys)[it->second].id;
            return kCsOk;
        }
    }
    ReportError(Handler(), kCsKeyNotFound, "Unknown CS KEY \"" + aName + "\"");
    return kCsKeyNotFound;
}

uint16_t CCsKeysInfo::NumKeys()
{
    NVT_TRACE("cskeysinfo", "CCsKeysInfo::NumKeys");
    const std::vector<CsKeyDetails>* keys = SelectedKeys();
    return keys != nullptr ? static_cast<uint16_t>(std::min<size_t>(keys->size(), 0xFFFF)) : 0;
}
