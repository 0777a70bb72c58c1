// Plans: the shipped plan loads, and every kind of plan error is reported
// with the line it is on.
#include "plan.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace stationtest;

namespace {

int LineOf(const std::string& aText, const std::string& aNeedle)
{
    const size_t at = aText.find(aNeedle);
    if (at == std::string::npos) return -1;
    return 1 + static_cast<int>(std::count(aText.begin(), aText.begin() + static_cast<long>(at), '\n'));
}

// Loads the shipped plan with one edit; returns the error text.
std::string PlanError(const std::string& aFrom, const std::string& aTo, int* aLine = nullptr)
{
    TempDir dir;
    const std::string path = WritePlan(dir, "plan", {{aFrom, aTo}});
    station::Plan plan;
    std::string error;
    if (station::LoadPlan(path, BinDir(), plan, error)) return "";
    if (aLine != nullptr) *aLine = LineOf(ReadText(path), aTo.substr(0, aTo.find('\n')));
    const std::string prefix = path + ":";
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    return error.substr(prefix.size());
}

}  // namespace

TEST(Plan, TheShippedPlanLoadsWithItsStepsKeysAndLimits)
{
    station::Plan plan;
    std::string error;
    ASSERT_TRUE(station::LoadPlan(std::string(STATION_SOURCE_DIR) + "/plans/bench.toml", BinDir(), plan, error)) << error;
    EXPECT_EQ(plan.csVersion, 13);
    EXPECT_EQ(plan.nap, 0x005B);
    EXPECT_EQ(plan.uap, 0x02);
    EXPECT_EQ(plan.firmware, BinDir() + "/sim_ptest.xbv");
    ASSERT_EQ(plan.steps.size(), 12u);
    EXPECT_STREQ(plan.steps.front().row->name, "cs_read");
    EXPECT_STREQ(plan.steps.back().row->name, "read_back");
    const station::Step& rx = plan.steps[5];
    ASSERT_STREQ(rx.row->name, "rx_count");
    ASSERT_TRUE(rx.limit);
    EXPECT_EQ(rx.limit->unit, "packets");
    EXPECT_EQ(*rx.limit->low, 5);
    ASSERT_EQ(plan.keys.size(), 3u);
    EXPECT_EQ(plan.keys[1].name, "PRODUCT_ID");
    EXPECT_EQ(plan.keys[1].words, std::vector<uint16_t>{0x1234});
}

