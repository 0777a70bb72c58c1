// KEYR key files: syntax, messages, reading into and writing from a cache.
#include "keydatabase.h"
#include "cscache/keyrfile.h"
#include "cscache/nvimagecache.h"
#include "cscache/nvimagecs.h"
#include "cscache/nvimagehdr.h"

#include <sstream>

using namespace cstest;
using namespace testsupport;

namespace {

class KeyrFile : public KeysFixture {
protected:
    // Parses a text with a KEYR file bound to the database.
    bool Parse(const std::string& aText)
    {
        file.reset(new CKeyrFile(&keys));
        std::istringstream in(aText);
        return file->ReadFromStream(in);
    }
    // Loads a KEYR file into a new engine; the engine's status.
    int32_t LoadIntoEngine(const std::string& aText)
    {
        WriteWholeFile(Path("keys.keyr"), aText);
        return engine.ReadFile(Path("keys.keyr"));
    }
    std::vector<uint16_t> Key(uint16_t aId)
    {
        std::vector<uint16_t> words;
        EXPECT_EQ(kCsOk, engine.ReadKey(aId, words));
        return words;
    }

    std::unique_ptr<CKeyrFile> file;
    CNvImageCache engine{&keys, nullptr};
};

TEST_F(KeyrFile, VersionOnlyGivesEveryKeyItsDefault)
{
    ASSERT_EQ(kCsOk, LoadIntoEngine(">DECIMAL_CS_VERSION=5\n"));
    uint16_t version = 0;
    ASSERT_EQ(kCsOk, engine.GetCsVersion(version));
    EXPECT_EQ(5, version);
    EXPECT_EQ((std::vector<uint16_t>{1, 2}), Key(kIdNamed));
    EXPECT_EQ((std::vector<uint16_t>{0x18}), Key(kIdTrim));
    EXPECT_EQ(std::vector<uint16_t>(12, 0x0C0C), Key(kIdBig));
    std::vector<uint16_t> data;
    ASSERT_EQ(kCsOk, engine.GetCsData(data));
    EXPECT_EQ(kCsWords, data.size());
    // The header stays empty after a KEYR load.
    EXPECT_FALSE(engine.Header().IsPopulated());
}

TEST_F(KeyrFile, ValuesCommentsSplittingAndActions)
{
    ASSERT_EQ(kCsOk, LoadIntoEngine(">DECIMAL_CS_VERSION=5\n"
                                    "  &0001 = 1234 5678 // comment\n"
                                    "&pskey_a=12345678   # other comment\n"
                                    "&0x0003 ~ 9 ; third style\n"
                                    "&TRIM * 1f\n"
                                    "&0004 = 1 2 3 4 5 6 7 8 9 a b c\n"
                                    "&4=c b a 9 8 7 6 5 4 3 2 1\n"
                                    "\t\r\n"
                                    "// only a comment\n"));
    EXPECT_EQ((std::vector<uint16_t>{0x1234, 0x5678}), Key(kIdPair));
    EXPECT_EQ((std::vector<uint16_t>{0x1234, 0x5678}), Key(kIdNamed));
    EXPECT_EQ((std::vector<uint16_t>{9}), Key(kIdNoLabel));
    EXPECT_EQ((std::vector<uint16_t>{0x18}), Key(kIdTrim));  // "*" keeps the default
    // The later of two lines for one key wins.
    EXPECT_EQ((std::vector<uint16_t>{0xc, 0xb, 0xa, 9, 8, 7, 6, 5, 4, 3, 2, 1}), Key(kIdBig));
}

TEST_F(KeyrFile, MessagesCarryLineAndColumn)
{
    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5\nx&0001 = 1\n"));
    EXPECT_EQ("At line 2, column 1: expected: '&', found: 'x'. Missing start character. ", file->ErrorText());

    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5\n&   \n"));
    EXPECT_EQ("At line 2, column 2: expected: <hex number>, found: nothing, Invalid key ID. ", file->ErrorText());

    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5\n& 0001 1234\n"));
    EXPECT_EQ("At line 2, column 3: expected one of: [=+~-*], found: '& 0001 1234'. Invalid action. ",
              file->ErrorText());

    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5\n&zz = 1\n"));
    EXPECT_EQ("At line 2, column 2: expected: <hex number>, found: 'zz = 1'. Invalid key ID. ", file->ErrorText());

    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5\n&10000 = 1\n"));  // beyond 16 bits
    EXPECT_NE(std::string::npos, file->ErrorText().find("Invalid key ID."));

    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5\n&0001 = 12g4 5\n"));
    EXPECT_EQ("At line 2, column 9: expected: <hex number>, found: '12g4 5'. Invalid data. ", file->ErrorText());
    ASSERT_EQ(1u, file->Entries().size());  // the entry is kept

    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5\n&0001 - 1\n&0001 + 1\n"));
    EXPECT_EQ("At line 2, column 8: 'Delete' ('-') not supported.\r  Invalid action.\r"
              "At line 3, column 8: 'Set not present' ('+') not supported.\r  Invalid action.\r",
              file->ErrorText());
}

TEST_F(KeyrFile, VersionLineRules)
{
    const std::string mark = "The version string (signified by '>DECIMAL_CS_VERSION=') ";
    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5 // five\n"));
    EXPECT_EQ(mark + "does not specify a valid decimal number on line 1. ", file->ErrorText());
    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=-5\n"));
    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=65536\n"));
    EXPECT_TRUE(Parse(">DECIMAL_CS_VERSION=  9\n"));
    EXPECT_EQ(9, file->Version());
    EXPECT_EQ(9, keys.SelectedBuild());  // accepted into the database

    EXPECT_FALSE(Parse(">DECIMAL_CS_VERSION=5\n>DECIMAL_CS_VERSION=5\n"));
    EXPECT_EQ(mark + "may only be supplied once; the second instance appears on line 2. ", file->ErrorText());

    // The missing version is told only when nothing else went wrong.
    EXPECT_FALSE(Parse("&0001 = 1\n"));
    EXPECT_EQ("The mandatory version string (signified by '>DECIMAL_CS_VERSION=') has not been specified. ",
              file->ErrorText());
    EXPECT_FALSE(Parse("x\n"));
    EXPECT_EQ(std::string::npos, file->ErrorText().find("mandatory"));
}

TEST_F(KeyrFile, ObjectFailuresAndStatusValues)
{
    {
        CKeyrObject keyr;
        int16_t code = 0;
        EXPECT_EQ(kCsFileNotFound, keyr.Initialise(&keys, Path("missing.keyr"), false));
        EXPECT_EQ("The mandatory version string (signified by '>DECIMAL_CS_VERSION=') has not been specified. ",
                  LastErrorText(&code));
        EXPECT_EQ(kCsFileNotFound, code);
    }
    EXPECT_EQ(kCsFileNotFound, LoadIntoEngine(">DECIMAL_CS_VERSION=5\n&0001 - 1\n"));
    // A version the database lacks fails after parsing.
    EXPECT_EQ(kCsNoKeysForBuild, LoadIntoEngine(">DECIMAL_CS_VERSION=6\n"));
    ASSERT_EQ(kCsOk, keys.SetInterestedVersion(5));
    // An ID the build lacks: 6, and the refused file leaves nothing cached.
    EXPECT_EQ(kCsKeyNotFound, LoadIntoEngine(">DECIMAL_CS_VERSION=5\n&0999 = 1\n&TRIM = 11\n"));
    uint16_t version = 0;
    EXPECT_EQ(kCsNothingThere, engine.GetCsVersion(version));
    // Values the key's checks refuse end the load with the engine's status.
    EXPECT_EQ(kCsInvalidKeyData, LoadIntoEngine(">DECIMAL_CS_VERSION=5\n&TRIM = 21\n"));
    EXPECT_EQ(kCsInvalidKeyData, LoadIntoEngine(">DECIMAL_CS_VERSION=5\n&KEY_ONE = 1\n"));

    CKeyrObject unready;
    CNvImageCs section;
    EXPECT_EQ(kCsInternalError, unready.Read(section, engine));
    EXPECT_EQ("KEYR object not initialised", LastErrorText());
    EXPECT_EQ(kCsInternalError, unready.Write(section));
    EXPECT_EQ(kCsInternalError, unready.Flush());
}

TEST_F(KeyrFile, WrittenFileReadsBackToTheSameKeys)
{
    ASSERT_EQ(kCsOk, LoadIntoEngine(">DECIMAL_CS_VERSION=5\n&PSKEY_A = 1 2f\n&NOLABEL = 3\n&BDADDR = 1 2 3 4\n"));
    ASSERT_EQ(kCsOk, engine.WriteFile(Path("out.KEYR")));
    const std::string text = ReadWholeFile(Path("out.KEYR"));
    EXPECT_EQ(0u, text.find(TextOnDisk(">DECIMAL_CS_VERSION=5\n// (0123) - My label\n&PSKEY_A = 0001 002f\n"))) << text;
    EXPECT_NE(std::string::npos, text.find(TextOnDisk("\n// (0003)\n&NOLABEL = 0003\n"))) << text;

    CNvImageCache again(&keys, nullptr);
    ASSERT_EQ(kCsOk, again.ReadFile(Path("out.KEYR")));
    std::vector<uint16_t> first;
    std::vector<uint16_t> second;
    ASSERT_EQ(kCsOk, engine.GetCsData(first));
    ASSERT_EQ(kCsOk, again.GetCsData(second));
    EXPECT_EQ(first, second);
}

TEST_F(KeyrFile, WritingNeedsCsDataThatCoverTheKeys)
{
    CKeyrObject keyr;
    ASSERT_EQ(kCsOk, keyr.Initialise(&keys, Path("w.keyr"), true));
    CNvImageCs empty;
    EXPECT_NE(kCsOk, keyr.Write(empty));
    CNvImageCs shortData;
    ASSERT_EQ(kCsOk, shortData.WriteData(0, std::vector<uint16_t>{5, 1, 2}));
    EXPECT_EQ(kCsNothingThere, keyr.Write(shortData));

    CKeyrObject denied;
    ASSERT_EQ(kCsOk, denied.Initialise(&keys, Path("no/such/dir/w.keyr"), true));
    int16_t code = 0;
    EXPECT_EQ(kCsFileWriteFailed, denied.Flush());
    EXPECT_NE(std::string::npos, LastErrorText(&code).find("Unable to write to the file '"));
    EXPECT_EQ(kCsFileWriteFailed, code);
}

}  // namespace
