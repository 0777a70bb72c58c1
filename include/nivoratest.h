/*
 * NivoraTest: production-test library for low-energy Bluetooth chips.
 *
 * A test station opens one handle per device under test with nvtOpen, calls
 * the test and configuration-store (CS) functions on it, reads the text of
 * the last failure with nvtGetLastError, and releases it with nvtClose.
 *
 * Every function that takes a handle returns NVT_ERR_INVALID_HANDLE (-3) for
 * a null, unknown or closed handle. Otherwise it checks, in this order, the
 * handle state, its pointer arguments and its value ranges, and only then
 * touches the device. A failure stores a text in the handle; a successful
 * call never clears it.
 *
 * Handle states: 0 created (not connected), 1 connected, 2 production-test
 * firmware loaded, 3 carrier running, 4 transmitting, 5 receiving.
 *
 * The library creates no threads and takes no locks: the caller serialises
 * all calls.
 */
#ifndef NIVORATEST_H
#define NIVORATEST_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#  define NVT_CALL __stdcall
#else
#  define NVT_CALL
#endif

#if defined(NVT_BUILDING_LIBRARY)
#  if defined(_WIN32)
#    define NVT_API
#  else
#    define NVT_API __attribute__((visibility("default")))
#  endif
#else
#  define NVT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define NVT_WARNING                 1    /* "Unspecified warning" */
#define NVT_OK                      0
#define NVT_ERR_GENERAL            (-1)  /* "General (unspecified) error" */
#define NVT_ERR_UNSUPPORTED        (-2)  /* "Unsupported function called" */
#define NVT_ERR_INVALID_HANDLE     (-3)  /* "Invalid device handle" */
#define NVT_ERR_OUT_OF_MEMORY      (-4)  /* "Out of memory" */
#define NVT_ERR_TEST_FAILED        (-5)  /* "Test failed" */
#define NVT_ERR_SEQUENCE           (-6)  /* "The sequence of API calls is incorrect" */
#define NVT_ERR_INVALID_PARAM     (-10)  /* "Invalid parameter(s)" */
#define NVT_ERR_BUFFER_TOO_SMALL  (-11)  /* caller's buffer too small */
#define NVT_ERR_CONNECTION        (-20)  /* "Device connection error" */
#define NVT_ERR_UNSUPPORTED_DEVICE (-21) /* "Device is unsupported" */
#define NVT_ERR_STOP_FAILED       (-22)  /* "Device failed to stop" */
#define NVT_ERR_WRITE_FAILED      (-23)  /* "Write to device failed" */
#define NVT_ERR_READ_FAILED       (-24)  /* "Read from device failed" */
#define NVT_ERR_FW_UNSPECIFIED    (-30)  /* unspecified firmware command error */
#define NVT_ERR_FW_COMMAND_FAILED (-31)  /* "Firmware command failed" */
#define NVT_ERR_FW_INIT_FAILED    (-32)  /* "Firmware failed to initialise" */
#define NVT_ERR_FW_TIMEOUT        (-33)  /* "Timeout waiting for firmware" */
#define NVT_ERR_FW_FILE           (-34)  /* firmware XBV file error */
#define NVT_ERR_CS_GENERAL        (-40)  /* "CS cache general error" */
#define NVT_ERR_CS_NOT_INIT       (-41)  /* CS cache not initialised */
#define NVT_ERR_CS_VERSION        (-42)  /* "CS version error or incompatibility" */

/* NVM types of nvtCsCacheReadFromChip and nvtCsCacheWriteToChip (only the
 * low 8 bits count; any other value fails with -10). */
#define NVT_NVM_EEPROM 1
#define NVT_NVM_SPI_FLASH 2

/* Opaque device handle. */
typedef void* NvtHandle;

/*
 * Opens a handle to the device named by the transport string (for the
 * simulated device: "sim" or "sim:key=value,...") and connects to it. The
 * CS key database path may be null: then the environment variable
 * CSCONFIGFILE, else "cskey_db.xml" beside the running program, is used.
 * A null `handle` returns 0 and does nothing. At most 100 handles are open
 * at once (-1 beyond). On a failed connection the handle is still valid and
 * registered: read the text with nvtGetLastError and close it.
 */
