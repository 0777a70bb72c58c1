// A line of stations: leases of address blocks on the Line and Store API
// (a SQLite file and the private PostgreSQL server as the central store),
// two stations that keep testing while the server is away, a station
// killed while it holds a lease, and stores made by earlier versions of
// the schema.
#include "line.h"
#include "sql.h"
#include "store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <thread>

using namespace stationtest;
using station::Address;
using station::AddressInfo;
using station::LeaseInfo;
using station::Line;
using station::LeasePolicy;
using station::ReserveResult;
using station::Store;

namespace {

constexpr uint16_t kNap = 0x005B;
constexpr uint8_t kUap = 0x02;

std::unique_ptr<Store> Open(const std::string& aUrl, station::StoreMode aMode = station::StoreMode::Existing)
{
    std::string error;
    auto store = station::OpenStore(aUrl, aMode, error);
    EXPECT_TRUE(store) << error;
    return store;
}

// State of every address the store gave out, by its text.
std::map<std::string, AddressInfo> AddressesOf(Store& aStore)
{
    std::map<std::string, AddressInfo> out;
    std::vector<std::pair<int64_t, std::string>> all;
    std::string error;
    EXPECT_TRUE(aStore.Addresses(all, error)) << error;
    for (const auto& [packed, state] : all) {
        AddressInfo info;
        bool found = false;
        EXPECT_TRUE(aStore.Lookup(Address::FromPacked(packed), info, found, error)) << error;
        out[info.address.Text()] = info;
    }
    return out;
}

std::vector<LeaseInfo> LeasesOf(Store& aStore)
{
    std::vector<LeaseInfo> leases;
    std::string error;
    EXPECT_TRUE(aStore.Leases(leases, error)) << error;
    return leases;
}

// A DUT of the local store takes an address and carries it to aState.
Address UseLocal(Store& aLocal, const std::string& aSerial, const std::string& aState = "committed")
{
    Address a;
    std::string error;
    EXPECT_EQ(aLocal.Reserve(kNap, kUap, {"run", "line", 1}, aSerial, a, error), ReserveResult::Ok) << error;
    for (const char* state : {"written", "verified", "committed"}) {
        if (aState == "reserved") break;
        EXPECT_TRUE(aLocal.SetState(a, state, "", error)) << error;
        if (aState == state) break;
    }
    return a;
}

// A store of aBackend: the SQLite file aPath, or a new database of the
// private PostgreSQL server ("" when there is none).
std::string StoreUrl(const std::string& aBackend, const std::string& aPath)
{
    if (aBackend == "sqlite") return aPath;
    return Postgres().ok() ? Postgres().NewDatabase() : "";
}

// The central store on SQLite or on the private PostgreSQL server, with
// one range, and a station's line over it.
class LeaseTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        mUrl = StoreUrl(GetParam(), mDir / "central.db");
        ASSERT_FALSE(mUrl.empty()) << Postgres().error();
        mCentral = Open(mUrl, station::StoreMode::Create);
        ASSERT_TRUE(mCentral);
        std::string error;
        ASSERT_TRUE(mCentral->AddRange(kNap, kUap, 0x100, 0x13F, error)) << error;
    }

    std::unique_ptr<Line> NewLine(const std::string& aStation, LeasePolicy aPolicy)
    {
        auto line = std::make_unique<Line>(mUrl, mDir / (aStation + "-lease.db"), aStation, aPolicy);
        std::string error;
        EXPECT_TRUE(line->Open(error)) << error;
        EXPECT_TRUE(line->Central()) << line->CentralError();
        return line;
    }

    int64_t LocalFree(Line& aLine)
    {
        int64_t free = 0, ranges = 0;
        std::string error;
        EXPECT_TRUE(aLine.Local().Free(kNap, kUap, free, ranges, error)) << error;
        return free;
    }

    TempDir mDir;
    std::string mUrl;
    std::unique_ptr<Store> mCentral;
};

}  // namespace

TEST_P(LeaseTest, ALeaseIsTakenWholeOrNotAtAllAndNoAddressIsInTwoLeases)
{
    LeaseInfo a, b, c;
    std::vector<Address> first, second, third;
    std::string error;
    ASSERT_TRUE(mCentral->TakeLease(kNap, kUap, "st1", 40, 1, a, first, error)) << error;
    ASSERT_TRUE(mCentral->TakeLease(kNap, kUap, "st2", 40, 1, b, second, error)) << error;
    EXPECT_EQ(first.size(), 40u);
    // The range holds 64: the second lease is smaller, not refused.
    EXPECT_EQ(second.size(), 24u);
    EXPECT_EQ(b.size, 24);
    std::set<std::string> seen;
    for (const auto* block : {&first, &second})
        for (const Address& addr : *block) EXPECT_TRUE(seen.insert(addr.Text()).second) << addr.Text() << " in two leases";
    // The range used up: no lease at all, not an empty one.
    EXPECT_FALSE(mCentral->TakeLease(kNap, kUap, "st3", 10, 1, c, third, error));
    EXPECT_EQ(error, station::UsedUpText(kNap, kUap));
    const auto leases = LeasesOf(*mCentral);
    ASSERT_EQ(leases.size(), 2u);
    EXPECT_EQ(leases[0].station, "st1");
    EXPECT_EQ(leases[0].unused, 40);
    EXPECT_EQ(leases[0].state, "open");
    EXPECT_GT(leases[0].expires, leases[0].taken);
    for (const auto& [text, info] : AddressesOf(*mCentral)) {
        EXPECT_EQ(info.state, "leased") << text;
        EXPECT_EQ(info.leaseId, info.owner.station == "st1" ? a.id : b.id) << text;
    }
    // Nothing left for a direct reservation either.
    Address none;
    EXPECT_EQ(mCentral->Reserve(kNap, kUap, {"run", "direct", 1}, none, error), ReserveResult::UsedUp);
}

