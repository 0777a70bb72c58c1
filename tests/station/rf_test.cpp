// The station measures the radio with the bench's RF tester: crystal
// calibration against a full sweep of the same chips, limits in real units
// that fail exactly the chips outside them, and a tester that fails being
// the station's fault (ERROR), never the DUT's, with nothing taken.
#include "instruments/scpi_client.h"
#include "nivoratest.h"
#include "store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

using namespace stationtest;

namespace {

const std::string kPlan = std::string(STATION_SOURCE_DIR) + "/plans/sim.toml";

class Rf : public ::testing::Test {
protected:
    void SetUp() override
    {
        db = dir / "station.db";
        ASSERT_EQ(Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "1", "--last", "0xFFFF"})
                      .status,
                  0);
    }
    // Slot aSlot's DUT cabled to tester port aSlot, with extra sim options.
    std::tuple<std::string, std::string, int> Slot(int aSlot, const std::string& aTester, const std::string& aExtra) const
    {
        const std::string name = "dut" + std::to_string(aSlot);
        return {Dut(dir, name, "uartlink=" + (dir / (name + ".uart")) + ",rf=" + aTester + "/" + std::to_string(aSlot) +
                                   (aExtra.empty() ? "" : "," + aExtra)),
                dir / (name + ".uart"), aSlot};
    }
    StationResult Run(const std::string& aFixture, const std::vector<std::string>& aSerials, const std::string& aPlan = kPlan)
    {
        std::vector<std::string> args = {"--plan", aPlan, "--fixture", aFixture, "--db", db, "--results", dir / "results"};
        for (const std::string& s : aSerials) args.insert(args.end(), {"--serial", s});
        return Station(args);
    }
    // What the store gave out.
    size_t Addresses() const
    {
        std::string error;
        auto store = station::OpenStore(db, station::StoreMode::Existing, error);
        std::vector<std::pair<int64_t, std::string>> all;
        EXPECT_TRUE(store && store->Addresses(all, error)) << error;
        return all.size();
    }
    static const station::Measurement* Find(const station::Record& aRecord, const std::string& aStep, const std::string& aName)
    {
        for (const auto& s : aRecord.steps)
            if (s.name == aStep)
                for (const auto& m : s.measurements)
                    if (m.name == aName) return &m;
        return nullptr;
    }

    TempDir dir;
    std::string db;
};

// The CRYSTAL_TRIM a DUT's NVM holds.
int StoredTrim(const std::string& aNvm)
{
    NvtHandle h = nullptr;
    int trim = -1;
    const std::string transport = "sim:nvm=" + aNvm;
    if (nvtOpen(transport.c_str(), (BinDir() + "/cskey_db.xml").c_str(), &h) >= 0 &&
        nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0) >= 0) {
        uint16_t value = 0, length = 1;
        if (nvtCsCacheReadItem(h, "CRYSTAL_TRIM", &value, &length) >= 0) trim = value;
    }
    if (h != nullptr) nvtClose(h);
    return trim;
}

}  // namespace

