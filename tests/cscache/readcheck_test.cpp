// What a read of an image checks and what a refused read leaves behind: the
// CS CRC, blank meaning erased, a cache kept bit for bit, KEYR files laid
// onto a cached image, KEYR keys given by ID, and the file targets' trace.
// Driven through the public header on the simulated chip, with images built
// in the test.
#include "cscache/cskeysinfo.h"
#include "cscache/nvimagecache.h"
#include "cscache/nvimagehdr.h"
#include "keydbgen.h"
#include "layoutimages.h"
#include "nvimagegen.h"
#include "simdut.h"

#include <functional>
#include <sstream>

using namespace testsupport;

namespace {

using namespace layoutimages;

constexpr uint16_t kBuildId = 4321;

// A whole image of CS version aVersion (TRIM as given), with the main
// firmware block and a second one.
nvimagegen::ImagePlan Layout(uint16_t aVersion, uint16_t aTrim)
{
    return ImageLayout(CsData(aVersion, aTrim, 0x100), kBuildId, 6, true);
}

Words ImageWords(uint16_t aTrim = 0x12, uint16_t aVersion = 5)
{
    return nvimagegen::BuildImage(Layout(aVersion, aTrim));
}

size_t HeaderWords()
{
    return nvimagegen::BuildHeader(Layout(5, 0x12)).size();
}

std::string CrcText(const char* aLead, uint16_t aStored, uint16_t aComputed)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s0x%04X (stored) but was actually 0x%04X (computed).", aLead, aStored,
                  aComputed);
    return text;
}

std::string HeaderCrcText(const Words& aImage)
{
    char text[200];
    std::snprintf(text, sizeof text, "The CRC for the image was expected to be 0x%04X but was actually 0x%04X.",
                  aImage[0], CNvImageHdr::CalculateCrc16(aImage.data() + 1, HeaderWords() - 1));
    return text;
}

// The ways an image is damaged here, and the text its read gives.
enum class Damage { CsData, CsCrcWord, CsCrcWordAlone, HeaderWord };

Words Damaged(Damage aDamage, std::string& aText)
{
    Words image = ImageWords();
    const size_t header = HeaderWords();
    switch (aDamage) {
    case Damage::CsData: image[header + 3] ^= 0x0100; break;
    case Damage::CsCrcWord:
    case Damage::CsCrcWordAlone: image[6] ^= 0x0004; break;
    case Damage::HeaderWord: image[2] ^= 0x8000; break;
    }
    // A writer that kept the header consistent but put a wrong CS CRC in it.
    if (aDamage == Damage::CsCrcWord) image[0] = CNvImageHdr::CalculateCrc16(image.data() + 1, header - 1);
    if (aDamage == Damage::CsData || aDamage == Damage::CsCrcWord)
        aText = CrcText("The CS CRC for the image was expected to be ", image[6],
                        CNvImageHdr::CalculateCrc16(image.data() + header, kCsWords));
    else
        aText = HeaderCrcText(image);
    return image;
}

