// The station reads key databases with the library's reader: the plan is
// checked against what the library sees, and a hostile database (network,
// another file, a FIFO, endless entities) is refused at the plan check,
// before any DUT, in bounded time and memory, with a text that names the
// file and never shows another file's contents.
#include "keydb.h"
#include "plan.h"
#include "support.h"

#include "../common/hostile_keydb.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

using namespace stationtest;

namespace {

std::string SampleDatabase()
{
    return BinDir() + "/cskey_db.xml";
}

// The refusal of a database, or "" when it loads.
std::string LoadError(const std::string& aPath)
{
    station::KeyDatabase database;
    std::string error;
    return station::LoadKeyDatabase(aPath, database, error) ? std::string() : error;
}

TEST(KeyDatabase, TheSampleReadsAsTheLibraryReadsIt)
{
    station::KeyDatabase database;
    std::string error;
    ASSERT_TRUE(station::LoadKeyDatabase(SampleDatabase(), database, error)) << error;
    ASSERT_EQ(2u, database.builds.size());
    EXPECT_EQ(1u, database.builds.count(12));
    const station::KeyInfo* address = database.Find(13, "bluetooth_address");
    ASSERT_NE(nullptr, address);
    EXPECT_EQ("BLUETOOTH_ADDRESS", address->name);
    EXPECT_EQ(4u, address->length);
    EXPECT_EQ(0u, address->min);
    EXPECT_EQ(65535u, address->max);
    EXPECT_EQ(nullptr, database.Find(14, "BLUETOOTH_ADDRESS"));
    EXPECT_EQ(nullptr, database.Find(13, "NO_SUCH_KEY"));
}

TEST(KeyDatabase, LayoutsTheLibraryAcceptsAreAcceptedAndTheFirstKeyOfANameCounts)
{
    TempDir dir;
    // A root that is itself the only build, elements of any name, a build
    // whose ID is no number skipped, bit 15 of a build ID ignored, and two
    // keys of one name in different case: the library finds the first.
    WriteText(dir / "root.xml",
              "<SOMETHING BUILD_ID=\"32775\">\n"
              "  <K NAME=\"Trim\" ID=\"1\" OFFSET=\"1\" LENGTH=\"1\" MAX=\"15\"><LABEL>t</LABEL></K>\n"
              "  <K NAME=\"TRIM\" ID=\"2\" OFFSET=\"2\" LENGTH=\"2\"><LABEL>u</LABEL></K>\n"
              "</SOMETHING>\n");
    station::KeyDatabase database;
    std::string error;
    ASSERT_TRUE(station::LoadKeyDatabase(dir / "root.xml", database, error)) << error;
    ASSERT_EQ(1u, database.builds.count(7));
    const station::KeyInfo* trim = database.Find(7, "trim");
    ASSERT_NE(nullptr, trim);
    EXPECT_EQ("Trim", trim->name);
    EXPECT_EQ(1u, trim->length);
    EXPECT_EQ(15u, trim->max);

    // What the library refuses, the station refuses.
    WriteText(dir / "nolength.xml", "<PSKEY_DATABASE><BUILD BUILD_ID=\"1\"><KEY NAME=\"A\" ID=\"1\" OFFSET=\"1\">"
                                    "<LABEL>a</LABEL></KEY></BUILD></PSKEY_DATABASE>");
    EXPECT_EQ("\"" + dir / "nolength.xml" + "\" is not a CS key database", LoadError(dir / "nolength.xml"));
    WriteText(dir / "nobuilds.xml", "<PSKEY_DATABASE><BUILD BUILD_ID=\"x\"><KEY/></BUILD></PSKEY_DATABASE>");
    EXPECT_EQ("the key database \"" + dir / "nobuilds.xml" + "\" holds no builds", LoadError(dir / "nobuilds.xml"));
}

TEST(KeyDatabase, EveryRefusalNamesTheFileAndWhy)
{
    TempDir dir;
    EXPECT_EQ("the key database \"" + dir / "none.xml" + "\" does not exist", LoadError(dir / "none.xml"));
    EXPECT_EQ("the key database \"" + dir.path() + "\" is a folder, not a regular file", LoadError(dir.path()));
    ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
    EXPECT_EQ("the key database \"" + dir / "fifo" + "\" is a FIFO, not a regular file", LoadError(dir / "fifo"));
    WriteText(dir / "broken.xml", "<PSKEY_DATABASE>\n<BUILD BUILD_ID=\"1\">\n<KEY NAME=");
    EXPECT_EQ("the key database \"" + dir / "broken.xml" + "\" cannot be parsed (line 3, column 11)",
              LoadError(dir / "broken.xml"));
    WriteText(dir / "huge.xml", std::string(16 * 1024 * 1024 + 1, ' '));
    EXPECT_EQ("the key database \"" + dir / "huge.xml" + "\" is larger than 16777216 bytes", LoadError(dir / "huge.xml"));
}

// Hostile databases at the plan check, each run in a child process.
class HostilePlanCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = ReadText(SampleDatabase());
        ASSERT_NE(std::string::npos, base.find("<LABEL>"));
        secret = dir / "secret.txt";
        WriteText(secret, hostilekeydb::kSecret);
    }
    // A plan that names aDatabase; the shipped plan otherwise.
    std::string PlanFor(const std::string& aDatabase)
    {
        return WritePlan(dir, "plan", {{"key_database = \"{bin}/cskey_db.xml\"", "key_database = \"" + aDatabase + "\""}});
    }
    // 0 when the plan check refuses the plan with a text that names the
    // database and holds no secret; 1 when it passes, 2 otherwise.
    static int Refused(const std::string& aPlan, const std::string& aDatabase)
    {
        station::Plan plan;
        std::string error;
        if (station::LoadPlan(aPlan, BinDir(), plan, error)) return 1;
        if (error.find(hostilekeydb::kSecret) != std::string::npos) return 2;
        if (error.find("\"" + aDatabase + "\"") == std::string::npos) return 3;
        return 0;
    }
    hostilekeydb::ChildRun Check(const std::string& aDatabase, int aLimitSeconds = 20)
    {
        const std::string plan = PlanFor(aDatabase);
        return hostilekeydb::RunInChild([&] { return Refused(plan, aDatabase); }, aLimitSeconds);
    }

    TempDir dir;
    std::string base;
    std::string secret;
};

