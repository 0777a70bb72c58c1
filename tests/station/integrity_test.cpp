// The station does not believe a device: corrupt images, clones, devices
// that look blank but are not, and writes that were cut off never give two
// devices one address or a unit a second one, and a FAIL leaves the device
// as it was. Through the simulated chip's NVM files.
#include "keydb.h"
#include "nivoratest.h"
#include "store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/wait.h>
#include <thread>

using namespace stationtest;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const std::string& aPath)
{
    const std::string text = ReadText(aPath);
    return Bytes(text.begin(), text.end());
}

void WriteBytes(const std::string& aPath, const Bytes& aBytes)
{
    std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(aBytes.data()), static_cast<std::streamsize>(aBytes.size()));
}

uint16_t WordAt(const Bytes& aBytes, size_t aWord)
{
    return static_cast<uint16_t>(aBytes.at(2 * aWord) | aBytes.at(2 * aWord + 1) << 8);
}

// "" when the two images are equal, else where they first differ.
std::string Difference(const Bytes& aA, const Bytes& aB)
{
    if (aA == aB) return "";
    size_t i = 0;
    while (i < aA.size() && i < aB.size() && aA[i] == aB[i]) ++i;
    return "they differ from byte " + std::to_string(i) + " (sizes " + std::to_string(aA.size()) + ", " +
           std::to_string(aB.size()) + ")";
}

void FlipBit(Bytes& aBytes, size_t aWord, int aBit)
{
    aBytes.at(2 * aWord + (aBit >= 8 ? 1 : 0)) ^= static_cast<uint8_t>(1u << (aBit % 8));
}

// Word index of the CS block and its length in words, from the image header.
std::pair<size_t, size_t> CsBlock(const Bytes& aImage)
{
    return {WordAt(aImage, 3) / 2u, WordAt(aImage, 5) / 2u};
}

uint32_t KeyOffset(const std::string& aName)
{
    station::KeyDatabase db;
    std::string error;
    EXPECT_TRUE(station::LoadKeyDatabase(BinDir() + "/cskey_db.xml", db, error)) << error;
    const station::KeyInfo* key = db.Find(13, aName);
    EXPECT_NE(key, nullptr) << aName;
    return key != nullptr ? key->offset : 0;
}

class StationIntegrity : public ::testing::Test {
protected:
    void SetUp() override
    {
        db = dir / "station.db";
        ASSERT_EQ(Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0x100", "--last",
                           "0x1FF"})
                      .status,
                  0);
        // Without the UART loopback: these tests are about the CS and the
        // store, and run many stations on a busy machine.
        plan = WritePlan(dir, "plan", {{kUartStep, ""}});
    }

    static constexpr const char* kUartStep = "[[step]]\ntype = \"uart\"\nport = \"{bin}/../dut{slot}.uart\"\nbaud = 115200\n";

    std::string Eeprom(const std::string& aDut) const { return dir / (aDut + "/eeprom.bin"); }
    std::string DutArg(const std::string& aName, int aSlot, const std::string& aExtra = "") const
    {
        return Dut(dir, aName, "uartlink=" + (dir / ("plan-uart" + std::to_string(aSlot))) + (aExtra.empty() ? "" : "," + aExtra));
    }
    // A run of DUTs as (transport, serial) pairs; no serials: --no-serial.
    std::vector<std::string> Args(const std::vector<std::pair<std::string, std::string>>& aDuts,
                                  const std::vector<std::string>& aExtra = {}, const std::string& aPlan = "") const
    {
        std::vector<std::string> args = {"--plan", aPlan.empty() ? plan : aPlan, "--db", db, "--results", dir / "results"};
        bool serials = false;
        for (const auto& [transport, serial] : aDuts) {
            args.insert(args.end(), {"--dut", transport});
            if (!serial.empty()) {
                args.insert(args.end(), {"--serial", serial});
                serials = true;
            }
        }
        if (!serials) args.push_back("--no-serial");
        args.insert(args.end(), aExtra.begin(), aExtra.end());
        return args;
    }
    std::vector<station::Record> Records() const { return ReadJsonl(dir / "results/records.jsonl"); }
    std::unique_ptr<station::Store> Store() const
    {
        std::string error;
        auto store = station::OpenStore(db, station::StoreMode::Existing, error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    // The address a serial has in the store ("" for none), and how many
    // addresses the store ever gave out.
    std::string AddressOf(const std::string& aSerial, std::string* aState = nullptr) const
    {
        station::AddressInfo info;
        bool found = false;
        std::string error;
        EXPECT_TRUE(Store()->AddressOfSerial(aSerial, info, found, error)) << error;
        if (aState != nullptr) *aState = found ? info.state : "";
        return found ? info.address.Text() : "";
    }
    size_t AddressesGiven() const
    {
        std::vector<std::pair<int64_t, std::string>> all;
        std::string error;
        EXPECT_TRUE(Store()->Addresses(all, error)) << error;
        return all.size();
    }

    TempDir dir;
    std::string db;
    std::string plan;
};

}  // namespace

