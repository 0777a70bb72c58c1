// What the store puts on disk before an address goes to a device, and the
// records a store that was away receives once it is back.
#include "sql.h"
#include "store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace stationtest;

namespace {

constexpr int kAddresses = 50;

}  // namespace

TEST(Durability, EveryAddressIsSyncedBeforeItGoesToADeviceOnSqlite)
{
    TempDir dir;
    const std::string db = dir / "store.db";
    ASSERT_EQ(Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0", "--last", "0xFFFF"}).status, 0);
    const CountedRun run = Counted(STORE_PROBE, {db, std::to_string(kAddresses)}, dir.path());
    ASSERT_EQ(run.result.status, 0) << run.result.output;
    ASSERT_EQ(run.processes.size(), 1u);
    EXPECT_GE(run.processes[0].syncs, kAddresses);
}

TEST(Durability, EveryAddressIsSyncedBeforeItGoesToADeviceOnPostgres)
{
    ASSERT_TRUE(Postgres().ok()) << Postgres().error();
    const std::string url = Postgres().NewDatabase();
    ASSERT_EQ(Station({"addresses", "add", "--db", url, "--nap", "0x5B", "--uap", "2", "--first", "0", "--last", "0xFFFF"}).status, 0);
    const int64_t before = WalSyncs(url);
    TempDir dir;
    const CountedRun run = Counted(STORE_PROBE, {url, std::to_string(kAddresses)}, dir.path());
    ASSERT_EQ(run.result.status, 0) << run.result.output;
    // The server counts a backend's syncs when the backend ends.
    int64_t after = WalSyncs(url);
    for (int i = 0; i < 200 && after - before < kAddresses; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        after = WalSyncs(url);
    }
    EXPECT_GE(after - before, kAddresses);
}

TEST(Durability, RecordsAStoreCouldNotTakeWaitInTheOutboxAndAreStoredOnceWhenItIsBack)
{
    ASSERT_TRUE(Postgres().ok()) << Postgres().error();
    const std::string url = Postgres().NewDatabase();
    TempDir dir;
    ASSERT_EQ(Station({"addresses", "add", "--db", url, "--nap", "0x5B", "--uap", "2", "--first", "0x10", "--last", "0x20"}).status, 0);
    // Tests only: the workers need no store, and take a while.
    const std::string plan =
        WritePlan(dir, "plan", {{"[[step]]\ntype = \"cs_write\"\n", ""}, {"[[step]]\ntype = \"read_back\"\n", ""}});
    const std::string output = dir / "out.txt";
    const pid_t pid = StartStation({"--plan", plan, "--db", url, "--results", dir / "results", "--no-serial", "--dut",
                                    Dut(dir, "dut1", "uartlink=" + (dir / "plan-uart1") + ",latency=2000")},
                                   output);
    const auto start = std::chrono::steady_clock::now();
    while (ReadText(output).find("slot 1: firmware_load") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << ReadText(output);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(Postgres().Stop());
    const int status = Wait(pid);
    const std::string out = ReadText(output);
    ASSERT_TRUE(Postgres().Start()) << Postgres().error();
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("(1 record pending in " + (dir / "results/outbox.db") + ")"), std::string::npos) << out;

    StationResult sync = Station({"sync", "--db", url, "--results", dir / "results"});
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_NE(sync.output.find("1 record stored, 0 pending"), std::string::npos) << sync.output;
    sync = Station({"sync", "--db", url, "--results", dir / "results"});
    EXPECT_NE(sync.output.find("0 records stored, 0 pending"), std::string::npos) << sync.output;
    std::string error;
    auto store = station::OpenStore(url, station::StoreMode::Existing, error);
    ASSERT_TRUE(store) << error;
    std::vector<station::StoredRecord> records;
    ASSERT_TRUE(store->Records(records, error)) << error;
    EXPECT_EQ(records.size(), 1u);
}
