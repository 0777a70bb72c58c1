// The dump file written by plsDump and read by plsProgram.
//
// Layout (integers little-endian):
//   offset 0   4 bytes  magic "KDMP"
//   offset 4   2 bytes  format version, 1
//   offset 6   2 bytes  reserved, 0
//   offset 8   4 bytes  n, number of EEPROM bytes that follow
//   offset 12  4 bytes  CRC-32 (IEEE 802.3) of those n bytes
//   offset 16  n bytes  EEPROM contents from address 0
// The file ends right after the n bytes.
#ifndef KILNORSIM_DUMPFILE_H
#define KILNORSIM_DUMPFILE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kilnorsim {

constexpr std::size_t kDumpHeaderSize = 16;

std::vector<std::uint8_t> encodeDump(const std::vector<std::uint8_t> &aEeprom);

// Checks a dump file image and extracts its contents. Fails for a wrong
// magic, version or reserved field, a length that disagrees with the file
// size, an empty or larger-than-aMaxData image, or a CRC mismatch.
bool decodeDump(const std::uint8_t *aFile, std::size_t aSize, std::size_t aMaxData,
                std::vector<std::uint8_t> &aData);

} // namespace kilnorsim

#endif
