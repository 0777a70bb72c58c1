// Arbitrary serial rates. On Linux the kernel's second terminal record
// carries the rate as a number; this file must not see <termios.h>, whose
// record of the same name conflicts with the kernel's.
#include "support/serialport_baud.h"

#include <cerrno>

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace platform {
namespace serialbaud {

#if defined(__linux__)

bool SetCustomRate(int aFd, uint32_t aBaudRate)
{
    struct termios2 tio {};
    if (ioctl(aFd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = aBaudRate;
    tio.c_ospeed = aBaudRate;
    return ioctl(aFd, TCSETS2, &tio) == 0;
}

#else

bool SetCustomRate(int, uint32_t)
{
    errno = EINVAL;
    return false;
}

#endif

}  // namespace serialbaud
}  // namespace platform