TEST_P(LeaseTest, ANewLeaseIsTakenOnlyWhenFewerThanTheLowMarkAreFree)
{
    auto line = NewLine("st1", {10, 4, 1});
    std::string warning;
    line->Renew(kNap, kUap, 1, warning);
    EXPECT_EQ(warning, "");
    EXPECT_EQ(LocalFree(*line), 10);
    for (int i = 0; i < 6; ++i) UseLocal(line->Local(), "SN" + std::to_string(i));
    line->Renew(kNap, kUap, 1, warning);
    EXPECT_EQ(LocalFree(*line), 4) << "renewed while 4 were still free";
    UseLocal(line->Local(), "SN6");
    line->Renew(kNap, kUap, 1, warning);
    EXPECT_EQ(warning, "");
    EXPECT_EQ(LocalFree(*line), 13);
    // A batch larger than the low mark gets what it needs, in whole leases.
    line->Renew(kNap, kUap, 25, warning);
    EXPECT_EQ(LocalFree(*line), 33);
    EXPECT_EQ(LeasesOf(*mCentral).size(), 4u);
    EXPECT_EQ(LeasesOf(line->Local()).size(), 4u);
}

TEST_P(LeaseTest, UsesAreReportedOnceAndReturnGivesBackOnlyTheUnused)
{
    auto line = NewLine("st1", {10, 0, 1});
    std::string warning, error;
    line->Renew(kNap, kUap, 1, warning);
    ASSERT_EQ(warning, "");
    const Address committed = UseLocal(line->Local(), "SN-A");
    const Address written = UseLocal(line->Local(), "SN-B", "written");
    Address scrapped = UseLocal(line->Local(), "SN-C", "reserved");
    ASSERT_TRUE(line->Local().SetState(scrapped, "scrapped", "read back differs", error)) << error;

    int64_t left = -1;
    std::string problem;
    ASSERT_TRUE(line->ReportUses(left, problem)) << problem;
    EXPECT_EQ(left, 0);
    auto central = AddressesOf(*mCentral);
    EXPECT_EQ(central[committed.Text()].state, "committed");
    EXPECT_EQ(central[committed.Text()].serial, "SN-A");
    EXPECT_EQ(central[written.Text()].state, "written");
    EXPECT_EQ(central[scrapped.Text()].state, "scrapped");
    EXPECT_EQ(central[scrapped.Text()].reason, "read back differs");
    // Reported once: nothing is left to report, and a report repeated
    // (an answer lost on the way back) is taken.
    std::vector<AddressInfo> unreported;
    ASSERT_TRUE(line->Local().Unreported(unreported, error)) << error;
    EXPECT_TRUE(unreported.empty());
    AddressInfo again;
    bool found = false;
    ASSERT_TRUE(line->Local().Lookup(committed, again, found, error)) << error;
    EXPECT_TRUE(mCentral->ReportUse(again, error)) << error;

    // The written one moves on after its first report and is reported again.
    ASSERT_TRUE(line->Local().SetState(written, "verified", "", error)) << error;
    ASSERT_TRUE(line->Local().SetState(written, "committed", "", error)) << error;
    ASSERT_TRUE(line->Return(error)) << error;
    central = AddressesOf(*mCentral);
    EXPECT_EQ(central[written.Text()].state, "committed");
    int freed = 0;
    for (const auto& [text, info] : central) {
        if (info.state == "free") {
            ++freed;
            EXPECT_EQ(info.leaseId, 0) << text;
        }
        EXPECT_NE(info.state, "leased") << text;
    }
    EXPECT_EQ(freed, 7);
    EXPECT_EQ(LeasesOf(*mCentral)[0].state, "ended");
    EXPECT_EQ(LocalFree(*line), 0);
    // A returned address is handed out again before the range's next one,
    // and never one that was used.
    Address next;
    ASSERT_EQ(mCentral->Reserve(kNap, kUap, {"run", "direct", 1}, "SN-D", next, error), ReserveResult::Ok) << error;
    EXPECT_EQ(central[next.Text()].state, "free");
}

TEST_P(LeaseTest, AddressesOnTheirWayBackAreOutOfTheDutsReach)
{
    // "lease return" while a run of the station goes on: what goes back
    // to the central store is withdrawn first, so no DUT takes it meanwhile.
    auto line = NewLine("st1", {10, 0, 1});
    std::string warning, error;
    line->Renew(kNap, kUap, 1, warning);
    const int64_t lease = LeasesOf(line->Local())[0].id;
    std::vector<Address> going;
    ASSERT_TRUE(line->Local().WithdrawFree(lease, going, error)) << error;
    EXPECT_EQ(going.size(), 10u);
    Address a;
    EXPECT_EQ(line->Local().Reserve(kNap, kUap, {"run", "line", 1}, "SN-A", a, error), ReserveResult::UsedUp);
    EXPECT_EQ(LocalFree(*line), 0);
    // They could not go back: the DUTs have them again.
    ASSERT_TRUE(line->Local().RestoreWithdrawn(lease, error)) << error;
    EXPECT_EQ(LocalFree(*line), 10);
    EXPECT_EQ(line->Local().Reserve(kNap, kUap, {"run", "line", 1}, "SN-A", a, error), ReserveResult::Ok) << error;
    // A return that stopped half-way is finished by the next one.
    ASSERT_TRUE(line->Local().WithdrawFree(lease, going, error)) << error;
    ASSERT_TRUE(line->Return(error)) << error;
    size_t free = 0;
    for (const auto& [text, info] : AddressesOf(*mCentral)) free += info.state == "free";
    EXPECT_EQ(free, 9u);
    EXPECT_EQ(AddressesOf(line->Local()).count(going.front().Text()), 0u);
}

TEST_P(LeaseTest, NothingIsGivenBackWhileAUseCannotBeReported)
{
    auto line = NewLine("st1", {10, 0, 1});
    std::string warning, error;
    line->Renew(kNap, kUap, 1, warning);
    const Address used = UseLocal(line->Local(), "SN-A");
    // The central store refuses the use: its lease was reclaimed meanwhile.
    ASSERT_TRUE(mCentral->ReclaimLease(LeasesOf(*mCentral)[0].id, error)) << error;
    EXPECT_FALSE(line->Return(error));
    EXPECT_NE(error.find("1 use not reported"), std::string::npos) << error;
    // The reclaimed lease's addresses stay scrapped, the local one stays used.
    for (const auto& [text, info] : AddressesOf(*mCentral)) EXPECT_EQ(info.state, "scrapped") << text;
    std::string state;
    ASSERT_TRUE(line->Local().StateOf(used, state, error)) << error;
    EXPECT_EQ(state, "committed");
    EXPECT_EQ(LocalFree(*line), 9);
}