class ReadCheck : public SimDutTest {
protected:
    void SetUp() override
    {
        ResetErrors();
        db = scratch.File("cskey_db.xml");
        ASSERT_TRUE(keydbgen::WriteFile(db, keydbgen::ToXml(Database())));
    }
    // A fresh simulated chip; aOptions are its transport options.
    void Open(const std::string& aOptions = "")
    {
        if (handle != nullptr) nvtClose(handle);
        handle = nullptr;
        ASSERT_EQ(NVT_OK, TryOpen(aOptions.empty() ? "sim" : "sim:" + aOptions, db.c_str())) << Text();
    }
    std::string Path(const std::string& aName) const { return scratch.File(aName); }
    std::string ImageFile(const std::string& aName, const Words& aWords)
    {
        const bool img = aName.size() > 4 && aName.substr(aName.size() - 4) == ".img";
        EXPECT_TRUE(nvimagegen::WriteImageFile(Path(aName), aWords, img));
        return Path(aName);
    }
    std::string Keyr(const std::string& aName, const std::string& aText)
    {
        WriteWholeFile(Path(aName), aText);
        return Path(aName);
    }
    devsim::NvmStore& Store(uint32_t aNvm)
    {
        return aNvm == NVT_NVM_EEPROM ? chip->nvm().eeprom() : chip->nvm().flash();
    }
    void Program(uint32_t aNvm, const Words& aWords)
    {
        ASSERT_TRUE(Store(aNvm).Write(0, static_cast<uint32_t>(aWords.size()), aWords.data()));
    }
    Words DeviceWords(uint32_t aNvm, uint32_t aFirst, uint32_t aCount)
    {
        Words words(aCount);
        EXPECT_TRUE(Store(aNvm).Read(aFirst, aCount, words.data()));
        return words;
    }
    Words Item(const char* aName)
    {
        uint16_t words[16] = {};
        uint16_t length = 16;
        EXPECT_EQ(NVT_OK, nvtCsCacheReadItem(handle, aName, words, &length)) << Text();
        return Words(words, words + length);
    }
    int32_t SetItem(const char* aName, Words aValues)
    {
        uint16_t length = static_cast<uint16_t>(aValues.size());
        return nvtCsCacheWriteItem(handle, aName, aValues.data(), &length);
    }
    // Everything the public interface shows of the cache: the version, every
    // key as the selected build places it, and the cache saved as an image
    // and as a key file (result codes included).
    std::string Snapshot()
    {
        std::ostringstream out;
        uint16_t version = 0;
        out << "version " << nvtCsCacheGetVersion(handle, &version) << " " << version << "\n";
        for (const char* name : {"KEYA", "TRIM", "ADDR", "FAR"}) {
            uint16_t words[16] = {};
            uint16_t length = 16;
            out << name << " " << nvtCsCacheReadItem(handle, name, words, &length);
            for (uint16_t i = 0; i < length && i < 16; ++i) out << " " << words[i];
            out << "\n";
        }
        for (const char* file : {"snapshot.xuv", "snapshot.keyr"}) {
            std::remove(Path(file).c_str());
            out << file << " " << nvtCsCacheWriteToFile(handle, Path(file).c_str()) << "\n"
                << ReadWholeFile(Path(file)) << "\n";
        }
        return out.str();
    }

    nvtclock::ScopedFakeClock clock;
    ScratchDir scratch;
    std::string db;
};

// --- The CS CRC ------------------------------------------------------------------

TEST_F(ReadCheck, EveryReadChecksTheCsCrcAndKeepsTheCache)
{
    const std::string good = ImageFile("good.xuv", ImageWords(0x13));
    for (Damage damage : {Damage::CsData, Damage::CsCrcWord, Damage::CsCrcWordAlone, Damage::HeaderWord}) {
        std::string text;
        const Words image = Damaged(damage, text);
        ImageFile("bad.xuv", image);
        ImageFile("bad.img", image);
        struct Source {
            const char* what;
            std::function<int32_t()> read;
        };
        const std::vector<Source> sources = {
            {"EEPROM whole", [&] { return nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0); }},
            {"EEPROM CS only", [&] { return nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 1); }},
            {"flash whole", [&] { return nvtCsCacheReadFromChip(handle, NVT_NVM_SPI_FLASH, 0); }},
            {"flash CS only", [&] { return nvtCsCacheReadFromChip(handle, NVT_NVM_SPI_FLASH, 1); }},
            {"XUV", [&] { return nvtCsCacheReadFromFile(handle, Path("bad.xuv").c_str()); }},
            {"IMG", [&] { return nvtCsCacheReadFromFile(handle, Path("bad.img").c_str()); }},
            {"merge source", [&] { return nvtCsCacheFileMerge(handle, Path("bad.xuv").c_str(), 1); }}};
        for (const Source& source : sources) {
            SCOPED_TRACE(std::string(source.what) + ", damage " + std::to_string(static_cast<int>(damage)));
            Open();
            Program(NVT_NVM_EEPROM, image);
            Program(NVT_NVM_SPI_FLASH, image);
            ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, good.c_str())) << Text();
            const std::string before = Snapshot();
            const bool merge = std::string(source.what) == "merge source";
            EXPECT_EQ(merge ? NVT_ERR_CS_VERSION : NVT_ERR_CS_GENERAL, source.read());
            EXPECT_EQ(merge ? "Error reading merge source file (" + text + ")" : text, Text());
            EXPECT_EQ(before, Snapshot());
        }
    }
}

