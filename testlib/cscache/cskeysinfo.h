// The CS key database: which keys the configuration store of each firmware
// build holds, where each key lies, how long it is, its range and default.
//
// The definitions come from an XML file. Its root element is either
// PSKEY_DATABASE, whose element children are build elements, or a build
// element itself. A build element carries BUILD_ID (bit 15 ignored); its
// element children are key elements with the attributes NAME, ID, OFFSET,
// LENGTH and optional MIN/MAX, and the optional children DESCRIPTION, LABEL
// and DEFAULT (DEFAULTVALUE elements, one per line). All numbers are plain
// decimal. After the CS data tells which build it belongs to, the user
// selects that build with SetInterestedVersion; the lookups then answer
// from that build's key list.
//
// A database may be hostile: only a regular file of at most kMaxFileSize
// bytes is read (a FIFO, device or folder is refused without blocking), the
// XML parser follows no external entity, external DTD or network address,
// and entity expansion is bounded. A database that uses an external entity
// is refused; an external DTD is ignored. No text this class gives holds
// anything read from another file.
#ifndef NVT_CSCACHE_CSKEYSINFO_H
#define NVT_CSCACHE_CSKEYSINFO_H

#include "cscache/csstatus.h"
#include "support/msghandler.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// One key of one firmware build.
struct CsKeyDetails {
    std::string name;
    std::string label;
    std::string description;
    std::vector<uint16_t> defaultValues;
    uint16_t offset = 0;  // word offset in the CS data (word 0 is the CS version)
    uint16_t length = 0;  // words
    uint16_t min = 0;
    uint16_t max = 0xFFFF;
    uint16_t id = 0;
};

class CCsKeysInfo : public CEngine {
public:
    // Raised inside the loader only; never leaves LoadXML.
    struct ReturnCode {
        int32_t code;
    };

    // Name of the environment variable that may name the database file.
    static const char* const kEnvironmentVariable;
    // File read beside the running program when nothing else names one.
    static const char* const kDefaultFileName;
    // Most entity expansions a database may cause.
    static const uint32_t kEntityExpansionLimit = 1000;
    // Largest database file read, 16 MiB: some 600 times the sample
    // database, and a bound on the memory a hostile file can claim.
    static const size_t kMaxFileSize = size_t{16} * 1024 * 1024;

    // Why the last load failed, for a caller that words its own text.
    enum class LoadFailure {
        None,
        NotFound,        // nothing at the path, or it cannot be opened (11)
        NotRegularFile,  // a FIFO, device or folder, refused unread (11)
        TooLarge,        // more than kMaxFileSize bytes (12)
        ReadError,       // the read failed part-way (12)
        NotWellFormed,   // not XML, or stopped by a parser limit (12)
        ExternalEntity,  // uses an external entity, which is never read (12)
        NotKeyDatabase,  // XML, but not laid out as a key database (12)
    };
    struct LoadProblem {
        LoadFailure failure = LoadFailure::None;
        std::string what;  // NotRegularFile: "a FIFO", "a device", "a folder"
        // NotWellFormed: where the parser stopped (0 when unknown), whether
        // the entity expansion limit stopped it, and whether an entity the
        // document does not declare itself did (an external DTD is never
        // read, so nothing it declares is known).
        uint64_t line = 0;
        uint64_t column = 0;
        bool expansionLimit = false;
        bool undeclaredEntity = false;
    };

    explicit CCsKeysInfo(CMessageHandler& aHandler);
    ~CCsKeysInfo() override;
    CCsKeysInfo(const CCsKeysInfo&) = delete;
    CCsKeysInfo& operator=(const CCsKeysInfo&) = delete;

    // Locates the file (aXmlFile, else $CSCONFIGFILE, else cskey_db.xml
    // beside the program) and loads it; reports a failure. 0, 11 or 12.
    int32_t LoadDatabase(const std::string& aXmlFile);
    // Parses one file into the tables. 0, 11 or 12.
    int32_t LoadXML(const std::string& aFilename);
    // Parses a database held in memory, as LoadXML does a file; aName is
    // recorded as the loaded file.
    int32_t LoadXMLFromBuffer(const void* aData, size_t aSize, const std::string& aName);

    // Selects a build (bit 15 ignored). 0 or 8.
    int32_t SetInterestedVersion(uint16_t aReqVersion);
    // Selects no build: every lookup then fails as for an unknown key, so
    // no key is placed with a layout that does not belong to the data.
    void SelectNoBuild();

    // Lookups in the selected build. 0 or 6.
    int32_t KeyDetailsFromId(uint16_t aKeyId, CsKeyDetails& aDetails);
    int32_t KeyDetailsFromIndex(uint16_t aKeyIndex, CsKeyDetails& aDetails);
    int32_t KeyIdFromIndex(uint16_t aKeyIndex, uint16_t& aKeyId);
    int32_t KeyLength(uint16_t aKeyId, uint16_t& aLength);
    int32_t KeyIdFromName(const std::string& aName, uint16_t& aKeyId);
    uint16_t NumKeys();

    // Why the last LoadXML or LoadXMLFromBuffer failed; failure None after
    // a successful one.
    const LoadProblem& LastLoadProblem() const { return mProblem; }
    // Every key of a build (bit 15 ignored), in file order; empty for a
    // build the database does not hold. With BuildIds() this enumerates
    // the whole database without selecting a build.
    const std::vector<CsKeyDetails>& KeysOfBuild(uint16_t aBuild) const;

    // State, for the owner and for tests.
    const std::string& LoadedFile() const { return mXmlFile; }
    bool IsLoaded() const { return !mXmlFile.empty(); }
    uint16_t SelectedBuild() const { return mSelectedBuild; }
    const std::vector<uint16_t>& BuildIds() const { return mBuildIds; }
    size_t KeyTableSize() const { return mKeyTable.size(); }

    // The build IDs sorted, repeats once, runs of three or more as
    // "first-last": 1, 2, 3, 5, 7, 8 gives "1-3, 5, 7, 8".
    static std::string CompressedIdList(std::vector<uint16_t> aIds);
    // The strict decimal rule of the file's numbers: optional leading white
    // space, digits up to the end, a value in 0..65535.
    static bool ParseDecimal(const std::string& aText, uint16_t& aValue);

private:
    struct Source;
    int32_t Load(const Source& aSource);
    const std::vector<CsKeyDetails>* SelectedKeys() const;
    // One field of a key found by aLookup; aValue is written only on success.
    int32_t KeyField(int32_t (CCsKeysInfo::*aLookup)(uint16_t, CsKeyDetails&), uint16_t aKey,
                     uint16_t CsKeyDetails::*aField, uint16_t& aValue);

    std::string mXmlFile;  // empty: no database loaded
    LoadProblem mProblem;
    uint16_t mSelectedBuild = 0;
    std::vector<uint16_t> mBuildIds;
    std::vector<std::vector<CsKeyDetails>> mKeyTable;  // indexed by build ID
    // Case-folded key names of one build to the first key of that name.
    std::unordered_map<std::string, size_t> mNameIndex;
    int32_t mIndexedBuild = -1;  // build mNameIndex describes; -1: none
};

#endif
