#include "cscache/cskeysinfo.h"
#include "keydbgen.h"
#include "support/msghandler.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using keydbgen::Build;
using keydbgen::Database;
using keydbgen::Key;

CMessageHandler& Shared()
{
    return TheMsgHnd::Instance().SharedHandler();
}

void SetEnvironment(const char* aName, const char* aValue)
{
#ifdef _WIN32
    _putenv_s(aName, aValue != nullptr ? aValue : "");
#else
    if (aValue != nullptr)
        setenv(aName, aValue, 1);
    else
        unsetenv(aName);
#endif
}

class KeyDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::ResetErrors();
    }
    void TearDown() override
    {
        SetEnvironment("CSCONFIGFILE", nullptr);
    }
    std::string Write(const std::string& aText, const std::string& aName = "db.xml")
    {
        const std::string path = (dir / aName).string();
        EXPECT_TRUE(keydbgen::WriteFile(path, aText));
        return path;
    }
    int32_t Load(const Database& aDb) { return keys.LoadXML(Write(keydbgen::ToXml(aDb))); }
    int32_t LoadText(const std::string& aText) { return keys.LoadXML(Write(aText)); }
    // Pending error text; empty when nothing was reported.
    static std::string LastError(int16_t* aCode = nullptr) { return testsupport::LastErrorText(aCode); }
    // A build with one plain key; the key can then be adjusted.
    static Database OneKey(const Key& aKey, uint16_t aBuild = 1)
    {
        Database db;
        db.builds.push_back(Build::Make(aBuild));
        db.builds.back().keys.push_back(aKey);
        return db;
    }

    testsupport::ScratchDir scratch;
    fs::path dir{scratch.path()};
    CCsKeysInfo keys{Shared()};
};

TEST_F(KeyDatabaseTest, WrapperWithThreeBuildsGivesThreeLists)
{
    Database db;
    for (uint16_t b : {3, 9, 4}) {
        db.builds.push_back(Build::Make(b));
        for (uint16_t k = 0; k < b; ++k) db.builds.back().Add("K" + std::to_string(k), static_cast<uint16_t>(k + 10), 2);
    }
    ASSERT_EQ(0, Load(db));
    EXPECT_EQ((std::vector<uint16_t>{3, 9, 4}), keys.BuildIds());
    EXPECT_EQ(10u, keys.KeyTableSize());
    for (uint16_t b : {3, 9, 4}) {
        ASSERT_EQ(0, keys.SetInterestedVersion(b));
        EXPECT_EQ(b, keys.NumKeys());
    }
    CsKeyDetails details;
    ASSERT_EQ(0, keys.KeyDetailsFromIndex(2, details));
    EXPECT_EQ("K2", details.name);
    EXPECT_EQ(12, details.id);
    EXPECT_EQ(5, details.offset);
    EXPECT_EQ(2, details.length);
    EXPECT_EQ("", LastError());
}

TEST_F(KeyDatabaseTest, AnyOtherRootIsTheOnlyBuildAndElementNamesAreFree)
{
    Database db;
    db.wrapper = false;
    db.builds.push_back(Build::Make(7));
    db.builds.back().elementName = "WHATEVER";
    db.builds.back().Add("ONLY", 1, 1);
    ASSERT_EQ(0, Load(db));
    EXPECT_EQ((std::vector<uint16_t>{7}), keys.BuildIds());
    EXPECT_EQ(0, keys.SetInterestedVersion(7));
}

TEST_F(KeyDatabaseTest, BuildIdsClearBit15SkipNonNumbersAndReplaceDuplicates)
{
    Database db;
    db.builds.push_back(Build::Make(32769));
    db.builds.back().Add("HIGH", 1, 1);
    db.builds.push_back(Build{std::string("twelve"), "BUILD", {}});
    db.builds.back().Add("SKIPPED", 2, 1);
    db.builds.push_back(Build::Make(2));
    db.builds.back().Add("FIRST", 3, 1);
    db.builds.push_back(Build::Make(2));
    db.builds.back().Add("SECOND", 4, 1);
    ASSERT_EQ(0, Load(db));
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 2}), keys.BuildIds());
    ASSERT_EQ(0, keys.SetInterestedVersion(1));
    uint16_t id = 0;
    EXPECT_EQ(0, keys.KeyIdFromName("HIGH", id));
    ASSERT_EQ(0, keys.SetInterestedVersion(2));
    EXPECT_EQ(1, keys.NumKeys());
    EXPECT_EQ(6, keys.KeyIdFromName("FIRST", id));
    EXPECT_EQ(0, keys.KeyIdFromName("SECOND", id));
    EXPECT_EQ(4, id);

    // A build element without BUILD_ID fails the whole load.
    db.builds.push_back(Build{std::nullopt, "BUILD", {}});
    db.builds.back().Add("X", 1, 1);
    EXPECT_EQ(12, Load(db));
}