TEST_F(ReadCheck, EverySingleBitFlipInTheHeaderOrTheCsBlockIsRefused)
{
    // The firmware blocks' CRC words are kept as read, not checked: only the
    // header and the CS block are covered.
    CCsKeysInfo keys(TheMsgHnd::Instance().SharedHandler());
    ASSERT_EQ(kCsOk, keys.LoadXML(db));
    const Words image = ImageWords();
    const size_t covered = HeaderWords() + kCsWords;
    size_t flips = 0;
    size_t refused = 0;
    for (size_t word = 0; word < covered; ++word) {
        for (int bit = 0; bit < 16; ++bit) {
            nvimagegen::MemoryTarget target(image);
            target.words[word] ^= static_cast<uint16_t>(1u << bit);
            CNvImageCache engine(&keys, nullptr);
            ++flips;
            refused += engine.Load(target, true) != kCsOk ? 1 : 0;
        }
    }
    EXPECT_EQ(flips, refused);
    nvimagegen::MemoryTarget intact(image);
    CNvImageCache engine(&keys, nullptr);
    EXPECT_EQ(kCsOk, engine.Load(intact, false));
}

TEST_F(ReadCheck, ImagesTheLibraryWritesCarryTheirCsCrc)
{
    // Written whole and CS-only to both memories and to both file kinds
    // after a key changed, every image reads back under the check.
    Open();
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, ImageFile("good.xuv", ImageWords()).c_str())) << Text();
    uint16_t trim = 0x10;
    for (uint32_t nvm : {NVT_NVM_EEPROM, NVT_NVM_SPI_FLASH}) {
        for (uint8_t csOnly : {0, 1}) {
            ASSERT_EQ(NVT_OK, SetItem("TRIM", {++trim}));
            ASSERT_EQ(NVT_OK, nvtCsCacheWriteToChip(handle, nvm, csOnly)) << Text();
            ASSERT_EQ(NVT_OK, nvtCsCacheReadFromChip(handle, nvm, 0)) << Text();
            EXPECT_EQ(Words{trim}, Item("TRIM"));
        }
    }
    ASSERT_EQ(NVT_OK, SetItem("TRIM", {0x1C}));
    for (const char* file : {"out.xuv", "out.img"}) {
        ASSERT_EQ(NVT_OK, nvtCsCacheWriteToFile(handle, Path(file).c_str())) << Text();
        ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Path(file).c_str())) << Text();
        EXPECT_EQ(Words{0x1C}, Item("TRIM"));
    }
}

// --- Blank means erased ------------------------------------------------------------

