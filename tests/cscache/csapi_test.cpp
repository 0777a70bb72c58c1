// The nvtCsCache exports and the firmware load with CS keys, driven as a
// test station drives them.
#include "keydatabase.h"
#include "nvimagegen.h"
#include "simdut.h"

#include <cstring>

using namespace cstest;
using namespace testsupport;

namespace {

class CsApi : public SimDutTest {
protected:
    void SetUp() override
    {
        ResetErrors();
        db = WriteTestDatabase(scratch.path());
    }
    std::string Path(const std::string& aName) const { return scratch.File(aName); }
    int32_t Open(const std::string& aTransport = "sim", const char* aDb = nullptr)
    {
        return TryOpen(aTransport, aDb != nullptr ? aDb : db.c_str());
    }
    // A KEYR file of CS version aVersion with the given key lines.
    std::string Keyr(const std::string& aName, uint16_t aVersion, const std::string& aLines = "")
    {
        WriteWholeFile(Path(aName), ">DECIMAL_CS_VERSION=" + std::to_string(aVersion) + "\n" + aLines);
        return Path(aName);
    }
    std::vector<uint16_t> Item(const char* aName)
    {
        uint16_t words[32] = {};
        uint16_t length = 32;
        EXPECT_EQ(NVT_OK, nvtCsCacheReadItem(handle, aName, words, &length)) << Text();
        return std::vector<uint16_t>(words, words + length);
    }

    nvtclock::ScopedFakeClock clock;
    ScratchDir scratch;
    std::string db;
};

TEST_F(CsApi, MissingKeyDatabaseLeavesTheCacheUninitialised)
{
    EXPECT_EQ(NVT_ERR_CS_GENERAL, Open("sim", "/no/such/dir/db.xml"));
    const std::string text = Text();
    EXPECT_EQ(0u, text.find("Error loading CS key XML database (")) << text;
    EXPECT_GT(text.size(), std::strlen("Error loading CS key XML database ()"));
    EXPECT_EQ(')', text.back());
    uint16_t version = 0;
    EXPECT_EQ(NVT_ERR_CS_NOT_INIT, nvtCsCacheGetVersion(handle, &version));
    EXPECT_EQ("CS cache is not initialised (Read from chip / file required)", Text());
    EXPECT_EQ(NVT_ERR_CS_NOT_INIT, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0));
    EXPECT_EQ(NVT_ERR_CS_NOT_INIT, nvtCsCacheFileMerge(handle, "x.keyr", 0));
}

TEST_F(CsApi, NothingCachedAndBadParameters)
{
    ASSERT_EQ(NVT_OK, Open());
    uint16_t version = 0;
    EXPECT_EQ(NVT_ERR_CS_NOT_INIT, nvtCsCacheGetVersion(handle, &version));
    EXPECT_EQ("The cache has not been read/initialised yet", Text());
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheGetVersion(handle, nullptr));
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheWriteToChip(handle, 0, 0));
    EXPECT_EQ("Unsupported NVM type", Text());
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheReadFromFile(handle, nullptr));
    EXPECT_EQ("Invalid parameter(s)", Text());
    EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheReadFromFile(handle, Path("image.bin").c_str()));
    EXPECT_EQ("The file has the wrong extension.", Text());
    uint16_t length = 1;
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheReadItem(handle, nullptr, &version, &length));
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheWriteItem(handle, "TRIM", &version, nullptr));
}

