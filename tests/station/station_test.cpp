// The station program end to end on simulated DUTs: outcomes and exit
// status, records, retests, devices that are never re-imaged, plan and
// store errors before any DUT is touched, Ctrl-C and a killed worker.
#include "store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace stationtest;

namespace {

class StationRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        db = dir / "station.db";
        const StationResult add = Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0x100",
                                 "--last", "0x1FF"});
        ASSERT_EQ(add.status, 0) << add.output;
        plan = WritePlan(dir, "plan");
    }

    std::string Uart(int aSlot) const { return dir / ("plan-uart" + std::to_string(aSlot)); }
    std::string DutArg(const std::string& aName, int aSlot, const std::string& aExtra = "") const
    {
        return Dut(dir, aName, "uartlink=" + Uart(aSlot) + (aExtra.empty() ? "" : "," + aExtra));
    }
    // A run of aDuts with their serials; without serials, a bench run (--no-serial).
    std::vector<std::string> Args(const std::vector<std::string>& aDuts, const std::string& aPlan = "",
                                  const std::vector<std::string>& aSerials = {}) const
    {
        std::vector<std::string> args = {"--plan", aPlan.empty() ? plan : aPlan, "--db", db, "--results", dir / "results",
                                         "--station", "test-station"};
        for (const std::string& d : aDuts) {
            args.push_back("--dut");
            args.push_back(d);
        }
        for (const std::string& s : aSerials) {
            args.push_back("--serial");
            args.push_back(s);
        }
        if (aSerials.empty()) args.push_back("--no-serial");
        return args;
    }
    std::vector<station::Record> Records() const { return ReadJsonl(dir / "results/records.jsonl"); }
    std::string StateOf(const std::string& aAddress) const
    {
        std::string error, state;
        auto store = station::OpenStore(db, station::StoreMode::Existing, error);
        auto a = station::ParseAddress(aAddress);
        if (!store || !a || !store->StateOf(*a, state, error)) return "?";
        return state;
    }

    TempDir dir;
    std::string db;
    std::string plan;
};

std::vector<uint8_t> Bytes(const std::string& aPath)
{
    const std::string text = ReadText(aPath);
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace

TEST_F(StationRun, TwoDutsPassWithRecordsEverywhereAndARetestKeepsTheAddress)
{
    StationResult run = Station(Args({DutArg("dut1", 1), DutArg("dut2", 2)}, "", {"SN-1", "SN-2"}));
    ASSERT_EQ(run.status, 0) << run.output;
    auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        const station::Record& r = records[static_cast<size_t>(i)];
        EXPECT_EQ(r.outcome, station::Outcome::Pass) << r.text;
        EXPECT_EQ(r.slot, i + 1);
        EXPECT_EQ(r.station, "test-station");
        EXPECT_EQ(r.addressSource, station::AddressSource::New);
        EXPECT_EQ(r.firmwareBuildId, 2603);
        EXPECT_EQ(r.firmwareSha256.size(), 64u);
        EXPECT_EQ(r.libraryVersion, "1.3.0.68");
        EXPECT_EQ(r.steps.size(), 13u);
        EXPECT_EQ(DeviceAddress(dir / ("dut" + std::to_string(i + 1))), r.address);
        EXPECT_EQ(StateOf(r.address), "committed");
    }
    EXPECT_NE(records[0].address, records[1].address);
    EXPECT_NE(run.output.find("records: store " + db), std::string::npos) << run.output;
    const std::string junit = LatestJunit(dir / "results");
    EXPECT_NE(junit.find(records[0].runId), std::string::npos) << junit;  // one file per run, named by it
    EXPECT_NE(ReadText(junit).find("<testsuites errors=\"0\" failures=\"0\""), std::string::npos);

    run = Station(Args({DutArg("dut1", 1), DutArg("dut2", 2)}, "", {"SN-1", "SN-2"}));
    ASSERT_EQ(run.status, 0) << run.output;
    records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[2].address, records[0].address);
    EXPECT_EQ(records[2].addressSource, station::AddressSource::Retest);
    EXPECT_EQ(records[3].address, records[1].address);
    EXPECT_NE(run.output.find("(retest, kept)"), std::string::npos);

    // The store holds the same records; export writes one CSV row per step.
    run = Station({"export", "--db", db, "--csv", dir / "out.csv"});
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string csv = ReadText(dir / "out.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 4 * 13);
    run = Station({"addresses", "list", "--db", db});
    EXPECT_NE(run.output.find("005B:02   000100   0001FF   000102          2         2"), std::string::npos) << run.output;
}

