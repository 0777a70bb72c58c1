// Nothing the CS cache writes may leave a device or a file wrong, and every
// failure text belongs to the call that failed. Driven as a test station
// drives the library: through the public header, the simulated chip and
// image files built in the test.
#include "cscache/cskeysinfo.h"
#include "cscache/nvimagecache.h"
#include "cscache/nvimagecs.h"
#include "cscache/nvimagehdr.h"
#include "devsim.h"
#include "keydbgen.h"
#include "layoutimages.h"
#include "nivoratest.h"
#include "nvimagegen.h"
#include "nvm.h"
#include "support/clock.h"
#include "support/fileutil.h"
#include "support/msghandler.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Words = std::vector<uint16_t>;

using namespace layoutimages;

std::string ReadBytes(const std::string& aPath)
{
    std::ifstream in(aPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& aPath, const std::string& aBytes)
{
    std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
    out << aBytes;
}

class Integrity : public ::testing::Test {
protected:
    void SetUp() override
    {
        TheMsgHnd::Instance().SharedHandler().SetErrorHolder(false);
        dir = (fs::temp_directory_path() /
               ("nvt_integrity_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())))
                  .string();
        fs::remove_all(dir);
        fs::create_directories(dir);
        db = Path("cskey_db.xml");
        ASSERT_TRUE(keydbgen::WriteFile(db, keydbgen::ToXml(Database())));
    }
    void TearDown() override
    {
        if (h != nullptr) nvtClose(h);
        fs::remove_all(dir);
    }
    std::string Path(const std::string& aName) const { return dir + "/" + aName; }
    int32_t Open(const std::string& aOptions = "")
    {
        if (h != nullptr) nvtClose(h);
        h = nullptr;
        const std::string transport = "sim:nvm=" + Path("nvm") + ",eeprom=0x800,flash=0x1000" + aOptions;
        return nvtOpen(transport.c_str(), db.c_str(), &h);
    }
    std::string Error() const { return nvtGetLastError(h); }
    std::string Image(const std::string& aName, const nvimagegen::ImagePlan& aLayout)
    {
        EXPECT_TRUE(nvimagegen::WriteImageFile(Path(aName), nvimagegen::BuildImage(aLayout), false));
        return Path(aName);
    }
    std::string Keyr(const std::string& aName, const std::string& aText)
    {
        WriteBytes(Path(aName), aText);
        return Path(aName);
    }
    Words Item(const char* aName)
    {
        uint16_t words[16] = {};
        uint16_t length = 16;
        EXPECT_EQ(0, nvtCsCacheReadItem(h, aName, words, &length)) << Error();
        return Words(words, words + length);
    }
    int32_t SetItem(const char* aName, Words aValues)
    {
        uint16_t length = static_cast<uint16_t>(aValues.size());
        return nvtCsCacheWriteItem(h, aName, aValues.data(), &length);
    }
    // The memory's words as its backing file holds them.
    Words Device(uint32_t aNvm) const
    {
        const std::string bytes = ReadBytes(Path(aNvm == NVT_NVM_EEPROM ? "nvm/eeprom.bin" : "nvm/spiflash.bin"));
        Words words(bytes.size() / 2);
        for (size_t i = 0; i < words.size(); ++i)
            words[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                             (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
        return words;
    }

    nvtclock::ScopedFakeClock clock;
    NvtHandle h = nullptr;
    std::string dir;
    std::string db;
};

bool StartsWith(const Words& aWords, const Words& aPrefix)
{
    return aWords.size() >= aPrefix.size() && std::equal(aPrefix.begin(), aPrefix.end(), aWords.begin());
}

// --- CS data stay inside the CS block ---------------------------------------

TEST_F(Integrity, KeysOutsideTheCsBlockAreRefusedAndTheFirmwareStays)
{
    // Build 9 places FAR at words 20-21, past the image's 16-word CS block.
    const nvimagegen::ImagePlan layout = ImageLayout(CsData(9, 0x12, 0x100), 4321, 8);
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Image("nine.xuv", layout).c_str())) << Error();
    ASSERT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 0)) << Error();
    const Words before = Device(NVT_NVM_EEPROM);

    EXPECT_EQ(-40, SetItem("FAR", {1, 2}));
    EXPECT_EQ("Invalid key location: Key ID: 0x0004 (FAR), words 20-21 lie outside the CS block of the cached "
              "image (16 words).  ",
              Error());
    // A key file sets every key, FAR included: refused as well.
    EXPECT_EQ(-40, nvtCsCacheReadFromFile(h, Keyr("nine.keyr", ">DECIMAL_CS_VERSION=9\n&TRIM = 13\n").c_str()));
    EXPECT_NE(std::string::npos, Error().find("(FAR)")) << Error();
    // So is a CS-value merge from a key file, and the cached data stay
    // inside the block: a CS-only write leaves the firmware as it was.
    EXPECT_EQ(0, nvtCsCacheReadFromFile(h, Path("nine.xuv").c_str())) << Error();
    EXPECT_EQ(-40, nvtCsCacheFileMerge(h, Path("nine.keyr").c_str(), 0));
    EXPECT_EQ(0u, Error().find("Error merging CS values (Invalid key location: Key ID: 0x0004 (FAR)")) << Error();
    ASSERT_EQ(0, SetItem("TRIM", {0x14}));
    ASSERT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 1)) << Error();
    const Words after = Device(NVT_NVM_EEPROM);
    const size_t csEnd = nvimagegen::BuildHeader(layout).size() + kCsWords;
    EXPECT_TRUE(std::equal(before.begin() + csEnd, before.end(), after.begin() + csEnd));
    ASSERT_EQ(0, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0)) << Error();
    EXPECT_EQ(Words{0x14}, Item("TRIM"));
}