TEST(Plan, ErrorsNameTheirLine)
{
    // A wrong value is reported at the line of the changed text.
    const struct {
        const char* from;
        const char* to;
        const char* message;
    } atTheirLine[] = {
        {"type = \"pio\"", "type = \"pio_bogus\"", "unknown step \"pio_bogus\""},
        {"PRODUCT_ID = 0x1234", "PRODUKT_ID = 0x1234", "unknown key \"PRODUKT_ID\" (CS version 13)"},
        {"CRYSTAL_TRIM = 34", "CRYSTAL_TRIM = 200", "key \"CRYSTAL_TRIM\" takes values from 0 to 127"},
        {"CRYSTAL_TRIM = 34", "CRYSTAL_TRIM = [1, 2]", "key \"CRYSTAL_TRIM\" has 1 words, the plan gives 2"},
        {"cs_version = 13", "cs_version = 99", "the key database has no CS version 99"},
        {"nap = 0x005B", "nap = 0x1005B", "\"address.nap\" must be a number from 0 to 0xFFFF"},
        // nan passes every comparison, inf bounds nothing.
        {"low = 502, high = 522", "low = nan, high = 522", "\"limit.low\" must be a number"},
        {"low = 502, high = 522", "low = 502, high = +inf", "\"limit.high\" must be a number"},
    };
    for (const auto& c : atTheirLine) {
        int line = 0;
        const std::string text = PlanError(c.from, c.to, &line);
        EXPECT_EQ(text, std::to_string(line) + ": " + c.message);
    }

    int line = 0;
    std::string text = PlanError("limit = { unit = \"packets\", low = 5 }\n", "\n");
    EXPECT_NE(text.find("step \"rx_count\" needs a limit (unit, low)"), std::string::npos) << text;

    text = PlanError("firmware = \"{bin}/sim_ptest.xbv\"", "firmware = \"missing.xbv\"", &line);
    EXPECT_EQ(text.rfind(std::to_string(line) + ": the file \"", 0), 0u) << text;
    EXPECT_NE(text.find("missing.xbv\" does not exist"), std::string::npos);

    text = PlanError("limit = { unit = \"polls\", high = 10 }", "limit = { unit = \"polls\", low = 10 }");
    EXPECT_NE(text.find("needs \"high\""), std::string::npos) << text;
    // Poll limits the station cannot count to.
    text = PlanError("unit = \"polls\", high = 10", "unit = \"polls\", high = -1");
    EXPECT_NE(text.find("step \"tx_burst\" needs \"high\" from 0 to 4294967295"), std::string::npos) << text;
    text = PlanError("unit = \"polls\", high = 10", "unit = \"polls\", high = 1e12");
    EXPECT_NE(text.find("needs \"high\" from 0 to 4294967295"), std::string::npos) << text;
    text = PlanError("poll_ms = 10", "poll_ms = 10\nspeed = 3", &line);
    EXPECT_EQ(text, std::to_string(line + 1) + ": step \"tx_burst\" has no parameter \"speed\"");
    // TOML syntax errors carry the parser's line.
    text = PlanError("uap = 0x02", "uap = = 2", &line);
    EXPECT_EQ(text.rfind(std::to_string(line) + ": ", 0), 0u) << text;
}

TEST(Plan, KeyDatabaseNumbersAreReadAsTheLibraryReadsThem)
{
    // Decimal only: a leading zero is no octal, and 0x is no number (the
    // library skips such a build, so the plan must not find it either).
    TempDir dir;
    const std::string original = ReadText(BinDir() + "/cskey_db.xml");
    for (const auto& [id, loads] : {std::pair<const char*, bool>{"013", true}, {" +13", true}, {"0x0D", false},
                                    {"015", false}}) {
        std::string text = original;
        const std::string from = "BUILD_ID=\"13\"";
        ASSERT_NE(text.find(from), std::string::npos);
        text.replace(text.find(from), from.size(), std::string("BUILD_ID=\"") + id + "\"");
        WriteText(dir / "db.xml", text);
        const std::string path =
            WritePlan(dir, "plan", {{"key_database = \"{bin}/cskey_db.xml\"", "key_database = \"" + (dir / "db.xml") + "\""}});
        station::Plan plan;
        std::string error;
        EXPECT_EQ(station::LoadPlan(path, BinDir(), plan, error), loads) << id << ": " << error;
        if (!loads) {
            EXPECT_NE(error.find("the key database has no CS version 13"), std::string::npos) << error;
        }
    }
}

TEST(Plan, StepsMustComeInAnOrderThatCanWork)
{
    // A test before the firmware, a CS write without its read-back, and a
    // read-back without a write are refused.
    std::string text = PlanError("[[step]]\ntype = \"firmware_load\"", "[[step]]\ntype = \"led\"\n[[step]]\ntype = \"firmware_load\"");
    EXPECT_NE(text.find("step \"led\" needs \"firmware_load\" before it"), std::string::npos) << text;
    text = PlanError("[[step]]\ntype = \"read_back\"", "");
    EXPECT_NE(text.find("needs \"read_back\" after it"), std::string::npos) << text;
    text = PlanError("[[step]]\ntype = \"cs_write\"", "");
    EXPECT_NE(text.find("\"read_back\" needs \"cs_write\" before it"), std::string::npos) << text;
    text = PlanError("[[step]]\ntype = \"cs_read\"", "");
    EXPECT_NE(text.find("with cs_keys needs \"cs_read\" before it"), std::string::npos) << text;
}