TEST_F(StationRun, EachProcessOpensTheStoreOnce)
{
    // The station and each of its two workers: one store connection each.
    const CountedRun run = StationCounted(Args({DutArg("dut1", 1), DutArg("dut2", 2)}), dir.path(), "station.db");
    ASSERT_EQ(run.result.status, 0) << run.result.output;
    ASSERT_EQ(run.processes.size(), 3u);
    for (const ProcessCounts& p : run.processes) EXPECT_EQ(p.opens, 1);
}

TEST_F(StationRun, AFirmwareFaultFailsItsDutWithTheLibraryTextAndTheOtherPasses)
{
    const StationResult run = Station(Args({DutArg("dut1", 1, "fwfault=answer:0x0303:0x8001"), DutArg("dut2", 2)}));
    EXPECT_EQ(run.status, 1) << run.output;
    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].outcome, station::Outcome::Fail);
    const station::StepRecord& step = records[0].steps.back();
    EXPECT_EQ(step.name, "xtal_trim");
    EXPECT_EQ(step.code, -10);
    EXPECT_FALSE(step.text.empty());
    EXPECT_EQ(records[0].text, "xtal_trim: " + step.text);
    EXPECT_EQ(records[0].address, "");
    EXPECT_EQ(DeviceAddress(dir / "dut1"), "");  // a failed blank device stays blank
    EXPECT_EQ(records[1].outcome, station::Outcome::Pass);
}

TEST_F(StationRun, TooFewPacketsMissTheLimit)
{
    const std::string strict = WritePlan(dir, "plan", {{"unit = \"packets\", low = 5", "unit = \"packets\", low = 50"}});
    const StationResult run = Station(Args({DutArg("dut1", 1)}, strict));
    EXPECT_EQ(run.status, 1) << run.output;
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, station::Outcome::Fail);
    EXPECT_EQ(records[0].text, "rx_count: 7 is below 50 packets");
    EXPECT_EQ(records[0].steps.back().low, 50.0);
}

TEST_F(StationRun, AProgrammedDeviceThatCannotBeReadIsNeverReimagedWithoutRepair)
{
    ASSERT_EQ(Station(Args({DutArg("dut1", 1)})).status, 0);
    const std::string eeprom = dir / "dut1/eeprom.bin";
    const auto programmed = Bytes(eeprom);
    const std::string address = DeviceAddress(dir / "dut1");

    // An EEPROM read error.
    StationResult run = Station(Args({DutArg("dut1", 1, "e2fail=read")}));
    EXPECT_EQ(run.status, 1) << run.output;
    auto records = Records();
    EXPECT_EQ(records.back().outcome, station::Outcome::Fail);
    EXPECT_NE(records.back().text.find("(the device is left as it is; --repair overwrites it)"), std::string::npos)
        << records.back().text;
    EXPECT_EQ(Bytes(eeprom), programmed);

    // A broken header CRC: the stored CRC no longer matches.
    auto broken = programmed;
    broken[2] ^= 0x01;
    {
        std::ofstream out(eeprom, std::ios::binary);
        out.write(reinterpret_cast<const char*>(broken.data()), static_cast<std::streamsize>(broken.size()));
    }
    run = Station(Args({DutArg("dut1", 1)}));
    EXPECT_EQ(run.status, 1) << run.output;
    records = Records();
    EXPECT_NE(records.back().text.find("The CRC for the image was expected to be"), std::string::npos) << records.back().text;
    EXPECT_EQ(Bytes(eeprom), broken);

    // --repair overwrites it with the golden image and a new address.
    auto args = Args({DutArg("dut1", 1)});
    args.push_back("--repair");
    run = Station(args);
    EXPECT_EQ(run.status, 0) << run.output;
    records = Records();
    EXPECT_TRUE(records.back().repair);
    EXPECT_EQ(records.back().addressSource, station::AddressSource::New);
    EXPECT_NE(records.back().address, address);
    EXPECT_EQ(DeviceAddress(dir / "dut1"), records.back().address);
}

