// The serial-port seam: one PC serial (COM) port, opened for one operation.
//
// The port is used with fixed settings: 8 data bits, no parity, 1 stop bit,
// raw binary transfer, no flow control. Time-outs: a read gives up when
// 50 ms pass between two bytes, and a read or a write of n bytes gives up
// after n * 10 + 50 ms in total; a time-out is not an error, the call then
// reports the bytes transferred so far.
//
// Every failing call leaves the operating system's error code for the
// failure as the last error, so SystemErrorText() describes it; only a name
// that is no character device is refused with a text of its own
// (Refusal()). The port is opened without sharing: a second open of a port
// in use fails. Close (and the destructor) gives the port back the line
// settings and time-outs it had when it was opened.
//
// Names: on Windows the device path is "\\.\" followed by the name. On
// POSIX systems a name without a '/' is a device in /dev ("ttyUSB0" opens
// "/dev/ttyUSB0"), and a name with a '/' is opened as the path it is.
#ifndef NVT_SUPPORT_SERIALPORT_H
#define NVT_SUPPORT_SERIALPORT_H

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Time-outs of the port, in milliseconds.
constexpr uint32_t kSerialReadIntervalMs = 50;
constexpr uint32_t kSerialPerByteMs = 10;
constexpr uint32_t kSerialTotalConstantMs = 50;

class SerialPort {
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // The device path a port name opens.
    static std::string DevicePath(const char* aName);

    // Opens the port for reading and writing. Only a character device is
    // opened: a regular file, FIFO, folder or anything else at the name is
    // refused before it is opened for writing (on Windows: a name that is a
    // path to a file or folder; a port name that opens as a file or pipe
    // is closed again at once), with a text in Refusal().
    bool Open(const char* aName);
    // Why the last Open refused the name ("\"/tmp/x\" is a regular file, not
    // a serial port"); empty when the system's last error tells why.
    const std::string& Refusal() const { return mRefusal; }
    // Applies the line settings with the given rate.
    bool Configure(uint32_t aBaudRate);
    bool SetTimeouts();
    // Aborts pending transfers and empties both buffers.
    bool Purge();
    // Synchronous transfers; aDone receives the number of bytes moved.
    bool Write(const uint8_t* aData, uint32_t aCount, uint32_t& aDone);
    bool Read(uint8_t* aData, uint32_t aCount, uint32_t& aDone);
    // Closes the port if it is open; the last error stays as it was.
    void Close();
    bool IsOpen() const { return mHandle != kClosed; }

private:
    // The port's settings when it was opened, in the system's own form.
    struct SavedSettings;

    static constexpr intptr_t kClosed = -1;
    intptr_t mHandle = kClosed;  // file descriptor or system handle
    bool mExclusive = false;     // POSIX: the terminal's exclusive mode was set
    std::unique_ptr<SavedSettings> mSaved;  // null: nothing to give back
    std::string mRefusal;
};

}  // namespace platform

#endif
