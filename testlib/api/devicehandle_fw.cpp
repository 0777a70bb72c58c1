// Download and start of the production-test firmware, and the queries of
// its build-id text, build id, CS keys version and API version.
//
// The queries that take an XBV path read the file anew and need no loaded
// firmware. They read the lookup tables in the format of the connected
// chip's family; on a handle that is not connected they assume the one
// chip type the library supports, since that is the chip the firmware
// files are made for.
#include "api/devicehandle.h"

#include "core/chiptable.h"
#include "ptest/fwtables.h"
#include "ptest/mailbox.h"
#include "nivoratest.h"
#include "cscache/nvtcscache.h"
#include "ptest/xbvfile.h"

#include <cstring>
#include <sstream>
#include <vector>

namespace {

constexpr uint16_t kProgramCounterHigh = 0xFFE9;
constexpr uint16_t kProgramCounterLow = 0xFFEA;
constexpr uint32_t kBuildIdTextSize = 256;
constexpr uint16_t kBuildIdResultWords = 3;
constexpr uint16_t kApiVersionWords = 2;

// The chip whose table formats apply to a handle.
const CXapHelper& ChipOf(const CDeviceHandle& aHandle)
{
    static const CXapHelper supported = [] {
        CXapHelper chip;
        chip.identified = 1;
        chip.chipIndex = kSupportedChipIndex;
        return chip;
    }();
    if (aHandle.state < kStateConnected) return supported;
    return qlk_stream_xap_helper(aHandle.stream);
}

// Reads the build-id text item of a file; false when it has none.
bool BuildIdText(const XbvFile& aFile, std::string& aText)
{
    char buffer[kBuildIdTextSize];
    if (!aFile.GetInfo("IBIS", buffer, sizeof(buffer))) return false;
    aText = buffer;
    return true;
}

// Reads an XBV file and its lookup tables for the queries that take a path,
// with the CS keys version word the main table points at.
int32_t QueryFile(const char* aPath, const CXapHelper& aChip, CLastError& aLastError,
                  PtFirmwareTables& aTables, uint16_t& aCsVersion)
{
    XbvFile file(aPath);
    if (file.ErrorCode() != XbvFile::kNoError)
        return aLastError.SetError(NVT_ERR_FW_FILE, XbvReadErrorText(file));
    if (int32_t rc = ReadFirmwareTables(file, aChip, aLastError, aTables)) return rc;
    aCsVersion = 0xFFFF;
    file.ReadGP(kFirmwareSpace, aTables.csKeysLocation * 2, 1, &aCsVersion);
    return NVT_OK;
}

}  // namespace