TEST_F(KeyDatabaseTest, NumbersFollowTheStrictDecimalRule)
{
    struct Case {
        const char* text;
        bool valid;
        uint16_t value;
    } cases[] = {
        {"3", true, 3},     {" 3", true, 3},     {"\t\n 42", true, 42}, {"+5", true, 5},   {"007", true, 7},
        {"65535", true, 65535}, {"3 ", false, 0}, {"", false, 0},      {"  ", false, 0},  {"65536", false, 0},
        {"-1", false, 0},   {"0x10", false, 0},  {"1e3", false, 0},    {"12a", false, 0}, {"99999999999", false, 0},
    };
    for (const Case& c : cases) {
        uint16_t value = 0;
        EXPECT_EQ(c.valid, CCsKeysInfo::ParseDecimal(c.text, value)) << ">" << c.text << "<";
        if (c.valid) {
            EXPECT_EQ(c.value, value) << c.text;
        }
    }

    Key key = Key::Make("LEN", 1, 1, 1);
    key.length = "3 ";
    EXPECT_EQ(12, Load(OneKey(key)));
    key.length = " 3";
    ASSERT_EQ(0, Load(OneKey(key)));
    ASSERT_EQ(0, keys.SetInterestedVersion(1));
    uint16_t length = 0;
    ASSERT_EQ(0, keys.KeyLength(1, length));
    EXPECT_EQ(3, length);
}

TEST_F(KeyDatabaseTest, MinAndMaxDefaultAndAreCheckedWhenPresent)
{
    Key key = Key::Make("PLAIN", 9, 1, 1);
    ASSERT_EQ(0, Load(OneKey(key)));
    ASSERT_EQ(0, keys.SetInterestedVersion(1));
    CsKeyDetails details;
    ASSERT_EQ(0, keys.KeyDetailsFromId(9, details));
    EXPECT_EQ(0, details.min);
    EXPECT_EQ(0xFFFF, details.max);
    EXPECT_TRUE(details.defaultValues.empty());
    EXPECT_EQ("", details.label);
    EXPECT_EQ("", details.description);

    key.min = "x";
    EXPECT_EQ(12, Load(OneKey(key)));
    key.min.reset();
    key.max = "70000";
    EXPECT_EQ(12, Load(OneKey(key)));
}

TEST_F(KeyDatabaseTest, RequiredAttributesAndContent)
{
    Key key = Key::Make("NAMED", 1, 1, 1);
    key.name.clear();  // an empty NAME is still a name
    EXPECT_EQ(0, Load(OneKey(key)));
    for (std::string* field : {&key.id, &key.offset, &key.length}) {
        Key broken = Key::Make("K", 1, 1, 1);
        *(&broken.id + (field - &key.id)) = "";
        EXPECT_EQ(12, Load(OneKey(broken)));
    }
    // No attributes, no NAME, an empty key element, a build without keys.
    EXPECT_EQ(12, LoadText("<PSKEY_DATABASE><B BUILD_ID=\"1\"><KEY>\n</KEY></B></PSKEY_DATABASE>"));
    EXPECT_EQ(12, LoadText("<PSKEY_DATABASE><B BUILD_ID=\"1\"><KEY ID=\"1\" OFFSET=\"1\" LENGTH=\"1\">\n</KEY></B>"
                           "</PSKEY_DATABASE>"));
    EXPECT_EQ(12, LoadText("<PSKEY_DATABASE><B BUILD_ID=\"1\"><KEY NAME=\"A\" ID=\"1\" OFFSET=\"1\" LENGTH=\"1\"/>"
                           "</B></PSKEY_DATABASE>"));
    EXPECT_EQ(12, LoadText("<PSKEY_DATABASE><B BUILD_ID=\"1\">\n</B></PSKEY_DATABASE>"));
    EXPECT_EQ(12, LoadText("<PSKEY_DATABASE>\n</PSKEY_DATABASE>"));
    EXPECT_EQ(12, LoadText("<PSKEY_DATABASE><B BUILD_ID=\"1\"><KEY NAME=\"A\""));
    EXPECT_EQ(12, LoadText(""));
    // Any child node will do, and unknown children are ignored.
    EXPECT_EQ(0, LoadText("<B BUILD_ID=\"1\"><KEY NAME=\"A\" ID=\"1\" OFFSET=\"1\" LENGTH=\"1\"><!--c--><X/></KEY></B>"));
}

