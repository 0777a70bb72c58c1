#include "core/lasterror.h"

#include "nivoratest.h"
#include "support/platform.h"

CLastError::CLastError()
    : mTable{
          {NVT_WARNING, "Unspecified warning"},
          {NVT_OK, ""},
          {NVT_ERR_GENERAL, "General (unspecified) error"},
          {NVT_ERR_UNSUPPORTED, "Unsupported function called"},
          {NVT_ERR_INVALID_HANDLE, "Invalid device handle"},
          {NVT_ERR_OUT_OF_MEMORY, "Out of memory"},
          {NVT_ERR_TEST_FAILED, "Test failed"},
          {NVT_ERR_SEQUENCE, "The sequence of API calls is incorrect"},
          {NVT_ERR_INVALID_PARAM, "Invalid parameter(s)"},
          {NVT_ERR_BUFFER_TOO_SMALL,
           "A buffer (array) parameter is too small to contain the requested data"},
          {NVT_ERR_CONNECTION, "Device connection error"},
          {NVT_ERR_UNSUPPORTED_DEVICE, "Device is unsupported"},
          {NVT_ERR_STOP_FAILED, "Device failed to stop"},
          {NVT_ERR_WRITE_FAILED, "Write to device failed"},
          {NVT_ERR_READ_FAILED, "Read from device failed"},
          {NVT_ERR_FW_UNSPECIFIED, "Unspecified error for firmware command"},
          {NVT_ERR_FW_COMMAND_FAILED, "Firmware command failed"},
          {NVT_ERR_FW_INIT_FAILED, "Firmware failed to initialise"},
          {NVT_ERR_FW_TIMEOUT, "Timeout waiting for firmware"},
          // "XVB" is the text as callers have always matched it.
          {NVT_ERR_FW_FILE, "Firmware XVB file error"},
          {NVT_ERR_CS_GENERAL, "CS cache general error"},
          {NVT_ERR_CS_NOT_INIT, "CS cache is not initialised (Read from chip / file required)"},
          {NVT_ERR_CS_VERSION, "CS version error or incompatibility"},
      }
{
}

int32_t CLastError::SetError(int32_t aCode, const std::string& aDetail)
{
    mText = aDetail;
    return aCode;
}

int32_t CLastError::SetErrorCode(int32_t aCode)
{
    auto it = mTable.find(aCode);
    mText = it != mTable.end() ? it->second : std::string("Unknown error code");
    return aCode;
}

std::string TrimSystemMessage(const std::string& aMessage)
{
    size_t pos = aMessage.rfind("\r\n");
    return pos == std::string::npos ? aMessage : aMessage.substr(0, pos);
}

std::string SystemErrorText()
{
    std::string message = platform::ErrorMessage(platform::LastErrorCode());
    // The system's buffer holds at most 1024 bytes.
    if (message.size() > 1023) message.resize(1023);
    return TrimSystemMessage(message);
}