TEST_F(Rf, CalibrationFindsTheTrimAFullSweepFindsWithFewMeasurements)
{
    TesterProcess tester({"--ports", "4"});
    ASSERT_TRUE(tester.ok());
    constexpr int kChips = 100, kSlots = 4;
    // Calibration, the CS write and its read-back only.
    const std::string plan = dir / "cal.toml";
    WriteText(plan, "firmware = \"" + BinDir() + "/sim_ptest.xbv\"\nblank_image = \"" + BinDir() + "/sim_blank.xuv\"\n"
                    "cs_version = 13\n[address]\nnap = 0x5B\nuap = 2\n"
                    "[[step]]\ntype = \"cs_read\"\n[[step]]\ntype = \"firmware_load\"\ncs_keys = true\n"
                    "[[step]]\ntype = \"xtal_cal\"\nlimits.offset = { low = -30, high = 30 }\n"
                    "[[step]]\ntype = \"cs_write\"\n[[step]]\ntype = \"read_back\"\n");
    std::map<int, int> counts;  // seed -> measurements used
    for (int first = 1; first <= kChips; first += kSlots) {
        std::vector<std::tuple<std::string, std::string, int>> slots;
        std::vector<std::string> serials;
        for (int s = 0; s < kSlots; ++s) {
            const int seed = first + s;
            slots.push_back({Dut(dir, "chip" + std::to_string(seed), "rf=" + tester.Address() + "/" + std::to_string(s + 1) +
                                                                         ",rfseed=" + std::to_string(seed)),
                             "", s + 1});
            serials.push_back("CAL-" + std::to_string(seed));
        }
        const StationResult run = Run(WriteFixture(dir, "calibration", tester.Address(), slots), serials, plan);
        ASSERT_EQ(run.status, 0) << run.output;
    }
    for (const station::Record& r : ReadJsonl(dir / "results/records.jsonl"))
        counts[std::stoi(r.serial.substr(4))] = static_cast<int>(Find(r, "xtal_cal", "count")->value);

    // The full sweep of each chip: all 64 trims through the tester.
    station::ScpiClient scpi;
    std::string error;
    ASSERT_TRUE(scpi.Connect(tester.Address(), std::chrono::seconds(5), error)) << error;
    ASSERT_TRUE(scpi.Send("ROUT:PORT 4;CONF:CHAN 19", error)) << error;
    int total = 0, most = 0;
    for (int seed = 1; seed <= kChips; ++seed) {
        NvtHandle h = nullptr;
        const std::string transport = "sim:rf=" + tester.Address() + "/4,rfseed=" + std::to_string(seed);
        ASSERT_GE(nvtOpen(transport.c_str(), (BinDir() + "/cskey_db.xml").c_str(), &h), 0);
        ASSERT_GE(nvtLoadPtFirmware(h, (BinDir() + "/sim_ptest.xbv").c_str(), 0), 0) << nvtGetLastError(h);
        ASSERT_GE(nvtRadCwStart(h, 19, 0), 0);
        std::vector<double> offsets;
        for (uint16_t t = 0; t < 64; ++t) {
            ASSERT_GE(nvtRadSetXtalTrim(h, t), 0);
            double hz = 0;
            ASSERT_TRUE(scpi.QueryNumber("READ:FREQ:OFFS?", hz, error)) << error;
            offsets.push_back(hz);
        }
        nvtClose(h);
        int best = 0;
        for (int t = 1; t < 64; ++t)
            if (std::fabs(offsets[t]) < std::fabs(offsets[best])) best = t;
        const int stored = StoredTrim(dir / ("chip" + std::to_string(seed)));
        // A tie within the tester's noise (100 Hz) may go either way.
        ASSERT_GE(stored, 0) << "seed " << seed;
        EXPECT_LE(std::fabs(offsets[stored]) - std::fabs(offsets[best]), 500.0)
            << "seed " << seed << ": stored trim " << stored << ", sweep's best " << best;
        // What is left is within half the local step.
        const int other = offsets[stored] > 0 ? std::min(stored + 1, 63) : std::max(stored - 1, 0);
        EXPECT_LE(std::fabs(offsets[stored]), std::fabs(offsets[stored] - offsets[other]) / 2 + 500.0) << "seed " << seed;
        total += counts[seed];
        most = std::max(most, counts[seed]);
    }
    RecordProperty("measurements_per_chip", std::to_string(total / double(kChips)));
    RecordProperty("measurements_most", most);
    EXPECT_LE(total, 8 * kChips) << "measurements per chip on average: " << total / double(kChips);
    EXPECT_LE(most, 10);
}

TEST_F(Rf, ExactlyTheChipsOutsideALimitFailAtTheirStepWithValueAndLimit)
{
    TesterProcess tester({"--ports", "12"});
    ASSERT_TRUE(tester.ok());
    // Each chip pinned just outside or just inside one limit of the plan.
    const struct {
        const char* pin;
        const char* failsAt;  // "" when it passes
        const char* text;
    } chips[] = {
        {"tx_dbm=10.5", "tx_power", "power 10."},       {"tx_dbm=9.5", "", ""},
        {"tx_dbm=-20.5", "tx_power", "power -20."},     {"tx_dbm=-19.5", "", ""},
        {"drift_khz=50.8", "tx_freq", "drift 5"},       {"drift_khz=49.2", "", ""},
        {"drift_khz=-50.8", "tx_freq", "drift -5"},     {"sens_dbm=-69", "rx_per", "per "},
        {"sens_dbm=-71", "", ""},                       {"xtal_ppm=60", "xtal_cal", "offset "},
        {"xtal_ppm=38", "", ""},                        {"xtal_ppm=-40", "", ""},
    };
    std::vector<std::tuple<std::string, std::string, int>> slots;
    std::vector<std::string> serials;
    int n = 0;
    for (const auto& c : chips) {
        ++n;
        slots.push_back(Slot(n, tester.Address(), std::string(c.pin) + ",rfseed=" + std::to_string(n)));
        serials.push_back("P-" + std::to_string(n));
    }
    const StationResult run = Run(WriteFixture(dir, "pinned", tester.Address(), slots), serials);
    EXPECT_EQ(run.status, 1) << run.output;
    const auto records = ReadJsonl(dir / "results/records.jsonl");
    ASSERT_EQ(records.size(), std::size(chips));
    for (size_t i = 0; i < records.size(); ++i) {
        const station::Record& r = records[i];
        if (*chips[i].failsAt == '\0') {
            EXPECT_EQ(r.outcome, station::Outcome::Pass) << chips[i].pin << ": " << r.text;
            continue;
        }
        EXPECT_EQ(r.outcome, station::Outcome::Fail) << chips[i].pin << ": " << r.text;
        EXPECT_EQ(r.steps.back().name, chips[i].failsAt) << chips[i].pin;
        EXPECT_EQ(r.text.rfind(std::string(chips[i].failsAt) + ": " + chips[i].text, 0), 0u) << chips[i].pin << ": " << r.text;
        EXPECT_NE(r.text.find(" is outside "), std::string::npos) << r.text;
        EXPECT_EQ(r.address, "") << "a failed chip took an address";
    }
    // Values are numbers with their units and limits in the record.
    const station::Measurement* power = Find(records[1], "tx_power", "power");
    ASSERT_NE(power, nullptr);
    EXPECT_NEAR(power->value, 9.5, 0.5);
    EXPECT_EQ(power->unit, "dBm");
    EXPECT_EQ(power->high, 10.0);
    EXPECT_TRUE(power->marginal);  // above the marginal band's 8 dBm
    const std::string json = ReadText(dir / "results/records.jsonl");
    EXPECT_NE(json.find("\"name\":\"power\",\"outcome\":\"PASS\",\"unit\":\"dBm\",\"value\":9."), std::string::npos);
}

