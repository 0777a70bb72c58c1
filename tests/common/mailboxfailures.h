// The transport failures of one mailbox command, in the order the command
// meets them, with the result and text each must give.
#pragma once

#include <cstdint>
#include <vector>

#include "nivoratest.h"

struct MailboxFailure {
    bool write;
    uint64_t nth;  // transport call of its kind, counted from the start of the command
    int32_t code;
    const char* text;
};

// Command word write, command word read, alive tick read, answer read.
inline std::vector<MailboxFailure> MailboxCommandFailures()
{
    return {
        {true, 1, NVT_ERR_WRITE_FAILED, "Failed to write command to DUT"},
        {false, 1, NVT_ERR_READ_FAILED, "Failed to read command location of DUT/Firmware"},
        {false, 2, NVT_ERR_READ_FAILED, "Failed to read alive pointer while waiting for DUT"},
        {false, 3, NVT_ERR_READ_FAILED, "Failed to read command location of DUT/Firmware."},
    };
}
