// The duplicate test: several station processes with eight DUTs each on
// one store, one of them killed with SIGKILL in the middle of its run. No
// address may end up on two devices or in two records, and none outside
// the range (nor a reserved LAP) may be written.
#include "store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <thread>

using namespace stationtest;

namespace {

constexpr int kDuts = 8;
constexpr uint32_t kFirst = 0x9E8AF0, kLast = 0x9E8B60;

// aRestart: the server behind a postgresql:// store is stopped as a crash
// would stop it and started again while the stations run.
void DuplicateRun(const std::string& aStore, int aStations, bool aRestart = false)
{
    TempDir dir;
    ASSERT_EQ(Station({"addresses", "add", "--db", aStore, "--nap", "0x5B", "--uap", "2", "--first",
                       std::to_string(kFirst), "--last", std::to_string(kLast)})
                  .status,
              0);
    std::vector<pid_t> stations;
    for (int s = 0; s < aStations; ++s) {
        const std::string name = "st" + std::to_string(s);
        // Without the UART step: 24 to 32 workers on two cores can miss the
        // loopback's 90 ms answer time, and the test is about addresses.
        const std::string plan =
            WritePlan(dir, name, {{"[[step]]\ntype = \"uart\"\nport = \"{bin}/../dut{slot}.uart\"\nbaud = 115200\n", ""}});
        std::vector<std::string> args = {"--plan", plan, "--db", aStore, "--results", dir / (name + "-results"),
                                         "--station", name};
        // A postgresql:// store leases blocks of addresses: small ones, so
        // the three stations share the range.
        if (station::IsPostgresUrl(aStore)) args.insert(args.end(), {"--lease-size", "16"});
        for (int d = 1; d <= kDuts; ++d) {
            args.push_back("--dut");
            args.push_back(Dut(dir, name + "-dut" + std::to_string(d),
                               "uartlink=" + (dir / (name + "-uart" + std::to_string(d)))));
            args.push_back("--serial");
            args.push_back(name + "-SN" + std::to_string(d));
        }
        stations.push_back(StartStation(args, dir / (name + ".out")));
    }
    // The last station dies as soon as one of its DUTs writes its CS (and,
    // with a restart, once every station is writing: a station that starts
    // while the server is away has no addresses to test with).
    const auto start = std::chrono::steady_clock::now();
    for (int s = aRestart ? 0 : aStations - 1; s < aStations; ++s) {
        const std::string out = dir / ("st" + std::to_string(s) + ".out");
        while (ReadText(out).find(": cs_write") == std::string::npos &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(stations.back(), SIGKILL);
    if (aRestart) {
        EXPECT_TRUE(Postgres().Stop());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(Postgres().Start()) << Postgres().error();
    }
    for (int s = 0; s < aStations; ++s) {
        const int status = Wait(stations[static_cast<size_t>(s)]);
        if (s == aStations - 1) EXPECT_EQ(status, 128 + SIGKILL);
        else EXPECT_EQ(status, 0) << ReadText(dir / ("st" + std::to_string(s) + ".out"));
    }

    // Records the store could not take while it was away wait in the
    // stations' outboxes: synced now.
    if (aRestart) {
        for (int s = 0; s + 1 < aStations; ++s) {
            const StationResult sync =
                Station({"sync", "--db", aStore, "--results", dir / ("st" + std::to_string(s) + "-results")});
            EXPECT_EQ(sync.status, 0) << sync.output;
        }
    }

    // What the devices hold.
    std::map<std::string, std::string> owner;  // address -> device
    for (int s = 0; s < aStations; ++s) {
        for (int d = 1; d <= kDuts; ++d) {
            const std::string device = "st" + std::to_string(s) + "-dut" + std::to_string(d);
            const std::string address = DeviceAddress(dir / device);
            if (address.empty()) continue;
            EXPECT_EQ(owner.count(address), 0u) << address << " is on " << owner[address] << " and " << device;
            owner[address] = device;
            const auto parsed = station::ParseAddress(address);
            ASSERT_TRUE(parsed);
            EXPECT_GE(parsed->lap, kFirst) << address;
            EXPECT_LE(parsed->lap, kLast) << address;
            EXPECT_FALSE(station::IsReservedLap(parsed->lap)) << address;
        }
    }
    // Every device of the stations that lived was programmed.
    EXPECT_GE(owner.size(), static_cast<size_t>((aStations - 1) * kDuts));

    // The records: in the store and in the live stations' files, no address twice.
    std::string error;
    auto store = station::OpenStore(aStore, station::StoreMode::Existing, error);
    ASSERT_TRUE(store) << error;
    std::vector<station::StoredRecord> stored;
    ASSERT_TRUE(store->Records(stored, error)) << error;
    EXPECT_EQ(stored.size(), static_cast<size_t>((aStations - 1) * kDuts));
    std::set<std::string> recorded;
    for (const auto& s : stored) {
        station::Record r;
        ASSERT_TRUE(station::FromJson(nlohmann::json::parse(s.body), r));
        EXPECT_EQ(r.outcome, station::Outcome::Pass) << r.text;
        EXPECT_TRUE(recorded.insert(r.address).second) << r.address << " is in two records";
        EXPECT_EQ(owner.count(r.address), 1u) << r.address;
    }
    size_t inFiles = 0;
    for (int s = 0; s + 1 < aStations; ++s) inFiles += ReadJsonl(dir / ("st" + std::to_string(s) + "-results/records.jsonl")).size();
    EXPECT_EQ(inFiles, stored.size());

    // Every address a device holds is known to the store; none is free again.
    std::vector<std::pair<int64_t, std::string>> given;
    ASSERT_TRUE(store->Addresses(given, error)) << error;
    std::set<std::string> known;
    for (const auto& [packed, state] : given) known.insert(station::Address::FromPacked(packed).Text());
    for (const auto& [address, device] : owner) EXPECT_EQ(known.count(address), 1u) << address << " on " << device;
}

}  // namespace

TEST(Duplicates, FourStationsOfEightDutsOnOneSqliteStoreOneKilled)
{
    TempDir dir;
    DuplicateRun(dir / "shared.db", 4);
}

TEST(Duplicates, ThreeStationsOfEightDutsOnOnePostgresServerRestartedOneKilled)
{
    ASSERT_TRUE(Postgres().ok()) << Postgres().error();
    const std::string url = Postgres().NewDatabase();
    ASSERT_FALSE(url.empty());
    DuplicateRun(url, 3, true);
}
