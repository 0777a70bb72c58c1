// The trace file of NVT_TRACE: the setting's grammar, and that the lines
// reach the file whatever observer the handlers forward to.
#include "support/msghandler.h"
#include "support/stringutil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct SettingCase {
    const char* setting;
    const char* file;
    uint32_t categories;
};

void ExpectSettings(std::initializer_list<SettingCase> aCases)
{
    for (const SettingCase& c : aCases) {
        std::string file;
        uint32_t categories = 0;
        ASSERT_TRUE(nvttrace::ParseSetting(c.setting, file, categories)) << c.setting;
        EXPECT_EQ(file, c.file) << c.setting;
        EXPECT_EQ(categories, c.categories) << c.setting;
    }
}

TEST(TraceSetting, FileAloneSelectsEveryCategoryAndAListSelectsSome)
{
    ExpectSettings({
        {"trace.log", "trace.log", 0xFFFFFFFFu},
        {"trace.log:0,1,3", "trace.log", 0xBu},
        // 32 or more, as in Enable(), switches every category.
        {"trace.log:2,40", "trace.log", 0xFFFFFFFFu},
        {"trace.log:123456789012", "trace.log", 0xFFFFFFFFu},
    });
}

TEST(TraceSetting, AColonBeforeSomethingElseBelongsToTheFileName)
{
    ExpectSettings({
        {"C:\\logs\\trace.log", "C:\\logs\\trace.log", 0xFFFFFFFFu},
        {"C:\\logs\\trace.log:2", "C:\\logs\\trace.log", 0x4u},
        {"trace:log", "trace:log", 0xFFFFFFFFu},
    });
}

TEST(TraceSetting, NoFileMeansNoTrace)
{
    std::string file = "old";
    uint32_t categories = 7;
    EXPECT_FALSE(nvttrace::ParseSetting(nullptr, file, categories));
    EXPECT_FALSE(nvttrace::ParseSetting("", file, categories));
    EXPECT_FALSE(nvttrace::ParseSetting(":0,1", file, categories));
    EXPECT_EQ(file, "");
    EXPECT_EQ(categories, 0u);
    EXPECT_FALSE(nvttrace::Configure(nullptr));
    EXPECT_EQ(nvttrace::gFileCategories, 0u);
}

class CountingObserver : public CObserver {
public:
    int32_t OnMessage(int32_t aKind, int32_t, const char*) override
    {
        if (aKind == kObserverDebugLine) ++debugLines;
        return 0;
    }
    void OnProgress(int32_t, int32_t, uint16_t) override {}
    int debugLines = 0;
};

std::vector<std::string> Lines(const std::string& aPath)
{
    std::ifstream in(aPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(TraceFile, GetsTheLinesOfItsCategoriesWhateverTheObserver)
{
    const std::string path = ::testing::TempDir() + "nvt_trace_test.log";
    std::remove(path.c_str());
    CountingObserver observer;
    TheMsgHnd::Instance().SharedHandler().SetObserver(&observer);

    ASSERT_TRUE(nvttrace::Configure((path + ":0").c_str()));
    std::string text = "  padded";
    stringutil::TrimLeadingWhitespace(text);
    nvttrace::Configure(nullptr);
    stringutil::TrimLeadingWhitespace(text);  // after the file is closed: nowhere

    const std::vector<std::string> lines = Lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("stringutil("), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("): [IN ] stringutil::TrimLeadingWhitespace"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("[OUT] stringutil::TrimLeadingWhitespace"), std::string::npos) << lines[1];
    // The observer's channel has every category off: it saw nothing.
    EXPECT_EQ(observer.debugLines, 0);

    // A second configuration appends to the file; category 1 adds the
    // parameter line.
    ASSERT_TRUE(nvttrace::Configure((path + ":0,1").c_str()));
    stringutil::TrimLeadingWhitespace(text);
    nvttrace::Configure(nullptr);
    const std::vector<std::string> more = Lines(path);
    ASSERT_EQ(more.size(), 5u);
    EXPECT_NE(more[3].find("aString=>padded<"), std::string::npos) << more[3];
    std::remove(path.c_str());
}

}  // namespace
