// The step table: every row can run and is documented, and the plan reader
// applies a row's defaults and ranges without knowing the type.
#include "plan.h"
#include "steps.h"
#include "support.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace stationtest;

TEST(StepTable, EveryRowIsCompleteAndDocumentedWithEachParameter)
{
    // docs/station.md lists each step type in a table row "| `name` | ...".
    const std::string doc = ReadText(std::string(STATION_SOURCE_DIR) + "/docs/station.md");
    std::set<std::string> names;
    for (const station::StepRow& row : station::StepRows()) {
        EXPECT_TRUE(names.insert(row.name).second) << row.name << " is in the table twice";
        EXPECT_NE(row.run, nullptr) << row.name;
        EXPECT_NE(std::string(row.summary), "") << row.name;
        EXPECT_EQ(station::FindStepRow(row.name), &row);
        std::set<std::string> params;
        for (const station::ParamDef& p : row.params) {
            EXPECT_TRUE(params.insert(p.name).second) << row.name << "." << p.name << " is declared twice";
            EXPECT_LE(p.min, p.max) << row.name << "." << p.name;
            if (p.kind != station::ParamDef::Kind::PortName) {
                EXPECT_GE(p.fallback, p.min) << row.name << "." << p.name;
                EXPECT_LE(p.fallback, p.max) << row.name << "." << p.name;
            }
        }
        const std::string heading = std::string("| `") + row.name + "` |";
        const size_t at = doc.find(heading);
        ASSERT_NE(at, std::string::npos) << row.name << " is not in docs/station.md";
        const std::string line = doc.substr(at, doc.find('\n', at) - at);
        for (const station::ParamDef& p : row.params)
            EXPECT_NE(line.find(std::string("`") + p.name + "` ("), std::string::npos)
                << row.name << "." << p.name << " is not documented in: " << line;
    }
    EXPECT_EQ(station::FindStepRow("no_such_step"), nullptr);
}

TEST(StepTable, ThePlanTakesEachRowsDefaultsAndKnowsWhatItWasGiven)
{
    TempDir dir;
    const std::string path = WritePlan(dir, "plan", {{"length = 37\n", ""}, {"poll_ms = 10\n", "poll_ms = 0\n"}});
    station::Plan plan;
    std::string error;
    ASSERT_TRUE(station::LoadPlan(path, BinDir(), plan, error)) << error;
    const station::Step* burst = nullptr;
    for (const station::Step& s : plan.steps)
        if (std::string(s.row->name) == "tx_burst") burst = &s;
    ASSERT_NE(burst, nullptr);
    EXPECT_EQ(burst->Number("length"), 37u);  // left out: the row's default
    EXPECT_FALSE(burst->Given("length"));
    EXPECT_EQ(burst->Number("poll_ms"), 0u);  // given, at the bottom of its range
    EXPECT_TRUE(burst->Given("poll_ms"));
    EXPECT_EQ(burst->Number("packets"), 100u);
    // The same parameter name belongs to each row on its own: led's value
    // and aio's value are separate parameters with their own ranges.
    for (const station::Step& s : plan.steps) {
        if (std::string(s.row->name) == "led") {
            EXPECT_EQ(s.Number("value"), 500u);
        } else if (std::string(s.row->name) == "aio") {
            EXPECT_EQ(s.Number("value"), 512u);
        } else if (std::string(s.row->name) == "uart") {
            EXPECT_NE(s.Text("port").find("{slot}"), std::string::npos);
        }
    }
}
