// The outside libraries take file names in the system's ANSI code page;
// the controller works in UTF-8. This forwards every call and converts the
// dump-file paths on the way.
#ifndef KILNOR_WIN32_ANSI_PATH_CHIP_H
#define KILNOR_WIN32_ANSI_PATH_CHIP_H

#include "kilnor_chip.h"

namespace kilnor::win32 {

class AnsiPathChip : public ForwardingChip {
public:
    using ForwardingChip::ForwardingChip;

    std::int32_t plsDump(const std::string &aPath, std::int32_t aVerify) override;
    std::int32_t plsProgram(const std::string &aPath, std::int32_t aVerify) override;
};

} // namespace kilnor::win32

#endif