TEST_P(LeaseTest, ReclaimScrapsWhatWasNeverReportedAndKeepsWhatWas)
{
    auto line = NewLine("st1", {10, 0, 1});
    std::string warning, error;
    line->Renew(kNap, kUap, 1, warning);
    const Address reported = UseLocal(line->Local(), "SN-A");
    int64_t left = 0;
    std::string problem;
    ASSERT_TRUE(line->ReportUses(left, problem)) << problem;
    const Address lost = UseLocal(line->Local(), "SN-B");  // the station dies before it reports this
    const int64_t lease = LeasesOf(*mCentral)[0].id;
    ASSERT_TRUE(mCentral->ReclaimLease(lease, error)) << error;
    const auto central = AddressesOf(*mCentral);
    EXPECT_EQ(central.at(reported.Text()).state, "committed");
    EXPECT_EQ(central.at(lost.Text()).state, "scrapped");
    EXPECT_EQ(central.at(lost.Text()).reason, "lost with lease " + std::to_string(lease) + " (its uses were never reported)");
    int scrapped = 0;
    for (const auto& [text, info] : central) scrapped += info.state == "scrapped";
    EXPECT_EQ(scrapped, 9);
    EXPECT_EQ(LeasesOf(*mCentral)[0].state, "reclaimed");
    // None of the lease is handed out again.
    Address next;
    ASSERT_EQ(mCentral->Reserve(kNap, kUap, {"run", "direct", 1}, next, error), ReserveResult::Ok) << error;
    EXPECT_EQ(central.count(next.Text()), 0u) << next.Text();
}

TEST_P(LeaseTest, AStationWhoseStoreIsAwayTestsFromItsLeasesAndReportsLater)
{
    auto line = NewLine("st1", {10, 0, 1});
    std::string warning, error;
    line->Renew(kNap, kUap, 1, warning);
    // A second process of the station, the central store away.
    const std::string away = GetParam() == "sqlite" ? mDir / "missing/central.db"
                                                    : "postgresql://station@/none?host=" + mDir.path() + "/nosocket&port=5432";
    Line offline(away, mDir / "st1-lease.db", "st1", {10, 0, 1});
    ASSERT_TRUE(offline.Open(error)) << error;
    EXPECT_EQ(offline.Central(), nullptr);
    const Address a = UseLocal(offline.Local(), "SN-A");
    offline.Renew(kNap, kUap, 12, warning);
    EXPECT_EQ(warning.rfind("9 leased addresses left, and no new lease: the central store cannot be reached (", 0), 0u)
        << warning;
    int64_t left = 0;
    std::string problem;
    EXPECT_FALSE(offline.ReportUses(left, problem));
    EXPECT_EQ(left, 1);
    EXPECT_FALSE(offline.Return(error));
    EXPECT_EQ(AddressesOf(*mCentral)[a.Text()].state, "leased");
    // Back: the use is reported.
    ASSERT_TRUE(line->ReportUses(left, problem)) << problem;
    EXPECT_EQ(AddressesOf(*mCentral)[a.Text()].state, "committed");
}

INSTANTIATE_TEST_SUITE_P(Backends, LeaseTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& aInfo) { return aInfo.param; });

// The station forgets a record once the central store took it (the
// outbox) and marks a use reported once the store has it: by then both
// must be on the server's disk, not only in its memory, or a server crash
// right after loses them for good.
TEST(Line, RecordsAndUsesTheStationForgetsAreOnTheServersDisk)
{
    ASSERT_TRUE(Postgres().ok()) << Postgres().error();
    const std::string url = Postgres().NewDatabase();
    ASSERT_FALSE(url.empty());
    constexpr int kCount = 30;
    TempDir dir;
    std::string error, warning;
    {
        auto central = Open(url, station::StoreMode::Create);
        ASSERT_TRUE(central && central->AddRange(kNap, kUap, 0x100, 0x1FF, error)) << error;
    }
    const int64_t before = WalSyncs(url);
    {
        Line line(url, dir / "lease.db", "st1", {kCount, 0, 1});
        ASSERT_TRUE(line.Open(error)) << error;
        line.Renew(kNap, kUap, kCount, warning);
        ASSERT_EQ(warning, "");
        for (int i = 0; i < kCount; ++i) {
            UseLocal(line.Local(), "SN" + std::to_string(i));
            station::Record r;
            r.runId = "run";
            r.station = "st1";
            r.slot = i + 1;
            r.serial = "SN" + std::to_string(i);
            r.outcome = station::Outcome::Pass;
            ASSERT_TRUE(line.Central()->AddRecord(r, error)) << error;
        }
        int64_t left = 0;
        ASSERT_TRUE(line.ReportUses(left, error)) << error;
    }
    // The server counts a backend's syncs when the backend ends.
    int64_t after = WalSyncs(url);
    for (int i = 0; i < 200 && after - before < 2 * kCount; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        after = WalSyncs(url);
    }
    EXPECT_GE(after - before, 2 * kCount);
}