int32_t CDeviceHandle::LoadPtFirmware(const char* aXbvPath, bool aLoadCsKeys)
{
    if (int32_t rc = RequireConnected()) return rc;
    if (aXbvPath == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);

    XbvFile file(aXbvPath);
    if (file.ErrorCode() != XbvFile::kNoError)
        return lastError.SetError(NVT_ERR_FW_FILE, XbvReadErrorText(file));

    qlk_stream_setvar(stream, "SPI_FAST_RESET", "FASTER");
    if (qlk_stream_xap_reset_and_stop(stream) != 0)
        return lastError.SetError(NVT_ERR_STOP_FAILED,
                                  "Failed to reset and stop the chip (" + TransportErrorText() + ")");

    PtFirmwareTables tables;
    if (int32_t rc = ReadFirmwareTables(file, ChipOf(*this), lastError, tables)) return rc;
    commandLocation = tables.commandLocation;
    aliveTick = tables.aliveTick;
    parameters = tables.parameters;
    results = tables.results;
    ptestBuildId = tables.ptestBuildId;
    startAddress = tables.startAddress;
    csKeysLocation = tables.csKeysLocation;

    if (!BuildIdText(file, fwBuildIdText)) fwBuildIdText = "Failed to get firmware build ID string";

    // Every block is tried before a failure is reported.
    bool writeFailed = false;
    for (const XbvChunkFwdl* block = file.NextFirmwareBlock(nullptr); block != nullptr;
         block = file.NextFirmwareBlock(block)) {
        const GenericPointer where{block->Space(), block->ByteAddress()};
        if (qlk_stream_writegp_block_verify(stream, where, block->WordCount(), block->Words()) != 0) {
            lastError.SetError(NVT_ERR_WRITE_FAILED, "Failed to write firmware to DUT");
            writeFailed = true;
        }
    }
    if (writeFailed) return NVT_ERR_WRITE_FAILED;

    if (aLoadCsKeys) {
        const GenericPointer keys = RamWord(csKeysLocation);
        uint16_t firmwareVersion = 0;
        if (qlk_stream_readgp_verify(stream, keys, &firmwareVersion) != 0)
            return lastError.SetError(NVT_ERR_READ_FAILED,
                                      "Firmware download failed: Failed to read ptest firmware CS keys version number");
        if (!csCache) return lastError.SetErrorCode(NVT_ERR_CS_NOT_INIT);
        uint16_t cacheVersion = 0;
        if (int32_t rc = csCache->GetCsVersion(cacheVersion)) return rc;
        if (firmwareVersion != cacheVersion) {
            std::ostringstream text;
            text << "Firmware download failed: CS Key versions don't match (firmware: " << firmwareVersion
                 << ", source: " << cacheVersion << ")";
            return lastError.SetError(NVT_ERR_CS_VERSION, text.str());
        }
        std::vector<uint16_t> block;
        if (int32_t rc = csCache->GetCsKeysBlock(block)) return rc;
        if (qlk_stream_writegp_block_verify(stream, keys, static_cast<uint32_t>(block.size()),
                                            block.data()) != 0)
            return lastError.SetError(NVT_ERR_WRITE_FAILED,
                                      "Firmware download failed: Error writing CS keys to RAM");
    }

    // The program counter is a word address; only the start address's byte
    // address matters, its memory space is not used.
    const uint32_t pc = startAddress.address / 2;
    const int32_t highRc = qlk_stream_writegp_verify(stream, RamWord(kProgramCounterHigh),
                                                     static_cast<uint16_t>(pc >> 16));
    const int32_t lowRc = qlk_stream_writegp_verify(stream, RamWord(kProgramCounterLow),
                                                    static_cast<uint16_t>(pc & 0xFFFF));
    if (highRc != 0 || lowRc != 0)
        return lastError.SetError(NVT_ERR_WRITE_FAILED, "Firmware download failed: Failed to set Program Counter");

    qlk_stream_xap_go(stream);

    CMailbox mailbox(stream, lastError, commandLocation, aliveTick, parameters, results);
    if (int32_t rc = mailbox.WaitForResponse()) {
        if (rc == NVT_ERR_FW_TIMEOUT)
            return lastError.SetError(NVT_ERR_FW_TIMEOUT,
                                      std::string("Firmware initialisation timed out: ") + lastError.Text());
        return rc;
    }
    uint16_t response = 0;
    if (qlk_stream_readgp_verify(stream, commandLocation, &response) != 0)
        return lastError.SetError(NVT_ERR_READ_FAILED, "Failed to read firmware initialisation response");
    if (response != kFirmwareReady)
        return lastError.SetError(NVT_ERR_FW_INIT_FAILED,
                                  "Firmware failed to initialise correctly (response: " + Hex4Upper(response) + ")");
    uint16_t api[kApiVersionWords] = {0, 0};
    if (qlk_stream_readgp_block_verify(stream, results, kApiVersionWords, api) != 0)
        return lastError.SetError(NVT_ERR_READ_FAILED, "Failed to read firmware API version");
    fwApiVersion = (static_cast<uint32_t>(api[0]) << 16) | api[1];

    state = kStateFirmwareLoaded;
    return NVT_OK;
}

int32_t CDeviceHandle::GetPtFwBuildInfo(const char* aXbvPath, uint16_t* aLength, char* aBuffer)
{
    // Every failure but a too-small buffer reports a length of 0.
    auto fail = [&](int32_t aCode) {
        if (aLength != nullptr) *aLength = 0;
        return aCode;
    };
    if (aXbvPath == nullptr) {
        if (int32_t rc = RequireFirmware()) return fail(rc);
    }
    if (aLength == nullptr || *aLength == 0 || aBuffer == nullptr)
        return fail(lastError.SetErrorCode(NVT_ERR_INVALID_PARAM));

    std::string text;
    if (aXbvPath != nullptr) {
        XbvFile file(aXbvPath);
        if (file.ErrorCode() != XbvFile::kNoError)
            return fail(lastError.SetError(NVT_ERR_FW_FILE, XbvReadErrorText(file)));
        if (!BuildIdText(file, text))
            return fail(lastError.SetError(NVT_ERR_FW_FILE, std::string("Error reading build ID from XBV file (") +
                                                                aXbvPath + " has no build ID string)"));
    } else {
        text = fwBuildIdText;
    }

    const size_t needed = text.size() + 1;
    if (*aLength < needed) {
        // A text longer than a 16-bit length can describe reports the largest one.
        *aLength = static_cast<uint16_t>(needed > 0xFFFF ? 0xFFFF : needed);
        return lastError.SetError(NVT_ERR_BUFFER_TOO_SMALL,
                                  "The given character buffer length is too small to store the build ID string");
    }
    std::memcpy(aBuffer, text.c_str(), needed);
    return NVT_OK;
}

int32_t CDeviceHandle::GetPtFwBuildId(const char* aXbvPath, uint16_t* aBuildId)
{
    if (aXbvPath == nullptr) {
        if (int32_t rc = RequireFirmware()) return rc;
    }
    if (aBuildId == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);

    if (aXbvPath != nullptr) {
        PtFirmwareTables tables;
        uint16_t csVersion = 0;
        if (int32_t rc = QueryFile(aXbvPath, ChipOf(*this), lastError, tables, csVersion)) return rc;
        *aBuildId = tables.ptestBuildId;
        return NVT_OK;
    }

    CMailbox mailbox(stream, lastError, commandLocation, aliveTick, parameters, results);
    if (int32_t rc = mailbox.SendCommand(kCmdGetBuildId)) return rc;
    uint16_t words[kBuildIdResultWords] = {0, 0, 0};
    if (int32_t rc = mailbox.ReadResults(kBuildIdResultWords, words)) return rc;
    *aBuildId = words[0];
    return NVT_OK;
}

int32_t CDeviceHandle::GetPtFwCsVersion(const char* aXbvPath, uint16_t* aCsVersion)
{
    if (aXbvPath == nullptr) {
        if (int32_t rc = RequireFirmware()) return rc;
    }
    if (aCsVersion == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);

    if (aXbvPath != nullptr) {
        PtFirmwareTables tables;
        return QueryFile(aXbvPath, ChipOf(*this), lastError, tables, *aCsVersion);
    }

    uint16_t version = 0;
    if (qlk_stream_read_verify(stream, static_cast<uint16_t>(csKeysLocation & 0xFFFF), &version) != 0)
        return lastError.SetError(NVT_ERR_READ_FAILED, "Failed to read CS version from RAM");
    *aCsVersion = version;
    return NVT_OK;
}

int32_t CDeviceHandle::GetPtFwApiVersion(uint32_t* aApiVersion)
{
    if (int32_t rc = RequireFirmware()) return rc;
    if (aApiVersion == nullptr) return lastError.SetErrorCode(NVT_ERR_INVALID_PARAM);
    *aApiVersion = fwApiVersion;
    return NVT_OK;
}
