// Helpers of the CS cache tests: a simulated chip on an open stream, the
// last error the configuration-store code reported, temporary folders.
#ifndef NVT_TESTS_CSCACHE_API_CSTESTHELPERS_H
#define NVT_TESTS_CSCACHE_API_CSTESTHELPERS_H

#include "devsim.h"
#include "support/msghandler.h"
#include "nvm.h"
#include "quorlink.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace cstest {

// Opens a simulated chip for the lifetime of the object.
struct Dut {
    explicit Dut(const std::string& aTransport = "sim")
    {
        EXPECT_EQ(0, qlk_stream_open(&stream, aTransport.c_str())) << aTransport;
        chip = devsim::Find(stream);
    }
    ~Dut() { qlk_stream_close(stream); }
    Dut(const Dut&) = delete;
    Dut& operator=(const Dut&) = delete;

    int32_t Stream() const { return static_cast<int32_t>(stream); }
    devsim::NvmStore& Eeprom() { return chip->nvm().eeprom(); }
    devsim::NvmStore& Flash() { return chip->nvm().flash(); }

    uint32_t stream = 0;
    devsim::Chip* chip = nullptr;
};

// Starts every test with an empty error holder on the shared handler.
inline void ResetErrors()
{
    TheMsgHnd::Instance().SharedHandler().SetErrorHolder(false);
}

// Text and code of the last error reported anywhere; empty when none.
inline std::string LastCsError(int16_t* aCode = nullptr)
{
    int16_t code = 0;
    std::string text;
    GetPendingError(TheMsgHnd::Instance().SharedHandler(), code, text);
    if (aCode != nullptr) *aCode = code;
    return text;
}

// A fresh, empty folder under the system's temporary folder.
inline std::string TempDir(const std::string& aName)
{
    auto dir = std::filesystem::temp_directory_path() / ("nvt_csapi_" + aName);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

}  // namespace cstest

#endif