namespace {

constexpr uint32_t kLineFirst = 0x1000, kLineLast = 0x1FFF;

// The shipped plan without the UART step (many workers on two cores can
// miss the loopback's answer time; these tests are about addresses and
// records) and without the TX polls' waits.
std::string LinePlan(const TempDir& aDir, const std::string& aName)
{
    return WritePlan(aDir, aName,
                     {{"[[step]]\ntype = \"uart\"\nport = \"{bin}/../dut{slot}.uart\"\nbaud = 115200\n", ""},
                      {"poll_ms = 10", "poll_ms = 0"}});
}

// One station on a line: its plan, results folder and DUTs.
struct LineStation {
    std::string name;
    std::string plan;
    std::string results;
    std::vector<std::string> devices;  // NVM folder of every DUT it tested
};

// The arguments of one run of aStation over DUTs aFirst..aFirst+aCount-1.
std::vector<std::string> RunArgs(const TempDir& aDir, LineStation& aStation, const std::string& aUrl, int aFirst, int aCount,
                                 const std::vector<std::string>& aExtra)
{
    std::vector<std::string> args = {"--plan", aStation.plan, "--db", aUrl, "--results", aStation.results, "--station",
                                     aStation.name};
    args.insert(args.end(), aExtra.begin(), aExtra.end());
    for (int d = aFirst; d < aFirst + aCount; ++d) {
        const std::string device = aStation.name + "-dut" + std::to_string(d);
        aStation.devices.push_back(aDir / device);
        args.insert(args.end(), {"--dut", Dut(aDir, device, "uartlink=" + (aDir / (device + ".uart"))), "--serial",
                                 aStation.name + "-SN" + std::to_string(d)});
    }
    return args;
}

// A new database of the private server with the range aFirst..aLast of
// 005B:02, made by the station; "" when it cannot be made.
std::string LineDatabase(uint32_t aFirst, uint32_t aLast)
{
    if (!Postgres().ok()) return "";
    const std::string url = Postgres().NewDatabase();
    if (url.empty()) return "";
    const StationResult add = Station({"addresses", "add", "--db", url, "--nap", "0x5B", "--uap", "2", "--first",
                                       std::to_string(aFirst), "--last", std::to_string(aLast)});
    EXPECT_EQ(add.status, 0) << add.output;
    return add.status == 0 ? url : "";
}

void WaitForText(const std::string& aPath, const std::string& aText)
{
    const auto start = std::chrono::steady_clock::now();
    while (ReadText(aPath).find(aText) == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120)) << ReadText(aPath);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

// Two stations test 200 DUTs in batches of ten; the server is stopped in
// the middle of a batch and started again in the middle of a later one.
// The stations hold several small leases, so three batches each are
// tested while it is away. Nothing may end ERROR because of the store, and
// once both stations have synced the central store must hold exactly what
// they tested.
TEST(Line, TwoStationsKeepTestingWhileTheServerIsAwayAndTheStoreHoldsEveryDutOnce)
{
    const std::string url = LineDatabase(kLineFirst, kLineLast);
    ASSERT_FALSE(url.empty()) << Postgres().error();
    TempDir dir;
    constexpr int kBatches = 10, kBatch = 10;
    // Leases of ten, at least forty free: four leases' worth kept on hand.
    const std::vector<std::string> lease = {"--lease-size", "10", "--lease-low", "40"};
    std::vector<LineStation> stations;
    for (const char* name : {"line1", "line2"})
        stations.push_back({name, LinePlan(dir, name), dir / (std::string(name) + "-results"), {}});
    bool away = false;
    for (int batch = 0; batch < kBatches; ++batch) {
        std::vector<pid_t> pids;
        std::vector<std::string> outputs;
        for (LineStation& s : stations) {
            outputs.push_back(dir / (s.name + "-" + std::to_string(batch) + ".out"));
            pids.push_back(StartStation(RunArgs(dir, s, url, batch * kBatch + 1, kBatch, lease), outputs.back()));
        }
        // Away from the middle of batch 3 to the middle of batch 6.
        if (batch == 3 || batch == 6) {
            WaitForText(outputs[0], ": cs_write");
            if (batch == 3) ASSERT_TRUE(Postgres().Stop());
            else ASSERT_TRUE(Postgres().Start()) << Postgres().error();
            away = batch == 3;
        }
        for (size_t i = 0; i < pids.size(); ++i) {
            const int status = Wait(pids[i]);
            const std::string out = ReadText(outputs[i]);
            EXPECT_EQ(status, 0) << "batch " << batch << " of " << stations[i].name << (away ? " (server away)" : "") << "\n"
                                 << out;
            // With the server away the records wait in the outbox: those of
            // batch 3 (it went away before the batch ended) and every one since.
            if (batch == 4 || batch == 5) {
                EXPECT_NE(out.find("(" + std::to_string((batch - 2) * kBatch) + " records pending in " + stations[i].results +
                                   "/outbox.db)"),
                          std::string::npos)
                    << out;
            }
        }
    }
    ASSERT_FALSE(away);
    for (const LineStation& s : stations) {
        const StationResult sync = Station({"sync", "--db", url, "--results", s.results});
        EXPECT_EQ(sync.status, 0) << sync.output;
        const StationResult status = Station({"status", "--db", url, "--results", s.results});
        EXPECT_NE(status.output.find("records pending: 0\n"), std::string::npos) << status.output;
        EXPECT_NE(status.output.find("uses not reported: 0\n"), std::string::npos) << status.output;
        EXPECT_NE(status.output.find("central store: reachable\n"), std::string::npos) << status.output;
    }

    // What the devices hold: an address each, on one device only, inside the range.
    std::map<std::string, std::string> onDevice;  // address -> device
    for (const LineStation& s : stations)
        for (const std::string& device : s.devices) {
            const std::string address = DeviceAddress(device);
            ASSERT_FALSE(address.empty()) << device << " holds no address";
            EXPECT_TRUE(onDevice.emplace(address, device).second) << address << " on " << onDevice[address] << " and " << device;
            const auto parsed = station::ParseAddress(address);
            ASSERT_TRUE(parsed);
            EXPECT_GE(parsed->lap, kLineFirst);
            EXPECT_LE(parsed->lap, kLineLast);
        }
    EXPECT_EQ(onDevice.size(), static_cast<size_t>(2 * kBatches * kBatch));

    // The records: every DUT passed, once in its station's file and once in
    // the central store, with the address its device holds.
    std::map<std::string, station::Record> inFiles;  // run/slot -> record
    for (const LineStation& s : stations)
        for (const station::Record& r : ReadJsonl(s.results + "/records.jsonl")) {
            EXPECT_EQ(r.outcome, station::Outcome::Pass) << r.serial << ": " << r.text;
            EXPECT_TRUE(inFiles.emplace(r.runId + "/" + std::to_string(r.slot), r).second);
        }
    EXPECT_EQ(inFiles.size(), static_cast<size_t>(2 * kBatches * kBatch));
    auto central = Open(url);
    ASSERT_TRUE(central);
    std::vector<station::RecordRow> rows;
    std::string error;
    ASSERT_TRUE(central->Rows({}, rows, error)) << error;
    std::set<std::string> stored, serials;
    for (const station::RecordRow& row : rows) {
        const std::string key = row.runId + "/" + std::to_string(row.slot);
        EXPECT_TRUE(stored.insert(key).second) << key << " stored twice";
        EXPECT_TRUE(serials.insert(row.serial).second) << row.serial << " stored twice";
        ASSERT_EQ(inFiles.count(key), 1u) << key << " is in no station's file";
        EXPECT_EQ(row.address, inFiles[key].address);
        EXPECT_EQ(row.outcome, "PASS");
        EXPECT_EQ(onDevice.count(row.address), 1u) << row.address;
    }
    EXPECT_EQ(stored.size(), inFiles.size());

    // Every address: used ones committed to their serial, the others free
    // again or leased to a station that still holds them (in its local
    // store, unused), none outside the range.
    std::map<int64_t, std::string> leaseOwner;
    for (const LeaseInfo& l : LeasesOf(*central)) leaseOwner[l.id] = l.state == "open" ? l.station : "";
    std::map<std::string, std::set<std::string>> localFree;  // station -> its free addresses
    for (const LineStation& s : stations) {
        auto local = Open(Line::LocalPath(s.results));
        ASSERT_TRUE(local);
        for (const auto& [text, info] : AddressesOf(*local))
            if (info.state == "free") localFree[s.name].insert(text);
    }
    size_t committed = 0, leased = 0;
    for (const auto& [text, info] : AddressesOf(*central)) {
        EXPECT_GE(info.address.lap, kLineFirst) << text;
        EXPECT_LE(info.address.lap, kLineLast) << text;
        if (onDevice.count(text) != 0) {
            ++committed;
            EXPECT_EQ(info.state, "committed") << text;
            EXPECT_FALSE(info.serial.empty()) << text;
        } else if (info.state == "leased") {
            ++leased;
            const std::string owner = leaseOwner[info.leaseId];
            EXPECT_FALSE(owner.empty()) << text << " is leased by lease " << info.leaseId << ", which ended";
            EXPECT_EQ(localFree[owner].count(text), 1u) << text << " is not free at " << owner;
        } else {
            EXPECT_EQ(info.state, "free") << text << " is on no device";
        }
    }
    EXPECT_EQ(committed, onDevice.size());
    size_t heldLocally = 0;
    for (const auto& [name, free] : localFree) heldLocally += free.size();
    EXPECT_EQ(leased, heldLocally);

    // The stations end cleanly: everything they did not use goes back.
    for (const LineStation& s : stations) {
        const StationResult done = Station({"lease", "return", "--db", url, "--results", s.results});
        EXPECT_EQ(done.status, 0) << done.output;
    }
    for (const auto& [text, info] : AddressesOf(*central))
        EXPECT_TRUE(info.state == "committed" || info.state == "free") << text << " " << info.state;
    for (const LeaseInfo& l : LeasesOf(*central)) EXPECT_EQ(l.state, "ended") << l.id;
}

namespace {

// Starts a station run of three DUTs with leases of ten and kills it with
// SIGKILL once its first DUT passed and a slow one writes its CS.
void RunAndKill(const TempDir& aDir, LineStation& aStation, const std::string& aUrl)
{
    std::vector<std::string> args = RunArgs(aDir, aStation, aUrl, 1, 3, {"--lease-size", "10"});
    int dut = 0;
    for (std::string& a : args)
        if (a.rfind("sim:", 0) == 0 && ++dut > 1) a += ",latency=300";
    const std::string output = aDir / (aStation.name + ".out");
    const pid_t pid = StartStation(args, output);
    WaitForText(output, "slot 1: PASS");
    WaitForText(output, "slot 2: cs_write");
    kill(pid, SIGKILL);
    EXPECT_EQ(Wait(pid), 128 + SIGKILL);
}

int64_t LeaseOf(Store& aCentral, const std::string& aStation)
{
    for (const LeaseInfo& l : LeasesOf(aCentral))
        if (l.station == aStation) return l.id;
    ADD_FAILURE() << "no lease of " << aStation;
    return 0;
}

}  // namespace

// Two stations die with SIGKILL while they hold leases. The first one's
// results folder is there: "lease return" over it reports its uses and
// frees what it did not use. The second one's is lost: its lease is
// reclaimed once it expired, and everything it did not report is
// scrapped. Neither lease may be reclaimed while it is in time without
// --force, and no address reaches two devices afterwards.
TEST(Line, AKilledStationsLeaseIsReturnedFromItsFolderOrReclaimedAndNoAddressIsGivenTwice)
{
    const std::string url = LineDatabase(0x2000, 0x20FF);
    ASSERT_FALSE(url.empty()) << Postgres().error();
    TempDir dir;
    LineStation returned{"dead1", LinePlan(dir, "dead1"), dir / "dead1-results", {}};
    LineStation lost{"dead2", LinePlan(dir, "dead2"), dir / "dead2-results", {}};
    RunAndKill(dir, returned, url);
    RunAndKill(dir, lost, url);
    auto central = Open(url);
    ASSERT_TRUE(central);
    const int64_t returnedLease = LeaseOf(*central, "dead1"), lostLease = LeaseOf(*central, "dead2");

    const StationResult list = Station({"lease", "list", "--db", url});
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("dead1"), std::string::npos) << list.output;
    for (int64_t lease : {returnedLease, lostLease}) {
        const StationResult early = Station({"lease", "reclaim", "--db", url, "--lease", std::to_string(lease)});
        EXPECT_EQ(early.status, 2) << early.output;
        EXPECT_NE(early.output.find("--force reclaims it now"), std::string::npos) << early.output;
    }
    for (const auto& [text, info] : AddressesOf(*central)) EXPECT_EQ(info.state, "leased") << text;

