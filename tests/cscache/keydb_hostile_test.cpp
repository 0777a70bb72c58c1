// Key databases that try to reach outside their file or exhaust memory.
#include "cscache/cskeysinfo.h"
#include "keydbgen.h"
#include "support/msghandler.h"
#include "support/stopwatch.h"
#include "testsupport.h"
#include "nivoratest.h"
#if !defined(_WIN32)
#include "hostile_keydb.h"
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

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
        // An entity the database uses but that is never read: refused.
        EXPECT_EQ(12, LoadText(doc));
        EXPECT_EQ(CCsKeysInfo::LoadFailure::ExternalEntity, keys.LastLoadProblem().failure);
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
    EXPECT_EQ(12, LoadText(entity));
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

TEST_F(HostileKeyDatabaseTest, OnlyARegularFileOfBoundedSizeIsRead)
{
    // A folder is refused as not found, and nothing is read.
    EXPECT_EQ(11, keys.LoadXML(dir.string()));
    EXPECT_EQ(CCsKeysInfo::LoadFailure::NotRegularFile, keys.LastLoadProblem().failure);
    EXPECT_EQ("a folder", keys.LastLoadProblem().what);
    EXPECT_EQ(11, keys.LoadXML((dir / "none.xml").string()));
    EXPECT_EQ(CCsKeysInfo::LoadFailure::NotFound, keys.LastLoadProblem().failure);

    // One byte over the limit: refused before it is parsed, however well
    // formed; at the limit it is parsed.
    keydbgen::Database db;
    db.builds.push_back(keydbgen::Build::Make(1));
    db.builds.back().Add("A", 1, 1);
    std::string text = keydbgen::ToXml(db);
    const std::string padded = text + std::string(CCsKeysInfo::kMaxFileSize - text.size(), ' ');
    EXPECT_EQ(0, LoadText(padded));
    EXPECT_EQ(CCsKeysInfo::LoadFailure::None, keys.LastLoadProblem().failure);
    EXPECT_EQ(12, LoadText(padded + " "));
    EXPECT_EQ(CCsKeysInfo::LoadFailure::TooLarge, keys.LastLoadProblem().failure);
    EXPECT_EQ(12, keys.LoadXMLFromBuffer(padded.data(), padded.size() + 1, "memory"));
    EXPECT_EQ(CCsKeysInfo::LoadFailure::TooLarge, keys.LastLoadProblem().failure);
}

TEST_F(HostileKeyDatabaseTest, TheProblemTellsWhereParsingStoppedButNeverWhatWasRead)
{
    EXPECT_EQ(12, LoadText("<?xml version=\"1.0\"?>\n<B BUILD_ID=\"1\">\n<KEY SECRET"));
    const CCsKeysInfo::LoadProblem& problem = keys.LastLoadProblem();
    EXPECT_EQ(CCsKeysInfo::LoadFailure::NotWellFormed, problem.failure);
    EXPECT_EQ(3u, problem.line);
    EXPECT_GT(problem.column, 0u);
    EXPECT_EQ("", problem.what);
    EXPECT_FALSE(problem.expansionLimit);

    EXPECT_EQ(12, LoadText("<B BUILD_ID=\"1\"/>"));
    EXPECT_EQ(CCsKeysInfo::LoadFailure::NotKeyDatabase, keys.LastLoadProblem().failure);

    // An entity only the (unread) external DTD could declare: refused, not
    // read as an empty text.
    EXPECT_EQ(12, LoadText("<?xml version=\"1.0\"?>\n<!DOCTYPE B SYSTEM \"keys.dtd\">\n" + std::string(kKey)));
    EXPECT_EQ(CCsKeysInfo::LoadFailure::NotWellFormed, keys.LastLoadProblem().failure);
    EXPECT_TRUE(keys.LastLoadProblem().undeclaredEntity);
    EXPECT_EQ(5u, keys.LastLoadProblem().line);
}

TEST_F(HostileKeyDatabaseTest, BuildsAndKeysAreEnumeratedWithoutSelectingABuild)
{
    keydbgen::Database db = keydbgen::Sample();
    ASSERT_EQ(0, LoadText(keydbgen::ToXml(db)));
    EXPECT_EQ(0, keys.SelectedBuild());
    ASSERT_EQ(db.builds.size(), keys.BuildIds().size());
    for (size_t b = 0; b < db.builds.size(); ++b) {
        const uint16_t id = keys.BuildIds()[b];
        EXPECT_EQ(*db.builds[b].buildId, std::to_string(id));
        const std::vector<CsKeyDetails>& found = keys.KeysOfBuild(id);
        ASSERT_EQ(db.builds[b].keys.size(), found.size());
        for (size_t k = 0; k < found.size(); ++k) {
            EXPECT_EQ(db.builds[b].keys[k].name, found[k].name);
            EXPECT_EQ(db.builds[b].keys[k].length, std::to_string(found[k].length));
        }
        // Bit 15 of a build ID is ignored, as when a build is selected.
        EXPECT_EQ(&found, &keys.KeysOfBuild(static_cast<uint16_t>(id | 0x8000)));
    }
    EXPECT_TRUE(keys.KeysOfBuild(999).empty());
    EXPECT_EQ(0, keys.SelectedBuild());
}