TEST_F(CsApi, ReadAndWriteItemsWithLengths)
{
    ASSERT_EQ(NVT_OK, Open());
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Keyr("k.keyr", 5, "&BDADDR = 1 2 3 4\n").c_str())) << Text();
    uint16_t version = 0;
    ASSERT_EQ(NVT_OK, nvtCsCacheGetVersion(handle, &version));
    EXPECT_EQ(5, version);

    uint16_t words[8] = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    uint16_t length = 2;
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheReadItem(handle, "BDADDR", words, &length));
    EXPECT_EQ("CS key length exceeds specified length (expected: 2, actual: 4)", Text());
    EXPECT_EQ(4, length);
    EXPECT_EQ(0xEEEE, words[0]);  // nothing copied
    EXPECT_EQ(NVT_OK, nvtCsCacheReadItem(handle, "BDADDR", words, &length));
    EXPECT_EQ(1, words[0]);
    EXPECT_EQ(4, words[3]);
    length = 8;
    EXPECT_EQ(NVT_OK, nvtCsCacheReadItem(handle, "bdaddr", words, &length));  // any case
    EXPECT_EQ(4, length);
    EXPECT_EQ(0xEEEE, words[4]);

    uint16_t address[4] = {0xA, 0xB, 0xC, 0xD};
    length = 3;
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheWriteItem(handle, "BDADDR", address, &length));
    EXPECT_EQ("CS key length does not match (expected: 3, actual: 4)", Text());
    EXPECT_EQ(4, length);
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 3, 4}), Item("BDADDR"));
    EXPECT_EQ(NVT_OK, nvtCsCacheWriteItem(handle, "BdAddr", address, &length));
    EXPECT_EQ((std::vector<uint16_t>{0xA, 0xB, 0xC, 0xD}), Item("BDADDR"));

    uint16_t trim = 0x21;
    length = 1;
    EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheWriteItem(handle, "TRIM", &trim, &length));
    EXPECT_EQ("Invalid key data: Key ID: 0x0002, Range: 0x0010-0x0020, Value: 0x0021.  ", Text());
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheWriteItem(handle, "NO_SUCH_KEY", &trim, &length));
    EXPECT_EQ("Unknown CS KEY \"NO_SUCH_KEY\"", Text());
}

TEST_F(CsApi, FileMergeRules)
{
    ASSERT_EQ(NVT_OK, Open());
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Keyr("cache.keyr", 9, "&TRIM = 11\n").c_str())) << Text();
    const std::string source = Keyr("source.KeyR", 9, "&TRIM = 1f\n&PSKEY_A = 7 8\n");
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheFileMerge(handle, source.c_str(), 1));
    EXPECT_EQ("Can't merge firmware from KEYR file", Text());
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheFileMerge(handle, source.c_str(), 2));
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheFileMerge(handle, nullptr, 0));
    // Only the low 8 bits of the flag count.
    ASSERT_EQ(NVT_OK, nvtCsCacheFileMerge(handle, source.c_str(), 0x100)) << Text();
    EXPECT_EQ((std::vector<uint16_t>{0x1f}), Item("TRIM"));
    EXPECT_EQ((std::vector<uint16_t>{7, 8}), Item("PSKEY_A"));

    const std::string older = Keyr("older.keyr", 7, "&TRIM = 12\n");
    EXPECT_EQ(NVT_ERR_CS_VERSION, nvtCsCacheFileMerge(handle, older.c_str(), 0));
    EXPECT_EQ("CS version mismatch between source (7) and current CS cache (9)", Text());
    EXPECT_EQ((std::vector<uint16_t>{0x1f}), Item("TRIM"));  // unchanged, build 9 selected again
    uint16_t version = 0;
    ASSERT_EQ(NVT_OK, nvtCsCacheGetVersion(handle, &version));
    EXPECT_EQ(9, version);

    EXPECT_EQ(NVT_ERR_CS_VERSION, nvtCsCacheFileMerge(handle, Path("missing.xuv").c_str(), 0));
    EXPECT_EQ(0u, Text().find("Error reading merge source file ("));
}

TEST_F(CsApi, FirmwareMergeTakesTheFilesImageWithTheCachesKeys)
{
    ASSERT_EQ(NVT_OK, Open());
    CCsKeysInfo keys(TheMsgHnd::Instance().SharedHandler());
    ASSERT_EQ(kCsOk, keys.LoadXML(db));
    nvimagegen::ImagePlan plan;
    plan.csData = nvimagegen::BuildCsData(keys, 5, {{"TRIM", {0x10}}});
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(777, 0x0640));
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("fw.xuv"), nvimagegen::BuildImage(plan), false));

    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Keyr("cache.keyr", 5, "&TRIM = 1e\n").c_str()));
    ASSERT_EQ(NVT_OK, nvtCsCacheFileMerge(handle, Path("fw.xuv").c_str(), 1)) << Text();
    EXPECT_EQ((std::vector<uint16_t>{0x1e}), Item("TRIM"));
    // The cache now holds the file's header and firmware: it can be written whole.
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteToFile(handle, Path("merged.xuv").c_str())) << Text();
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Path("merged.xuv").c_str()));
    EXPECT_EQ((std::vector<uint16_t>{0x1e}), Item("TRIM"));
}