    // The first station's folder: its uses reported, the rest given back.
    const StationResult back = Station({"lease", "return", "--db", url, "--results", returned.results});
    ASSERT_EQ(back.status, 0) << back.output;
    EXPECT_NE(back.output.find("1 lease ended, "), std::string::npos) << back.output;
    const StationResult again = Station({"lease", "reclaim", "--db", url, "--lease", std::to_string(returnedLease)});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.output.find("lease " + std::to_string(returnedLease) + " is ended already"), std::string::npos)
        << again.output;

    // The second one's lease runs out, and is reclaimed.
    {
        std::string error;
        auto sql = station::OpenPostgres(url, error);
        ASSERT_TRUE(sql) << error;
        ASSERT_TRUE(sql->Query("UPDATE leases SET expires = '2000-01-01T00:00:00.000Z' WHERE id = ?", {lostLease}, nullptr,
                               nullptr, error))
            << error;
    }
    const StationResult expired = Station({"lease", "list", "--db", url});
    EXPECT_NE(expired.output.find("2000-01-01T00:00:00.000Z expired"), std::string::npos) << expired.output;
    const StationResult reclaim = Station({"lease", "reclaim", "--db", url, "--lease", std::to_string(lostLease)});
    ASSERT_EQ(reclaim.status, 0) << reclaim.output;
    EXPECT_NE(reclaim.output.find("lease " + std::to_string(lostLease) + " of station dead2 reclaimed: 10 addresses never"),
              std::string::npos)
        << reclaim.output;

    std::map<std::string, std::string> onDevice;
    for (const LineStation* s : {&returned, &lost})
        for (const std::string& device : s->devices)
            if (const std::string a = DeviceAddress(device); !a.empty()) onDevice[a] = device;
    EXPECT_FALSE(onDevice.empty()) << "no device was written before the kills";
    size_t free = 0;
    for (const auto& [text, info] : AddressesOf(*central)) {
        free += info.state == "free";
        if (onDevice.count(text) != 0) {
            EXPECT_NE(info.state, "free") << text << " on " << onDevice[text];
        }
        if (info.owner.station == "dead2" || info.leaseId == lostLease) {
            EXPECT_EQ(info.state, "scrapped") << text;
        }
    }
    EXPECT_GE(free, 7u);
    // The first station's DUT that passed: its use reached the central store.
    const std::string passed = DeviceAddress(returned.devices[0]);
    ASSERT_FALSE(passed.empty());
    EXPECT_EQ(AddressesOf(*central)[passed].state, "committed");

    // A third station takes every address that went back and more: none is
    // one a device holds.
    LineStation next{"next", LinePlan(dir, "next"), dir / "next-results", {}};
    const StationResult run = Station(RunArgs(dir, next, url, 1, 12, {"--lease-size", "10"}));
    ASSERT_EQ(run.status, 0) << run.output;
    for (const std::string& device : next.devices) {
        const std::string a = DeviceAddress(device);
        ASSERT_FALSE(a.empty()) << device;
        EXPECT_TRUE(onDevice.emplace(a, device).second) << a << " on " << onDevice[a] << " and " << device;
    }
}