TEST_F(Integrity, CsDataLongerThanTheBlockAreNeverSaved)
{
    // The engine's last line of defence: data that outgrew the block (here
    // grown behind the key checks) are refused before the first write.
    CCsKeysInfo keys(TheMsgHnd::Instance().SharedHandler());
    ASSERT_EQ(kCsOk, keys.LoadXML(db));
    nvimagegen::MemoryTarget source(nvimagegen::BuildImage(ImageLayout(CsData(5, 0x12, 0x100), 77, 4)));
    CNvImageCache engine(&keys, nullptr);
    ASSERT_EQ(kCsOk, engine.Load(source, false));
    ASSERT_EQ(kCsOk, engine.CsSection().WriteData(kCsWords, Words{1, 2}));
    for (bool csOnly : {false, true}) {
        nvimagegen::MemoryTarget target(Words(0x400, 0xFFFF));
        EXPECT_EQ(kCsInvalidLength, engine.Save(target, csOnly));
        EXPECT_EQ(0u, target.writes);
        EXPECT_EQ("The CS data do not fit the CS block of the image (block length: 32 bytes, data length: 36 "
                  "bytes); nothing was written",
                  testsupport::LastErrorText());
    }
}

// --- A failed file write keeps the old file ----------------------------------

TEST_F(Integrity, FailedFileWritesKeepTheOldFileByteForByte)
{
    const std::string xuv = Image("old.xuv", ImageLayout(CsData(5, 0x12, 0x100), 77, 4));
    const std::string img = Path("old.img");
    ASSERT_TRUE(nvimagegen::WriteImageFile(img, nvimagegen::BuildImage(ImageLayout(CsData(5, 0x13, 0x200), 78, 4)), true));
    const std::string keyr = Keyr("old.keyr", ">DECIMAL_CS_VERSION=5\n&TRIM = 15\n");
    const std::map<std::string, std::string> originals = {
        {xuv, ReadBytes(xuv)}, {img, ReadBytes(img)}, {keyr, ReadBytes(keyr)}};

    ASSERT_EQ(0, Open());
    // Nothing cached.
    for (const auto& file : originals) {
        EXPECT_EQ(-40, nvtCsCacheWriteToFile(h, file.first.c_str())) << file.first;
        EXPECT_FALSE(Error().empty());
        EXPECT_EQ(file.second, ReadBytes(file.first)) << file.first;
    }
    // A CS-only read holds no firmware: a whole-image file cannot be written.
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, xuv.c_str()));
    ASSERT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 0)) << Error();
    ASSERT_EQ(0, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 1)) << Error();
    for (const std::string& file : {xuv, img}) {
        EXPECT_EQ(-40, nvtCsCacheWriteToFile(h, file.c_str()));
        EXPECT_EQ("Saving the image without previously populating the cache with the firmware data is not allowed.",
                  Error());
        EXPECT_EQ(originals.at(file), ReadBytes(file));
    }
    // A successful write replaces the file and leaves no temporary file.
    ASSERT_EQ(0, nvtCsCacheWriteToFile(h, keyr.c_str())) << Error();
    EXPECT_NE(originals.at(keyr), ReadBytes(keyr));
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(4u, files);  // database, three images
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_NE(".tmp", entry.path().extension().string()) << entry.path();
}

