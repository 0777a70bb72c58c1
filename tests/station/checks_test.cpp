// What the station checks before any DUT is touched (the store, the free
// addresses, the results folder, the plan's files, placeholders and ports,
// the serials and names), how it waits for a store another writer holds,
// and the store commands an operator uses on what a killed station left.
#include "store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

using namespace stationtest;

namespace {

class Checks : public ::testing::Test {
protected:
    void SetUp() override
    {
        db = dir / "station.db";
        ASSERT_EQ(Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0x100", "--last",
                           "0x1FF"})
                      .status,
                  0);
        plan = WritePlan(dir, "plan");
    }
    std::string DutArg(const std::string& aName, int aSlot) const
    {
        return Dut(dir, aName, "uartlink=" + (dir / ("plan-uart" + std::to_string(aSlot))));
    }
    std::vector<std::string> Args(const std::vector<std::string>& aExtra, const std::string& aPlan = "") const
    {
        std::vector<std::string> args = {"--plan", aPlan.empty() ? plan : aPlan, "--db", db, "--results", dir / "results",
                                         "--dut", DutArg("dut1", 1)};
        args.insert(args.end(), aExtra.begin(), aExtra.end());
        return args;
    }
    // The run is refused with aText on the console, before the DUT is opened.
    void Refused(const std::vector<std::string>& aArgs, const std::string& aText) const
    {
        const StationResult run = Station(aArgs);
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_NE(run.output.find("station: ERROR: " + aText), std::string::npos) << run.output;
        EXPECT_FALSE(std::filesystem::exists(dir / "dut1")) << "the DUT was touched: " << run.output;
    }

    TempDir dir;
    std::string db;
    std::string plan;
};

}  // namespace

TEST_F(Checks, SerialsAndNamesAreCheckedBeforeAnyDut)
{
    Refused(Args({}), "no --serial: give each DUT's serial (once per --dut, in order), or --no-serial for bench work");
    Refused(Args({"--serial", "A", "--no-serial"}), "--serial and --no-serial together");
    Refused(Args({"--serial", "A", "--serial", "B"}), "2 --serial for 1 DUT: give one per --dut");
    auto two = Args({"--dut", DutArg("dut2", 2), "--serial", "A", "--serial", "A"});
    Refused(two, "the serial A is given twice");
    Refused(Args({"--serial", "SN\x1b[2J"}), "a --serial has a control character");
    Refused(Args({"--no-serial", "--operator", "eve\nPASS"}), "--operator has a control character");
    Refused(Args({"--no-serial", "--station", "st\x07"}), "--station has a control character");
}

TEST_F(Checks, TheStoreTheAddressesAndTheResultsFolderAreCheckedBeforeAnyDut)
{
    auto args = Args({"--no-serial"});
    args[3] = dir / "typo.db";
    Refused(args, "cannot open the store \"" + (dir / "typo.db") + "\": it does not exist (station addresses add makes a store)");
    EXPECT_FALSE(std::filesystem::exists(dir / "typo.db")) << "a run made a store";

    const std::string other = WritePlan(dir, "other", {{"uap = 0x02", "uap = 0x03"}});
    Refused(Args({"--no-serial"}, other), "the store has no address range of 005B:03 (station addresses add gives it one)");

    WriteText(dir / "file", "not a folder");
    args = Args({"--no-serial"});
    args[5] = dir / "file";
    Refused(args, "cannot make the results folder \"" + (dir / "file") + "\"");
}

TEST_F(Checks, ThePlansFilesPlaceholdersAndPortsAreWhatTheyClaim)
{
    WriteText(dir / "fw.xbv", "not firmware at all");
    std::string bad = WritePlan(dir, "bad", {{"firmware = \"{bin}/sim_ptest.xbv\"", "firmware = \"" + (dir / "fw.xbv") + "\""}});
    Refused(Args({"--no-serial"}, bad), "invalid plan: " + bad + ":");
    EXPECT_NE(Station(Args({"--no-serial"}, bad)).output.find("the firmware \"" + (dir / "fw.xbv") + "\" is not an XBV file"),
              std::string::npos);

    bad = WritePlan(dir, "bad", {{"blank_image = \"{bin}/sim_blank.xuv\"", "blank_image = \"{bin}/sim_ptest.xbv\""}});
    EXPECT_NE(Station(Args({"--no-serial"}, bad)).output.find("is not an XUV or IMG image"), std::string::npos);

    bad = WritePlan(dir, "bad", {{"firmware = \"{bin}/sim_ptest.xbv\"", "firmware = \"{bni}/sim_ptest.xbv\""}});
    EXPECT_NE(Station(Args({"--no-serial"}, bad)).output.find("\"firmware\" names an unknown placeholder {bni}"),
              std::string::npos);

    bad = WritePlan(dir, "bad", {{"dut{slot}.uart", "dut{slto}.uart"}});
    EXPECT_NE(Station(Args({"--no-serial"}, bad)).output.find("\"port\" names an unknown placeholder {slto}"),
              std::string::npos);

    bad = WritePlan(dir, "bad", {{"{bin}/../dut{slot}.uart", dir / "missing/uart{slot}"}});
    Refused(Args({"--no-serial"}, bad), "step \"uart\" of slot 1: the port's folder \"" + (dir / "missing") + "\" does not exist");
}