TEST_F(KeyDatabaseTest, DefaultValuesWithOrWithoutWhiteSpaceBetween)
{
    Key key = Key::Make("DEF", 5, 1, 3);
    key.Defaults({1, 2, 65535}).Text("The label", "A & B < C");
    ASSERT_EQ(0, Load(OneKey(key)));
    ASSERT_EQ(0, keys.SetInterestedVersion(1));
    CsKeyDetails details;
    ASSERT_EQ(0, keys.KeyDetailsFromId(5, details));
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 65535}), details.defaultValues);
    EXPECT_EQ("The label", details.label);
    EXPECT_EQ("A & B < C", details.description);

    const std::string head = "<B BUILD_ID=\"1\"><KEY NAME=\"A\" ID=\"1\" OFFSET=\"1\" LENGTH=\"2\">";
    const std::string tail = "</KEY></B>";
    // Minified: the values need no white space between them.
    EXPECT_EQ(0, LoadText(head + "<DEFAULT><DEFAULTVALUE>1</DEFAULTVALUE><DEFAULTVALUE>2</DEFAULTVALUE></DEFAULT>" +
                          tail));
    ASSERT_EQ(0, keys.SetInterestedVersion(1));
    ASSERT_EQ(0, keys.KeyDetailsFromId(1, details));
    EXPECT_EQ((std::vector<uint16_t>{1, 2}), details.defaultValues);
    EXPECT_EQ(0, LoadText(head + "<DEFAULT>\n<DEFAULTVALUE>1</DEFAULTVALUE><!-- one --></DEFAULT>" + tail));
    EXPECT_EQ(12, LoadText(head + "<DEFAULT></DEFAULT>" + tail));
    EXPECT_EQ(12, LoadText(head + "<DEFAULT>\n<OTHER>1</OTHER>\n</DEFAULT>" + tail));
    EXPECT_EQ(12, LoadText(head + "<DEFAULT>\n<DEFAULTVALUE>1 </DEFAULTVALUE>\n</DEFAULT>" + tail));
    EXPECT_EQ(12, LoadText(head + "<DEFAULT>\n<DEFAULTVALUE></DEFAULTVALUE>\n</DEFAULT>" + tail));
    EXPECT_EQ(0, LoadText(head + "<DEFAULT> <DEFAULTVALUE>1</DEFAULTVALUE> <DEFAULTVALUE>2</DEFAULTVALUE> </DEFAULT>" +
                          tail));
    // Empty LABEL and DESCRIPTION read as empty texts.
    EXPECT_EQ(0, LoadText(head + "<LABEL/><DESCRIPTION></DESCRIPTION>" + tail));
}

TEST_F(KeyDatabaseTest, FailedLoadKeepsTheLastLoadedFileName)
{
    Database good = OneKey(Key::Make("A", 1, 1, 1));
    const std::string path = Write(keydbgen::ToXml(good), "good.xml");
    ASSERT_EQ(0, keys.LoadXML(path));
    EXPECT_EQ(path, keys.LoadedFile());
    EXPECT_EQ(11, keys.LoadXML((dir / "missing.xml").string()));
    EXPECT_EQ(12, LoadText("<broken"));
    EXPECT_EQ(path, keys.LoadedFile());
    EXPECT_TRUE(keys.IsLoaded());
    EXPECT_EQ(11, keys.LoadXML(""));
    EXPECT_NE(0, keys.LoadXML(dir.string() + "/"));
}

