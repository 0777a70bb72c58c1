// SHA-256 of a file, for the records: they name exactly which firmware, key
// database and plan a DUT was tested with.
#ifndef NVT_STATION_SHA256_H
#define NVT_STATION_SHA256_H

#include <cstdint>
#include <string>
#include <vector>

namespace station {

// Lower-case hexadecimal digest of the bytes.
std::string Sha256Hex(const std::vector<uint8_t>& aBytes);
// Digest of a file's contents; empty when the file cannot be read.
std::string Sha256OfFile(const std::string& aPath);

}  // namespace station

#endif