TEST_F(ReadCheck, OnlyAWhollyErasedDeviceIsBlank)
{
    // Default sizes: EEPROM 0x8000 words, SPI flash 0x10000 words, of which
    // an image can occupy words 0 to 0xFFFE.
    struct Case {
        uint32_t nvm;
        int64_t word;  // the one word that is not erased; -1 none
        std::string text;
    };
    const std::string notEmpty = "The device is not empty but its image is invalid: word 0x";
    const std::vector<Case> cases = {
        {NVT_NVM_EEPROM, -1, kBlankText},
        {NVT_NVM_SPI_FLASH, -1, kBlankText},
        {NVT_NVM_EEPROM, 0x40, notEmpty + "0040 reads 0x1234"},
        {NVT_NVM_SPI_FLASH, 0x40, notEmpty + "0040 reads 0x1234"},
        {NVT_NVM_EEPROM, 3, notEmpty + "0003 reads 0x1234"},
        {NVT_NVM_EEPROM, 0x7FFF, notEmpty + "7fff reads 0x1234"},
        {NVT_NVM_SPI_FLASH, 0x5000, notEmpty + "5000 reads 0x1234"},
        {NVT_NVM_SPI_FLASH, 0xFFFE, notEmpty + "fffe reads 0x1234"},
        // No block of an image reaches word 0xFFFF.
        {NVT_NVM_SPI_FLASH, 0xFFFF, kBlankText}};
    for (const Case& c : cases) {
        for (uint8_t csOnly : {0, 1}) {
            SCOPED_TRACE(std::to_string(c.nvm) + " word " + std::to_string(c.word) + " CS only " +
                         std::to_string(csOnly));
            Open();
            if (c.word >= 0) Store(c.nvm).Poke(static_cast<uint32_t>(c.word), 0x1234);
            EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheReadFromChip(handle, c.nvm, csOnly));
            EXPECT_EQ(c.text, Text());
        }
    }

    // Three equal words that are not erased keep their own text.
    Open();
    for (uint32_t w = 0; w < 3; ++w) Store(NVT_NVM_EEPROM).Poke(w, 0);
    Store(NVT_NVM_EEPROM).Poke(0x40, 0x1234);
    EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0));
    EXPECT_EQ("The device is empty or image is invalid, read 0x0000 for words 0-2", Text());

    // A file is checked over its own words.
    Open();
    Words erased(0x200, 0xFFFF);
    ImageFile("erased.xuv", erased);
    EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheReadFromFile(handle, Path("erased.xuv").c_str()));
    EXPECT_EQ(kBlankText, Text());
    erased[0x1FF] = 0;
    ImageFile("erased.img", erased);
    EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheReadFromFile(handle, Path("erased.img").c_str()));
    EXPECT_EQ(notEmpty + "01ff reads 0x0000", Text());
}

TEST_F(ReadCheck, TheErasedCheckStopsAtTheFirstDataAndNeedsTheSize)
{
    // Data right after words 0-2: one 1024-word chunk is read, not the
    // whole EEPROM.
    Open();
    Store(NVT_NVM_EEPROM).Poke(0x10, 0x0001);
    chip->ClearCounters();
    EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0));
    EXPECT_LE(chip->counters().wordsRead, 3u + 3u + 1024u);
    chip->ClearCounters();
    Store(NVT_NVM_EEPROM).Poke(0x10, 0xFFFF);
    EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0));
    EXPECT_EQ(kBlankText, Text());
    EXPECT_EQ(0x8000u, chip->counters().wordsRead);

    // An EEPROM whose size cannot be asked cannot be called empty.
    Open("e2fail=size");
    EXPECT_EQ(NVT_ERR_CS_GENERAL, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0));
    EXPECT_EQ("The device reads 0xffff for words 0-2, but whether it is empty could not be checked: its size is "
              "unknown (EEPROM size could not be determined)",
              Text());
}

// --- A refused read leaves the cache bit for bit ------------------------------------