TEST_F(StationIntegrity, OneFlippedBitInTheAddressNeverGivesTwoDevicesOneAddress)
{
    ASSERT_EQ(Station(Args({{DutArg("dut1", 1), "SN-1"}, {DutArg("dut2", 2), "SN-2"}})).status, 0);
    const std::string a1 = DeviceAddress(dir / "dut1"), a2 = DeviceAddress(dir / "dut2");
    ASSERT_NE(a1, a2);
    // The two LAPs differ in their lowest bit: one flip in DUT1's address
    // words makes it read DUT2's address.
    Bytes image = ReadBytes(Eeprom("dut1"));
    const auto [cs, length] = CsBlock(image);
    FlipBit(image, cs + KeyOffset("BLUETOOTH_ADDRESS") + 1, 0);
    WriteBytes(Eeprom("dut1"), image);

    for (const bool serials : {true, false}) {
        const StationResult run = Station(Args({{DutArg("dut1", 1), serials ? "SN-1" : ""}}));
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(Records().back().outcome, station::Outcome::Fail) << Records().back().text;
        EXPECT_EQ(Difference(ReadBytes(Eeprom("dut1")), image), "") << "a FAIL leaves the device as it is";
    }
    EXPECT_EQ(AddressOf("SN-1"), a1);
    EXPECT_EQ(AddressOf("SN-2"), a2);
    EXPECT_EQ(AddressesGiven(), 2u);
}

TEST_F(StationIntegrity, SeededBitFlipsInTheCsBlockNeverPassWithAnotherImageNorCostASecondAddress)
{
    constexpr int kDuts = 4, kRounds = 25;  // 100 flips
    std::vector<std::pair<std::string, std::string>> duts;
    for (int d = 1; d <= kDuts; ++d) duts.push_back({DutArg("dut" + std::to_string(d), d), "SN-" + std::to_string(d)});
    ASSERT_EQ(Station(Args(duts)).status, 0);
    std::vector<Bytes> committed;
    std::vector<std::string> addresses;
    for (int d = 1; d <= kDuts; ++d) {
        committed.push_back(ReadBytes(Eeprom("dut" + std::to_string(d))));
        addresses.push_back(DeviceAddress(dir / ("dut" + std::to_string(d))));
    }
    std::mt19937 random(20261210);
    int passed = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<Bytes> flipped;
        for (int d = 0; d < kDuts; ++d) {
            Bytes image = committed[static_cast<size_t>(d)];
            const auto [cs, length] = CsBlock(image);
            FlipBit(image, cs + random() % length, static_cast<int>(random() % 16));
            WriteBytes(Eeprom("dut" + std::to_string(d + 1)), image);
            flipped.push_back(image);
        }
        Station(Args(duts));
        const auto records = Records();
        for (int d = 0; d < kDuts; ++d) {
            const station::Record& r = records[records.size() - kDuts + static_cast<size_t>(d)];
            const Bytes now = ReadBytes(Eeprom("dut" + std::to_string(d + 1)));
            if (r.outcome == station::Outcome::Pass) {
                ++passed;
                EXPECT_EQ(Difference(now, committed[static_cast<size_t>(d)]), "") << "round " << round << ": a PASS with another image";
            } else {
                EXPECT_EQ(Difference(now, flipped[static_cast<size_t>(d)]), "") << "round " << round << ": a FAIL changed the device";
            }
            WriteBytes(Eeprom("dut" + std::to_string(d + 1)), committed[static_cast<size_t>(d)]);
        }
    }
    for (int d = 0; d < kDuts; ++d) EXPECT_EQ(AddressOf("SN-" + std::to_string(d + 1)), addresses[static_cast<size_t>(d)]);
    EXPECT_EQ(AddressesGiven(), static_cast<size_t>(kDuts)) << passed << " flips passed";
}