TEST_F(Checks, AStoreAnotherWriterHoldsIsWaitedForVisiblyAndNotForEver)
{
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    // A short time-out: the run gives up with a text that says why.
    setenv("NVT_STORE_LOCK_TIMEOUT_MS", "200", 1);
    StationResult run = Station(Args({"--no-serial"}));
    unsetenv("NVT_STORE_LOCK_TIMEOUT_MS");
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("stayed locked by another writer"), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "dut1"));

    // A longer time-out: the wait is shown (after a tenth of it), and the
    // run goes on once the other writer is done.
    setenv("NVT_STORE_LOCK_TIMEOUT_MS", "20000", 1);
    const std::string output = dir / "out.txt";
    const pid_t pid = StartStation(Args({"--no-serial"}), output);
    unsetenv("NVT_STORE_LOCK_TIMEOUT_MS");
    const auto start = std::chrono::steady_clock::now();
    while (ReadText(output).find("waiting for the store") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << ReadText(output);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);
    EXPECT_EQ(Wait(pid), 0) << ReadText(output);
}

TEST_F(Checks, AHangUpStopsTheRunLikeCtrlC)
{
    const std::string slow = WritePlan(dir, "plan", {{"packets = 100", "packets = 60000"}, {"high = 10", "high = 100000"}});
    const std::string output = dir / "out.txt";
    const pid_t pid = StartStation(Args({"--serial", "SN-1"}, slow), output);
    const auto start = std::chrono::steady_clock::now();
    while (ReadText(output).find("slot 1: tx_burst") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << ReadText(output);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGHUP);
    EXPECT_EQ(Wait(pid), 3) << ReadText(output);
    const auto records = ReadJsonl(dir / "results/records.jsonl");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outcome, station::Outcome::Abort);
    EXPECT_EQ(records[0].serial, "SN-1");
}

TEST_F(Checks, WhatAKilledRunLeftIsListedAndCanBeScrappedWithAReason)
{
    std::string error;
    auto store = station::OpenStore(db, station::StoreMode::Existing, error);
    ASSERT_TRUE(store) << error;
    station::Address a;
    ASSERT_EQ(store->Reserve(0x5B, 0x02, {"run-7", "line 2", 3}, "SN-7", a, error), station::ReserveResult::Ok) << error;

    StationResult run = Station({"addresses", "list", "--db", db});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("not committed"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(a.Text() + " reserved  SN-7"), std::string::npos) << run.output;

    run = Station({"addresses", "scrap", "--db", db, "--address", a.Text(), "--reason", "unit dropped"});
    EXPECT_EQ(run.status, 0) << run.output;
    std::string state;
    ASSERT_TRUE(store->StateOf(a, state, error));
    EXPECT_EQ(state, "scrapped");
    run = Station({"addresses", "scrap", "--db", db, "--address", a.Text(), "--reason", "again"});
    EXPECT_EQ(run.status, 2) << run.output;
    run = Station({"addresses", "history", "--db", db, "--serial", "SN-7"});
    EXPECT_NE(run.output.find("scrapped   by hand: unit dropped"), std::string::npos) << run.output;
    // A scrapped address is never handed out again, not even to its serial.
    station::Address b;
    ASSERT_EQ(store->Reserve(0x5B, 0x02, {"run-8", "line 2", 3}, "SN-7", b, error), station::ReserveResult::Ok) << error;
    EXPECT_FALSE(b == a);
}

TEST_F(Checks, RangesThatOverlapNameTheRangeAndOnesInsideTheReservedLapsAreRefused)
{
    EXPECT_EQ(Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0x300", "--last", "0x3FF"})
                  .status,
              0);
    StationResult run =
        Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0x380", "--last", "0x480"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("the range overlaps range 2 of the store"), std::string::npos) << run.output;
    run = Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0x9E8B10", "--last", "0x9E8B20"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("inside the reserved LAPs 9E8B00 to 9E8B3F"), std::string::npos) << run.output;
}

TEST_F(Checks, ScriptsTakeAndMoveAddressesUnderTheStationsRules)
{
    // The JSON line (stderr may hold the error text too).
    auto json = [](const StationResult& aRun) {
        const size_t at = aRun.output.find('{');
        return nlohmann::json::parse(at == std::string::npos ? "null" : aRun.output.substr(at, aRun.output.find('\n', at) - at));
    };
    const std::vector<std::string> take = {"addresses", "take", "--db", db, "--serial", "PY-1", "--nap", "0x5B", "--uap", "2"};
    StationResult run = Station(take);
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string a = json(run)["address"];
    EXPECT_EQ(json(run)["state"], "reserved");
    EXPECT_EQ(json(run)["new"], true);
    // One serial, one address: taking again gives the same one.
    run = Station(take);
    EXPECT_EQ(json(run)["address"], a);
    EXPECT_EQ(json(run)["new"], false);

    auto mark = [&](const std::string& aState, const std::vector<std::string>& aExtra = {}) {
        std::vector<std::string> args = {"addresses", "mark", "--db", db, "--address", a, "--state", aState};
        args.insert(args.end(), aExtra.begin(), aExtra.end());
        return Station(args);
    };
    run = mark("committed");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(json(run)["error"], "the address " + a + " cannot become committed from its state");
    run = mark("written", {"--serial", "PY-2"});
    EXPECT_EQ(json(run)["error"], a + " belongs to serial PY-1, not to serial PY-2");
    EXPECT_EQ(mark("scrapped").status, 2);  // needs a reason
    for (const char* state : {"written", "verified", "committed"}) {
        run = mark(state, {"--serial", "PY-1"});
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(json(run)["state"], state);
    }
    run = Station({"addresses", "show", "--db", db, "--serial", "PY-1"});
    EXPECT_EQ(json(run)["address"], a);
    EXPECT_EQ(json(run)["state"], "committed");
    run = Station({"addresses", "show", "--db", db, "--serial", "PY-9"});
    EXPECT_TRUE(json(run)["address"].is_null());
    // An address of another NAP:UAP than the store has: refused.
    ASSERT_EQ(Station({"addresses", "take", "--db", db, "--serial", "PY-2", "--nap", "0x5C", "--uap", "2"}).status, 2);
}