TEST_F(ReadCheck, ARefusedReadLeavesTheCacheTheHeaderTheBuildAndTheFirmwareAsTheyWere)
{
    // Reads refused for a wrong CRC are in EveryReadChecksTheCsCrcAndKeepsTheCache.
    nvimagegen::ImagePlan layout = Layout(5, 0x12);
    layout.firmware[0].words[0] = 0;  // no lookup table: no build identifier
    const Words noTable = nvimagegen::BuildImage(layout);
    Words truncated = ImageWords();
    truncated.resize(HeaderWords() + 4);
    ImageFile("short.xuv", truncated);
    ImageFile("six.xuv", ImageWords(0x12, 6));
    // Build 9 sets FAR past the image's CS block; the version lines of the
    // others select build 7 before the file is refused.
    Keyr("far.keyr", ">DECIMAL_CS_VERSION=9\n&TRIM = 13\n");
    Keyr("badline.keyr", ">DECIMAL_CS_VERSION=7\n&KEYA = 1\nbad\n");
    Keyr("unknown.keyr", ">DECIMAL_CS_VERSION=7\n&TRIM = 14\n&0999 = 1\n");
    Keyr("range.keyr", ">DECIMAL_CS_VERSION=7\n&KEYA = 3\n&TRIM = 21\n");
    Keyr("six.keyr", ">DECIMAL_CS_VERSION=6\n");
    Keyr("noversion.keyr", "&TRIM = 14\n");
    const std::string farText =
        "Invalid key location: Key ID: 0x0004 (FAR), words 20-21 lie outside the CS block of the cached image "
        "(16 words).  ";

    struct Refusal {
        std::string what;
        std::string options;            // transport options of the handle
        std::function<void()> prepare;  // after the cache was filled
        std::function<int32_t()> read;
        int32_t code;
        std::string text;        // empty: not compared
        uint16_t version = 5;    // CS version of the cached image
    };
    auto file = [this](const char* aName) {
        const std::string path = Path(aName);
        return [this, path] { return nvtCsCacheReadFromFile(handle, path.c_str()); };
    };
    auto chipRead = [this](uint32_t aNvm, uint8_t aCsOnly) {
        return [this, aNvm, aCsOnly] { return nvtCsCacheReadFromChip(handle, aNvm, aCsOnly); };
    };
    auto program = [this](uint32_t aNvm, const Words& aWords) {
        return [this, aNvm, aWords] { Program(aNvm, aWords); };
    };
    auto merge = [this](const char* aName, uint32_t aFirmware) {
        const std::string path = Path(aName);
        return [this, path, aFirmware] { return nvtCsCacheFileMerge(handle, path.c_str(), aFirmware); };
    };
    const std::function<void()> nothing = [] {};
    const int32_t general = NVT_ERR_CS_GENERAL;

    // Two caches to keep: a whole image read from a file, and the CS block
    // alone read from the SPI flash (no firmware cached).
    for (bool csOnlyCache : {false, true}) {
        const std::vector<Refusal> refusals = {
            {"KEYR default past the CS block", "", nothing, file("far.keyr"), general, farText, 9},
            {"KEYR bad line", "", nothing, file("badline.keyr"), general, ""},
            {"KEYR unknown key ID", "", nothing, file("unknown.keyr"), general, ""},
            {"KEYR value out of range", "", nothing, file("range.keyr"), general, ""},
            {"KEYR unknown version", "", nothing, file("six.keyr"), general, ""},
            {"KEYR without version", "", nothing, file("noversion.keyr"), general, ""},
            {"missing file", "", nothing, file("missing.xuv"), general, ""},
            {"XUV truncated", "", nothing, file("short.xuv"), general, ""},
            {"XUV of a build the database lacks", "", nothing, file("six.xuv"), general, ""},
            {"blank EEPROM", "", nothing, chipRead(NVT_NVM_EEPROM, 0), general, kBlankText},
            {"blank flash, CS only", "", program(NVT_NVM_SPI_FLASH, Words(0x200, 0xFFFF)),
             chipRead(NVT_NVM_SPI_FLASH, 1), general, kBlankText},
            {"EEPROM without build identifier", "", program(NVT_NVM_EEPROM, noTable), chipRead(NVT_NVM_EEPROM, 0),
             general, ""},
            {"EEPROM read failure", "e2fail=read:2", program(NVT_NVM_EEPROM, ImageWords(0x14)),
             chipRead(NVT_NVM_EEPROM, 0), general, "EEPROM read failed"},
            {"flash dump failure", csOnlyCache ? "flashfail=dump:2" : "flashfail=dump:1",
             program(NVT_NVM_SPI_FLASH, ImageWords(0x14)), chipRead(NVT_NVM_SPI_FLASH, 0), general, ""},
            {"merge of CS values", "", nothing, merge("far.keyr", 0), general,
             "Error merging CS values (" + farText + ")", 9}};
        for (const Refusal& r : refusals) {
            SCOPED_TRACE(r.what + (csOnlyCache ? " (CS-only cache)" : " (whole image cached)"));
            Open(r.options);
            if (csOnlyCache) {
                Program(NVT_NVM_SPI_FLASH, ImageWords(0x15, r.version));
                ASSERT_EQ(NVT_OK, nvtCsCacheReadFromChip(handle, NVT_NVM_SPI_FLASH, 1)) << Text();
            } else {
                ASSERT_EQ(NVT_OK,
                          nvtCsCacheReadFromFile(handle, ImageFile("good.xuv", ImageWords(0x13, r.version)).c_str()))
                    << Text();
            }
            ASSERT_EQ(NVT_OK, SetItem("KEYA", {0x77})) << Text();  // a change only the cache holds
            r.prepare();
            const std::string before = Snapshot();
            EXPECT_EQ(r.code, r.read());
            if (!r.text.empty()) {
                EXPECT_EQ(r.text, Text());
            }
            EXPECT_EQ(before, Snapshot());
        }
    }
}

