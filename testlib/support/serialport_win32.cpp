// Win32 implementation of the serial-port seam over the communications
// functions of the system.
#include "support/serialport.h"

#include <windows.h>

namespace platform {

namespace {

HANDLE ToHandle(intptr_t aValue)
{
    return reinterpret_cast<HANDLE>(aValue);
}

// Keeps the last error across clean-up calls so the caller still sees the failure.
class LastErrorKeeper {
public:
    LastErrorKeeper() : mSaved(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(mSaved); }

private:
    DWORD mSaved;
};

// Whether a transfer may start; sets the last error when not.
bool CanTransfer(bool aOpen, const void* aData, uint32_t aCount)
{
    if (!aOpen) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (aData == nullptr && aCount != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// What stands at a port name that is no character device.
const char* NotAPortText(DWORD aType)
{
    switch (aType) {
    case FILE_TYPE_DISK: return "a file";
    case FILE_TYPE_PIPE: return "a pipe";
    default: return "not a device";
    }
}

}  // namespace

struct SerialPort::SavedSettings {
    DCB state;
    bool haveState;
    COMMTIMEOUTS timeouts;
    bool haveTimeouts;
};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort()
{
    Close();
}

std::string SerialPort::DevicePath(const char* aName)
{
    return std::string("\\\\.\\") + (aName != nullptr ? aName : "");
}

bool SerialPort::Open(const char* aName)
{
    Close();
    if (aName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    mRefusal.clear();
    // Only a character device is a port. A name that is a path (a
    // separator or a drive colon: ports are named like COM3) and names an
    // existing file or folder is refused before anything is opened; a port
    // name itself is not opened twice, since opening a port can move its
    // modem lines.
    const std::string path = DevicePath(aName);
    const std::string name = aName;
    if (name.find_first_of("\\/:") != std::string::npos) {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE) == 0) {
            mRefusal = "\"" + path + "\" is " + ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "a folder" : "a file") +
                       ", not a serial port";
            SetLastError(ERROR_BAD_DEVICE);
            return false;
        }
    }
    // Read and write, no sharing, existing device only, no overlapped I/O.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    // What was opened must not be a file or a pipe after all.
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
        CloseHandle(h);
        mRefusal = "\"" + path + "\" is " + NotAPortText(type) + ", not a serial port";
        SetLastError(ERROR_BAD_DEVICE);
        return false;
    }
    mHandle = reinterpret_cast<intptr_t>(h);
    // The settings and time-outs to give back at Close.
    auto saved = std::make_unique<SavedSettings>();
    ZeroMemory(&saved->state, sizeof(saved->state));
    saved->state.DCBlength = sizeof(saved->state);
    saved->haveState = GetCommState(h, &saved->state) != FALSE;
    saved->haveTimeouts = GetCommTimeouts(h, &saved->timeouts) != FALSE;
    if (saved->haveState || saved->haveTimeouts) mSaved = std::move(saved);
    return true;
}

bool SerialPort::Configure(uint32_t aBaudRate)
{
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = aBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.fParity = TRUE;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    return SetCommState(ToHandle(mHandle), &dcb) != FALSE;
}

bool SerialPort::SetTimeouts()
{
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = kSerialReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kSerialPerByteMs;
    timeouts.ReadTotalTimeoutConstant = kSerialTotalConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = kSerialPerByteMs;
    timeouts.WriteTotalTimeoutConstant = kSerialTotalConstantMs;
    return SetCommTimeouts(ToHandle(mHandle), &timeouts) != FALSE;
}

bool SerialPort::Purge()
{
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return PurgeComm(ToHandle(mHandle),
                     PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

bool SerialPort::Write(const uint8_t* aData, uint32_t aCount, uint32_t& aDone)
{
    DWORD done = 0;
    const bool ok = CanTransfer(IsOpen(), aData, aCount) &&
                    WriteFile(ToHandle(mHandle), aData, aCount, &done, nullptr) != FALSE;
    aDone = done;
    return ok;
}

bool SerialPort::Read(uint8_t* aData, uint32_t aCount, uint32_t& aDone)
{
    DWORD done = 0;
    const bool ok = CanTransfer(IsOpen(), aData, aCount) &&
                    ReadFile(ToHandle(mHandle), aData, aCount, &done, nullptr) != FALSE;
    aDone = done;
    return ok;
}

void SerialPort::Close()
{
    if (!IsOpen()) return;
    LastErrorKeeper keep;
    // The next user of the port finds it as it was before.
    if (mSaved) {
        if (mSaved->haveState) SetCommState(ToHandle(mHandle), &mSaved->state);
        if (mSaved->haveTimeouts) SetCommTimeouts(ToHandle(mHandle), &mSaved->timeouts);
        mSaved.reset();
    }
    CloseHandle(ToHandle(mHandle));
    mHandle = kClosed;
    mExclusive = false;
}

}  // namespace platform
