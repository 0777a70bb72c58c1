// Status values of the configuration-store operations.
//
// Every operation of the key database, the image sections, the targets, the
// KEYR objects and the image cache engine returns one of these values
// (0 for success) and passes values from the operations it calls up
// unchanged. Only the API layer turns them into result codes. A non-zero
// value is normally accompanied by an error text with that value as its
// code, reported through the message handler.
#ifndef NVT_CSCACHE_CSSTATUS_H
#define NVT_CSCACHE_CSSTATUS_H

#include <cstdint>

enum CsStatus : int32_t {
    kCsOk = 0,
    // The file was written, but the system may redirect it to another folder.
    kCsWrittenMayBeRedirected = 1,
    // An internal step failed: CRC position outside the header, KEYR object
    // used before Initialise or KEYR file without CS version; also the report
    // code of a failed EEPROM size query.
    kCsInternalError = 2,
    // A firmware block number out of range, or a zero length to read or write.
    kCsInvalidLength = 3,
    // Nothing there: no CS data or firmware cached, firmware build not found,
    // a range read that delivered fewer words than asked.
    kCsNothingThere = 4,
    // The image read is empty, invalid or corrupt.
    kCsImageCorrupt = 5,
    kCsKeyNotFound = 6,
    kCsInvalidKeyData = 7,
    // The key database has no keys for the requested build, or none is loaded.
    kCsNoKeysForBuild = 8,
    // No keys for the cached CS version, or incompatible images.
    kCsIncompatible = 9,
    kCsWrongExtension = 10,
    // The key database file was not found; a KEYR file could not be parsed.
    kCsFileNotFound = 11,
    // The key database file is not in the expected format.
    kCsBadFormat = 12,
    kCsFileReadFailed = 13,
    kCsFileWriteFailed = 14,
    kCsNotSupported = 15,
    // No image header to save, or writing to the device failed.
    kCsWriteFailed = 16,
    // Reading from the device failed, or the flash could not be identified.
    kCsDeviceReadFailed = 17
};

#endif
