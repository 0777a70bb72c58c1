// The start-up address file "config.bin": 9 raw bytes, big-endian fields.
//   offset 0  2 bytes  nap
//   offset 2  1 byte   uap
//   offset 3  3 bytes  first lap
//   offset 6  3 bytes  lapEnd
#ifndef KILNOR_CONFIG_BIN_H
#define KILNOR_CONFIG_BIN_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kilnor {

constexpr std::size_t kConfigBinSize = 9;
constexpr const char *kConfigBinName = "config.bin";

struct AddressRange {
    std::uint32_t nap = 0;
    std::uint32_t uap = 0;
    std::uint32_t lap = 0;
    std::uint32_t lapEnd = 0;
};

// Decodes the first 9 bytes. The values count only when lap < lapEnd; a
// shorter input, a null pointer or lap >= lapEnd gives nothing.
std::optional<AddressRange> parseConfigBin(const std::uint8_t *aData, std::size_t aSize);

// Reads at most the first 9 bytes of the file; a missing, unreadable or
// unacceptable file gives nothing.
std::optional<AddressRange> readConfigBin(const std::string &aPath);

} // namespace kilnor

#endif
