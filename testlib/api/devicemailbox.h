// Builds the firmware mailbox of a device handle from the locations the
// firmware load stored in it. The mailbox lives for one operation.
#ifndef NVT_API_DEVICEMAILBOX_H
#define NVT_API_DEVICEMAILBOX_H

#include "api/devicehandle.h"
#include "ptest/mailbox.h"

inline CMailbox MailboxOf(CDeviceHandle& aDevice)
{
    return CMailbox(aDevice.stream, aDevice.lastError, aDevice.commandLocation, aDevice.aliveTick,
                    aDevice.parameters, aDevice.results);
}

// The two words of a 32-bit value as the firmware expects them: high half first.
inline uint16_t HighWord(uint32_t aValue) { return static_cast<uint16_t>(aValue >> 16); }
inline uint16_t LowWord(uint32_t aValue) { return static_cast<uint16_t>(aValue & 0xFFFFu); }

#endif
