// Builder of CS key database files for tests, benchmarks and the sample
// database: a model of builds and keys, written out as the XML the key
// database reads. Attribute values are kept as text, so a test can also
// write values the loader must reject.
#ifndef NVT_TOOLS_KEYDBGEN_H
#define NVT_TOOLS_KEYDBGEN_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace keydbgen {

struct Key {
    std::string name;
    std::string id;
    std::string offset;
    std::string length;
    std::optional<std::string> min;
    std::optional<std::string> max;
    std::optional<std::string> label;
    std::optional<std::string> description;
    // Written as DEFAULT with one DEFAULTVALUE per line; no DEFAULT element
    // when empty.
    std::vector<std::string> defaults;

    // A key with numeric fields.
    static Key Make(const std::string& aName, uint16_t aId, uint16_t aOffset, uint16_t aLength);
    Key& Range(uint16_t aMin, uint16_t aMax);
    Key& Defaults(const std::vector<uint16_t>& aWords);
    Key& Text(const std::string& aLabel, const std::string& aDescription);
};

struct Build {
    std::optional<std::string> buildId;  // no attribute when absent
    std::string elementName = "BUILD";
    std::vector<Key> keys;

    static Build Make(uint16_t aBuildId) { return Build{std::to_string(aBuildId), "BUILD", {}}; }
    // Appends a key at the next free offset (after the last key's value).
    Build& Add(const std::string& aName, uint16_t aId, uint16_t aLength);
};

struct Database {
    // Written before the root element (for example a DOCTYPE).
    std::string prologue;
    // false: the only build element is the root element.
    bool wrapper = true;
    std::vector<Build> builds;
};

// Text of the database file.
std::string ToXml(const Database& aDatabase);
// Writes text to a file; false when it cannot be written.
bool WriteFile(const std::string& aPath, const std::string& aText);

// A database of aBuilds builds (IDs aFirstBuild, aFirstBuild+1, ...) with
// aKeysPerBuild keys each, with labels, descriptions, ranges and defaults.
Database Generated(uint16_t aBuilds, uint16_t aKeysPerBuild, uint16_t aFirstBuild = 1);

// The sample database of the simulated chip: two CS versions of its layout.
Database Sample();
// Build IDs (CS versions) of the sample database.
constexpr uint16_t kSampleBuildOld = 12;
constexpr uint16_t kSampleBuildNew = 13;
// Words of the CS data of the newest build, version word included.
constexpr uint16_t kSampleBuildNewCsWords = 97;

}  // namespace keydbgen

#endif