TEST_F(Integrity, ALinkPlantedAtAFileToWriteIsRefusedAndItsTargetKept)
{
#if defined(_WIN32)
    GTEST_SKIP() << "symbolic links are made by the POSIX tests";
#endif
    const std::string victim = Path("victim.txt");
    WriteBytes(victim, "precious");
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Image("source.xuv", ImageLayout(CsData(5, 0x12, 0x100), 77, 4)).c_str()))
        << Error();
    for (const std::string name : {"out.xuv", "out.img", "out.keyr"}) {
        std::error_code ec;
        fs::create_symlink(victim, Path(name), ec);
        if (ec) GTEST_SKIP() << "no symbolic links here";
        EXPECT_EQ(-40, nvtCsCacheWriteToFile(h, Path(name).c_str())) << name;
        if (name == "out.keyr")
            EXPECT_EQ("Unable to write to the file '" + Path(name) + "': it is a symbolic link. ", Error());
        else
            EXPECT_EQ("Unable to write to the file \"" + Path(name) + "\": it is a symbolic link.", Error());
        EXPECT_TRUE(fs::is_symlink(Path(name)));
    }
    EXPECT_EQ("precious", ReadBytes(victim));
}

TEST_F(Integrity, AFileThatCannotBeReplacedKeepsItsContents)
{
    // The temporary file cannot be made (its name, the file's name and 17
    // more characters, is longer than the system takes: a name of 255
    // characters here, a path of 259 on Windows): the write fails and the old
    // file stays.
#if defined(_WIN32)
    const size_t length = 259 - (dir.size() + 1);
#else
    const size_t length = 249;
#endif
    const std::string xuv = Image(std::string(length - 4, 'o') + ".xuv", ImageLayout(CsData(5, 0x12, 0x100), 77, 4));
    if (!fs::exists(xuv)) GTEST_SKIP() << "the system does not take a name that long";
    {
        std::ofstream probe(xuv + ".abcdefghijkl.tmp");
        if (probe) {
            probe.close();
            fs::remove(xuv + ".abcdefghijkl.tmp");
            GTEST_SKIP() << "the system takes names longer than that";
        }
    }
    const std::string original = ReadBytes(xuv);
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, xuv.c_str()));
    ASSERT_EQ(0, SetItem("TRIM", {0x1f}));
    EXPECT_EQ(-40, nvtCsCacheWriteToFile(h, xuv.c_str()));
    EXPECT_EQ("Unable to write the file '" + xuv + "'; it was left as it was.", Error());
    EXPECT_EQ(original, ReadBytes(xuv));
}

// --- A device write is all or detectably nothing -----------------------------

struct WalkCase {
    uint32_t nvm;
    bool csOnly;
    std::string fault;  // "e2fail", "flashfail" or "failwrite"
};

