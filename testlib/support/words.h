// The 16-bit halves of 32-bit values as the chip's word memory holds them:
// the firmware's mailbox and lookup tables keep the high half first.
#ifndef NVT_SUPPORT_WORDS_H
#define NVT_SUPPORT_WORDS_H

#include <cstdint>

namespace words {

inline uint16_t High(uint32_t aValue) { return static_cast<uint16_t>(aValue >> 16); }
inline uint16_t Low(uint32_t aValue) { return static_cast<uint16_t>(aValue & 0xFFFFu); }
inline uint32_t Join(uint16_t aHigh, uint16_t aLow) { return (static_cast<uint32_t>(aHigh) << 16) | aLow; }

}  // namespace words

#endif
