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

}  // namespace

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
    // Read and write, no sharing, existing device only, no overlapped I/O.
    HANDLE h = CreateFileA(DevicePath(aName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    mHandle = reinterpret_cast<intptr_t>(h);
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
    CloseHandle(ToHandle(mHandle));
    mHandle = kClosed;
    mExclusive = false;
}

}  // namespace platform