TEST_F(Integrity, EveryInterruptedWriteLeavesOldNewOrRefused)
{
    // Old image: two firmware blocks. New image: for a whole write another
    // layout (one firmware block, another build and padding), for a CS-only
    // write the same firmware with other CS values.
    const nvimagegen::ImagePlan oldPlan = ImageLayout(CsData(5, 0x12, 0x100), 1111, 90, true);
    const nvimagegen::ImagePlan newWhole = ImageLayout(CsData(5, 0x1A, 0x300, 14), 2222, 150);
    nvimagegen::ImagePlan newCs = oldPlan;
    newCs.csData = CsData(5, 0x1B, 0x400);
    const Words oldWords = nvimagegen::BuildImage(oldPlan);
    Image("old.xuv", oldPlan);
    Image("whole.xuv", newWhole);
    Image("cs.xuv", newCs);

    const std::vector<WalkCase> cases = {
        {NVT_NVM_EEPROM, false, "e2fail"},   {NVT_NVM_EEPROM, true, "e2fail"},
        {NVT_NVM_EEPROM, false, "failwrite"}, {NVT_NVM_EEPROM, true, "failwrite"},
        {NVT_NVM_SPI_FLASH, false, "flashfail"}, {NVT_NVM_SPI_FLASH, true, "flashfail"},
        {NVT_NVM_SPI_FLASH, false, "failwrite"}, {NVT_NVM_SPI_FLASH, true, "failwrite"}};
    uint32_t interruptions = 0;
    std::string perCase;
    for (const WalkCase& c : cases) {
        const uint32_t before = interruptions;
        const std::string what = std::string(c.nvm == NVT_NVM_EEPROM ? "EEPROM" : "flash") +
                                 (c.csOnly ? " CS-only " : " whole ") + c.fault;
        const Words newWords = nvimagegen::BuildImage(c.csOnly ? newCs : newWhole);
        // The old image on the device, kept to start every attempt from it.
        fs::remove_all(Path("nvm"));
        ASSERT_EQ(0, Open());
        ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Path("old.xuv").c_str())) << Error();
        ASSERT_EQ(0, nvtCsCacheWriteToChip(h, c.nvm, 0)) << Error();
        nvtClose(h);
        h = nullptr;
        const std::string file = Path(c.nvm == NVT_NVM_EEPROM ? "nvm/eeprom.bin" : "nvm/spiflash.bin");
        const std::string oldDevice = ReadBytes(file);
        ASSERT_TRUE(StartsWith(Device(c.nvm), oldWords));

        bool completed = false;
        for (uint32_t n = 1; n < 100 && !completed; ++n) {
            SCOPED_TRACE(what + " interrupted at write " + std::to_string(n));
            WriteBytes(file, oldDevice);
            std::string option;
            if (c.fault == "e2fail") option = ",e2fail=write:" + std::to_string(n);
            if (c.fault == "flashfail") option = ",flashfail=burn:" + std::to_string(n);
            ASSERT_EQ(0, Open(option + ",name=walk"));
            ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Path(c.csOnly ? "cs.xuv" : "whole.xuv").c_str())) << Error();
            if (c.fault == "failwrite") {
                devsim::Chip* chip = devsim::FindByName("walk").get();
                ASSERT_NE(nullptr, chip);
                chip->FailWriteAt(chip->counters().writes + n);
            }
            const int32_t written = nvtCsCacheWriteToChip(h, c.nvm, c.csOnly ? 1 : 0);
            completed = written == 0;
            if (!completed) {
                ++interruptions;
                EXPECT_EQ(-40, written);
                EXPECT_FALSE(Error().empty());
            }

            // A clean handle reads the old image, the new one, or refuses.
            ASSERT_EQ(0, Open());
            const int32_t read = nvtCsCacheReadFromChip(h, c.nvm, 0);
            const Words device = Device(c.nvm);
            if (read == 0) {
                const bool isOld = StartsWith(device, oldWords);
                const bool isNew = StartsWith(device, newWords);
                EXPECT_TRUE(isOld || isNew);
                EXPECT_TRUE(isNew || !completed);
                EXPECT_EQ(isNew ? Words{c.csOnly ? uint16_t{0x1B} : uint16_t{0x1A}} : Words{0x12}, Item("TRIM"));
            } else {
                EXPECT_EQ(-40, read);
                EXPECT_FALSE(completed);
                // Never mistaken for an erased device.
                EXPECT_NE(kBlankText, Error());
            }
            nvtClose(h);
            h = nullptr;
        }
        EXPECT_TRUE(completed) << what;
        perCase += "\n[ INFO     ]   " + what + ": " + std::to_string(interruptions - before);
    }
    std::cout << "[ INFO     ] interrupted " << interruptions << " device writes, one at every write index:" << perCase
              << std::endl;
    EXPECT_GE(interruptions, 30u);
}

TEST_F(Integrity, AFailedReadLeavesNothingToWriteBack)
{
    // A header with a wrong CRC: the read fails, and neither a whole nor a
    // CS-only write may put a valid CRC over what it read.
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Image("old.xuv", ImageLayout(CsData(5, 0x12, 0x100), 77, 4)).c_str()));
    ASSERT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 0)) << Error();
    Open(",name=corrupt");
    devsim::Chip* chip = devsim::FindByName("corrupt").get();
    ASSERT_NE(nullptr, chip);
    chip->nvm().eeprom().Poke(4, 0x4444);
    const Words before = Device(NVT_NVM_EEPROM);
    EXPECT_EQ(-40, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0));
    EXPECT_EQ(0u, Error().find("The CRC for the image was expected to be 0x")) << Error();
    // The refused read cached nothing: there is no header to write.
    EXPECT_EQ(-40, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 0));
    EXPECT_EQ("Image header not present", Error());
    EXPECT_EQ(-40, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 1));
    EXPECT_EQ(before, Device(NVT_NVM_EEPROM));
}