NVT_API int32_t NVT_CALL nvtOpen(const char* transport, const char* csKeyDbPath, NvtHandle* handle);

/* Closes a handle and its connection. 0, or -3 for an invalid handle. */
NVT_API int32_t NVT_CALL nvtClose(NvtHandle handle);

/* Library version 1.3.0.68. Null pointers are skipped. Always 0. */
NVT_API int32_t NVT_CALL nvtGetVersion(uint8_t* major, uint8_t* minor, uint8_t* release, uint8_t* build);

/*
 * Lists the transports that can be opened. `buffer` receives the names, each
 * ended by a NUL, the list ended by one more NUL. Nothing is written unless
 * the whole list fits in `bufferSize` bytes, so the buffer cannot overflow.
 * `count` (may be null) receives the number of transports and `needed` (may
 * be null) the buffer size the list needs; call with a null buffer and size
 * 0 to learn both. Returns 0 when the list was written, else -1. On 32-bit
 * Windows the size and the counts are 32-bit values.
 */
NVT_API int32_t NVT_CALL nvtGetTransports(char* buffer, uintptr_t bufferSize, uintptr_t* count, uintptr_t* needed);

/*
 * Text of the last failure or warning on the handle (empty if none). For an
 * invalid handle: "The NivoraTest handle is invalid (nvtOpen must be called
 * first).". The text stays valid until the next failure on the handle or
 * until it is closed.
 */
NVT_API const char* NVT_CALL nvtGetLastError(NvtHandle handle);

/* The chip's identification word. Needs state 1 or more. */
NVT_API int32_t NVT_CALL nvtGetChipId(NvtHandle handle, uint16_t* chipId);

/*
 * Downloads the production-test firmware of an XBV file into the chip's RAM,
 * starts it and waits for its ready answer (state 2 on success). With
 * loadCsKeys nonzero the cached CS keys are copied into the firmware's RAM.
 * Needs state 1 or more.
 */
NVT_API int32_t NVT_CALL nvtLoadPtFirmware(NvtHandle handle, const char* xbvPath, uint8_t loadCsKeys);

/*
 * Build-id text of the production-test firmware: of the XBV file when a path
 * is given, else of the loaded firmware (state 2 or more). `length` holds the
 * buffer size on entry. Success leaves it unchanged; -11 (buffer too small)
 * sets it to the size the text needs with its NUL; any other failure sets it
 * to 0.
 */
NVT_API int32_t NVT_CALL nvtGetPtFwBuildInfo(NvtHandle handle, const char* xbvPath, uint16_t* length, char* buffer);

/* Build id of the production-test firmware (file or loaded firmware). */
NVT_API int32_t NVT_CALL nvtGetPtFwBuildId(NvtHandle handle, const char* xbvPath, uint16_t* buildId);

/* CS keys version of the production-test firmware (file or loaded firmware). */
NVT_API int32_t NVT_CALL nvtGetPtFwCsVersion(NvtHandle handle, const char* xbvPath, uint16_t* csVersion);

/* API version of the loaded production-test firmware. */
NVT_API int32_t NVT_CALL nvtGetPtFwApiVersion(NvtHandle handle, uint32_t* apiVersion);

/* Sets the crystal trim. */
NVT_API int32_t NVT_CALL nvtRadSetXtalTrim(NvtHandle handle, uint16_t xtalTrim);

/* Starts a continuous-wave carrier on a channel or at a frequency in MHz (state 3). */
NVT_API int32_t NVT_CALL nvtRadCwStart(NvtHandle handle, uint8_t channel, uint16_t frequencyMhz);

/* Stops the running radio test (state 2). */
NVT_API int32_t NVT_CALL nvtRadStop(NvtHandle handle);

