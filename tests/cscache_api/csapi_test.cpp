// The nvtCsCache exports and the firmware load with CS keys, driven as a
// test station drives them.
#include "csfixture.h"
#include "nivoratest.h"
#include "nvimagegen.h"
#include "xbvbuilder.h"

#include "support/clock.h"

#include <cstring>

using namespace cstest;

namespace {

class CsApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetErrors();
        dir = TempDir(std::string("api_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        db = WriteTestDatabase(dir);
    }
    void TearDown() override
    {
        if (h != nullptr) nvtClose(h);
    }
    std::string Path(const std::string& aName) const { return dir + "/" + aName; }
    int32_t Open(const std::string& aTransport = "sim", const char* aDb = nullptr)
    {
        return nvtOpen(aTransport.c_str(), aDb != nullptr ? aDb : db.c_str(), &h);
    }
    // A KEYR file of CS version aVersion with the given key lines.
    std::string Keyr(const std::string& aName, uint16_t aVersion, const std::string& aLines = "")
    {
        WriteText(Path(aName), ">DECIMAL_CS_VERSION=" + std::to_string(aVersion) + "\n" + aLines);
        return Path(aName);
    }
    std::string Error() const { return nvtGetLastError(h); }
    std::vector<uint16_t> Item(const char* aName)
    {
        uint16_t words[32] = {};
        uint16_t length = 32;
        EXPECT_EQ(0, nvtCsCacheReadItem(h, aName, words, &length)) << Error();
        return std::vector<uint16_t>(words, words + length);
    }

    nvtclock::ScopedFakeClock clock;
    NvtHandle h = nullptr;
    std::string dir;
    std::string db;
};

TEST_F(CsApi, MissingKeyDatabaseLeavesTheCacheUninitialised)
{
    EXPECT_EQ(-40, Open("sim", "/no/such/dir/db.xml"));
    const std::string text = Error();
    EXPECT_EQ(0u, text.find("Error loading CS key XML database (")) << text;
    EXPECT_GT(text.size(), std::strlen("Error loading CS key XML database ()"));
    EXPECT_EQ(')', text.back());
    uint16_t version = 0;
    EXPECT_EQ(-41, nvtCsCacheGetVersion(h, &version));
    EXPECT_EQ("CS cache is not initialised (Read from chip / file required)", Error());
    EXPECT_EQ(-41, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0));
    EXPECT_EQ(-41, nvtCsCacheFileMerge(h, "x.keyr", 0));
}

TEST_F(CsApi, NothingCachedAndBadParameters)
{
    ASSERT_EQ(0, Open());
    uint16_t version = 0;
    EXPECT_EQ(-41, nvtCsCacheGetVersion(h, &version));
    EXPECT_EQ("The cache has not been read/initialised yet", Error());
    EXPECT_EQ(-10, nvtCsCacheGetVersion(h, nullptr));
    EXPECT_EQ(-10, nvtCsCacheWriteToChip(h, 0, 0));
    EXPECT_EQ("Unsupported NVM type", Error());
    EXPECT_EQ(-10, nvtCsCacheReadFromFile(h, nullptr));
    EXPECT_EQ("Invalid parameter(s)", Error());
    EXPECT_EQ(-40, nvtCsCacheReadFromFile(h, Path("image.bin").c_str()));
    EXPECT_EQ("The file has the wrong extension.", Error());
    uint16_t length = 1;
    EXPECT_EQ(-10, nvtCsCacheReadItem(h, nullptr, &version, &length));
    EXPECT_EQ(-10, nvtCsCacheWriteItem(h, "TRIM", &version, nullptr));
}

