// Bluetooth device addresses as the station hands them out: NAP (16 bits),
// UAP (8 bits) and LAP (24 bits), written "NNNN:UU:LLLLLL" in upper-case
// hexadecimal. The LAPs 0x9E8B00 to 0x9E8B3F are the inquiry access codes
// and are never given to a device.
#ifndef NVT_STATION_ADDRESS_H
#define NVT_STATION_ADDRESS_H

#include <cstdint>
#include <optional>
#include <string>

namespace station {

constexpr uint32_t kReservedLapFirst = 0x9E8B00;
constexpr uint32_t kReservedLapLast = 0x9E8B3F;
constexpr uint32_t kLapMax = 0xFFFFFF;

struct Address {
    uint16_t nap = 0;
    uint8_t uap = 0;
    uint32_t lap = 0;

    // One number for the store: NAP in bits 32-47, UAP 24-31, LAP 0-23.
    int64_t Packed() const { return static_cast<int64_t>(nap) << 32 | static_cast<int64_t>(uap) << 24 | lap; }
    static Address FromPacked(int64_t aValue);
    std::string Text() const;
    // The four words of the BLUETOOTH_ADDRESS key: LAP high byte, LAP low
    // word, UAP, NAP.
    void ToWords(uint16_t aWords[4]) const;
    static Address FromWords(const uint16_t aWords[4]);
    bool operator==(const Address& aOther) const { return Packed() == aOther.Packed(); }
};

std::optional<Address> ParseAddress(const std::string& aText);
bool IsReservedLap(uint32_t aLap);
// The first LAP at or after aLap that may be handed out.
uint32_t NextUsableLap(uint32_t aLap);

}  // namespace station

#endif