TEST_F(CsApi, ImagesSurviveOnTheChipsNvm)
{
    const std::string nvm = Path("nvm");
    std::filesystem::create_directories(nvm);
    CCsKeysInfo keys(TheMsgHnd::Instance().SharedHandler());
    ASSERT_EQ(kCsOk, keys.LoadXML(db));
    nvimagegen::ImagePlan plan;
    plan.csData = nvimagegen::BuildCsData(keys, 5, {});
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(4321, 0x0640));
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("image.img"), nvimagegen::BuildImage(plan), true));

    ASSERT_EQ(NVT_OK, Open("sim:nvm=" + nvm));
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Path("image.img").c_str())) << Text();
    uint16_t trim = 0x14;
    uint16_t length = 1;
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteItem(handle, "TRIM", &trim, &length));
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteToChip(handle, NVT_NVM_EEPROM, 0)) << Text();
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteToChip(handle, NVT_NVM_SPI_FLASH, 0)) << Text();
    trim = 0x15;
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteItem(handle, "TRIM", &trim, &length));
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteToChip(handle, NVT_NVM_EEPROM, 1)) << Text();  // CS block only
    nvtClose(handle);
    handle = nullptr;

    ASSERT_EQ(NVT_OK, Open("sim:nvm=" + nvm));
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromChip(handle, NVT_NVM_SPI_FLASH, 0)) << Text();
    EXPECT_EQ((std::vector<uint16_t>{0x14}), Item("TRIM"));
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0)) << Text();
    EXPECT_EQ((std::vector<uint16_t>{0x15}), Item("TRIM"));
}

TEST_F(CsApi, FirmwareLoadCopiesTheCachedCsKeys)
{
    fixtures::PtFirmwareLayout fw;
    fw.csKeysVersion = 5;
    fixtures::TempFile xbv(fixtures::BuildPtFirmware(fw));
    ASSERT_EQ(NVT_OK, Open("sim:name=cskeys"));
    // Without cached CS data the load fails with the cache's code.
    EXPECT_EQ(NVT_ERR_CS_NOT_INIT, nvtLoadPtFirmware(handle, xbv.c_str(), 1));

    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Keyr("k.keyr", 5, "&BDADDR = 11 22 33 44\n").c_str()));
    ASSERT_EQ(NVT_OK, nvtLoadPtFirmware(handle, xbv.c_str(), 1)) << Text();
    auto chip = devsim::FindByName("cskeys");
    ASSERT_TRUE(chip);
    EXPECT_EQ(5, chip->Peek(4, fw.csKeysWord));
    EXPECT_EQ(0x11, chip->Peek(4, fw.csKeysWord + 22));
    EXPECT_EQ(0x44, chip->Peek(4, fw.csKeysWord + 25));

    // A chip operation, even one refused for its NVM type, ends the loaded state.
    uint32_t api = 0;
    ASSERT_EQ(NVT_OK, nvtGetPtFwApiVersion(handle, &api));
    EXPECT_EQ(NVT_ERR_INVALID_PARAM, nvtCsCacheReadFromChip(handle, 3, 0));
    EXPECT_EQ("Unsupported NVM type", Text());
    EXPECT_EQ(NVT_ERR_SEQUENCE, nvtGetPtFwApiVersion(handle, &api));

    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Keyr("k7.keyr", 7).c_str()));
    EXPECT_EQ(NVT_ERR_CS_VERSION, nvtLoadPtFirmware(handle, xbv.c_str(), 1));
    EXPECT_EQ("Firmware download failed: CS Key versions don't match (firmware: 5, source: 7)", Text());
}

}  // namespace
