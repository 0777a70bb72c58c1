/* Plessa: EEPROM access over an SPI adapter, as Kilnor binds it.
 *
 * Every function runs synchronously on the caller's thread. Every function
 * that returns a result returns 0 for success and a non-zero code otherwise.
 * The adapter must be opened with plsOpen before the other calls; plsClose
 * releases it after every successful plsOpen.
 */
#ifndef PLESSA_H
#define PLESSA_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(PLESSA_BUILD)
#    define PLESSA_API __declspec(dllexport)
#  else
#    define PLESSA_API __declspec(dllimport)
#  endif
#  define PLESSA_CALL __stdcall
#else
#  define PLESSA_API __attribute__((visibility("default")))
#  define PLESSA_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Interface codes of plsOpen. */
#define PLS_INTERFACE_LPT 1
#define PLS_INTERFACE_USB 2

/* Result codes of the stand-in; the dialog only tells 0 from the rest. */
#define PLS_OK 0
#define PLS_ERR_NO_ADAPTER 1  /* no adapter on that interface */
#define PLS_ERR_ARGUMENT 2    /* an argument is out of range */
#define PLS_ERR_STATE 3       /* not opened yet, or opened twice */
#define PLS_ERR_DEVICE 4      /* the EEPROM operation failed */
#define PLS_ERR_FILE 5        /* a dump file cannot be read, written or is malformed */

/* Opens the adapter. aInterface: PLS_INTERFACE_LPT or PLS_INTERFACE_USB.
 * aPort: adapter port number, -1 for the first one found.
 * aSpeed: SPI clock divider, -1 for the adapter's default. */
PLESSA_API int32_t PLESSA_CALL plsOpen(int32_t aInterface, int32_t aPort, int32_t aSpeed);

/* Writes the EEPROM header of the chip family at EEPROM address 0. */
PLESSA_API int32_t PLESSA_CALL plsWriteCkHeader(void);

/* Fills the whole EEPROM with aValue (0..255); aVerify 1 reads it back. */
PLESSA_API int32_t PLESSA_CALL plsFill(int32_t aValue, int32_t aVerify);

/* Reads the whole EEPROM into the dump file aPath (UTF-8 path, overwritten);
 * aVerify 1 reads the EEPROM twice and compares. */
PLESSA_API int32_t PLESSA_CALL plsDump(const char *aPath, int32_t aVerify);

/* Programs the dump file aPath into the EEPROM from address 0;
 * aVerify 1 reads the programmed bytes back and compares. */
PLESSA_API int32_t PLESSA_CALL plsProgram(const char *aPath, int32_t aVerify);

/* Releases the adapter. */
PLESSA_API void PLESSA_CALL plsClose(void);

#ifdef __cplusplus
}
#endif

#endif