TEST_F(ReadCheck, ARefusedKeyrReadIsNotWrittenToTheDeviceByTheNextWrite)
{
    Open();
    Program(NVT_NVM_EEPROM, ImageWords(0x12));
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0)) << Text();
    EXPECT_EQ(NVT_ERR_CS_GENERAL,
              nvtCsCacheReadFromFile(handle, Keyr("far.keyr", ">DECIMAL_CS_VERSION=9\n&TRIM = 13\n").c_str()));
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteToChip(handle, NVT_NVM_EEPROM, 1)) << Text();
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0)) << Text();
    EXPECT_EQ(Words{0x12}, Item("TRIM"));
    EXPECT_EQ(ImageWords(0x12), DeviceWords(NVT_NVM_EEPROM, 0, static_cast<uint32_t>(ImageWords().size())));
}

// --- KEYR files --------------------------------------------------------------------

TEST_F(ReadCheck, AKeyrFileKeepsTheCsBlockOfTheImageItIsLaidOnto)
{
    // Build 5 places keys up to word 6 of the 16-word CS block. The KEYR
    // file rebuilds words 0-6; words 7-15 keep the image's values, and a
    // CS-only write puts a CS CRC over the whole block, which reads back.
    Open();
    const Words image = ImageWords(0x12);
    const size_t csStart = HeaderWords();
    Program(NVT_NVM_EEPROM, image);
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0)) << Text();
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Keyr("trim.keyr", ">DECIMAL_CS_VERSION=5\n&TRIM = 14\n").c_str()))
        << Text();
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteToChip(handle, NVT_NVM_EEPROM, 1)) << Text();
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0)) << Text();
    EXPECT_EQ(Words{0x14}, Item("TRIM"));
    EXPECT_EQ(Words{0x0A}, Item("KEYA"));  // the default: the file does not set it
    const Words block = DeviceWords(NVT_NVM_EEPROM, static_cast<uint32_t>(csStart), kCsWords);
    EXPECT_EQ(Words(image.begin() + csStart + 7, image.begin() + csStart + kCsWords),
              Words(block.begin() + 7, block.end()));
    // The same image written to a file reads back too.
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Path("trim.keyr").c_str())) << Text();
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteToFile(handle, Path("out.xuv").c_str())) << Text();
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Path("out.xuv").c_str())) << Text();
    EXPECT_EQ(Words{0x14}, Item("TRIM"));
}