TEST_F(StationIntegrity, AClonedDeviceFailsWithBothSerialsNamedAndTheStoreKeepsIt)
{
    ASSERT_EQ(Station(Args({{DutArg("dut1", 1), "SN-1"}})).status, 0);
    const std::string a1 = DeviceAddress(dir / "dut1");
    std::filesystem::create_directories(dir / "dut2");
    std::filesystem::copy_file(Eeprom("dut1"), Eeprom("dut2"));
    const Bytes clone = ReadBytes(Eeprom("dut2"));

    const StationResult run = Station(Args({{DutArg("dut2", 1), "SN-2"}}));
    EXPECT_EQ(run.status, 1) << run.output;
    const station::Record r = Records().back();
    EXPECT_EQ(r.outcome, station::Outcome::Fail);
    EXPECT_EQ(r.text, "cs_write: the device holds " + a1 +
                          ", which belongs to serial SN-1, not to serial SN-2; the device is left as it is");
    EXPECT_EQ(Difference(ReadBytes(Eeprom("dut2")), clone), "");
    EXPECT_EQ(AddressOf("SN-2"), "");
    std::vector<station::HistoryEntry> history;
    std::string error;
    ASSERT_TRUE(Store()->History("", "SN-2", history, error)) << error;
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].event, "conflict");
    EXPECT_EQ(history[0].address, a1);

    // Without serials, the clone's CS is the committed one, so only a serial
    // can tell the two apart: the address belongs to SN-1 and is refused.
    const StationResult bench = Station(Args({{DutArg("dut2", 1), ""}}));
    EXPECT_EQ(bench.status, 1) << bench.output;
    EXPECT_NE(Records().back().text.find("belongs to serial SN-1 (test it with --serial SN-1)"), std::string::npos)
        << Records().back().text;
}

TEST_F(StationIntegrity, WithoutSerialsARetestKeepsTheAddressOnlyWhenTheCsIsTheCommittedOne)
{
    ASSERT_EQ(Station(Args({{DutArg("dut1", 1), ""}})).status, 0);
    const std::string a1 = DeviceAddress(dir / "dut1");
    ASSERT_EQ(Station(Args({{DutArg("dut1", 1), ""}})).status, 0);
    EXPECT_EQ(Records().back().addressSource, station::AddressSource::Retest);

    // Another key than the plan writes, changed and sealed with good CRCs
    // (as a device programmed elsewhere would be): the CS differs from the
    // committed one.
    NvtHandle h = nullptr;
    const std::string transport = "sim:nvm=" + (dir / "dut1");
    ASSERT_GE(nvtOpen(transport.c_str(), (BinDir() + "/cskey_db.xml").c_str(), &h), 0);
    ASSERT_GE(nvtCsCacheReadFromChip(h, NVT_NVM_EEPROM, 0), 0);
    uint16_t value = 7, length = 1;
    ASSERT_GE(nvtCsCacheWriteItem(h, "TX_POWER_MAX", &value, &length), 0) << nvtGetLastError(h);
    ASSERT_GE(nvtCsCacheWriteToChip(h, NVT_NVM_EEPROM, 1), 0) << nvtGetLastError(h);
    nvtClose(h);
    const Bytes changed = ReadBytes(Eeprom("dut1"));

    const StationResult run = Station(Args({{DutArg("dut1", 1), ""}}));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(Records().back().text,
              "cs_write: the device holds " + a1 + ", but its CS differs from the one committed with it; the device is left as it is");
    EXPECT_EQ(Difference(ReadBytes(Eeprom("dut1")), changed), "");
}

TEST_F(StationIntegrity, AProgrammedDeviceWithItsFirstWordsErasedIsNotBlankAndARepairKeepsItsAddress)
{
    ASSERT_EQ(Station(Args({{DutArg("dut1", 1), "SN-1"}})).status, 0);
    const std::string a1 = DeviceAddress(dir / "dut1");
    Bytes image = ReadBytes(Eeprom("dut1"));
    for (size_t i = 0; i < 6; ++i) image[i] = 0xFF;
    WriteBytes(Eeprom("dut1"), image);

    StationResult run = Station(Args({{DutArg("dut1", 1), "SN-1"}}));
    EXPECT_EQ(run.status, 1) << run.output;
    const station::Record r = Records().back();
    EXPECT_EQ(r.steps.back().name, "cs_read");
    EXPECT_EQ(r.text.find("The device is empty"), std::string::npos) << r.text;
    EXPECT_EQ(Difference(ReadBytes(Eeprom("dut1")), image), "");

    run = Station(Args({{DutArg("dut1", 1), "SN-1"}}, {"--repair"}));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(DeviceAddress(dir / "dut1"), a1);
    EXPECT_EQ(Records().back().addressSource, station::AddressSource::Retest);
    EXPECT_EQ(AddressesGiven(), 1u);
}

