// The per-handle record of the last failure text and the table of standard
// texts of the result codes.
#ifndef NVT_CORE_LASTERROR_H
#define NVT_CORE_LASTERROR_H

#include <cstdint>
#include <map>
#include <string>

class CLastError {
public:
    CLastError();

    // Stores a detail text and returns aCode unchanged.
    int32_t SetError(int32_t aCode, const std::string& aDetail);
    // Stores the standard text of aCode ("Unknown error code" for a code
    // outside the table) and returns aCode unchanged.
    int32_t SetErrorCode(int32_t aCode);
    const char* Text() const { return mText.c_str(); }

private:
    std::map<int32_t, std::string> mTable;
    std::string mText;
};

// Text of the calling thread's last operating-system error, without the
// final line break the system may add.
std::string SystemErrorText();
// The same for a given system message (exposed for tests).
std::string TrimSystemMessage(const std::string& aMessage);

#endif
