#include "support/clock.h"
#include "support/msghandler.h"
#include "support/trace.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct Message {
    int32_t kind;
    int32_t level;
    std::string text;
};

class RecordingObserver : public CObserver {
public:
    int32_t OnMessage(int32_t aKind, int32_t aLevel, const char* aText) override
    {
        messages.push_back({aKind, aLevel, aText});
        return 0;
    }
    void OnProgress(int32_t aFirst, int32_t aSecond, uint16_t aValue) override
    {
        progress.push_back({aFirst, aSecond, std::to_string(aValue)});
    }
    std::vector<Message> messages;
    std::vector<Message> progress;
};

CMessageHandler& Shared()
{
    return TheMsgHnd::Instance().SharedHandler();
}

// Puts the shared handler in the state the API layer leaves it in.
class SharedHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::ResetErrors();
        Shared().SetStatusStream(nullptr);
        Shared().SetObserver(&observer);
    }
    std::vector<std::string> DebugLines() const
    {
        std::vector<std::string> lines;
        for (const Message& m : observer.messages)
            if (m.kind == 1) lines.push_back(m.text);
        return lines;
    }
    RecordingObserver observer;
};

void Nested(int aDepth)
{
    NVT_TRACE("nested", "Nested::Call", "aDepth=%d", aDepth);
    if (aDepth > 1) Nested(aDepth - 1);
}

// Indentation of a debug line: spaces after "): ".
size_t IndentOf(const std::string& aLine)
{
    const size_t start = aLine.find("): ") + 3;
    return aLine.find_first_not_of(' ', start) - start;
}

TEST(MessageHandlerRegistry, ClassKeyIsTheTextBeforeTheFirstSeparator)
{
    EXPECT_EQ("CNvImageCache", TheMsgHnd::ClassKey("CNvImageCache::ReadKey"));
    EXPECT_EQ("A", TheMsgHnd::ClassKey("A::B::C"));
    EXPECT_EQ("plain", TheMsgHnd::ClassKey("plain"));
    EXPECT_EQ("::Leading", TheMsgHnd::ClassKey("::Leading"));
    EXPECT_EQ("", TheMsgHnd::ClassKey(""));
}

TEST(MessageHandlerRegistry, UnregisteredKeysAndNullRegistrationsLeadToTheSharedHandler)
{
    TheMsgHnd& hnd = TheMsgHnd::Instance();
    EXPECT_EQ(&Shared(), &hnd.GetHandler("fileutil::IsFileWriteable"));
    hnd.RegisterHandler("NullClass::NullClass", nullptr);
    EXPECT_EQ(nullptr, hnd.Registered("NullClass"));
    EXPECT_EQ(&Shared(), &hnd.GetHandler("NullClass::Method"));
}

TEST(MessageHandlerRegistry, AnEngineRegistersItsHandlerUntilTheHandlerGoesAway)
{
    {
        CMessageHandler own;
        CEngine engine("OwnEngine::OwnEngine", own);
        EXPECT_EQ(&own, TheMsgHnd::Instance().Registered("OwnEngine"));
        EXPECT_EQ(&own, &TheMsgHnd::Instance().GetHandler("OwnEngine::Load"));
        CEngine shared("SharedEngine::SharedEngine", Shared());
        EXPECT_EQ(&Shared(), TheMsgHnd::Instance().Registered("SharedEngine"));
    }
    EXPECT_EQ(nullptr, TheMsgHnd::Instance().Registered("OwnEngine"));
    EXPECT_EQ(&Shared(), &TheMsgHnd::Instance().GetHandler("OwnEngine::Load"));
}

TEST(MessageHandlerSetters, OnAnotherHandlerTheyAlsoApplyToTheSharedOne)
{
    RecordingObserver observer;
    CMessageHandler own;
    own.SetErrorHolder(true);
    own.SetObserver(&observer);
    ASSERT_NE(nullptr, Shared().ErrorHolder());
    EXPECT_TRUE(Shared().EchoErrors());
    ASSERT_NE(nullptr, Shared().StatusChannel());
    EXPECT_EQ(&observer, Shared().StatusChannel()->ForwardsTo());
    // Distinct channel objects: each has exactly one owner.
    EXPECT_NE(own.StatusChannel(), Shared().StatusChannel());
    Shared().SetErrorHolder(false);
}

TEST_F(SharedHandlerTest, DisabledDebugProducesNothingAndKeepsIndentAtZero)
{
    Nested(5);
    EXPECT_TRUE(DebugLines().empty());
    EXPECT_EQ(0u, Shared().DebugChannel()->indent);
}