TEST_F(Rf, ATesterThatFailsIsTheStationsFaultAndTakesNothing)
{
    const struct {
        std::vector<std::string> testerArgs;
        const char* step;
        const char* text;
    } faults[] = {
        {{"--idn", "Other Instruments,X1,0,1"}, "xtal_cal", "is \"Other Instruments,X1,0,1\", not the tester the fixture names"},
        {{"--drop-on", "INIT:GEN"}, "rx_per", "dropped the connection"},
        {{"--fail-on", "READ:POW?"}, "tx_power", "reports an error: -200,\"Execution error"},
    };
    int n = 0;
    for (const auto& f : faults) {
        TesterProcess tester(f.testerArgs);
        ASSERT_TRUE(tester.ok());
        const std::string nvm = "dut" + std::to_string(++n);
        const std::string fixture = WriteFixture(dir, "f", tester.Address(),
                                                 {{Dut(dir, nvm, "uartlink=" + (dir / "u") + ",rf=" + tester.Address() + "/1"),
                                                   dir / "u", 1}});
        const StationResult run = Run(fixture, {"F-" + std::to_string(n)});
        EXPECT_EQ(run.status, 2) << run.output;
        const station::Record r = ReadJsonl(dir / "results/records.jsonl").back();
        EXPECT_EQ(r.outcome, station::Outcome::Error) << r.text;
        EXPECT_EQ(r.steps.back().name, f.step) << r.text;
        EXPECT_NE(r.text.find(f.text), std::string::npos) << r.text;
        EXPECT_EQ(r.address, "");
        const std::string eeprom = ReadText(dir / (nvm + "/eeprom.bin"));
        EXPECT_EQ(eeprom.find_first_not_of('\xff'), std::string::npos) << "the blank DUT was written";
    }
    // No tester at all: the fixture names an address nobody listens on.
    std::string address;
    {
        TesterProcess gone;
        address = gone.Address();
    }
    const std::string fixture = WriteFixture(dir, "f", address, {{Dut(dir, "dut9", "uartlink=" + (dir / "u")), dir / "u", 1}});
    const StationResult run = Run(fixture, {"F-9"});
    EXPECT_EQ(run.status, 2) << run.output;
    const station::Record r = ReadJsonl(dir / "results/records.jsonl").back();
    EXPECT_EQ(r.outcome, station::Outcome::Error);
    EXPECT_NE(r.text.find("cannot reach the tester at " + address), std::string::npos) << r.text;
    EXPECT_EQ(Addresses(), 0u);
}

TEST_F(Rf, ThePlanAndTheFixtureMustAgreeBeforeAnyDut)
{
    // An RF plan on --dut transports: no tester.
    StationResult run = Station({"--plan", kPlan, "--db", db, "--dut", Dut(dir, "dut1"), "--no-serial"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("measures through an RF tester, but no fixture names one (--fixture)"), std::string::npos)
        << run.output;
    // Two slots on one RF port, and a carrier whose channel and frequency differ.
    WriteText(dir / "two.toml", "[tester]\naddress = \"127.0.0.1:1\"\n[[slot]]\ntransport = \"sim:name=a\"\nrf_port = 1\n"
                                "[[slot]]\ntransport = \"sim:name=b\"\nrf_port = 1\n");
    run = Station({"--plan", kPlan, "--db", db, "--fixture", dir / "two.toml", "--no-serial"});
    EXPECT_NE(run.output.find("slot 2 has the RF port 1 of another slot"), std::string::npos) << run.output;
    const std::string plan = WritePlan(dir, "carrier", {{"frequency_mhz = 2440", "frequency_mhz = 2450"}});
    run = Station({"--plan", plan, "--db", db, "--no-serial"});
    EXPECT_NE(run.output.find("channel 19 is 2440 MHz, not 2450 MHz"), std::string::npos) << run.output;
    const std::string trim = WritePlan(dir, "trim", {{"type = \"xtal_trim\"\nvalue = 34", "type = \"xtal_trim\"\nvalue = 200"}});
    run = Station({"--plan", trim, "--db", db, "--no-serial"});
    EXPECT_NE(run.output.find("trim 200 is outside CRYSTAL_TRIM's 0 to 127 (CS version 13)"), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "dut1"));
}
