// The image cache engine: key checks, merges, files and devices.
#include "keydatabase.h"
#include "simdut.h"
#include "cscache/devicetargets.h"
#include "cscache/nvimagecache.h"
#include "cscache/nvimagecs.h"
#include "cscache/nvimagefw.h"
#include "nvimagegen.h"
#include "cscache/nvimagehdr.h"

#include "support/clock.h"

using namespace cstest;
using namespace testsupport;

namespace {

const uint16_t kBuildId = 4321;

class Engine : public KeysFixture {
protected:
    // A whole image: header, CS block laid out by build 5 (TRIM 0x11), and
    // the main firmware block with its lookup table and build ID.
    std::vector<uint16_t> Image(bool aWithFirmware = true, uint16_t aTrim = 0x11)
    {
        nvimagegen::ImagePlan plan;
        plan.csData = nvimagegen::BuildCsData(keys, 5, {{"TRIM", {aTrim}}});
        if (aWithFirmware) plan.firmware.push_back(nvimagegen::MainFirmwareBlock(kBuildId, 0x0640));
        return nvimagegen::BuildImage(plan);
    }
    std::vector<uint16_t> Key(CNvImageCache& aEngine, uint16_t aId)
    {
        std::vector<uint16_t> words;
        EXPECT_EQ(kCsOk, aEngine.ReadKey(aId, words));
        return words;
    }
    static std::vector<uint16_t> Words(devsim::NvmStore& aStore, uint32_t aCount)
    {
        std::vector<uint16_t> words(aCount);
        aStore.Read(0, aCount, words.data());
        return words;
    }

    nvtclock::ScopedFakeClock clock;
    CNvImageCache engine{&keys, nullptr};
};

TEST_F(Engine, WriteKeyChecksSizeAndRangeOfOneWordKeys)
{
    ASSERT_EQ(kCsOk, engine.CsSection().WriteData(0, std::vector<uint16_t>(kCsWords, 0)));
    EXPECT_EQ(kCsOk, engine.WriteKey(kIdTrim, {0x0020}));
    EXPECT_EQ(kCsOk, engine.WriteKey(kIdTrim, {0x0010}));
    int16_t code = 0;
    EXPECT_EQ(kCsInvalidKeyData, engine.WriteKey(kIdTrim, {0x0021}));
    EXPECT_EQ("Invalid key data: Key ID: 0x0002, Range: 0x0010-0x0020, Value: 0x0021.  ", LastErrorText(&code));
    EXPECT_EQ(kCsInvalidKeyData, code);
    EXPECT_EQ(kCsInvalidKeyData, engine.WriteKey(kIdTrim, {0x000f}));
    EXPECT_EQ("Invalid key data: Key ID: 0x0002, Range: 0x0010-0x0020, Value: 0x000f.  ", LastErrorText());
    EXPECT_EQ((std::vector<uint16_t>{0x0010}), Key(engine, kIdTrim));

    EXPECT_EQ(kCsInvalidKeyData, engine.WriteKey(kIdBig, {1, 2, 3}));
    EXPECT_EQ("Invalid key size: Key ID: 0x0004, Expected: 12 value(s), Given: 3 value(s).  ", LastErrorText());
    // Keys of more than one word are never range-checked.
    EXPECT_EQ(kCsOk, engine.WriteKey(kIdTriple, {5, 6, 7}));

    std::vector<uint16_t> untouched{9, 9};
    EXPECT_EQ(kCsKeyNotFound, engine.ReadKey(0x0999, untouched));
    EXPECT_EQ((std::vector<uint16_t>{9, 9}), untouched);
}

TEST_F(Engine, MergeWithoutKeysForTheBuildChangesNothing)
{
    CCsKeysInfo unloaded(TheMsgHnd::Instance().SharedHandler());
    CNvImageCache noKeys(&unloaded, nullptr);
    ASSERT_EQ(kCsOk, noKeys.CsSection().WriteData(0, {5, 6}));
    EXPECT_EQ(kCsIncompatible, noKeys.MergeImages(engine));
    EXPECT_EQ("The key version is invalid", LastErrorText());
    std::vector<uint16_t> data;
    ASSERT_EQ(kCsOk, noKeys.GetCsData(data));
    EXPECT_EQ((std::vector<uint16_t>{5, 6}), data);
}

TEST_F(Engine, FilesAreChosenByExtension)
{
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("image.xuv"), Image(), false));
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("IMAGE.XUV"), Image(), false));
    ASSERT_EQ(kCsOk, engine.ReadFile(Path("image.xuv")));
    ASSERT_EQ(kCsOk, engine.ReadFile(Path("IMAGE.XUV")));
    EXPECT_EQ((std::vector<uint16_t>{0x11}), Key(engine, kIdTrim));
    for (const char* name : {"image.bin", "image"}) {
        EXPECT_EQ(kCsWrongExtension, engine.ReadFile(Path(name)));
        EXPECT_EQ("The file has the wrong extension.", LastErrorText());
    }
    // An image file round trip through IMG keeps every word.
    ASSERT_EQ(kCsOk, engine.WriteFile(Path("copy.img")));
    CNvImageCache copy(&keys, nullptr);
    ASSERT_EQ(kCsOk, copy.ReadFile(Path("copy.img")));
    EXPECT_EQ(engine.Header().Words(), copy.Header().Words());
    EXPECT_EQ(engine.FwSection().Blocks(), copy.FwSection().Blocks());
}

