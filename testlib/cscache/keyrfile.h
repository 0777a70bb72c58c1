// KEYR key files: a text list of CS keys by ID or name with their values,
// headed by the CS version.
//
//   >DECIMAL_CS_VERSION=5
//   // (0123) - My label
//   &PSKEY_A = 0001 002f
//   &0002 * 
//
// CPSRFileBase parses and writes the line syntax; the characters it uses
// are virtual so that related key-file dialects can share it. CKeyFile
// resolves key names through the key database, CKeyrFile fixes the KEYR
// dialect, and CKeyrObject moves the keys of a file into or out of an
// image's CS section.
//
// A key is given by ID (hexadecimal) or by name. A text that is the ID of a
// key of the selected build always means that key (see ResolveKey); a key
// whose name would read as another key's ID is therefore written by ID.
#ifndef NVT_CSCACHE_KEYRFILE_H
#define NVT_CSCACHE_KEYRFILE_H

#include "cscache/csstatus.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

class CCsKeysInfo;
class CNvImageCs;
class CNvImageCache;

// Action codes of a key line.
enum KeyFileAction : int32_t {
    kKeyActionSet = 0,            // "=": the key gets the listed values
    kKeyActionSetNotPresent = 1,  // "+": not supported in KEYR files
    kKeyActionSetAlways = 2,      // "~": as "="
    kKeyActionDelete = 3,         // "-": not supported in KEYR files
    kKeyActionDefault = 4,        // "*": the key gets its database default
    kKeyActionInvalid = 7
};

// One key line.
struct KeyFileEntry {
    uint16_t id = 0;
    std::vector<uint16_t> values;
    int32_t action = kKeyActionSet;
    std::string comment;  // written above the key line; empty when read
};

class CPSRFileBase {
public:
    // The mark of the version line.
    static const char* const kVersionMark;

    CPSRFileBase();
    virtual ~CPSRFileBase();

    virtual char StartCharacter() = 0;
    virtual std::string ActionCharacters() = 0;
    // Resolves a key given by name; the base knows no names.
    virtual bool LookUpKeyId(std::string aKey, uint16_t& aKeyId);
    virtual bool LookUpKeyName(uint16_t aKeyId, std::string& aName);
    virtual bool AcceptVersion(uint16_t aVersion);
    virtual bool UsesVersion();
    virtual int32_t ActionFromCharacter(char aCharacter) = 0;
    // Reads the value tokens of the current line from the current column.
    virtual void ParseValues(int32_t aAction, std::vector<uint16_t>& aValues);

    // Parses the file, appending entries; true when no error was recorded.
    bool ReadFromFile(const std::string& aFilename);
    // The same for text already open.
    bool ReadFromStream(std::istream& aInput);
    // Writes the version line and all entries, through a temporary file
    // renamed over the old one; false (with the write failure recorded, the
    // old file unchanged) when the file cannot be written. A key is written
    // by name only when that name reads back as the same key.
    bool WriteToFile(const std::string& aFilename);
    // All error messages recorded so far.
    std::string ErrorText() const { return mErrorText; }

    std::vector<KeyFileEntry>& Entries() { return mEntries; }
    const std::vector<KeyFileEntry>& Entries() const { return mEntries; }
    bool VersionSeen() const { return mVersionSeen; }
    uint16_t Version() const { return mVersion; }
    void SetVersion(uint16_t aVersion)
    {
        mVersion = aVersion;
        mVersionSeen = true;
    }

    CPSRFileBase(const CPSRFileBase&) = delete;
    CPSRFileBase& operator=(const CPSRFileBase&) = delete;

    // A whole token as an unsigned 16-bit hexadecimal number: an optional
    // "+", an optional "0x", at least one hexadecimal digit, nothing else.
    static bool ParseHex(const std::string& aText, uint16_t& aValue);

    // The key ID a key line's key text stands for. A hexadecimal number that
    // is the ID of a key of the selected build is that key, even when
    // another key's name reads the same: "&0002" written for key ID 2 reads
    // back into ID 2, not into a key named "0002". Otherwise the text is a
    // key name (any case, the first key of that name), and last any
    // hexadecimal number (a key the build may not have). False when it is
    // none of these.
    bool ResolveKey(const std::string& aKey, uint16_t& aKeyId);

protected:
    // Whether a reader would resolve aName to aKeyId.
    bool NameFindsId(const std::string& aName, uint16_t aKeyId);
    void HandleLine();
    void HandleVersionLine();
    void HandleKeyLine();
    // "At line L, column C: " with C counted from 1.
    std::string Position(uint32_t aColumn) const;
    // Records the write failure of aFilename, naming a link, FIFO or device
    // that stands where the file should be.
    void RecordWriteFailure(const std::string& aFilename);

    std::vector<KeyFileEntry> mEntries;
    std::string mLine;
    uint16_t mLineNumber = 0;
    uint32_t mColumn = 0;  // 0-based position in the current line
    bool mVersionSeen = false;
    uint16_t mVersion = 0;
    std::string mErrorText;
};

// Key files whose keys can be named as in the key database.
class CKeyFile : public CPSRFileBase {
public:
    explicit CKeyFile(CCsKeysInfo* aKeysInfo) : mKeysInfo(aKeysInfo) {}
    bool LookUpKeyId(std::string aKey, uint16_t& aKeyId) override;
    bool LookUpKeyName(uint16_t aKeyId, std::string& aName) override;

protected:
    CCsKeysInfo* mKeysInfo;  // not owned
};

class CKeyrFile : public CKeyFile {
public:
    explicit CKeyrFile(CCsKeysInfo* aKeysInfo) : CKeyFile(aKeysInfo) {}
    char StartCharacter() override { return '&'; }
    std::string ActionCharacters() override { return "=+~-*"; }
    // Selects the build of the version in the key database.
    bool AcceptVersion(uint16_t aVersion) override;
    bool UsesVersion() override { return true; }
    int32_t ActionFromCharacter(char aCharacter) override;
    // Records "-" and "+" as errors, then reads the values.
    void ParseValues(int32_t aAction, std::vector<uint16_t>& aValues) override;
};

// One KEYR file in one direction, as the image cache engine uses it.
class CKeyrObject {
public:
    CKeyrObject();
    virtual ~CKeyrObject();
    // Reading parses the whole file and selects its version in the key
    // database; writing only prepares. 0, 2, 8 or 11.
    virtual int32_t Initialise(CCsKeysInfo* aKeysInfo, const std::string& aFilename, bool aWriteOperation);
    // Writes the file; 1 when the system may have redirected it, 14 when it
    // could not be written.
    virtual int32_t Flush();
    // Rebuilds the CS section: the file's version, then every key of the
    // selected build with the file's values or its default.
    virtual int32_t Read(CNvImageCs& aCsObject, CNvImageCache& aCache);
    // Appends an entry for every key of the selected build with its value
    // in the CS section.
    virtual int32_t Write(CNvImageCs& aCsObject);

    CKeyrFile* KeyFile() { return mKeyFile.get(); }

    CKeyrObject(const CKeyrObject&) = delete;
    CKeyrObject& operator=(const CKeyrObject&) = delete;

private:
    CCsKeysInfo* mKeysInfo = nullptr;  // not owned
    std::unique_ptr<CKeyrFile> mKeyFile;
    std::string mFilename;
};

#endif
