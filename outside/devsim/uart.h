// The simulated chip's UART.
//
// On Linux the UART is a pseudo-terminal: the library (or any serial
// terminal) opens its slave side as the PC's serial port, and the chip
// listens on the master side. Until the firmware is told a rate with
// command 0x0500 the chip takes in bytes and answers nothing. After that it
// answers every byte at once, as the transport option "uart" selects:
//
//   uart=echo    sends every byte back (the default)
//   uart=short   sends back only the first 3 bytes after each 0x0500
//   uart=garble  sends back other bytes (each byte with bit 5 flipped)
//   uart=none    sends nothing back
//
// A chip only understands the PC at the rate it was told: when the rate set
// on the PC side of the line differs, it answers garbled bytes.
//
// A small thread inside the simulator serves the master side, so the
// library's plain blocking reads see the answer as a real port would.
//
// On Windows a program cannot make a pseudo-terminal, so the line comes
// from outside: DEVSIM_UART_PORTS names two serial ports joined by a
// null-modem line ("COM8,COM9"). The library is handed the first, the chip
// listens on the second. The chip cannot see the rate set on the PC's
// port there, so a wrong rate is not answered with garbled bytes.
#ifndef DEVSIM_UART_H
#define DEVSIM_UART_H

#include "devsim.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace devsim {

class DEVSIM_API Uart {
public:
    // aLine, on Windows, names the serial line "PC_PORT,CHIP_PORT" in place
    // of the DEVSIM_UART_PORTS environment variable (other systems make a
    // pseudo-terminal and ignore it).
    explicit Uart(UartMode aMode, const std::string& aLine = std::string());
    ~Uart();
    Uart(const Uart&) = delete;
    Uart& operator=(const Uart&) = delete;

    // Path of the PC side ("/dev/pts/N"); empty when no pseudo-terminal
    // could be made, and error() says why.
    const std::string& deviceName() const { return mDeviceName; }
    const std::string& error() const { return mError; }

    // The firmware received command 0x0500 with this rate.
    void Start(uint32_t aBaud);
    // The rate of the last Start; 0 before the first.
    uint32_t rate() const;
    // The bytes the chip took in since the last Start, and the number of
    // 0x0500 commands so far.
    std::string received() const;
    uint32_t starts() const;

private:
    void Serve();
    void Answer(const uint8_t* aData, size_t aCount);
    // Records what the chip took in and fills aReply (kMaxReply bytes) with
    // its answer. aLineRate is the rate set on the PC's side of the line,
    // null when the chip cannot see it.
    size_t Respond(const uint8_t* aData, size_t aCount, const uint32_t* aLineRate, uint8_t* aReply);
    static constexpr size_t kMaxReply = 256;

    UartMode mMode;
    std::string mDeviceName;
    std::string mError;
    int mMaster = -1;
    int mSlave = -1;       // held open so the master never sees a hang-up
    int mWake[2] = {-1, -1};
#ifdef _WIN32
    intptr_t mPort = -1;  // the chip's serial port
#endif
    std::atomic<bool> mStop{false};
    std::thread mThread;

    mutable std::mutex mLock;
    uint32_t mRate = 0;
    uint32_t mStarts = 0;
    std::string mReceived;
    size_t mAnswered = 0;  // bytes answered since the last Start
};

// The chip's UART, created on first use with the chip's "uart" option.
DEVSIM_API Uart& UartOf(Chip& aChip);
// Path of the chip's UART for a serial terminal; empty when there is none.
DEVSIM_API std::string UartDeviceName(Chip& aChip);
// Called by the emulated firmware on command 0x0500.
DEVSIM_API void StartUartLoopback(Chip& aChip, uint32_t aBaud);

}  // namespace devsim

#endif
