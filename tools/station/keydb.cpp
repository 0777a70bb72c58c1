#include "keydb.h"

#include "cscache/cskeysinfo.h"
#include "support/msghandler.h"

#include <cctype>
#include <filesystem>
#include <system_error>

namespace station {

namespace {

// Why the reader refused the file, naming the file. Never anything read
// from it (or from any other file): the reader gives only the kind of
// failure and a place in the file.
std::string RefusalText(const std::string& aPath, const CCsKeysInfo::LoadProblem& aProblem)
{
    using Failure = CCsKeysInfo::LoadFailure;
    const std::string quoted = "\"" + aPath + "\"";
    switch (aProblem.failure) {
    case Failure::NotFound: {
        std::error_code ec;
        if (std::filesystem::exists(aPath, ec)) return "the key database " + quoted + " cannot be read";
        return "the key database " + quoted + " does not exist";
    }
    case Failure::NotRegularFile:
        return "the key database " + quoted + " is " + aProblem.what + ", not a regular file";
    case Failure::TooLarge:
        return "the key database " + quoted + " is larger than " + std::to_string(CCsKeysInfo::kMaxFileSize) +
               " bytes";
    case Failure::ReadError:
        return "the key database " + quoted + " cannot be read";
    case Failure::ExternalEntity:
        return "the key database " + quoted + " uses an external entity, which is never read";
    case Failure::NotKeyDatabase:
        return quoted + " is not a CS key database";
    case Failure::NotWellFormed:
    case Failure::None:
        break;
    }
    std::string text = "the key database " + quoted + " cannot be parsed";
    std::string where;
    if (aProblem.expansionLimit)
        where = "more than " + std::to_string(CCsKeysInfo::kEntityExpansionLimit) + " entity expansions";
    else if (aProblem.undeclaredEntity)
        where = "an entity it does not declare itself";
    if (aProblem.line != 0) {
        if (!where.empty()) where += ", ";
        where += "line " + std::to_string(aProblem.line) + ", column " + std::to_string(aProblem.column);
    }
    return where.empty() ? text : text + " (" + where + ")";
}

}  // namespace

std::string Upper(std::string aText)
{
    for (char& c : aText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return aText;
}

const KeyInfo* KeyDatabase::Find(uint32_t aBuild, const std::string& aName) const
{
    auto build = builds.find(aBuild);
    if (build == builds.end()) return nullptr;
    auto key = build->second.find(Upper(aName));
    return key == build->second.end() ? nullptr : &key->second;
}

bool LoadKeyDatabase(const std::string& aPath, KeyDatabase& aDatabase, std::string& aError)
{
    aDatabase = KeyDatabase();
    // The library's own reader: the plan is checked against exactly the
    // builds, keys and limits the library will use, and a hostile file is
    // refused as the library refuses it. Its reports go to this program's
    // own message handler, which has no channels: the text is built here.
    CCsKeysInfo reader(TheMsgHnd::Instance().SharedHandler());
    if (reader.LoadXML(aPath) != kCsOk) {
        aError = RefusalText(aPath, reader.LastLoadProblem());
        return false;
    }
    for (uint16_t build : reader.BuildIds()) {
        // A build listed twice holds the keys of its last element, as in
        // the library; the map is then simply filled again alike.
        auto& keys = aDatabase.builds[build];
        keys.clear();
        for (const CsKeyDetails& key : reader.KeysOfBuild(build)) {
            KeyInfo info;
            info.name = key.name;
            info.offset = key.offset;
            info.length = key.length;
            info.min = key.min;
            info.max = key.max;
            // The library finds the first key of a name, whatever its case.
            keys.emplace(Upper(key.name), info);
        }
    }
    if (aDatabase.builds.empty()) {
        aError = "the key database \"" + aPath + "\" holds no builds";
        return false;
    }
    return true;
}

}  // namespace station
