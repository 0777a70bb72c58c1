// Key databases that try to reach outside their file or exhaust memory.
#include "cscache/cskeysinfo.h"
#include "keydbgen.h"
#include "support/msghandler.h"
#include "support/stopwatch.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

class HostileKeyDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::ResetErrors();
        secret = (dir / "secret.txt").string();
        ASSERT_TRUE(keydbgen::WriteFile(secret, "SECRET"));
    }
    int32_t LoadText(const std::string& aText)
    {
        const std::string path = (dir / "db.xml").string();
        EXPECT_TRUE(keydbgen::WriteFile(path, aText));
        return keys.LoadXML(path);
    }
    // True when any text of any key of build 1 contains "SECRET".
    bool SecretLeaked()
    {
        if (keys.SetInterestedVersion(1) != 0) return false;
        for (uint16_t i = 0; i < keys.NumKeys(); ++i) {
            CsKeyDetails d;
            if (keys.KeyDetailsFromIndex(i, d) != 0) continue;
            for (const std::string* s : {&d.name, &d.label, &d.description})
                if (s->find("SECRET") != std::string::npos) return true;
        }
        return false;
    }

    testsupport::ScratchDir scratch;
    fs::path dir{scratch.path()};
    std::string secret;
    CCsKeysInfo keys{TheMsgHnd::Instance().SharedHandler()};
};

const char* const kKey =
    "<B BUILD_ID=\"1\">\n"
    "<KEY NAME=\"A\" ID=\"1\" OFFSET=\"1\" LENGTH=\"1\">\n"
    "<LABEL>&ext;</LABEL>\n<DESCRIPTION>x&ext;</DESCRIPTION>\n"
    "</KEY>\n</B>\n";

TEST_F(HostileKeyDatabaseTest, ExternalEntityToAnotherFileReadsNothing)
{
    for (const std::string& uri : {secret, "file://" + secret}) {
        const std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE B [\n<!ENTITY ext SYSTEM \"" + uri + "\">\n]>\n" +
                                kKey;
        const int32_t result = LoadText(doc);
        EXPECT_TRUE(result == 0 || result == 12) << result;
        EXPECT_FALSE(SecretLeaked()) << uri;
    }
}

TEST_F(HostileKeyDatabaseTest, ExternalParameterEntityAndDtdFilesAreNotRead)
{
    // The outside DTD would define the entity as the secret's contents.
    const std::string dtd = (dir / "evil.dtd").string();
    ASSERT_TRUE(keydbgen::WriteFile(dtd, "<!ENTITY ext SYSTEM \"" + secret + "\">"));
    const std::string viaParameter = "<?xml version=\"1.0\"?>\n<!DOCTYPE B [\n<!ENTITY % p SYSTEM \"" + dtd +
                                     "\">\n%p;\n]>\n" + kKey;
    LoadText(viaParameter);
    EXPECT_FALSE(SecretLeaked());
    const std::string viaDtd = "<?xml version=\"1.0\"?>\n<!DOCTYPE B SYSTEM \"" + dtd + "\">\n" + kKey;
    LoadText(viaDtd);
    EXPECT_FALSE(SecretLeaked());
}

TEST_F(HostileKeyDatabaseTest, DtdOnANetworkAddressIsNeverFetched)
{
    // 192.0.2.1 is reserved for documentation and never answers: a fetch
    // would fail the load or hang for the connection timeout.
    keydbgen::Database db;
    db.prologue = "<!DOCTYPE PSKEY_DATABASE SYSTEM \"http://192.0.2.1/keys.dtd\">\n";
    db.builds.push_back(keydbgen::Build::Make(1));
    db.builds.back().Add("A", 1, 1);
    StopWatch watch;
    EXPECT_EQ(0, LoadText(keydbgen::ToXml(db)));
    EXPECT_LT(watch.ElapsedMs(), 2000u);

    const std::string entity = "<?xml version=\"1.0\"?>\n<!DOCTYPE B [\n<!ENTITY ext SYSTEM "
                               "\"http://192.0.2.1/secret\">\n]>\n" +
                               std::string(kKey);
    const int32_t result = LoadText(entity);
    EXPECT_TRUE(result == 0 || result == 12) << result;
    EXPECT_LT(watch.ElapsedMs(), 4000u);
}

TEST_F(HostileKeyDatabaseTest, EntityExpansionIsBounded)
{
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE B [\n<!ENTITY e0 \"lollollollollol\">\n";
    for (int i = 1; i < 10; ++i)
        doc += "<!ENTITY e" + std::to_string(i) + " \"" + std::string("&e") + std::to_string(i - 1) + ";" +
               "&e" + std::to_string(i - 1) + ";&e" + std::to_string(i - 1) + ";&e" + std::to_string(i - 1) + ";&e" +
               std::to_string(i - 1) + ";&e" + std::to_string(i - 1) + ";&e" + std::to_string(i - 1) + ";&e" +
               std::to_string(i - 1) + ";&e" + std::to_string(i - 1) + ";&e" + std::to_string(i - 1) + ";\">\n";
    doc += "]>\n<B BUILD_ID=\"1\"><KEY NAME=\"A\" ID=\"1\" OFFSET=\"1\" LENGTH=\"1\"><LABEL>&e9;</LABEL></KEY></B>";
    EXPECT_EQ(12, LoadText(doc));

    // Ordinary character references and a few internal entities still work.
    std::string fine = "<?xml version=\"1.0\"?>\n<!DOCTYPE B [\n<!ENTITY co \"Nivora\">\n]>\n"
                       "<B BUILD_ID=\"1\"><KEY NAME=\"A\" ID=\"1\" OFFSET=\"1\" LENGTH=\"1\"><LABEL>&co; &amp; "
                       "&#65;</LABEL><DESCRIPTION>";
    for (int i = 0; i < 3000; ++i) fine += "&lt;&gt;";
    fine += "</DESCRIPTION></KEY></B>";
    ASSERT_EQ(0, LoadText(fine));
    ASSERT_EQ(0, keys.SetInterestedVersion(1));
    CsKeyDetails d;
    ASSERT_EQ(0, keys.KeyDetailsFromId(1, d));
    EXPECT_EQ("Nivora & A", d.label);
}

}  // namespace