namespace {

// A record's body as the station wrote it before records had columns (its
// steps' values as text, the limits on the step).
std::string OldBody(const std::string& aRun, int aSlot, const std::string& aSerial, const std::string& aAddress, bool aPass)
{
    return R"({"address":")" + aAddress + R"(","address_source":"new","ended":"2026-11-02T08:00:01.500Z",)"
           R"("firmware_build_id":2603,"library_version":"1.3.0.68","operator":"","outcome":")" +
           (aPass ? "PASS" : "FAIL") + R"(","plan":"plan.toml","plan_sha256":"a680cd5d","repair":false,"run_id":")" + aRun +
           R"(","serial":")" + aSerial + R"(","slot":)" + std::to_string(aSlot) +
           R"(,"started":"2026-11-02T08:00:00.250Z","station":"old","steps":[)"
           R"({"code":0,"high":null,"low":null,"ms":8.5,"name":"open","outcome":"PASS","text":"","unit":"","value":"0x4B2D"},)"
           R"({"code":0,"high":522.0,"low":502.0,"ms":0.01,"name":"aio","outcome":")" +
           (aPass ? "PASS" : "FAIL") + R"(","text":")" + (aPass ? "" : "530 counts above 522") +
           R"(","unit":"counts","value":")" + (aPass ? "512" : "530") + R"("}],"text":"","transport":"sim"})";
}

// The tables of the first version, and what the second one added, as
// those stations made them.
std::string FirstSchema(const std::string& aId)
{
    return "CREATE TABLE ranges (id " + aId +
           ", nap INTEGER NOT NULL, uap INTEGER NOT NULL, first_lap INTEGER NOT NULL, last_lap INTEGER NOT NULL,"
           " next_lap INTEGER NOT NULL, created TEXT NOT NULL);"
           "CREATE TABLE addresses (address BIGINT NOT NULL UNIQUE, text TEXT NOT NULL, range_id BIGINT NOT NULL REFERENCES ranges(id),"
           " state TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '', run_id TEXT NOT NULL, station TEXT NOT NULL,"
           " slot INTEGER NOT NULL, reserved TEXT NOT NULL, updated TEXT NOT NULL);"
           "CREATE TABLE records (id " + aId +
           ", run_id TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL, address TEXT NOT NULL, outcome TEXT NOT NULL,"
           " body TEXT NOT NULL);";
}

std::string SecondSchema(const std::string& aId)
{
    return "ALTER TABLE addresses ADD COLUMN serial TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE addresses ADD COLUMN cs_digest TEXT NOT NULL DEFAULT '';"
           "ALTER TABLE addresses ADD COLUMN durable INTEGER NOT NULL DEFAULT 0;"
           "CREATE UNIQUE INDEX addresses_live_serial ON addresses(serial) WHERE serial <> '' AND state <> 'scrapped';"
           "CREATE UNIQUE INDEX records_run_slot ON records(run_id, slot);"
           "CREATE TABLE history (id " + aId +
           ", at TEXT NOT NULL, address TEXT NOT NULL, serial TEXT NOT NULL, event TEXT NOT NULL, text TEXT NOT NULL,"
           " run_id TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL);"
           "CREATE INDEX history_address ON history(address);"
           "CREATE INDEX history_serial ON history(serial);"
           "CREATE TABLE station_schema (version INTEGER NOT NULL);"
           "INSERT INTO station_schema (version) VALUES (2);";
}

const Address kOldCommitted{kNap, kUap, 0x100}, kOldScrapped{kNap, kUap, 0x101}, kOldReserved{kNap, kUap, 0x102};