TEST_F(SharedHandlerTest, ThirtyNestedCallsIndentInStepsOfTwoUpToFifty)
{
    Shared().DebugChannel()->Enable(kDebugEntryExit, true);
    Nested(30);
    const std::vector<std::string> lines = DebugLines();
    ASSERT_EQ(60u, lines.size());
    for (size_t i = 0; i < 30; ++i) {
        EXPECT_NE(std::string::npos, lines[i].find("[IN ] Nested::Call")) << lines[i];
        EXPECT_EQ(std::min<size_t>(2 * i, 50), IndentOf(lines[i])) << "entry " << i;
    }
    // Exit lines unwind from 48 and stop at 0.
    for (size_t i = 0; i < 30; ++i) {
        const std::string& line = lines[30 + i];
        EXPECT_NE(std::string::npos, line.find("[OUT] Nested::Call")) << line;
        const size_t expected = i < 25 ? 48 - 2 * i : 0;
        EXPECT_EQ(expected, IndentOf(line)) << "exit " << i;
    }
    EXPECT_EQ(0u, Shared().DebugChannel()->indent);
    // Parameter lines stay off with only category 0 enabled.
    for (const std::string& line : lines) EXPECT_EQ(std::string::npos, line.find("aDepth"));
}

TEST_F(SharedHandlerTest, SwitchingEntryExitOffResetsTheIndentSwitchingOnDoesNot)
{
    CDebugMsg* debug = Shared().DebugChannel();
    debug->indent = 10;
    debug->Enable(0, true);
    EXPECT_EQ(10u, debug->indent);
    debug->Enable(1, false);
    EXPECT_EQ(10u, debug->indent);
    debug->Enable(0, false);
    EXPECT_EQ(0u, debug->indent);
    debug->indent = 6;
    debug->Enable(40, false);  // all off, but not category 32 exactly
    EXPECT_EQ(6u, debug->indent);
    debug->Enable(32, false);
    EXPECT_EQ(0u, debug->indent);
    debug->Enable(40, true);
    EXPECT_EQ(0xFFFFFFFFu, debug->enabledMask);
}

TEST_F(SharedHandlerTest, CategoriesOf32OrMoreAreNeverDelivered)
{
    Shared().DebugChannel()->Enable(40, true);
    Shared().StatusChannel()->Post(32, "status");
    Shared().DebugChannel()->Post(33, "debug");
    DebugPrint(Shared(), "f.cpp", 1, 32, false, false, "x");
    EXPECT_TRUE(observer.messages.empty());
}

TEST_F(SharedHandlerTest, ObserverKindsAndLevels)
{
    Shared().DebugChannel()->Enable(kDebugDetail, true);
    DebugPrint(Shared(), "f.cpp", 7, kDebugDetail, false, false, "detail %d", 5);
    ReportStatus(Shared(), "a status");
    Shared().ProgressChannel()->Post(77);
    ASSERT_EQ(2u, observer.messages.size());
    EXPECT_EQ(1, observer.messages[0].kind);
    EXPECT_EQ(4, observer.messages[0].level);
    EXPECT_NE(std::string::npos, observer.messages[0].text.find("f.cpp(7): detail 5"));
    EXPECT_EQ(2, observer.messages[1].kind);
    EXPECT_EQ(2, observer.messages[1].level);
    EXPECT_EQ("a status", observer.messages[1].text);
    ASSERT_EQ(1u, observer.progress.size());
    EXPECT_EQ(0, observer.progress[0].kind);
    EXPECT_EQ(0, observer.progress[0].level);
    EXPECT_EQ("77", observer.progress[0].text);
}

TEST_F(SharedHandlerTest, ErrorsReachTheHolderAndAreEchoedOnlyWhenAsked)
{
    int16_t code = 99;
    std::string text = "untouched";
    EXPECT_FALSE(GetPendingError(Shared(), code, text));
    EXPECT_EQ(99, code);

    ReportError(Shared(), 12, "quiet");
    EXPECT_TRUE(observer.messages.empty());
    ASSERT_TRUE(GetPendingError(Shared(), code, text));
    EXPECT_EQ(12, code);
    EXPECT_EQ("quiet", text);

    Shared().SetErrorHolder(true);
    ReportError(Shared(), 0, "zero");
    ReportError(Shared(), -40, "negative");
    ReportError(Shared(), 0x12345, "wide");  // only the low 16 bits count
    ASSERT_EQ(3u, observer.messages.size());
    EXPECT_EQ("zero", observer.messages[0].text);
    EXPECT_EQ(3, observer.messages[0].level);
    EXPECT_EQ("negative (Error Code: -40)", observer.messages[1].text);
    EXPECT_EQ("wide (Error Code: 9029)", observer.messages[2].text);
    ASSERT_TRUE(GetPendingError(Shared(), code, text));
    EXPECT_EQ(0x2345, code);
}

TEST(MessageHandlerChannels, ReportsWithoutChannelsAreDropped)
{
    CMessageHandler bare;
    // A bare handler is not the shared one, but reporting never touches the
    // shared handler.
    ReportError(bare, 5, "nowhere");
    ReportStatus(bare, "nowhere");
    DebugPrint(bare, "f.cpp", 1, 0, true, false, "nowhere");
    int16_t code = 0;
    std::string text;
    EXPECT_FALSE(GetPendingError(bare, code, text));
}