TEST_F(CsApi, ReadAndWriteItemsWithLengths)
{
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Keyr("k.keyr", 5, "&BDADDR = 1 2 3 4\n").c_str())) << Error();
    uint16_t version = 0;
    ASSERT_EQ(0, nvtCsCacheGetVersion(h, &version));
    EXPECT_EQ(5, version);

    uint16_t words[8] = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    uint16_t length = 2;
    EXPECT_EQ(-10, nvtCsCacheReadItem(h, "BDADDR", words, &length));
    EXPECT_EQ("CS key length exceeds specified length (expected: 2, actual: 4)", Error());
    EXPECT_EQ(4, length);
    EXPECT_EQ(0xEEEE, words[0]);  // nothing copied
    EXPECT_EQ(0, nvtCsCacheReadItem(h, "BDADDR", words, &length));
    EXPECT_EQ(1, words[0]);
    EXPECT_EQ(4, words[3]);
    length = 8;
    EXPECT_EQ(0, nvtCsCacheReadItem(h, "bdaddr", words, &length));  // any case
    EXPECT_EQ(4, length);
    EXPECT_EQ(0xEEEE, words[4]);

    uint16_t address[4] = {0xA, 0xB, 0xC, 0xD};
    length = 3;
    EXPECT_EQ(-10, nvtCsCacheWriteItem(h, "BDADDR", address, &length));
    EXPECT_EQ("CS key length does not match (expected: 3, actual: 4)", Error());
    EXPECT_EQ(4, length);
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 3, 4}), Item("BDADDR"));
    EXPECT_EQ(0, nvtCsCacheWriteItem(h, "BdAddr", address, &length));
    EXPECT_EQ((std::vector<uint16_t>{0xA, 0xB, 0xC, 0xD}), Item("BDADDR"));

    uint16_t trim = 0x21;
    length = 1;
    EXPECT_EQ(-40, nvtCsCacheWriteItem(h, "TRIM", &trim, &length));
    EXPECT_EQ("Invalid key data: Key ID: 0x0002, Range: 0x0010-0x0020, Value: 0x0021.  ", Error());
    EXPECT_EQ(-10, nvtCsCacheWriteItem(h, "NO_SUCH_KEY", &trim, &length));
    EXPECT_EQ("Unknown CS KEY \"NO_SUCH_KEY\"", Error());
}

TEST_F(CsApi, FileMergeRules)
{
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Keyr("cache.keyr", 9, "&TRIM = 11\n").c_str())) << Error();
    const std::string source = Keyr("source.KeyR", 9, "&TRIM = 1f\n&PSKEY_A = 7 8\n");
    EXPECT_EQ(-10, nvtCsCacheFileMerge(h, source.c_str(), 1));
    EXPECT_EQ("Can't merge firmware from KEYR file", Error());
    EXPECT_EQ(-10, nvtCsCacheFileMerge(h, source.c_str(), 2));
    EXPECT_EQ(-10, nvtCsCacheFileMerge(h, nullptr, 0));
    // Only the low 8 bits of the flag count.
    ASSERT_EQ(0, nvtCsCacheFileMerge(h, source.c_str(), 0x100)) << Error();
    EXPECT_EQ((std::vector<uint16_t>{0x1f}), Item("TRIM"));
    EXPECT_EQ((std::vector<uint16_t>{7, 8}), Item("PSKEY_A"));

    const std::string older = Keyr("older.keyr", 7, "&TRIM = 12\n");
    EXPECT_EQ(-42, nvtCsCacheFileMerge(h, older.c_str(), 0));
    EXPECT_EQ("CS version mismatch between source (7) and current CS cache (9)", Error());
    EXPECT_EQ((std::vector<uint16_t>{0x1f}), Item("TRIM"));  // unchanged, build 9 selected again
    uint16_t version = 0;
    ASSERT_EQ(0, nvtCsCacheGetVersion(h, &version));
    EXPECT_EQ(9, version);

    EXPECT_EQ(-42, nvtCsCacheFileMerge(h, Path("missing.xuv").c_str(), 0));
    EXPECT_EQ(0u, Error().find("Error reading merge source file ("));
}