TEST_F(Engine, EepromAndFlashImagesReadBackInANewSession)
{
    const std::string nvm = Path("nvm");
    std::filesystem::create_directories(nvm);
    const std::string transport = "sim:nvm=" + nvm;
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("image.xuv"), Image(), false));
    ASSERT_EQ(kCsOk, engine.ReadFile(Path("image.xuv")));
    ASSERT_EQ(kCsOk, engine.WriteKey(kIdTrim, {0x1A}));
    {
        SimStream dut(transport);
        ASSERT_EQ(kCsOk, engine.WriteDevice(kMemTypeEeprom, dut.stream, false));
        ASSERT_EQ(kCsOk, engine.WriteDevice(kMemTypeSpiFlash, dut.stream, false));
    }
    for (int32_t type : {kMemTypeEeprom, kMemTypeSpiFlash}) {
        SimStream dut(transport);  // a new chip object reads the backing files
        CNvImageCache readBack(&keys, nullptr);
        ASSERT_EQ(kCsOk, readBack.ReadDevice(type, dut.stream, false)) << type;
        EXPECT_EQ(engine.Header().Words(), readBack.Header().Words());
        EXPECT_EQ(engine.FwSection().Blocks(), readBack.FwSection().Blocks());
        EXPECT_EQ((std::vector<uint16_t>{0x1A}), Key(readBack, kIdTrim));
        EXPECT_EQ(kBuildId, readBack.FwVersion());
        // Header CRC and CS CRC as the device holds them.
        std::vector<uint16_t> cs;
        ASSERT_EQ(kCsOk, readBack.GetCsData(cs));
        EXPECT_EQ(readBack.Header().CalculateHeaderCrc(), readBack.Header().Words()[0]);
        EXPECT_EQ(CNvImageHdr::CalculateCrc16(cs.data(), cs.size()), readBack.Header().Words()[6]);
    }
}

TEST_F(Engine, CsOnlyOperations)
{
    SimStream dut;
    const std::vector<uint16_t> image = Image();
    dut.Eeprom().Write(0, static_cast<uint32_t>(image.size()), image.data());

    // A CS-only read needs no lookup table and leaves the firmware out.
    ASSERT_EQ(kCsOk, engine.ReadDevice(kMemTypeEeprom, dut.stream, true));
    EXPECT_FALSE(engine.FwSection().IsPopulated());
    EXPECT_EQ(0, engine.FwVersion());
    ASSERT_EQ(kCsOk, engine.WriteKey(kIdTrim, {0x13}));
    ASSERT_EQ(kCsOk, engine.WriteDevice(kMemTypeEeprom, dut.stream, true));
    CNvImageCache readBack(&keys, nullptr);
    ASSERT_EQ(kCsOk, readBack.ReadDevice(kMemTypeEeprom, dut.stream, false));
    EXPECT_EQ((std::vector<uint16_t>{0x13}), Key(readBack, kIdTrim));
    EXPECT_EQ(kBuildId, readBack.FwVersion());

    // After a KEYR load the header is empty: nothing may be written.
    WriteWholeFile(Path("k.keyr"), ">DECIMAL_CS_VERSION=5\n");
    CNvImageCache fromKeys(&keys, nullptr);
    ASSERT_EQ(kCsOk, fromKeys.ReadFile(Path("k.keyr")));
    const std::vector<uint16_t> before = Words(dut.Eeprom(), 0x400);
    EXPECT_EQ(kCsIncompatible, fromKeys.WriteDevice(kMemTypeEeprom, dut.stream, true));
    EXPECT_EQ("The source and destination images were incompatible with each other", LastErrorText());
    EXPECT_EQ(before, Words(dut.Eeprom(), 0x400));
}