TEST_F(StationIntegrity, AFailedWriteIsTriedAgainAndAWriteThatNeverWorksKeepsTheAddressForTheRetest)
{
    // The first EEPROM write fails; the second attempt writes the image.
    StationResult run = Station(Args({{DutArg("dut1", 1, "e2fail=write:1"), "SN-1"}}));
    ASSERT_EQ(run.status, 0) << run.output;
    station::Record r = Records().back();
    EXPECT_NE(r.steps[r.steps.size() - 2].value.find("(written at attempt 2)"), std::string::npos) << r.steps[r.steps.size() - 2].value;
    const std::string a1 = DeviceAddress(dir / "dut1");

    // Every write fails: three attempts, then FAIL; the unit keeps its address.
    run = Station(Args({{DutArg("dut2", 2, "e2fail=write"), "SN-2"}}));
    EXPECT_EQ(run.status, 1) << run.output;
    r = Records().back();
    EXPECT_NE(r.text.find("(tried 3 times)"), std::string::npos) << r.text;
    std::string state;
    const std::string a2 = AddressOf("SN-2", &state);
    EXPECT_NE(r.text.find(a2 + " stays with serial SN-2"), std::string::npos) << r.text;
    EXPECT_EQ(state, "reserved");
    // The retest, with a working EEPROM, writes and commits the same address.
    run = Station(Args({{DutArg("dut2", 2), "SN-2"}}));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(DeviceAddress(dir / "dut2"), a2);
    EXPECT_EQ(AddressOf("SN-2", &state), a2);
    EXPECT_EQ(state, "committed");
    EXPECT_EQ(AddressesGiven(), 2u);
    EXPECT_NE(a1, a2);
}

TEST_F(StationIntegrity, AWriteCutOffByAKilledWorkerEndsWithTheSameAddressAndOneCommittedAddressForTheSerial)
{
    ASSERT_EQ(Station(Args({{DutArg("dut1", 1), "SN-1"}})).status, 0);
    const std::string a1 = DeviceAddress(dir / "dut1");
    const Bytes programmed = ReadBytes(Eeprom("dut1"));
    // A retest that writes other key values, slowly, killed as soon as the
    // device's bytes change.
    const std::string other = WritePlan(dir, "other", {{"PRODUCT_VERSION = 0x0102", "PRODUCT_VERSION = 0x0103"}, {kUartStep, ""}});
    const std::string output = dir / "out.txt";
    const std::string slow = Dut(dir, "dut1", "uartlink=" + (dir / "other-uart1") + ",latency=3000");
    const pid_t pid = StartStation(Args({{slow, "SN-1"}}, {}, other), output);
    const auto start = std::chrono::steady_clock::now();
    while (ReadBytes(Eeprom("dut1")) == programmed) {
        ASSERT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the run ended before it wrote:\n" << ReadText(output);
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120)) << ReadText(output);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::string children = ReadText("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    const pid_t worker = static_cast<pid_t>(std::atoi(children.c_str()));
    if (worker > 0) kill(worker, SIGKILL);
    EXPECT_NE(Wait(pid), 0) << ReadText(output);
    EXPECT_NE(Records().back().text.find("stays with serial SN-1"), std::string::npos) << Records().back().text;

    // The retest: as it is, or with --repair when the cut left the image unreadable.
    const std::string dut = Dut(dir, "dut1", "uartlink=" + (dir / "other-uart1"));
    StationResult run = Station(Args({{dut, "SN-1"}}, {}, other));
    if (run.status != 0) {
        EXPECT_EQ(Records().back().steps.back().name, "cs_read") << run.output;
        run = Station(Args({{dut, "SN-1"}}, {"--repair"}, other));
    }
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(DeviceAddress(dir / "dut1"), a1);
    std::string state;
    EXPECT_EQ(AddressOf("SN-1", &state), a1);
    EXPECT_EQ(state, "committed");
    EXPECT_EQ(AddressesGiven(), 1u);
}
