// The address store, on SQLite and on a private PostgreSQL server: ranges,
// the reserved LAPs, used-up ranges, the state machine, and concurrent
// processes that never get the same address.
#include "store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace stationtest;
using station::Address;
using station::ReserveResult;

namespace {

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (GetParam() == "sqlite") {
            mUrl = mDir / "store.db";
        } else {
            // No server is a failure, not a skip: CI must run these.
            ASSERT_TRUE(Postgres().ok()) << Postgres().error();
            mUrl = Postgres().NewDatabase();
            ASSERT_FALSE(mUrl.empty());
        }
        std::string error;
        mStore = station::OpenStore(mUrl, station::StoreMode::Create, error);
        ASSERT_TRUE(mStore) << error;
    }

    Address Take(ReserveResult aExpected = ReserveResult::Ok)
    {
        Address a;
        std::string error;
        EXPECT_EQ(mStore->Reserve(0x005B, 0x02, {"run", "test", 1}, a, error), aExpected) << error;
        return a;
    }

    TempDir mDir;
    std::string mUrl;
    std::unique_ptr<station::Store> mStore;
};

}  // namespace

TEST_P(StoreTest, ReservedLapsAreSkippedAndAUsedUpRangeNeverWraps)
{
    std::string error;
    ASSERT_TRUE(mStore->AddRange(0x005B, 0x02, 0x9E8AFE, 0x9E8B41, error)) << error;
    std::vector<std::string> taken;
    for (int i = 0; i < 4; ++i) taken.push_back(Take().Text());
    EXPECT_EQ(taken, (std::vector<std::string>{"005B:02:9E8AFE", "005B:02:9E8AFF", "005B:02:9E8B40", "005B:02:9E8B41"}));
    Address none;
    EXPECT_EQ(mStore->Reserve(0x005B, 0x02, {"run", "test", 1}, none, error), ReserveResult::UsedUp);
    EXPECT_EQ(error, "the address ranges of 005B:02 are used up");
    // Another NAP:UAP has no range at all, and the store says so.
    EXPECT_EQ(mStore->Reserve(0x005C, 0x02, {"run", "test", 1}, none, error), ReserveResult::NoRange);
    EXPECT_EQ(error, "the store has no address range of 005C:02 (station addresses add gives it one)");

    // A second range continues; a range inside the reserved LAPs gives nothing.
    ASSERT_TRUE(mStore->AddRange(0x005B, 0x02, 0x9E8B00, 0x9E8B3F, error) == false);  // overlaps the first
    EXPECT_NE(error.find("overlaps range"), std::string::npos) << error;
    ASSERT_TRUE(mStore->AddRange(0x005B, 0x02, 0x000010, 0x000010, error)) << error;
    EXPECT_EQ(Take().Text(), "005B:02:000010");
    Take(ReserveResult::UsedUp);

    EXPECT_FALSE(mStore->AddRange(0x005B, 0x02, 0x20, 0x10, error));
    EXPECT_FALSE(mStore->AddRange(0x005B, 0x02, 0x20, 0x1000000, error));

    std::vector<station::RangeInfo> ranges;
    ASSERT_TRUE(mStore->ListRanges(ranges, error)) << error;
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_GT(ranges[0].next, ranges[0].last);
    EXPECT_EQ(ranges[0].taken, 4);
}

TEST_P(StoreTest, AddressesMoveForwardOnlyAndAScrappedOneIsNeverGivenAgain)
{
    std::string error;
    ASSERT_TRUE(mStore->AddRange(0x005B, 0x02, 1, 100, error)) << error;
    const Address a = Take();
    std::string state;
    ASSERT_TRUE(mStore->StateOf(a, state, error));
    EXPECT_EQ(state, "reserved");
    EXPECT_FALSE(mStore->SetState(a, "committed", "", error));  // not verified yet
    EXPECT_TRUE(mStore->SetState(a, "written", "", error)) << error;
    EXPECT_TRUE(mStore->SetState(a, "verified", "", error)) << error;
    EXPECT_TRUE(mStore->SetState(a, "committed", "", error)) << error;
    EXPECT_FALSE(mStore->SetState(a, "scrapped", "late", error));  // a committed address stays
    EXPECT_FALSE(mStore->SetState(a, "reserved", "", error));

    const Address b = Take();
    EXPECT_TRUE(mStore->SetState(b, "scrapped", "read-back failed", error)) << error;
    EXPECT_FALSE(mStore->SetState(b, "written", "", error));
    const Address c = Take();
    EXPECT_EQ(c.lap, b.lap + 1);
    ASSERT_TRUE(mStore->StateOf(Address{0x005B, 0x02, 99}, state, error));
    EXPECT_EQ(state, "");
    ASSERT_TRUE(mStore->StateOf(b, state, error));
    EXPECT_EQ(state, "scrapped");
    EXPECT_TRUE(mStore->MakeDurable(c, error)) << error;
    EXPECT_FALSE(mStore->MakeDurable(Address{0x005B, 0x02, 98}, error));
}

TEST_P(StoreTest, ASerialGetsOneAddressAndItsHistorySaysWhoTookIt)
{
    std::string error;
    ASSERT_TRUE(mStore->AddRange(0x005B, 0x02, 1, 100, error)) << error;
    Address a, b;
    ASSERT_EQ(mStore->Reserve(0x005B, 0x02, {"run-1", "st1", 3}, "SN-1", a, error), ReserveResult::Ok) << error;
    EXPECT_EQ(mStore->Reserve(0x005B, 0x02, {"run-2", "st2", 1}, "SN-1", b, error), ReserveResult::Failed);
    EXPECT_EQ(error, "the serial SN-1 has an address already (taken at the same time elsewhere)");
    // The refused one took nothing: the range goes on where it was.
    ASSERT_EQ(mStore->Reserve(0x005B, 0x02, {"run-2", "st2", 1}, "SN-2", b, error), ReserveResult::Ok) << error;
    EXPECT_EQ(b.lap, a.lap + 1);
    station::AddressInfo info;
    bool found = false;
    ASSERT_TRUE(mStore->AddressOfSerial("SN-1", info, found, error)) << error;
    ASSERT_TRUE(found);
    EXPECT_EQ(info.address.Text(), a.Text());
    EXPECT_EQ(info.state, "reserved");
    EXPECT_EQ(info.owner.station, "st1");
    EXPECT_EQ(info.owner.slot, 3);
    std::vector<station::HistoryEntry> history;
    ASSERT_TRUE(mStore->History(a.Text(), "", history, error)) << error;
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].event, "reserved");
    EXPECT_EQ(history[0].serial, "SN-1");
    EXPECT_EQ(history[0].owner.runId, "run-1");
    EXPECT_EQ(mStore->Reserve(0x005B, 0x03, {"run-3", "st1", 1}, b, error), ReserveResult::NoRange);
    EXPECT_EQ(error, station::NoRangeText(0x005B, 0x03));
}

TEST_P(StoreTest, ConcurrentProcessesNeverShareAnAddress)
{
    std::string error;
    ASSERT_TRUE(mStore->AddRange(0x005B, 0x02, 0x9E8A00, 0x9E8BFF, error)) << error;
    constexpr int kProcesses = 4, kEach = 40;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::string e;
            auto store = station::OpenStore(mUrl, station::StoreMode::Create, e);
            for (int i = 0; store && i < kEach; ++i) {
                Address a;
                // Half of them as before a device write: synced after the
                // write lock is given up.
                const station::Owner owner{"run", "p" + std::to_string(p), 1};
                if ((p % 2 == 0 ? store->Reserve(0x005B, 0x02, owner, a, e)
                                : store->ReserveDurable(0x005B, 0x02, owner, "", a, e)) != ReserveResult::Ok)
                    _exit(1);
            }
            _exit(store ? 0 : 2);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) EXPECT_EQ(Wait(pid), 0);
    std::vector<std::pair<int64_t, std::string>> all;
    ASSERT_TRUE(mStore->Addresses(all, error)) << error;
    std::set<int64_t> distinct;
    for (const auto& [packed, state] : all) {
        distinct.insert(packed);
        const Address a = Address::FromPacked(packed);
        EXPECT_FALSE(station::IsReservedLap(a.lap)) << a.Text();
        EXPECT_GE(a.lap, 0x9E8A00u);
        EXPECT_LE(a.lap, 0x9E8BFFu);
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kProcesses * kEach));
    EXPECT_EQ(distinct.size(), all.size());
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& aInfo) { return aInfo.param; });

TEST(Store, UnreachableStoresFailWithATextBeforeAnythingElse)
{
    std::string error;
    EXPECT_FALSE(station::OpenStore("/nonexistent-folder/x/store.db", station::StoreMode::Create, error));
    EXPECT_NE(error.find("cannot open the store"), std::string::npos) << error;
    EXPECT_FALSE(station::OpenStore("postgresql://nobody@/none?host=/nonexistent-folder&port=5999", station::StoreMode::Create, error));
    EXPECT_NE(error.find("cannot connect to the store"), std::string::npos) << error;
}

TEST(Address, TextWordsAndPackingAgree)
{
    const Address a{0x005B, 0x02, 0x9E8B40};
    EXPECT_EQ(a.Text(), "005B:02:9E8B40");
    uint16_t words[4];
    a.ToWords(words);
    EXPECT_EQ(words[0], 0x009E);
    EXPECT_EQ(words[1], 0x8B40);
    EXPECT_EQ(Address::FromWords(words), a);
    EXPECT_EQ(Address::FromPacked(a.Packed()), a);
    EXPECT_EQ(station::ParseAddress("005b:02:9e8b40"), a);
    EXPECT_FALSE(station::ParseAddress("005B:02:9E8B4"));
    EXPECT_FALSE(station::ParseAddress("005B-02:9E8B40"));
}