#if !defined(_WIN32)

// nvtOpen with a hostile database, run in a child process: refused with
// the library's text, which never shows the secret, in bounded time and
// memory, and without any network call.
class HostileDatabaseOpen : public ::testing::Test {
protected:
    void SetUp() override
    {
        secret = scratch.File("secret.txt");
        ASSERT_TRUE(keydbgen::WriteFile(secret, hostilekeydb::kSecret));
        base = keydbgen::ToXml(keydbgen::Sample());
        ASSERT_NE(std::string::npos, base.find("<LABEL>"));
    }
    // 0: refused with -40 and a load text, no secret in it.
    static int OpenRefused(const std::string& aPath, const char* aEnvironment = nullptr)
    {
        if (aEnvironment != nullptr) setenv("CSCONFIGFILE", aEnvironment, 1);
        NvtHandle h = nullptr;
        const int32_t rc = nvtOpen("sim", aPath.empty() ? nullptr : aPath.c_str(), &h);
        const std::string text = h != nullptr ? nvtGetLastError(h) : "";
        if (rc != NVT_ERR_CS_GENERAL) return 1;
        if (text.find("Error loading CS key XML database (Cannot load key definition file: ") != 0) return 2;
        if (text.find(hostilekeydb::kSecret) != std::string::npos) return 3;
        nvtClose(h);
        return 0;
    }
    std::string Write(const std::string& aName, const std::string& aText)
    {
        const std::string path = scratch.File(aName);
        EXPECT_TRUE(keydbgen::WriteFile(path, aText));
        return path;
    }

    testsupport::ScratchDir scratch;
    std::string secret;
    std::string base;
};

TEST_F(HostileDatabaseOpen, NetworkEntitiesAreNeverFetched)
{
    hostilekeydb::CountingServer server;
    ASSERT_TRUE(server.ok());
    const std::string path =
        Write("net.xml", hostilekeydb::ExternalEntityAt(base, server.Url("secret"), server.Url("keys.dtd")));
    const hostilekeydb::ChildRun run = hostilekeydb::RunInChild([&] { return OpenRefused(path); });
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(0, run.status);
    EXPECT_LT(run.seconds, 1.0);
    EXPECT_EQ(0, server.connections());
}

TEST_F(HostileDatabaseOpen, AnotherFilesContentsNeverReachAText)
{
    const std::string dtd = Write("keys.dtd", hostilekeydb::ExternalDtd(secret));
    for (const std::string& text :
         {hostilekeydb::EntityFromAnExternalDtd(base, dtd), hostilekeydb::ExternalEntityAt(base, secret, dtd),
          hostilekeydb::ExternalEntityAt(base, "file://" + secret, "keys.dtd")}) {
        const std::string path = Write("file.xml", text);
        const hostilekeydb::ChildRun run = hostilekeydb::RunInChild([&] { return OpenRefused(path); });
        EXPECT_TRUE(run.finished);
        EXPECT_EQ(0, run.status);
        EXPECT_LT(run.seconds, 1.0);
    }
}

TEST_F(HostileDatabaseOpen, AFifoNeverHoldsTheOpen)
{
    const std::string fifo = scratch.File("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::string viaEntity = Write("fifo-entity.xml", hostilekeydb::ExternalEntityAt(base, fifo, "keys.dtd"));
    const std::vector<std::function<int()>> loads = {
        [&] { return OpenRefused(viaEntity); },
        [&] { return OpenRefused(fifo); },
        [&] { return OpenRefused("", fifo.c_str()); },
        [&] { return OpenRefused("", ("  " + fifo + " ").c_str()); },
    };
    for (const auto& load : loads) {
        const hostilekeydb::ChildRun run = hostilekeydb::RunInChild(load, 5);
        EXPECT_TRUE(run.finished) << "the open waited for the FIFO";
        EXPECT_EQ(0, run.status);
        EXPECT_LT(run.seconds, 1.0);
    }
}

TEST_F(HostileDatabaseOpen, NestedEntitiesStopEarlyInTimeAndMemory)
{
    const std::string text = hostilekeydb::NestedExpansion(base);
    EXPECT_GT(text.size(), 20000u);
    EXPECT_LT(text.size(), 40000u);
    const std::string path = Write("laughs.xml", text);
    const std::string good = Write("good.xml", base);
    const hostilekeydb::ChildRun benign = hostilekeydb::RunInChild([&] {
        NvtHandle h = nullptr;
        const int32_t rc = nvtOpen("sim", good.c_str(), &h);
        nvtClose(h);
        return rc == 0 ? 0 : 1;
    });
    ASSERT_EQ(0, benign.status);
    const hostilekeydb::ChildRun run = hostilekeydb::RunInChild([&] { return OpenRefused(path); });
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(0, run.status);
    EXPECT_LT(run.seconds, 1.0);
    EXPECT_LT(run.peakGrowthKb, hostilekeydb::PeakBoundKb());
    RecordProperty("seconds", std::to_string(run.seconds));
    RecordProperty("peak_growth_kb", std::to_string(run.peakGrowthKb));
    RecordProperty("benign_peak_growth_kb", std::to_string(benign.peakGrowthKb));
}

#endif

}  // namespace