/* Starts a packet transmission (state 4). */
NVT_API int32_t NVT_CALL nvtRadTxStart(NvtHandle handle, uint8_t channel, uint8_t txLength, uint8_t payloadType, uint16_t packetCount);

/* Reads the transmit packet counter; a counter of 0 ends the test (state 2). */
NVT_API int32_t NVT_CALL nvtRadTxGetPkts(NvtHandle handle, uint16_t* packets);

/* Starts packet reception (state 5). */
NVT_API int32_t NVT_CALL nvtRadRxStart(NvtHandle handle, uint8_t channel);

/* Reads the receive packet counter. Needs state 5. */
NVT_API int32_t NVT_CALL nvtRadRxGetPkts(NvtHandle handle, uint16_t* packets);

/* Assigns PIO lines: sends pioWordA and pioWordB to the firmware (command 0x0101). */
NVT_API int32_t NVT_CALL nvtPioAssign(NvtHandle handle, uint32_t pioWordA, uint32_t pioWordB);

/* Reads the PIO lines: the firmware's two 32-bit PIO words (command 0x0201). */
NVT_API int32_t NVT_CALL nvtPioGet(NvtHandle handle, uint32_t* pioWordA, uint32_t* pioWordB);

/* Sets PIO lines: sends pioWordA and pioWordB to the firmware (command 0x0100). */
NVT_API int32_t NVT_CALL nvtPioSet(NvtHandle handle, uint32_t pioWordA, uint32_t pioWordB);

/* Drives an LED. ledMode must be 0 to 3 and ledBrightness 0 to 100 (low 8 bits are used). */
NVT_API int32_t NVT_CALL nvtLedSet(NvtHandle handle, uint32_t ledWord, uint8_t ledMode, uint16_t ledValue, uint8_t ledBrightness);

/* Sets an analogue output channel. */
NVT_API int32_t NVT_CALL nvtAioSet(NvtHandle handle, uint8_t aioChannel, uint16_t aioValue);

/* Reads an analogue input channel. */
NVT_API int32_t NVT_CALL nvtAioGet(NvtHandle handle, uint8_t aioChannel, uint16_t* aioValue);

/* UART loopback test against a PC serial port at a baud rate. */
NVT_API int32_t NVT_CALL nvtUartLbTest(NvtHandle handle, const char* comPort, uint32_t baudRate);

/* Reads the CS image from the chip's NVM (NVT_NVM_*); csOnly nonzero reads only the CS block. */
NVT_API int32_t NVT_CALL nvtCsCacheReadFromChip(NvtHandle handle, uint32_t nvmType, uint8_t csOnly);

/* Writes the cached CS image to the chip's NVM; csOnly nonzero writes only the CS block. */
NVT_API int32_t NVT_CALL nvtCsCacheWriteToChip(NvtHandle handle, uint32_t nvmType, uint8_t csOnly);

/* Reads the CS cache from an XUV, IMG or KEYR file. */
NVT_API int32_t NVT_CALL nvtCsCacheReadFromFile(NvtHandle handle, const char* path);

/* Writes the CS cache to an XUV, IMG or KEYR file. */
NVT_API int32_t NVT_CALL nvtCsCacheWriteToFile(NvtHandle handle, const char* path);

/* Reads a CS key by name into `data`; `length` holds the buffer size in words on entry and the key length on return. */
NVT_API int32_t NVT_CALL nvtCsCacheReadItem(NvtHandle handle, const char* keyName, uint16_t* data, uint16_t* length);

/* Writes a CS key by name; `length` points to the number of words in `data`. */
NVT_API int32_t NVT_CALL nvtCsCacheWriteItem(NvtHandle handle, const char* keyName, uint16_t* data, uint16_t* length);

/* CS version of the cached image. */
NVT_API int32_t NVT_CALL nvtCsCacheGetVersion(NvtHandle handle, uint16_t* csVersion);

/* Merges an image or key file into the CS cache; `flags` selects what is merged. */
NVT_API int32_t NVT_CALL nvtCsCacheFileMerge(NvtHandle handle, const char* path, uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif
