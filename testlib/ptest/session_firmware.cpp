// Download and start of the production-test firmware, and the queries of
// its build-id text, build id, CS keys version and API version.
//
// The queries that take an XBV path read the file anew and need no loaded
// firmware. They read the lookup tables in the format of the session's
// chip (the supported chip when no stream is open).
#include "ptest/session.h"

#include "core/transport.h"
#include "nivoratest.h"
#include "ptest/xbvfile.h"
#include "support/hextext.h"
#include "support/words.h"

#include <string>
#include <vector>

namespace {

constexpr uint16_t kProgramCounterHigh = 0xFFE9;
constexpr uint16_t kProgramCounterLow = 0xFFEA;
constexpr uint32_t kBuildIdTextSize = 256;
constexpr uint16_t kBuildIdResultWords = 3;
constexpr uint16_t kApiVersionWords = 2;

// Reads the build-id text item of a file; false when it has none.
bool ReadBuildIdText(const XbvFile& aFile, std::string& aText)
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
    // A file without the word reports 0xFFFF as the version, not a failure.
    aCsVersion = 0xFFFF;
    file.ReadGP(kFirmwareSpace, aTables.csKeysLocation * 2, 1, &aCsVersion);
    return NVT_OK;
}

}  // namespace

int32_t CPtSession::LoadFirmware(const char* aXbvPath, IPtCsKeys* aCsKeys)
{
    XbvFile file(aXbvPath);
    if (file.ErrorCode() != XbvFile::kNoError)
        return mLastError.SetError(NVT_ERR_FW_FILE, XbvReadErrorText(file));

    // A transport that does not know the variable resets at its normal speed: its result does not count.
    qlk_stream_setvar(mStream, "SPI_FAST_RESET", "FASTER");
    if (qlk_stream_xap_reset_and_stop(mStream) != 0)
        return mLastError.SetError(NVT_ERR_STOP_FAILED,
                                   "Failed to reset and stop the chip (" + TransportErrorText() + ")");

    PtFirmwareTables tables;
    if (int32_t rc = ReadFirmwareTables(file, Chip(), mLastError, tables)) return rc;
    mTables = tables;

    if (!ReadBuildIdText(file, mBuildIdText)) mBuildIdText = "Failed to get firmware build ID string";

    // Every block is tried before a failure is reported.
    bool writeFailed = false;
    for (const XbvChunkFwdl* block = file.NextFirmwareBlock(nullptr); block != nullptr;
         block = file.NextFirmwareBlock(block)) {
        const GenericPointer where{block->Space(), block->ByteAddress()};
        if (qlk_stream_writegp_block_verify(mStream, where, block->WordCount(), block->Words()) != 0) {
            mLastError.SetError(NVT_ERR_WRITE_FAILED, "Failed to write firmware to DUT");
            writeFailed = true;
        }
    }
    if (writeFailed) return NVT_ERR_WRITE_FAILED;

    if (aCsKeys != nullptr) {
        const GenericPointer keys = RamWord(mTables.csKeysLocation);
        uint16_t firmwareVersion = 0;
        if (qlk_stream_readgp_verify(mStream, keys, &firmwareVersion) != 0)
            return mLastError.SetError(NVT_ERR_READ_FAILED,
                                       "Firmware download failed: Failed to read ptest firmware CS keys version number");
        uint16_t cacheVersion = 0;
        if (int32_t rc = aCsKeys->CsKeysVersion(cacheVersion)) return rc;
        if (firmwareVersion != cacheVersion)
            return mLastError.SetError(NVT_ERR_CS_VERSION,
                                       "Firmware download failed: CS Key versions don't match (firmware: " +
                                           std::to_string(firmwareVersion) +
                                           ", source: " + std::to_string(cacheVersion) + ")");
        std::vector<uint16_t> block;
        if (int32_t rc = aCsKeys->CsKeysBlock(block)) return rc;
        if (qlk_stream_writegp_block_verify(mStream, keys, static_cast<uint32_t>(block.size()), block.data()) != 0)
            return mLastError.SetError(NVT_ERR_WRITE_FAILED, "Firmware download failed: Error writing CS keys to RAM");
    }

    // The program counter is a word address; only the start address's byte
    // address matters, its memory space is not used.
    const uint32_t pc = mTables.startAddress.address / 2;
    const int32_t highRc = qlk_stream_writegp_verify(mStream, RamWord(kProgramCounterHigh), words::High(pc));
    const int32_t lowRc = qlk_stream_writegp_verify(mStream, RamWord(kProgramCounterLow), words::Low(pc));
    if (highRc != 0 || lowRc != 0)
        return mLastError.SetError(NVT_ERR_WRITE_FAILED, "Firmware download failed: Failed to set Program Counter");

    // A processor that did not start shows as the firmware's timeout below, with its own text.
    qlk_stream_xap_go(mStream);

    CMailbox mailbox = Mailbox();
    if (int32_t rc = mailbox.WaitForResponse()) {
        if (rc == NVT_ERR_FW_TIMEOUT)
            return mLastError.SetError(NVT_ERR_FW_TIMEOUT,
                                       std::string("Firmware initialisation timed out: ") + mLastError.Text());
        return rc;
    }
    uint16_t response = 0;
    if (qlk_stream_readgp_verify(mStream, mTables.commandLocation, &response) != 0)
        return mLastError.SetError(NVT_ERR_READ_FAILED, "Failed to read firmware initialisation response");
    if (response != kFirmwareReady)
        return mLastError.SetError(NVT_ERR_FW_INIT_FAILED, "Firmware failed to initialise correctly (response: " +
                                                               hextext::Hex4Upper(response) + ")");
    uint16_t api[kApiVersionWords] = {0, 0};
    if (qlk_stream_readgp_block_verify(mStream, mTables.results, kApiVersionWords, api) != 0)
        return mLastError.SetError(NVT_ERR_READ_FAILED, "Failed to read firmware API version");
    mApiVersion = words::Join(api[0], api[1]);
    return NVT_OK;
}

int32_t CPtSession::BuildIdText(const char* aXbvPath, std::string& aText)
{
    if (aXbvPath == nullptr) {
        aText = mBuildIdText;
        return NVT_OK;
    }
    XbvFile file(aXbvPath);
    if (file.ErrorCode() != XbvFile::kNoError) return mLastError.SetError(NVT_ERR_FW_FILE, XbvReadErrorText(file));
    if (!ReadBuildIdText(file, aText))
        return mLastError.SetError(NVT_ERR_FW_FILE, std::string("Error reading build ID from XBV file (") + aXbvPath +
                                                        " has no build ID string)");
    return NVT_OK;
}

int32_t CPtSession::BuildId(const char* aXbvPath, uint16_t& aBuildId)
{
    if (aXbvPath != nullptr) {
        PtFirmwareTables tables;
        uint16_t csVersion = 0;
        if (int32_t rc = QueryFile(aXbvPath, Chip(), mLastError, tables, csVersion)) return rc;
        aBuildId = tables.ptestBuildId;
        return NVT_OK;
    }
    uint16_t results[kBuildIdResultWords] = {0, 0, 0};
    if (int32_t rc = Query(kCmdGetBuildId, kBuildIdResultWords, results)) return rc;
    aBuildId = results[0];
    return NVT_OK;
}

int32_t CPtSession::CsVersion(const char* aXbvPath, uint16_t& aCsVersion)
{
    if (aXbvPath != nullptr) {
        PtFirmwareTables tables;
        return QueryFile(aXbvPath, Chip(), mLastError, tables, aCsVersion);
    }
    // The single-word read takes a 16-bit word address in the firmware's space.
    uint16_t version = 0;
    if (qlk_stream_read_verify(mStream, static_cast<uint16_t>(mTables.csKeysLocation & 0xFFFF), &version) != 0)
        return mLastError.SetError(NVT_ERR_READ_FAILED, "Failed to read CS version from RAM");
    aCsVersion = version;
    return NVT_OK;
}