// The store at aUrl without the station's layer over it (made when aCreate
// and it is a SQLite file).
std::unique_ptr<station::SqlConnection> OpenSql(const std::string& aBackend, const std::string& aUrl, bool aCreate)
{
    std::string error;
    auto sql = aBackend == "sqlite" ? station::OpenSqlite(aUrl, aCreate, error) : station::OpenPostgres(aUrl, error);
    EXPECT_TRUE(sql) << error;
    return sql;
}

// An old store: schema aVersion (1 or 2) with a range, three addresses and
// three records (one whose body no station can read). aExtra runs last.
std::unique_ptr<station::SqlConnection> MakeOldStore(const std::string& aBackend, const std::string& aUrl, int aVersion,
                                                     const std::string& aExtra = "")
{
    std::string error;
    auto sql = OpenSql(aBackend, aUrl, true);
    if (!sql) return sql;
    const std::string id = aBackend == "sqlite" ? "INTEGER PRIMARY KEY AUTOINCREMENT" : "BIGSERIAL PRIMARY KEY";
    EXPECT_TRUE(sql->Exec(FirstSchema(id) + (aVersion >= 2 ? SecondSchema(id) : "") + aExtra, error)) << error;
    EXPECT_TRUE(sql->Query("INSERT INTO ranges (nap, uap, first_lap, last_lap, next_lap, created) VALUES (?,?,?,?,?,?)",
                           {int64_t(kNap), int64_t(kUap), 0x100, 0x1FF, 0x103, "2026-11-01T00:00:00.000Z"}, nullptr, nullptr,
                           error))
        << error;
    for (const auto& [address, state] : {std::pair{kOldCommitted, "committed"}, {kOldScrapped, "scrapped"}, {kOldReserved, "reserved"}})
        EXPECT_TRUE(sql->Query("INSERT INTO addresses (address, text, range_id, state, run_id, station, slot, reserved, updated)"
                               " VALUES (?,?,1,?,'run-a','old',1,'2026-11-02','2026-11-02')",
                               {address.Packed(), address.Text(), state}, nullptr, nullptr, error))
            << error;
    if (aVersion >= 2) {
        EXPECT_TRUE(sql->Query("UPDATE addresses SET serial = 'OLD-1' WHERE address = ?", {kOldCommitted.Packed()}, nullptr,
                               nullptr, error))
            << error;
    }
    const std::vector<std::vector<std::string>> records = {
        {"run-a", "1", kOldCommitted.Text(), "PASS", OldBody("run-a", 1, "OLD-1", kOldCommitted.Text(), true)},
        {"run-a", "2", kOldScrapped.Text(), "FAIL", OldBody("run-a", 2, "OLD-2", kOldScrapped.Text(), false)},
        {"run-b", "1", "", "ERROR", "{not a record"}};
    for (const auto& r : records)
        EXPECT_TRUE(sql->Query("INSERT INTO records (run_id, station, slot, address, outcome, body) VALUES (?,'old',?,?,?,?)",
                               {r[0], int64_t(std::stoi(r[1])), r[2], r[3], r[4]}, nullptr, nullptr, error))
            << error;
    return sql;
}

class MigrationTest : public ::testing::TestWithParam<std::tuple<std::string, int>> {
protected:
    void SetUp() override
    {
        mUrl = StoreUrl(Backend(), mDir / "old.db");
        ASSERT_FALSE(mUrl.empty()) << Postgres().error();
    }
    const std::string& Backend() const { return std::get<0>(GetParam()); }
    int Version() const { return std::get<1>(GetParam()); }

    TempDir mDir;
    std::string mUrl;
};

}  // namespace

TEST_P(MigrationTest, AnOldStoreOpensMigratedWithEveryRecordAndAddress)
{
    std::vector<std::string> bodies;
    {
        auto sql = MakeOldStore(Backend(), mUrl, Version());
        ASSERT_TRUE(sql);
        std::vector<station::SqlRow> rows;
        std::string error;
        ASSERT_TRUE(sql->Query("SELECT body FROM records ORDER BY id", {}, &rows, nullptr, error)) << error;
        for (const auto& r : rows) bodies.push_back(r.Text(0));
    }
    auto store = Open(mUrl);
    ASSERT_TRUE(store);
    std::string error;
    {
        auto sql = OpenSql(Backend(), mUrl, false);
        ASSERT_TRUE(sql);
        std::vector<station::SqlRow> rows;
        ASSERT_TRUE(sql->Query("SELECT MAX(version) FROM station_schema", {}, &rows, nullptr, error)) << error;
        EXPECT_EQ(rows.at(0).Int(0), Store::kSchemaVersion);
    }
    // Every record, its body as it was; the columns from the readable ones.
    std::vector<station::StoredRecord> stored;
    ASSERT_TRUE(store->Records(stored, error)) << error;
    ASSERT_EQ(stored.size(), bodies.size());
    for (size_t i = 0; i < bodies.size(); ++i) EXPECT_EQ(stored[i].body, bodies[i]);
    std::vector<station::RecordRow> rows;
    ASSERT_TRUE(store->Rows({}, rows, error)) << error;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].serial, "OLD-1");
    EXPECT_EQ(rows[0].outcome, "PASS");
    EXPECT_EQ(rows[0].started, "2026-11-02T08:00:00.250Z");
    EXPECT_EQ(rows[0].ended, "2026-11-02T08:00:01.500Z");
    EXPECT_EQ(rows[1].serial, "OLD-2");
    EXPECT_EQ(rows[1].failingStep, "aio");
    EXPECT_EQ(rows[2].outcome, "ERROR");
    EXPECT_EQ(rows[2].runId, "run-b");
    // The filters of reports find the old records by their columns.
    ASSERT_TRUE(store->Rows({"2026-11-02", "2026-11-02", "", "old"}, rows, error)) << error;
    EXPECT_EQ(rows.size(), 2u);

    // The addresses keep their states; the range goes on after them.
    auto addresses = AddressesOf(*store);
    EXPECT_EQ(addresses[kOldCommitted.Text()].state, "committed");
    EXPECT_EQ(addresses[kOldScrapped.Text()].state, "scrapped");
    EXPECT_EQ(addresses[kOldReserved.Text()].state, "reserved");
    Address next;
    ASSERT_EQ(store->Reserve(kNap, kUap, {"run-c", "new", 1}, "NEW-1", next, error), ReserveResult::Ok) << error;
    EXPECT_EQ(next.Text(), Address({kNap, kUap, 0x103}).Text());
    AddressInfo info;
    bool found = false;
    ASSERT_TRUE(store->AddressOfSerial("OLD-1", info, found, error)) << error;
    EXPECT_EQ(found, Version() >= 2);
    // A record stored again (an outbox upload repeated) is kept once.
    station::Record again;
    ASSERT_TRUE(station::FromJson(nlohmann::json::parse(bodies[0]), again));
    ASSERT_TRUE(store->AddRecord(again, error)) << error;
    ASSERT_TRUE(store->Records(stored, error)) << error;
    EXPECT_EQ(stored.size(), 3u);
    // Opened again: nothing migrates twice.
    store.reset();
    store = Open(mUrl);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->Rows({}, rows, error)) << error;
    EXPECT_EQ(rows.size(), 3u);
}