TEST_F(Integrity, BlankAndCorruptDevicesReadDifferently)
{
    ASSERT_EQ(0, Open(",name=blank"));
    EXPECT_EQ(-40, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0));
    EXPECT_EQ(kBlankText, Error());
    EXPECT_EQ(-40, nvtCsCacheReadFromChip(h, NVT_NVM_SPI_FLASH, 1));
    EXPECT_EQ(kBlankText, Error());
    devsim::Chip* chip = devsim::FindByName("blank").get();
    for (uint32_t w = 0; w < 3; ++w) chip->nvm().eeprom().Poke(w, 0);
    EXPECT_EQ(-40, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0));
    EXPECT_EQ("The device is empty or image is invalid, read 0x0000 for words 0-2", Error());
}

// --- Key lookups follow the cached image -------------------------------------

TEST_F(Integrity, AFailedReadLeavesTheCachedBuildSelected)
{
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Image("five.xuv", ImageLayout(CsData(5, 0x12, 0x100), 77, 4)).c_str()));
    EXPECT_EQ(Words{0x101}, Item("KEYA"));
    // Its version line selects build 7, a later line is bad.
    EXPECT_EQ(-40, nvtCsCacheReadFromFile(h, Keyr("seven.keyr", ">DECIMAL_CS_VERSION=7\n&KEYA = 1\nbad\n").c_str()));
    EXPECT_EQ(Words{0x101}, Item("KEYA"));
    ASSERT_EQ(0, SetItem("KEYA", {0x55}));
    EXPECT_EQ(Words{0x12}, Item("TRIM"));
    // A failed merge source and a failed chip read (blank EEPROM) likewise.
    EXPECT_EQ(-42, nvtCsCacheFileMerge(h, Path("seven.keyr").c_str(), 0));
    EXPECT_EQ(Words{0x55}, Item("KEYA"));
    EXPECT_EQ(-40, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0));
    uint16_t version = 0;
    EXPECT_EQ(0, nvtCsCacheGetVersion(h, &version));  // the image stays cached
    EXPECT_EQ(5, version);
    EXPECT_EQ(Words{0x55}, Item("KEYA"));
    // An image of a build the database lacks is refused whole: the cached
    // image of build 5 stays, and its keys are placed by build 5.
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Path("five.xuv").c_str()));
    EXPECT_EQ(-40, nvtCsCacheReadFromFile(h, Image("six.xuv", ImageLayout(CsData(6, 0x12, 0x100), 77, 4)).c_str()));
    EXPECT_EQ(Words{0x101}, Item("KEYA"));
    EXPECT_EQ(0, SetItem("KEYA", {0x66}));
    EXPECT_EQ(Words{0x66}, Item("KEYA"));
}

// --- Every failure text belongs to its call ----------------------------------

TEST_F(Integrity, EveryFailureHasItsOwnText)
{
    ASSERT_EQ(0, Open(",flashfail=info"));
    // An earlier failure whose text must not be reused.
    EXPECT_EQ(-10, SetItem("NO_SUCH_KEY", {1}));
    EXPECT_EQ("Unknown CS KEY \"NO_SUCH_KEY\"", Error());

    // A flash that answers but reports no usable device.
    EXPECT_EQ(-40, nvtCsCacheReadFromChip(h, NVT_NVM_SPI_FLASH, 0));
    EXPECT_EQ("The SPI flash could not be used: the flash library reports no usable device", Error());

    // A truncated image file: the header names more words than the file has.
    Words image = nvimagegen::BuildImage(ImageLayout(CsData(5, 0x12, 0x100), 77, 4));
    image.resize(12);
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("short.xuv"), image, false));
    EXPECT_EQ(-40, nvtCsCacheReadFromFile(h, Path("short.xuv").c_str()));
    EXPECT_EQ("Words 0x000c-0x001a could not be read: the file '" + Path("short.xuv") + "' holds 12 words", Error());

    // An image whose firmware has no lookup table: no build identifier.
    nvimagegen::ImagePlan noTable = ImageLayout(CsData(5, 0x12, 0x100), 77, 4);
    noTable.firmware[0].words[0] = 0;
    Image("notable.xuv", noTable);
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Path("notable.xuv").c_str())) << Error();
    ASSERT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 0)) << Error();
    EXPECT_EQ(-10, SetItem("NO_SUCH_KEY", {1}));
    EXPECT_EQ(-40, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0));
    EXPECT_EQ("The firmware build identifier was not found: the image's firmware blocks hold no lookup table of "
              "the main firmware",
              Error());
    // A successful call after a failure does not clear the text.
    ASSERT_EQ(0, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 1)) << Error();
    EXPECT_EQ(0u, Error().find("The firmware build identifier was not found"));
}

