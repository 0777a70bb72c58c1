// UART loopback test: the chip's UART is wired to a serial port of the PC.
// The firmware is told the rate first, then the PC sends "PING" and expects
// exactly those four bytes back. The port lives for this one call and is
// closed on every way out.
#include "ptest/session.h"

#include "nivoratest.h"
#include "ptest/paramvalidator.h"
#include "support/serialport.h"
#include "support/words.h"

#include <cstring>
#include <string>

namespace {

const uint8_t kPattern[4] = {'P', 'I', 'N', 'G'};

// "<lead>(<system text>)" with the system's text for its last error.
std::string PortError(const char* aLead)
{
    return std::string(aLead) + SystemErrorText() + ")";
}

}  // namespace

int32_t CPtSession::UartLbTest(const char* aComPort, uint32_t aBaudRate)
{
    if (!mValidator->Check32(CParamValidator::UartBaudRate, aBaudRate)) return NVT_ERR_INVALID_PARAM;

    // The destructor closes the port whatever happens below.
    platform::SerialPort port;
    if (!port.Open(aComPort)) {
        // A name that is no serial port is refused with the port's own text.
        if (!port.Refusal().empty())
            return mLastError.SetError(NVT_ERR_GENERAL, "Error opening COM port (" + port.Refusal() + ")");
        return mLastError.SetError(NVT_ERR_GENERAL, PortError("Error opening COM port ("));
    }
    if (!port.Configure(aBaudRate))
        return mLastError.SetError(NVT_ERR_GENERAL, PortError("Error configuring COM port ("));
    if (!port.SetTimeouts())
        return mLastError.SetError(NVT_ERR_GENERAL, PortError("Error setting COM port timeouts ("));
    if (!port.Purge())
        return mLastError.SetError(NVT_ERR_GENERAL, PortError("Error purging COM port buffers ("));

    // The chip's UART must run at the rate before the PC sends.
    const uint16_t values[2] = {words::High(aBaudRate), words::Low(aBaudRate)};
    if (int32_t rc = Mailbox().Command(kCmdUartLoopback, 2, values)) return rc;

    uint32_t written = 0;
    if (!port.Write(kPattern, sizeof(kPattern), written))
        return mLastError.SetError(NVT_ERR_GENERAL, PortError("Error writing to COM port ("));

    uint8_t echo[sizeof(kPattern)] = {0, 0, 0, 0};
    uint32_t received = 0;
    if (!port.Read(echo, sizeof(echo), received))
        return mLastError.SetError(NVT_ERR_GENERAL, PortError("Error reading from COM port ("));

    if (received < sizeof(kPattern) || std::memcmp(echo, kPattern, sizeof(kPattern)) != 0)
        return mLastError.SetError(NVT_ERR_TEST_FAILED, "UART loopback test failed (expected data was not received)");
    return NVT_OK;
}