TEST(MessageHandlerChannels, ADestroyedObserverIsUninstalled)
{
    {
        RecordingObserver observer;
        Shared().SetErrorHolder(true);
        Shared().SetObserver(&observer);
        ReportStatus(Shared(), "seen");
        EXPECT_EQ(1u, observer.messages.size());
    }
    EXPECT_EQ(nullptr, Shared().StatusChannel());
    EXPECT_EQ(nullptr, Shared().DebugChannel());
    EXPECT_EQ(nullptr, Shared().ProgressChannel());
    // Reaching the destroyed observer here would be a use after free.
    ReportStatus(Shared(), "after");
    ReportError(Shared(), 3, "after");
    Nested(3);
    Shared().SetErrorHolder(false);
}

TEST(MessageHandlerChannels, StreamStatusChannelWritesLines)
{
    std::ostringstream out;
    Shared().SetErrorHolder(true);
    Shared().SetStatusStream(&out);
    ReportStatus(Shared(), "one");
    ReportError(Shared(), 6, "two");
    EXPECT_EQ("one\ntwo (Error Code: 6)\n", out.str());
    Shared().SetStatusStream(nullptr);
    ReportStatus(Shared(), "three");
    Shared().SetErrorHolder(false);
}

TEST(MessageHandlerDebugLines, TimestampsShowSecondsAndMillisecondsModuloAThousandSeconds)
{
    nvtclock::ScopedFakeClock clock;
    std::ostringstream out;
    Shared().SetDebugStream(&out);
    Shared().DebugChannel()->Enable(kDebugDetail, true);
    const char* file = "some/dir\\deeper/source.cpp";
    clock->AdvanceMs(1234567);
    DebugPrint(Shared(), file, 42, kDebugDetail, false, false, "v=%d", 1);
    clock->AdvanceMs(999999 - 1234567 + 1000000);  // now 1 999 999 ms: shows 999.999
    DebugPrint(Shared(), file, 42, kDebugDetail, false, false, "v=%d", 2);
    clock->AdvanceMs(1);  // 2 000 000 ms: both fields wrap to 000
    DebugPrint(Shared(), file, 42, kDebugDetail, false, false, "v=%d", 3);
    Shared().DebugChannel()->timestamps = false;
    DebugPrint(Shared(), file, 42, kDebugDetail, false, false, "v=%d", 4);
    EXPECT_EQ("[DEBUG] {234.567} source.cpp(42): v=1\n"
              "[DEBUG] {999.999} source.cpp(42): v=2\n"
              "[DEBUG] {000.000} source.cpp(42): v=3\n"
              "[DEBUG] source.cpp(42): v=4\n",
              out.str());
    Shared().SetObserver(nullptr);
}

TEST(MessageHandlerDebugLines, OverlongLinesAreCutAt1023Characters)
{
    RecordingObserver observer;
    Shared().SetObserver(&observer);
    Shared().DebugChannel()->Enable(kDebugDetail, true);
    Shared().DebugChannel()->indent = 50;
    const std::string huge(5000, 'x');
    DebugPrint(Shared(), "f.cpp", 1, kDebugDetail, false, false, "%s", huge.c_str());
    ASSERT_EQ(1u, observer.messages.size());
    EXPECT_EQ(1023u, observer.messages[0].text.size());
}

TEST_F(SharedHandlerTest, ParameterLinesFormatStringsNumbersFlagsAndPointers)
{
    Shared().DebugChannel()->Enable(kDebugParameters, true);
    const std::string name = "file.xuv";
    int value = 0;
    {
        NVT_TRACE("params", "Params::Run", "aFilename=>%s<", name, "aKeyId=%d", uint16_t{42}, "aFlag=%d", true,
                  "aAddress=0x%x", 0x1f, "&aTarget=0x%08p", &value, "aNull=>%s<", static_cast<const char*>(nullptr));
    }
    const std::vector<std::string> lines = DebugLines();
    ASSERT_EQ(6u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("params(" )) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find("): aFilename=>file.xuv<"));
    EXPECT_NE(std::string::npos, lines[1].find("): aKeyId=42"));
    EXPECT_NE(std::string::npos, lines[2].find("): aFlag=1"));
    EXPECT_NE(std::string::npos, lines[3].find("): aAddress=0x1f"));
    char expected[64];
    std::snprintf(expected, sizeof(expected), "): &aTarget=0x%08llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&value)));
    EXPECT_NE(std::string::npos, lines[4].find(expected)) << lines[4];
    EXPECT_NE(std::string::npos, lines[5].find("): aNull=>(null)<"));
}

class CountingSubjectObserver : public SubjectObserver {
public:
    void Update(Subject&, int32_t aValue) override { sum += aValue; }
    int32_t sum = 0;
};

TEST(MessageHandlerSubject, DetachRemovesEveryCopyAndNotifyFollowsListOrder)
{
    Subject subject;
    CountingSubjectObserver a, b;
    subject.Attach(&a);
    subject.Attach(&b);
    subject.Attach(&a);
    subject.NotifyAll(3);
    EXPECT_EQ(6, a.sum);
    EXPECT_EQ(3, b.sum);
    subject.Detach(&a);
    subject.NotifyAll(1);
    EXPECT_EQ(6, a.sum);
    EXPECT_EQ(4, b.sum);
}

}  // namespace
