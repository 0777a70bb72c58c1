/* Vortane: chip access over an SPI adapter for writing the Bluetooth device
 * address, as Kilnor binds it.
 *
 * openVortaneSpi returns a handle, 0 meaning failure; every non-zero handle
 * is released with closeVortane.
 */
#ifndef VORTANE_H
#define VORTANE_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(VORTANE_BUILD)
#    define VORTANE_API __declspec(dllexport)
#  else
#    define VORTANE_API __declspec(dllimport)
#  endif
#  define VORTANE_CALL __stdcall
#else
#  define VORTANE_API __attribute__((visibility("default")))
#  define VORTANE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Pointer-sized so that it can carry an address on every platform. */
typedef uintptr_t VortaneHandle;

/* Opens the chip. aPort: 1 for LPT1, -1 for the first USB adapter found.
 * aClock: SPI clock divider, 0 for the default. aTransport: 1 LPT, 2 USB. */
VORTANE_API VortaneHandle VORTANE_CALL openVortaneSpi(int32_t aPort, int32_t aClock, int32_t aTransport);

/* Writes the Bluetooth device address into the chip's address store.
 * Returns 1 when the address was written, anything else on failure. */
VORTANE_API int32_t VORTANE_CALL psWriteBdAddr(VortaneHandle aHandle, int32_t aLap, int32_t aUap, int32_t aNap);

/* Releases a handle returned by openVortaneSpi. */
VORTANE_API void VORTANE_CALL closeVortane(VortaneHandle aHandle);

#ifdef __cplusplus
}
#endif

#endif