TEST_F(KeyDatabaseTest, LoadDatabaseTakesTheArgumentThenTheEnvironmentThenTheProgramDirectory)
{
    // Beside the test program lies the sample database.
    ASSERT_EQ(0, keys.LoadDatabase(""));
    EXPECT_EQ("cskey_db.xml", fs::path(keys.LoadedFile()).filename().string());
    EXPECT_EQ(0, keys.SetInterestedVersion(keydbgen::kSampleBuildNew));

    const std::string envPath = Write(keydbgen::ToXml(OneKey(Key::Make("E", 1, 1, 1), 77)), "env.xml");
    SetEnvironment("CSCONFIGFILE", ("  \t" + envPath + " \r\n").c_str());
    ASSERT_EQ(0, keys.LoadDatabase(""));
    EXPECT_EQ(envPath, keys.LoadedFile());

    const std::string argPath = Write(keydbgen::ToXml(OneKey(Key::Make("G", 1, 1, 1), 78)), "arg.xml");
    ASSERT_EQ(0, keys.LoadDatabase(argPath));
    EXPECT_EQ(argPath, keys.LoadedFile());
    EXPECT_EQ("", LastError());
}

TEST_F(KeyDatabaseTest, LoadFailureMessages)
{
    int16_t code = 0;
    const std::string missing = (dir / "nope.xml").string();
    EXPECT_EQ(11, keys.LoadDatabase(missing));
    EXPECT_EQ("Cannot load key definition file:   '" + missing + "'  XML file not found.", LastError(&code));
    EXPECT_EQ(11, code);

    SetEnvironment("CSCONFIGFILE", (" " + missing + " ").c_str());
    EXPECT_EQ(11, keys.LoadDatabase(""));
    EXPECT_EQ("Cannot load key definition file:   '" + missing +
                  "' CSCONFIGFILE environment variable is invalid  XML file not found.",
              LastError());

    const std::string bad = Write("<PSKEY_DATABASE/>", "bad.xml");
    EXPECT_EQ(12, keys.LoadDatabase(bad));
    EXPECT_EQ("Cannot load key definition file:   '" + bad + "'  XML file is incorrect format.", LastError(&code));
    EXPECT_EQ(12, code);
}

TEST_F(KeyDatabaseTest, SelectingBuilds)
{
    EXPECT_EQ(8, keys.SetInterestedVersion(1));
    EXPECT_EQ("The XML file has not yet been loaded. ", LastError());

    Database db;
    for (uint16_t b : {8, 1, 3, 2, 5, 7, 3}) {
        db.builds.push_back(Build::Make(b));
        db.builds.back().Add("K", 1, 1);
    }
    const std::string path = Write(keydbgen::ToXml(db));
    ASSERT_EQ(0, keys.LoadXML(path));
    EXPECT_EQ(0, keys.SetInterestedVersion(32773));
    EXPECT_EQ(5, keys.SelectedBuild());
    int16_t code = 0;
    EXPECT_EQ(8, keys.SetInterestedVersion(4));
    EXPECT_EQ("XML file is wrong version for device  File: " + path + " Requested: 4 XML contains: 1-3, 5, 7, 8",
              LastError(&code));
    EXPECT_EQ(8, code);
    EXPECT_EQ(8, keys.SetInterestedVersion(30000));  // beyond the table
    EXPECT_EQ(5, keys.SelectedBuild());
}

TEST_F(KeyDatabaseTest, CompressedIdLists)
{
    EXPECT_EQ("1-3, 5, 7, 8", CCsKeysInfo::CompressedIdList({8, 7, 5, 3, 2, 1}));
    EXPECT_EQ("1, 2", CCsKeysInfo::CompressedIdList({2, 1, 2}));
    EXPECT_EQ("4", CCsKeysInfo::CompressedIdList({4, 4, 4}));
    EXPECT_EQ("0-2, 4-7, 32767", CCsKeysInfo::CompressedIdList({0, 1, 2, 4, 5, 6, 7, 32767}));
    EXPECT_EQ("", CCsKeysInfo::CompressedIdList({}));
}

