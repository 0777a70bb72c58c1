// POSIX helper of the serial-port seam: rates the terminal interface has no
// speed constant for.
#ifndef NVT_SUPPORT_SERIALPORT_BAUD_H
#define NVT_SUPPORT_SERIALPORT_BAUD_H

#include <cstdint>

namespace platform {
namespace serialbaud {

// Sets an arbitrary rate on an open terminal whose other settings are
// already applied. False with errno set when the system cannot do it.
bool SetCustomRate(int aFd, uint32_t aBaudRate);

}  // namespace serialbaud
}  // namespace platform

#endif
