// What the station needs of a CS key database to check a plan before any
// DUT is touched: per build (CS version) the keys with their length and
// value range. The file is read by the library's own key database reader
// (linked into this program), so the plan check sees what the library will
// see, and a hostile file is refused as the library refuses it.
#ifndef NVT_STATION_KEYDB_H
#define NVT_STATION_KEYDB_H

#include <cstdint>
#include <map>
#include <string>

namespace station {

struct KeyInfo {
    std::string name;     // as the database writes it
    uint32_t offset = 0;  // word offset in the CS data (word 0 is the CS version)
    uint32_t length = 0;  // words
    uint32_t min = 0;
    uint32_t max = 0xFFFF;
};

struct KeyDatabase {
    // Build id -> upper-case key name -> key.
    std::map<uint32_t, std::map<std::string, KeyInfo>> builds;
    const KeyInfo* Find(uint32_t aBuild, const std::string& aName) const;
};

// Reads the database; false with a text in aError, naming the file and why,
// when it cannot be read or is not a key database. The text never holds the
// contents of any file.
bool LoadKeyDatabase(const std::string& aPath, KeyDatabase& aDatabase, std::string& aError);

std::string Upper(std::string aText);

}  // namespace station

#endif