TEST_F(KeyDatabaseTest, LookupsAnswerFromTheSelectedBuild)
{
    Database db;
    db.builds.push_back(Build::Make(0));
    db.builds.back().Add("ZERO", 1, 1);
    db.builds.push_back(Build::Make(3));
    db.builds.back().Add("Bd_Addr", 42, 4).Add("Trim", 7, 1);
    ASSERT_EQ(0, Load(db));

    // Nothing selected yet: build 0 answers (it has keys here).
    EXPECT_EQ(1, keys.NumKeys());
    uint16_t id = 0;
    EXPECT_EQ(0, keys.KeyIdFromName("zero", id));
    EXPECT_EQ(1, id);

    ASSERT_EQ(0, keys.SetInterestedVersion(3));
    EXPECT_EQ(2, keys.NumKeys());
    EXPECT_EQ(0, keys.KeyIdFromName("BD_ADDR", id));
    EXPECT_EQ(42, id);
    EXPECT_EQ("", LastError());

    int16_t code = 0;
    uint16_t untouched = 0xBEEF;
    EXPECT_EQ(6, keys.KeyIdFromName("BD_ADDRX", untouched));
    EXPECT_EQ("Unknown CS KEY \"BD_ADDRX\"", LastError(&code));
    EXPECT_EQ(6, code);
    EXPECT_EQ(0xBEEF, untouched);

    CsKeyDetails details;
    ASSERT_EQ(0, keys.KeyDetailsFromId(7, details));
    EXPECT_EQ("Trim", details.name);
    EXPECT_EQ(5, details.offset);
    EXPECT_EQ(6, keys.KeyDetailsFromId(1, details));
    EXPECT_EQ("Key not found: Key ID: 0x0001.  ", LastError());
    EXPECT_EQ(6, keys.KeyLength(0x2a + 1, untouched));
    EXPECT_EQ("Key not found: Key ID: 0x002b.  ", LastError());
    EXPECT_EQ(0xBEEF, untouched);

    ASSERT_EQ(0, keys.KeyIdFromIndex(1, id));
    EXPECT_EQ(7, id);
    EXPECT_EQ(6, keys.KeyIdFromIndex(2, untouched));
    EXPECT_EQ("Key not found: Key index: 2 not found in database version 3.  ", LastError());
    EXPECT_EQ(0xBEEF, untouched);
}

TEST_F(KeyDatabaseTest, LookupsBeforeAnyLoadFailCleanly)
{
    CsKeyDetails details;
    uint16_t value = 0;
    EXPECT_EQ(0, keys.NumKeys());
    EXPECT_EQ(6, keys.KeyDetailsFromId(42, details));
    EXPECT_EQ("Key not found: Key ID: 0x002a.  ", LastError());
    EXPECT_EQ(6, keys.KeyDetailsFromIndex(0, details));
    EXPECT_EQ(6, keys.KeyIdFromName("X", value));
    EXPECT_EQ(6, keys.KeyLength(1, value));
}

TEST_F(KeyDatabaseTest, SampleDatabaseDescribesTheSimulatedChip)
{
    ASSERT_EQ(0, keys.LoadXML(Write(keydbgen::ToXml(keydbgen::Sample()))));
    for (uint16_t build : {keydbgen::kSampleBuildOld, keydbgen::kSampleBuildNew}) {
        ASSERT_EQ(0, keys.SetInterestedVersion(build));
        EXPECT_GE(keys.NumKeys(), 40);
        uint16_t id = 0, length = 0;
        ASSERT_EQ(0, keys.KeyIdFromName("bluetooth_address", id));
        ASSERT_EQ(0, keys.KeyLength(id, length));
        EXPECT_EQ(4, length);
        ASSERT_EQ(0, keys.KeyIdFromName("CRYSTAL_TRIM", id));
        // Keys lie one after the other behind the CS version word.
        uint16_t next = 1;
        for (uint16_t i = 0; i < keys.NumKeys(); ++i) {
            CsKeyDetails details;
            ASSERT_EQ(0, keys.KeyDetailsFromIndex(i, details));
            EXPECT_EQ(next, details.offset) << details.name;
            EXPECT_EQ(details.length, details.defaultValues.size()) << details.name;
            next = static_cast<uint16_t>(next + details.length);
        }
    }
}

}  // namespace
