// The transport connection to a device under test: the transports that
// exist, opening a stream to the one chip type the library supports, the
// chip's description, and closing.
#ifndef NVT_PTEST_CONNECTION_H
#define NVT_PTEST_CONNECTION_H

#include "core/lasterror.h"
#include "quorlink.h"

#include <cstdint>

// The transport names, each ended by a NUL, the list ended by one more NUL;
// nothing is written unless the whole list fits. 0, or -1 when it does not.
int32_t ListTransports(char* aBuffer, uintptr_t aBufferSize, uintptr_t* aCount, uintptr_t* aNeeded);

// Opens a stream and checks its chip. On failure nothing stays open:
// -20 "Failed to connect to device (<transport text>)" or -21 with the
// unsupported chip's identification and name.
int32_t OpenStream(QlkTransport aTransport, CLastError& aLastError, uint32_t& aStream);
void CloseStream(uint32_t aStream);

// The description of the chip on an open stream.
const CXapHelper& StreamChip(uint32_t aStream);
// The description of the supported chip, for work without a device.
const CXapHelper& SupportedChip();

#endif