TEST_F(Engine, CsOnlyWriteNeverDropsTheDevicesFirmware)
{
    SimStream dut;
    const std::vector<uint16_t> withFirmware = Image(true);
    dut.Eeprom().Write(0, static_cast<uint32_t>(withFirmware.size()), withFirmware.data());
    ASSERT_TRUE(nvimagegen::WriteImageFile(Path("csonly.xuv"), Image(false, 0x15), false));
    ASSERT_EQ(kCsOk, engine.ReadFile(Path("csonly.xuv")));
    ASSERT_EQ(0, engine.Header().GetNumFwBlocks());

    const std::vector<uint16_t> before = Words(dut.Eeprom(), 0x400);
    EXPECT_EQ(kCsIncompatible, engine.WriteDevice(kMemTypeEeprom, dut.stream, true));
    EXPECT_EQ("The source and destination images were incompatible with each other", LastErrorText());
    EXPECT_EQ(before, Words(dut.Eeprom(), 0x400));

    // Over a device whose image has no firmware either, or over a blank
    // device, the write goes ahead.
    const std::vector<uint16_t> plain = Image(false);
    dut.Eeprom().Write(0, static_cast<uint32_t>(plain.size()), plain.data());
    EXPECT_EQ(kCsOk, engine.WriteDevice(kMemTypeEeprom, dut.stream, true));
    SimStream blank;
    ASSERT_EQ(kCsOk, engine.WriteDevice(kMemTypeEeprom, blank.stream, true));
    CNvImageCache readBack(&keys, nullptr);
    ASSERT_EQ(kCsOk, readBack.ReadDevice(kMemTypeEeprom, blank.stream, true));
    EXPECT_EQ((std::vector<uint16_t>{0x15}), Key(readBack, kIdTrim));
}

TEST_F(Engine, WholeReadNeedsTheBuildIdentifierAndFailuresPassUp)
{
    SimStream dut;
    nvimagegen::ImagePlan plan;
    plan.csData = nvimagegen::BuildCsData(keys, 5, {});
    plan.firmware.push_back({0x2000, std::vector<uint16_t>(64, 0x1234)});  // no lookup table
    const std::vector<uint16_t> image = nvimagegen::BuildImage(plan);
    dut.Eeprom().Write(0, static_cast<uint32_t>(image.size()), image.data());
    EXPECT_EQ(kCsNothingThere, engine.ReadDevice(kMemTypeEeprom, dut.stream, false));
    // The refused read cached nothing; a plain load holds the firmware,
    // whose words are chip memory of space 4.
    EXPECT_FALSE(engine.FwSection().IsPopulated());
    EXPECT_FALSE(engine.Header().IsPopulated());
    nvimagegen::MemoryTarget source(image);
    ASSERT_EQ(kCsOk, engine.Load(source, false));
    uint16_t word = 0;
    EXPECT_TRUE(engine.ReadGP(4, 0x4000, 1, &word));
    EXPECT_EQ(0x1234, word);
    EXPECT_FALSE(engine.ReadGP(2, 0x4000, 1, &word));

    SimStream blank;
    EXPECT_EQ(kCsImageCorrupt, engine.ReadDevice(kMemTypeSpiFlash, blank.stream, false));
    SimStream other("sim:chip=28");
    EXPECT_EQ(kCsNotSupported, engine.ReadDevice(kMemTypeEeprom, other.stream, false));
    SimStream failing("sim:e2fail=read");
    EXPECT_EQ(kCsDeviceReadFailed, engine.ReadDevice(kMemTypeEeprom, failing.stream, false));
}

}  // namespace