TEST_P(MigrationTest, AMigrationThatFailsLeavesTheStoreAsItWas)
{
    // A table of the new schema's name is there already: the migration
    // stops half-way, and none of it stays.
    ASSERT_TRUE(MakeOldStore(Backend(), mUrl, Version(), "CREATE TABLE leases (id INTEGER);"));
    std::string error;
    EXPECT_FALSE(station::OpenStore(mUrl, station::StoreMode::Existing, error));
    EXPECT_NE(error.find("leases"), std::string::npos) << error;
    auto sql = OpenSql(Backend(), mUrl, false);
    ASSERT_TRUE(sql);
    std::vector<station::SqlRow> rows;
    std::string failure;
    EXPECT_FALSE(sql->Query("SELECT plan_name FROM records", {}, &rows, nullptr, failure)) << "records gained columns";
    bool has = true;
    ASSERT_TRUE(sql->HasTable("measurements", has, error)) << error;
    EXPECT_FALSE(has);
    ASSERT_TRUE(sql->HasTable("station_schema", has, error)) << error;
    EXPECT_EQ(has, Version() >= 2);
    ASSERT_TRUE(sql->Query("SELECT COUNT(*) FROM records", {}, &rows, nullptr, error)) << error;
    EXPECT_EQ(rows.at(0).Int(0), 3);
}

TEST_P(MigrationTest, TheMigratedStoreHasTheIndexesAndAnswersTheQueriesPeopleRun)
{
    ASSERT_TRUE(MakeOldStore(Backend(), mUrl, Version()));
    auto store = Open(mUrl);
    ASSERT_TRUE(store);
    std::string error;
    auto sql = OpenSql(Backend(), mUrl, false);
    ASSERT_TRUE(sql);
    std::vector<station::SqlRow> rows;
    ASSERT_TRUE(sql->Query(Backend() == "sqlite" ? "SELECT name FROM sqlite_master WHERE type = 'index'"
                                                 : "SELECT indexname FROM pg_indexes WHERE schemaname = 'public'",
                           {}, &rows, nullptr, error))
        << error;
    std::set<std::string> indexes;
    for (const auto& r : rows) indexes.insert(r.Text(0));
    for (const char* name : {"addresses_live_serial", "addresses_free", "records_run_slot", "records_started", "records_serial",
                             "records_plan", "records_station", "history_address", "history_serial", "measurements_record",
                             "measurements_name"})
        EXPECT_EQ(indexes.count(name), 1u) << name;
    // The queries of the line's page.
    const char* const queries[] = {
        "SELECT plan_name, AVG(CASE WHEN outcome = 'PASS' THEN 1.0 ELSE 0 END) AS first_pass_yield, COUNT(*) AS units"
        " FROM records r WHERE serial <> '' AND started >= '2026-11-02' AND started < '2026-11-03'"
        " AND started = (SELECT MIN(started) FROM records f WHERE f.serial = r.serial) GROUP BY plan_name",
        "SELECT failing_step, text, COUNT(*) AS n FROM records WHERE outcome IN ('FAIL', 'ERROR') AND station = 'old'"
        " GROUP BY failing_step, text ORDER BY n DESC",
        "SELECT COUNT(*), AVG(value), MIN(value), MAX(value), MIN(low), MAX(high) FROM measurements"
        " WHERE step = 'tx_power' AND name = 'power'",
        "SELECT started, station, outcome, failing_step, text FROM records WHERE serial = 'OLD-1' ORDER BY started",
        "SELECT at, address, event, text, station FROM history WHERE serial = 'OLD-1' ORDER BY id",
        "SELECT l.id, l.station, l.expires, COUNT(a.address) AS unused FROM leases l LEFT JOIN addresses a"
        " ON a.lease_id = l.id AND a.state = 'leased' WHERE l.state = 'open' GROUP BY l.id, l.station, l.expires"};
    for (const char* query : queries) EXPECT_TRUE(sql->Query(query, {}, &rows, nullptr, error)) << query << ": " << error;
    ASSERT_TRUE(sql->Query(queries[0], {}, &rows, nullptr, error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Int(2), 2);  // OLD-1 and OLD-2, one passed
    EXPECT_DOUBLE_EQ(rows[0].Real(1), 0.5);
    ASSERT_TRUE(sql->Query(queries[1], {}, &rows, nullptr, error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].Text(0) + rows[1].Text(0), "aio");

    // A store a newer station made is refused, and left as it is.
    ASSERT_TRUE(sql->Query("UPDATE station_schema SET version = 99", {}, nullptr, nullptr, error)) << error;
    store.reset();
    EXPECT_FALSE(station::OpenStore(mUrl, station::StoreMode::Existing, error));
    EXPECT_NE(error.find("was made by a newer station (schema 99, this station knows 3)"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Versions, MigrationTest,
                         ::testing::Combine(::testing::Values("sqlite", "postgresql"), ::testing::Values(1, 2)),
                         [](const auto& aInfo) {
                             return std::get<0>(aInfo.param) + "_schema" + std::to_string(std::get<1>(aInfo.param));
                         });