TEST_F(ReadCheck, AKeyrKeyGivenByIdIsThatKeyNotOneNamedLikeIt)
{
    // Key ID 2 is TWO; the key named "0002" has ID 5.
    keydbgen::Database odd;
    keydbgen::Build b = keydbgen::Build::Make(5);
    b.keys.push_back(keydbgen::Key::Make("TWO", 2, 1, 1).Defaults({0x22}));
    b.keys.push_back(keydbgen::Key::Make("0002", 5, 2, 1).Defaults({0x55}));
    b.keys.push_back(keydbgen::Key::Make("CAFE", 6, 3, 1).Defaults({0x66}));
    odd.builds.push_back(b);
    ASSERT_TRUE(keydbgen::WriteFile(db, keydbgen::ToXml(odd)));
    Open();
    // "&0002" is ID 2; a name that is no key's ID is still a name.
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(
                          handle, Keyr("in.keyr", ">DECIMAL_CS_VERSION=5\n&0002 = 1234\n&cafe = 4321\n").c_str()))
        << Text();
    EXPECT_EQ(Words{0x1234}, Item("TWO"));
    EXPECT_EQ(Words{0x55}, Item("0002"));
    EXPECT_EQ(Words{0x4321}, Item("CAFE"));
    // Written out, key "0002" goes by its ID and the file reads back the same.
    ASSERT_EQ(NVT_OK, SetItem("0002", {0x5A}));
    ASSERT_EQ(NVT_OK, nvtCsCacheWriteToFile(handle, Path("out.keyr").c_str())) << Text();
    const std::string text = ReadWholeFile(Path("out.keyr"));
    EXPECT_NE(std::string::npos, text.find("&TWO = 1234")) << text;
    EXPECT_NE(std::string::npos, text.find("&0005 = 005a")) << text;
    EXPECT_NE(std::string::npos, text.find("&CAFE = 4321")) << text;
    Open();
    ASSERT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, Path("out.keyr").c_str())) << Text();
    EXPECT_EQ(Words{0x1234}, Item("TWO"));
    EXPECT_EQ(Words{0x5A}, Item("0002"));
    EXPECT_EQ(Words{0x4321}, Item("CAFE"));
}

// --- Trace ------------------------------------------------------------------------------

TEST_F(ReadCheck, FileTargetsTraceTheirInitialise)
{
    Open();
    const std::string xuv = ImageFile("good.xuv", ImageWords());
    const std::string trace = Path("trace.log");
    ASSERT_TRUE(nvttrace::Configure((trace + ":0,1").c_str()));
    EXPECT_EQ(NVT_OK, nvtCsCacheReadFromFile(handle, xuv.c_str()));
    EXPECT_EQ(NVT_OK, nvtCsCacheWriteToFile(handle, Path("out.img").c_str()));
    nvttrace::Configure(nullptr);

    std::istringstream in(ReadWholeFile(trace));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    auto after = [&](const std::string& aEntry) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find("[IN ] " + aEntry) != std::string::npos)
                return Words{static_cast<uint16_t>(i)};
        return Words{};
    };
    const Words xuvAt = after("CXUVTarget::Initialise");
    const Words imgAt = after("CIMGTarget::Initialise");
    ASSERT_EQ(1u, xuvAt.size());
    ASSERT_EQ(1u, imgAt.size());
    ASSERT_LT(imgAt[0] + 2u, lines.size());
    EXPECT_NE(std::string::npos, lines[xuvAt[0] + 1].find("targets(")) << lines[xuvAt[0] + 1];
    EXPECT_NE(std::string::npos, lines[xuvAt[0] + 1].find("aFilename=>" + xuv + "<")) << lines[xuvAt[0] + 1];
    EXPECT_NE(std::string::npos, lines[xuvAt[0] + 2].find("aInitialiseForWrite=0")) << lines[xuvAt[0] + 2];
    EXPECT_NE(std::string::npos, lines[imgAt[0] + 1].find("aFilename=>" + Path("out.img") + "<"));
    EXPECT_NE(std::string::npos, lines[imgAt[0] + 2].find("aInitialiseForWrite=1")) << lines[imgAt[0] + 2];
}

}  // namespace