// --- Smaller ones --------------------------------------------------------------

TEST_F(Integrity, EmptyFirmwareBlockWritesToEepromAsToFlash)
{
    nvimagegen::ImagePlan layout = ImageLayout(CsData(5, 0x12, 0x100), 77, 4);
    layout.firmware.push_back(nvimagegen::FirmwareBlock{0x0200, {}});
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Image("empty.xuv", layout).c_str())) << Error();
    EXPECT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_SPI_FLASH, 0)) << Error();
    EXPECT_EQ(0, nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 0)) << Error();
    ASSERT_EQ(0, nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0)) << Error();
}

TEST_F(Integrity, AFirmwareBlockOverTheHeaderIsRefused)
{
    // Block 1 claims to start at word 0: written after the header it would
    // overwrite it.
    Words image = nvimagegen::BuildImage(ImageLayout(CsData(5, 0x12, 0x100), 77, 4));
    CCsKeysInfo keys(TheMsgHnd::Instance().SharedHandler());
    ASSERT_EQ(kCsOk, keys.LoadXML(db));
    nvimagegen::MemoryTarget source(image);
    CNvImageCache engine(&keys, nullptr);
    ASSERT_EQ(kCsOk, engine.Load(source, false));
    ASSERT_TRUE(engine.Header().WriteUint16IntoHdrCache(14, 0));  // block 1's location
    ASSERT_EQ(0, Open());
    const std::string before = ReadBytes(Image("kept.xuv", ImageLayout(CsData(5, 0x12, 0x100), 77, 4)));
    EXPECT_EQ(kCsImageCorrupt, engine.WriteFile(Path("kept.xuv")));
    EXPECT_EQ("The blocks of the image overlap: firmware block 1 and the header both hold word 0x0000; nothing was "
              "written",
              testsupport::LastErrorText());
    EXPECT_EQ(before, ReadBytes(Path("kept.xuv")));
}

TEST_F(Integrity, KeyrFilesReadBackAsWritten)
{
    // Two names that differ only in case, and a name that is another key's
    // hexadecimal ID: such keys are written by ID.
    keydbgen::Database odd;
    keydbgen::Build b = keydbgen::Build::Make(5);
    b.keys.push_back(keydbgen::Key::Make("Dual", 1, 1, 1).Defaults({1}));
    b.keys.push_back(keydbgen::Key::Make("DUAL", 2, 2, 1).Defaults({2}));
    b.keys.push_back(keydbgen::Key::Make("3", 4, 3, 1).Defaults({4}));
    b.keys.push_back(keydbgen::Key::Make("OTHER", 3, 4, 1).Defaults({3}));
    odd.builds.push_back(b);
    ASSERT_TRUE(keydbgen::WriteFile(db, keydbgen::ToXml(odd)));
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Keyr("in.keyr", ">DECIMAL_CS_VERSION=5\n&0001 = +11\n&0002 = 22\n"
                                                          "&0004 = 44\n&0003 = +0x33\n")
                                                  .c_str()))
        << Error();
    ASSERT_EQ(0, nvtCsCacheWriteToFile(h, Path("out.keyr").c_str())) << Error();
    const std::string text = ReadBytes(Path("out.keyr"));
    EXPECT_NE(std::string::npos, text.find("&0002 = 0022")) << text;
    EXPECT_NE(std::string::npos, text.find("&OTHER = 0033")) << text;
    ASSERT_EQ(0, Open());
    ASSERT_EQ(0, nvtCsCacheReadFromFile(h, Path("out.keyr").c_str())) << Error();
    EXPECT_EQ(Words{0x11}, Item("Dual"));
    EXPECT_EQ(Words{0x44}, Item("3"));
    EXPECT_EQ(Words{0x33}, Item("OTHER"));
    // Key 2 (DUAL) came back by its ID: the whole file reads back the same.
    ASSERT_EQ(0, nvtCsCacheWriteToFile(h, Path("again.keyr").c_str())) << Error();
    EXPECT_EQ(text, ReadBytes(Path("again.keyr")));
}

}  // namespace