TEST_F(CsApi, FirmwareMergeTakesTheFilesImageWithTheCachesKeys)
{
    ASSERT_EQ(0, Open());
    CCsKeysInfo keys(TheMsgHnd::Instance().SharedHandler());
    ASSERT_EQ(kCsOk, keys.LoadXML(db));
    nvimagegen::ImageSpec plan;
    plan.csData = nvimagegen::BuildCsData(keys, 5, {{"TRIM", {0x10}}});
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(777, 0x0640));
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("fw.xuv"), nvimagegen::BuildImage(plan), false));

    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Keyr("cache.keyr", 5, "&TRIM = 1e\n").c_str()));
    ASSERT_EQ(0, nvtCsCacheFileMerge(h, Path("fw.xuv").c_str(), 1)) << Error();
    EXPECT_EQ((std::vector<uint16_t>{0x1e}), Item("TRIM"));
    // The cache now holds the file's header and firmware: it can be written whole.
    ASSERT_EQ(0, nvtCsCacheWriteToFile(h, Path("merged.xuv").c_str())) << Error();
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Path("merged.xuv").c_str()));
    EXPECT_EQ((std::vector<uint16_t>{0x1e}), Item("TRIM"));
}

TEST_F(CsApi, ImagesSurviveOnTheChipsNvm)
{
    const std::string nvm = Path("nvm");
    std::filesystem::create_directories(nvm);
    CCsKeysInfo keys(TheMsgHnd::Instance().SharedHandler());
    ASSERT_EQ(kCsOk, keys.LoadXML(db));
    nvimagegen::ImageSpec plan;
    plan.csData = nvimagegen::BuildCsData(keys, 5, {});
    plan.firmware.push_back(nvimagegen::MainFirmwareBlock(4321, 0x0640));
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("image.img"), nvimagegen::BuildImage(plan), true));

    ASSERT_EQ(0, Open("sim:nvm=" + nvm));
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Path("image.img").c_str())) << Error();
    uint16_t trim = 0x14;
    uint16_t length = 1;
    ASSERT_EQ(0, nvtCsCacheWriteItem(h, "TRIM", &trim, &length));
    ASSERT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 0)) << Error();
    ASSERT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_SPI_FLASH, 0)) << Error();
    trim = 0x15;
    ASSERT_EQ(0, nvtCsCacheWriteItem(h, "TRIM", &trim, &length));
    ASSERT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 1)) << Error();  // CS block only
    nvtClose(h);
    h = nullptr;

    ASSERT_EQ(0, Open("sim:nvm=" + nvm));
    ASSERT_EQ(0, nvtCsCacheReadFromChip(h, NVT_NVM_SPI_FLASH, 0)) << Error();
    EXPECT_EQ((std::vector<uint16_t>{0x14}), Item("TRIM"));
    ASSERT_EQ(0, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0)) << Error();
    EXPECT_EQ((std::vector<uint16_t>{0x15}), Item("TRIM"));
}

TEST_F(CsApi, FirmwareLoadCopiesTheCachedCsKeys)
{
    fixtures::PtFirmwareSpec fw;
    fw.csKeysVersion = 5;
    fixtures::TempFile xbv(fixtures::BuildPtFirmware(fw));
    ASSERT_EQ(0, Open("sim:name=cskeys"));
    // Without cached CS data the load fails with the cache's code.
    EXPECT_EQ(-41, nvtLoadPtFirmware(h, xbv.c_str(), 1));

    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Keyr("k.keyr", 5, "&BDADDR = 11 22 33 44\n").c_str()));
    ASSERT_EQ(0, nvtLoadPtFirmware(h, xbv.c_str(), 1)) << Error();
    auto chip = devsim::FindByName("cskeys");
    ASSERT_TRUE(chip);
    EXPECT_EQ(5, chip->Peek(4, fw.csKeysWord));
    EXPECT_EQ(0x11, chip->Peek(4, fw.csKeysWord + 22));
    EXPECT_EQ(0x44, chip->Peek(4, fw.csKeysWord + 25));

    // A chip operation, even one refused for its NVM type, ends the loaded state.
    uint32_t api = 0;
    ASSERT_EQ(0, nvtGetPtFwApiVersion(h, &api));
    EXPECT_EQ(-10, nvtCsCacheReadFromChip(h, 3, 0));
    EXPECT_EQ("Unsupported NVM type", Error());
    EXPECT_EQ(-6, nvtGetPtFwApiVersion(h, &api));

    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Keyr("k7.keyr", 7).c_str()));
    EXPECT_EQ(-42, nvtLoadPtFirmware(h, xbv.c_str(), 1));
    EXPECT_EQ("Firmware download failed: CS Key versions don't match (firmware: 5, source: 7)", Error());
}

}  // namespace