TEST_F(HostilePlanCheck, NetworkEntitiesAreRefusedAndNeverFetched)
{
    hostilekeydb::CountingServer server;
    ASSERT_TRUE(server.ok());
    WriteText(dir / "net.xml", hostilekeydb::ExternalEntityAt(base, server.Url("secret"), server.Url("keys.dtd")));
    const hostilekeydb::ChildRun run = Check(dir / "net.xml");
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(0, run.status);
    EXPECT_LT(run.seconds, 1.0);
    EXPECT_EQ(0, server.connections());
}

TEST_F(HostilePlanCheck, ADtdBesideThePlanNeverShowsAnotherFile)
{
    // The DTD names the secret file and quotes the secret in a broken
    // declaration: a parser that read it would show the secret in its text.
    WriteText(dir / "keys.dtd", hostilekeydb::ExternalDtd(secret));
    WriteText(dir / "dtd.xml", hostilekeydb::EntityFromAnExternalDtd(base, dir / "keys.dtd"));
    WriteText(dir / "entity.xml", hostilekeydb::ExternalEntityAt(base, secret, "keys.dtd"));
    for (const std::string name : {"dtd.xml", "entity.xml"}) {
        const hostilekeydb::ChildRun run = Check(dir / name);
        EXPECT_TRUE(run.finished) << name;
        EXPECT_EQ(0, run.status) << name;
        EXPECT_LT(run.seconds, 1.0) << name;
    }
}

TEST_F(HostilePlanCheck, AFifoNeverHoldsThePlanCheck)
{
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    WriteText(dir / "fifo.xml", hostilekeydb::ExternalEntityAt(base, fifo, "keys.dtd"));
    for (const std::string& database : {dir / "fifo.xml", fifo}) {
        const hostilekeydb::ChildRun run = Check(database, 5);
        EXPECT_TRUE(run.finished) << database << ": the plan check waited for the FIFO";
        EXPECT_EQ(0, run.status) << database;
        EXPECT_LT(run.seconds, 1.0) << database;
    }
}

TEST_F(HostilePlanCheck, NestedEntitiesStopEarlyInTimeAndMemory)
{
    const std::string text = hostilekeydb::NestedExpansion(base);
    EXPECT_GT(text.size(), 27000u);
    EXPECT_LT(text.size(), 32000u);
    WriteText(dir / "laughs.xml", text);
    WriteText(dir / "good.xml", base);
    const std::string goodPlan = PlanFor(dir / "good.xml");
    const hostilekeydb::ChildRun benign = hostilekeydb::RunInChild([&] {
        station::Plan plan;
        std::string error;
        return station::LoadPlan(goodPlan, BinDir(), plan, error) ? 0 : 1;
    });
    ASSERT_EQ(0, benign.status);
    const hostilekeydb::ChildRun run = Check(dir / "laughs.xml");
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(0, run.status);
    EXPECT_LT(run.seconds, 1.0);
    EXPECT_LT(run.peakGrowthKb, hostilekeydb::PeakBoundKb());
    RecordProperty("seconds", std::to_string(run.seconds));
    RecordProperty("peak_growth_kb", std::to_string(run.peakGrowthKb));
    RecordProperty("benign_peak_growth_kb", std::to_string(benign.peakGrowthKb));
}

TEST_F(HostilePlanCheck, TheStationProgramShowsNoSecretAndCallsNoServer)
{
    hostilekeydb::CountingServer server;
    ASSERT_TRUE(server.ok());
    WriteText(dir / "keys.dtd", hostilekeydb::ExternalDtd(secret) + "<!ENTITY net SYSTEM \"" + server.Url("x") + "\">\n");
    WriteText(dir / "dtd.xml", hostilekeydb::EntityFromAnExternalDtd(base, dir / "keys.dtd"));
    const std::string plan = PlanFor(dir / "dtd.xml");
    const StationResult run =
        Station({"--plan", plan, "--db", dir / "store.db", "--results", dir / "results", "--dut", "sim", "--no-serial"});
    EXPECT_EQ(2, run.status);
    EXPECT_NE(std::string::npos, run.output.find("station: ERROR: invalid plan: " + plan + ":")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("the key database \"" + dir / "dtd.xml" + "\" cannot be parsed (an "
                                                 "entity it does not declare itself, line "))
        << run.output;
    EXPECT_EQ(std::string::npos, run.output.find(hostilekeydb::kSecret)) << run.output;
    EXPECT_EQ(0, server.connections());
}

}  // namespace