TEST_F(StationRun, PlanAndStoreErrorsStopTheRunBeforeAnyDutIsTouched)
{
    const std::string bad = WritePlan(dir, "bad", {{"type = \"led\"", "type = \"lamp\""}});
    StationResult run = Station(Args({DutArg("dut1", 1)}, bad));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("station: ERROR: invalid plan: " + bad + ":"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(": unknown step \"lamp\""), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "dut1"));

    auto args = Args({DutArg("dut1", 1)});
    args[3] = "/nonexistent-folder/station.db";
    run = Station(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("cannot open the store"), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "dut1"));

    run = Station({"--plan", plan, "--bogus"});
    EXPECT_EQ(run.status, 2);
}

TEST_F(StationRun, TooFewFreeAddressesStopTheRunBeforeAnyDutAndATransportThatDoesNotOpenIsAnError)
{
    const std::string small = dir / "small.db";
    ASSERT_EQ(Station({"addresses", "add", "--db", small, "--nap", "0x5B", "--uap", "2", "--first", "0x9E8B3F", "--last",
                       "0x9E8B40"})
                  .status,
              0);
    auto args = Args({DutArg("dut1", 1), DutArg("dut2", 2), "sim:openerror=no such port"});
    args[3] = small;
    StationResult run = Station(args);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("station: ERROR: the address ranges of 005B:02 hold 1 free address for 3 DUTs"),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "dut1"));
    EXPECT_TRUE(Records().empty());

    ASSERT_EQ(Station({"addresses", "add", "--db", small, "--nap", "0x5B", "--uap", "2", "--first", "0x10", "--last", "0x20"})
                  .status,
              0);
    args = Args({DutArg("dut1", 1), "sim:openerror=no such port"});
    args[3] = small;
    run = Station(args);
    EXPECT_EQ(run.status, 2) << run.output;
    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].outcome, station::Outcome::Pass);
    EXPECT_EQ(records[0].address, "005B:02:9E8B40");
    EXPECT_EQ(records[1].outcome, station::Outcome::Error);
    EXPECT_EQ(records[1].steps[0].name, "open");
    EXPECT_NE(records[1].text.find("no such port"), std::string::npos) << records[1].text;
}

TEST_F(StationRun, CtrlCAbortsEveryDutCleanly)
{
    // A burst long enough to be stopped in.
    const std::string slow = WritePlan(dir, "plan", {{"packets = 100", "packets = 60000"}, {"high = 10", "high = 100000"}});
    const std::string output = dir / "out.txt";
    const pid_t pid = StartStation(Args({DutArg("dut1", 1), DutArg("dut2", 2)}, slow), output);
    const auto start = std::chrono::steady_clock::now();
    while (ReadText(output).find("slot 2: tx_burst") == std::string::npos ||
           ReadText(output).find("slot 1: tx_burst") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << ReadText(output);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 3) << ReadText(output);
    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records) {
        EXPECT_EQ(r.outcome, station::Outcome::Abort);
        EXPECT_EQ(r.steps.back().name, "tx_burst");
        EXPECT_EQ(r.steps.back().outcome, station::Outcome::Abort);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(StationRun, AKilledWorkerLeavesItsSlotErrorAndItsAddressScrapped)
{
    // Slow transport calls keep the worker in its CS write for a while.
    const std::string output = dir / "out.txt";
    const pid_t pid = StartStation(Args({DutArg("dut1", 1, "latency=4000")}), output);
    std::string error;
    std::vector<std::pair<int64_t, std::string>> addresses;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        auto store = station::OpenStore(db, station::StoreMode::Existing, error);
        if (store && store->Addresses(addresses, error) && !addresses.empty()) break;
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << ReadText(output);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const std::string children = ReadText("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    const pid_t worker = static_cast<pid_t>(std::atoi(children.c_str()));
    ASSERT_GT(worker, 0) << children;
    kill(worker, SIGKILL);
    EXPECT_EQ(Wait(pid), 2) << ReadText(output);
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, station::Outcome::Error);
    EXPECT_NE(records[0].text.find("the worker was killed by signal 9"), std::string::npos) << records[0].text;
    const std::string address = station::Address::FromPacked(addresses[0].first).Text();
    EXPECT_EQ(records[0].address, address);
    EXPECT_EQ(StateOf(address), "scrapped");
}
