// The station that serves all shift: its fixture entries, the serial and
// value texts, the uploader on a fake clock against the stub MES and a
// store that is away, and `station serve` end to end through its JSON
// lines (refusals, the MES, a long run without growth, the web view's token).
#include "fixture.h"
#include "mes_stub_process.h"
#include "serve.h"
#include "store.h"
#include "support.h"
#include "uploader.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace stationtest;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

// ---------------------------------------------------------------------------
// The fixture's serial policy and MES table

std::string LoadError(const TempDir& aDir, const std::string& aText)
{
    const std::string path = aDir / "fixture.toml";
    WriteText(path, aText + "\n[[slot]]\ntransport = \"sim\"\n");
    station::Fixture fixture;
    std::string error;
    return station::LoadFixture(path, BinDir(), "", fixture, error) ? "" : error;
}

TEST(ServeFixture, SerialPolicyAndMesTableAreReadAndCheckedAtStart)
{
    TempDir dir;
    WriteText(dir / "token", "s3cret\n");
    WriteText(dir / "fixture.toml", "serial_pattern = \"SN-[0-9]{4}\"\nmax_attempts = 3\n[mes]\nurl = \"http://127.0.0.1:1/api\"\n"
                                    "token_file = \"token\"\noperation = \"rf-test\"\ntimeout_ms = 700\nretry_first_ms = 10\n"
                                    "retry_max_ms = 50\n[[slot]]\ntransport = \"sim\"\n");
    station::Fixture fixture;
    std::string error;
    ASSERT_TRUE(station::LoadFixture(dir / "fixture.toml", BinDir(), "", fixture, error)) << error;
    EXPECT_EQ(fixture.serialPattern, "SN-[0-9]{4}");
    EXPECT_EQ(fixture.maxAttempts, 3);
    ASSERT_TRUE(fixture.mes);
    EXPECT_EQ(fixture.mes->token, "s3cret");  // the file's line end is not the token's
    EXPECT_EQ(fixture.mes->timeout, 700ms);
    EXPECT_EQ(fixture.mesRetry.first, 10ms);
    EXPECT_EQ(fixture.mesRetry.cap, 50ms);

    EXPECT_NE(LoadError(dir, "serial_pattern = \"SN-[0-9\"").find("is not a regular expression"), std::string::npos);
    EXPECT_NE(LoadError(dir, "max_attempts = 0").find("from 1 to 1000"), std::string::npos);
    EXPECT_NE(LoadError(dir, "[mes]\noperation = \"x\"").find("needs a \"url\""), std::string::npos);
    EXPECT_NE(LoadError(dir, "[mes]\nurl = \"ftp://mes\"").find("mes.url"), std::string::npos);
    EXPECT_NE(LoadError(dir, "[mes]\nurl = \"http://mes\"\ntoken = \"a\"\ntoken_file = \"token\"").find("together"),
              std::string::npos);
    EXPECT_NE(LoadError(dir, "[mes]\nurl = \"http://mes\"\ntoken_file = \"missing\"").find("cannot be read"), std::string::npos);
    // A token with a blank is refused, and the text does not quote it.
    const std::string bad = LoadError(dir, "[mes]\nurl = \"http://mes\"\ntoken = \"my secret\"");
    EXPECT_NE(bad.find("printable ASCII"), std::string::npos);
    EXPECT_EQ(bad.find("my secret"), std::string::npos);
    EXPECT_NE(LoadError(dir, "[mes]\nurl = \"http://mes\"\nretry_first_ms = 100\nretry_max_ms = 10").find("shorter"),
              std::string::npos);
    EXPECT_NE(LoadError(dir, "[mes]\nurl = \"http://mes\"\nretries = 3").find("unknown entry \"mes.retries\""), std::string::npos);
}

TEST(ServeText, SerialFormatAndTheValueWithItsLimit)
{
    using station::SerialFormatProblem;
    EXPECT_EQ(SerialFormatProblem("SN-0001", "SN-[0-9]{4}"), "");
    EXPECT_EQ(SerialFormatProblem("anything", ""), "");
    // The pattern matches the whole serial, not a part of it.
    EXPECT_NE(SerialFormatProblem("XSN-00012", "SN-[0-9]{4}"), "");
    EXPECT_EQ(SerialFormatProblem("", ""), "the serial is empty");
    EXPECT_EQ(SerialFormatProblem("SN\x1b[2J", ""), "the serial has a control character");
    EXPECT_NE(SerialFormatProblem(std::string(65, 'A'), ""), "");

    std::string value, limit;
    bool marginal = true;
    station::SplitValue("4.03 dBm [-20 to 10 dBm]", value, limit, marginal);
    EXPECT_EQ(value, "4.03 dBm");
    EXPECT_EQ(limit, "-20 to 10 dBm");
    EXPECT_FALSE(marginal);
    station::SplitValue("power 4 dBm [-20 to 10 dBm], drift 9.5 kHz [at most 8 kHz] marginal", value, limit, marginal);
    EXPECT_EQ(value, "drift 9.5 kHz");
    EXPECT_EQ(limit, "at most 8 kHz");
    EXPECT_TRUE(marginal);
    station::SplitValue("7 packets", value, limit, marginal);
    EXPECT_EQ(value, "7 packets");
    EXPECT_EQ(limit, "");
}

// ---------------------------------------------------------------------------
// The uploader on a fake clock

struct FakeClock {
    station::Uploader::Clock::time_point now{};
    void Advance(std::chrono::milliseconds aStep) { now += aStep; }
};

station::Record UnitRecord(const std::string& aSerial, int aUnit, station::Outcome aOutcome = station::Outcome::Pass)
{
    station::Record r;
    r.runId = "shift-1." + std::to_string(aUnit);
    r.station = "test-station";
    r.slot = 1;
    r.serial = aSerial;
    r.outcome = aOutcome;
    r.started = r.ended = station::UtcNow();
    return r;
}

class UploaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        store = station::OpenStore(dir / "store.db", station::StoreMode::Create, error);
        ASSERT_TRUE(store) << error;
        options.resultsDir = dir / "results";
        options.now = [this] { return clock.now; };
        options.retry.first = 1000ms;
        options.retry.cap = 4000ms;
        options.store = [this](std::string& aWhy) -> station::Store* {
            if (storeAway) aWhy = "the server is away";
            return storeAway ? nullptr : store.get();
        };
    }

    TempDir dir;
    std::unique_ptr<station::Store> store;
    bool storeAway = false;
    FakeClock clock;
    station::Uploader::Options options;
};

TEST_F(UploaderTest, ARecordPostedWhileTheMesAnswers503ArrivesExactlyOnceOnTheBackOff)
{
    StubProcess stub({"--unavailable-for", "2"});
    ASSERT_TRUE(stub.ok());
    options.mes = station::mes::MesConfig{stub.Url(), "", "rf-test", 2000ms};
    station::Uploader uploader;
    std::string error;
    ASSERT_TRUE(uploader.Open(options, error)) << error;
    ASSERT_TRUE(uploader.Keep(UnitRecord("SN-0001", 1), error)) << error;

    uploader.Round();  // the store takes it; the MES answers 503
    EXPECT_EQ(uploader.Pending().storePending, 0);
    EXPECT_EQ(uploader.Pending().mesPending, 1);
    EXPECT_NE(uploader.Pending().mesProblem.find("503"), std::string::npos);
    // Not due yet: no post.
    clock.Advance(999ms);
    uploader.Round();
    EXPECT_EQ(stub.Results()["posts"], 1);
    clock.Advance(1ms);
    uploader.Round();  // the second 503; the wait doubles
    EXPECT_EQ(stub.Results()["posts"], 2);
    clock.Advance(1999ms);
    uploader.Round();
    EXPECT_EQ(stub.Results()["posts"], 2);
    clock.Advance(1ms);
    uploader.Round();
    const json results = stub.Results();
    EXPECT_EQ(results["posts"], 3);
    EXPECT_EQ(results["count"], 1);
    EXPECT_EQ(results["duplicates"], 0);
    EXPECT_EQ(results["results"][0]["key"], "shift-1.1/1");
    EXPECT_EQ(uploader.Pending().mesPending, 0);
    // Nothing is posted again.
    clock.Advance(60000ms);
    uploader.Finish();
    EXPECT_EQ(stub.Results()["posts"], 3);
}

TEST_F(UploaderTest, ARecordTheMesRejectsIsSetAsideAndOneNotTakenHoldsBackTheRest)
{
    options.mes = station::mes::MesConfig{"http://127.0.0.1:1", "", "rf-test", 100ms};
    std::vector<std::string> posted;
    bool mesBack = false;
    options.post = [&](const std::string& aId, const std::string&, std::string& aText) {
        posted.push_back(aId);
        if (aId == "shift-1.1/1") {
            aText = "422 the record has no serial";
            return station::mes::PostResult::Rejected;
        }
        if (!mesBack) aText = "503";
        return mesBack ? station::mes::PostResult::Accepted : station::mes::PostResult::Retry;
    };
    station::Uploader uploader;
    std::string error;
    ASSERT_TRUE(uploader.Open(options, error)) << error;
    for (int unit = 1; unit <= 3; ++unit) ASSERT_TRUE(uploader.Keep(UnitRecord("SN-1", unit), error)) << error;
    uploader.Round();
    // The first is set aside; the second is not taken now, so the third waits in line.
    EXPECT_EQ(posted, (std::vector<std::string>{"shift-1.1/1", "shift-1.2/1"}));
    EXPECT_EQ(uploader.Pending().mesSetAside, 1);
    EXPECT_EQ(uploader.Pending().mesPending, 2);
    mesBack = true;
    clock.Advance(1000ms);
    uploader.Round();
    EXPECT_EQ(posted, (std::vector<std::string>{"shift-1.1/1", "shift-1.2/1", "shift-1.2/1", "shift-1.3/1"}));
    EXPECT_EQ(uploader.Pending().mesPending, 0);
    EXPECT_EQ(uploader.Pending().mesSetAside, 1);
}

TEST_F(UploaderTest, AStoreThatIsAwayGetsEveryRecordOnceItIsBackAndAttemptsAreCountedOnce)
{
    station::Uploader uploader;
    std::string error;
    ASSERT_TRUE(uploader.Open(options, error)) << error;
    storeAway = true;
    ASSERT_TRUE(uploader.Keep(UnitRecord("SN-0001", 1, station::Outcome::Fail), error)) << error;
    ASSERT_TRUE(uploader.Keep(UnitRecord("SN-0001", 2, station::Outcome::Error), error)) << error;
    uploader.Round();
    EXPECT_EQ(uploader.Pending().storePending, 2);
    EXPECT_NE(uploader.Pending().storeProblem.find("the server is away"), std::string::npos);
    // The attempts cannot be counted while the store is away.
    int64_t attempts = -1;
    EXPECT_FALSE(uploader.Attempts("SN-0001", attempts, error));

    storeAway = false;
    // An ERROR is the station's: one attempt, from the outbox.
    ASSERT_TRUE(uploader.Attempts("SN-0001", attempts, error)) << error;
    EXPECT_EQ(attempts, 1);
    ASSERT_TRUE(uploader.Keep(UnitRecord("SN-0001", 3, station::Outcome::Pass), error)) << error;
    // A new record does not cut the back-off short while the store refuses.
    uploader.Round();
    EXPECT_EQ(uploader.Pending().storePending, 3);
    clock.Advance(1000ms);
    uploader.Round();
    EXPECT_EQ(uploader.Pending().storePending, 0);
    std::vector<station::StoredRecord> stored;
    ASSERT_TRUE(store->Records(stored, error)) << error;
    EXPECT_EQ(stored.size(), 3u);
    ASSERT_TRUE(uploader.Attempts("SN-0001", attempts, error)) << error;
    EXPECT_EQ(attempts, 2);
    // records.jsonl has each once too.
    EXPECT_EQ(ReadJsonl(dir / "results/records.jsonl").size(), 3u);
}

// ---------------------------------------------------------------------------
// station serve end to end

// `station serve` with a pipe to its stdin and one from its stdout.
class ServeProcess {
public:
    ServeProcess(const std::vector<std::string>& aArgs, const std::string& aErrors)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        std::fflush(nullptr);
        mPid = fork();
        if (mPid == 0) {
            const int fd = open(aErrors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (fd >= 0) dup2(fd, 2);
            std::vector<char*> argv{const_cast<char*>(STATION_PROGRAM), const_cast<char*>("serve")};
            for (const std::string& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(STATION_PROGRAM, argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        mIn = in[1];
        mOut = out[0];
    }
    ~ServeProcess()
    {
        if (mIn >= 0) close(mIn);
        if (mOut >= 0) close(mOut);
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
    }
    pid_t Pid() const { return mPid; }

    void Send(const json& aLine)
    {
        const std::string text = aLine.dump() + "\n";
        ASSERT_EQ(write(mIn, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The next line that aMatch takes, waiting at most aWait; null when none came.
    json Next(const std::function<bool(const json&)>& aMatch, std::chrono::milliseconds aWait = 60000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + aWait;
        for (;;) {
            for (auto it = mLines.begin(); it != mLines.end(); ++it) {
                if (aMatch(*it)) {
                    const json found = *it;
                    mLines.erase(it);
                    return found;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return nullptr;
            pollfd p{mOut, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return nullptr;
            char buffer[4096];
            const ssize_t n = read(mOut, buffer, sizeof buffer);
            if (n <= 0) return nullptr;
            mBuffer.append(buffer, static_cast<size_t>(n));
            for (size_t nl; (nl = mBuffer.find('\n')) != std::string::npos;) {
                mLines.push_back(json::parse(mBuffer.substr(0, nl), nullptr, false));
                mBuffer.erase(0, nl + 1);
            }
        }
    }
    json Event(const std::string& aName)
    {
        return Next([&](const json& j) { return j.value("event", "") == aName; });
    }
    json Submit(int aSlot, const std::string& aSerial)
    {
        Send({{"slot", aSlot}, {"serial", aSerial}});
        return Next([&](const json& j) { return j.contains("accepted") && j.value("serial", "") == aSerial; });
    }
    json Done(const std::string& aSerial)
    {
        return Next([&](const json& j) { return j.value("event", "") == "done" && j.value("serial", "") == aSerial; });
    }
    // Stops the station; its exit status and its last line.
    int Stop(json& aStopped)
    {
        Send({{"command", "stop"}});
        aStopped = Event("stopped");
        int status = 0;
        waitpid(mPid, &status, 0);
        mPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t mPid = -1;
    int mIn = -1, mOut = -1;
    std::string mBuffer;
    std::vector<json> mLines;
};

// What /proc says of a process: resident memory (kB) and open descriptors.
long ResidentKb(pid_t aPid)
{
    const std::string status = ReadText("/proc/" + std::to_string(aPid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

long OpenFds(pid_t aPid)
{
    long count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(aPid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

class Serve : public ::testing::Test {
protected:
    void SetUp() override
    {
        db = dir / "station.db";
        const StationResult add = Station({"addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0x100",
                                           "--last", "0x2FF"});
        ASSERT_EQ(add.status, 0) << add.output;
        plan = WritePlan(dir, "plan");
    }
    // A fixture of aSlots simulated DUTs (slot N's extra options in aExtra)
    // with the text aHead before the slots. A DUT keeps its NVM in a folder
    // (dutN) when its slot is in aKept; any other is a blank device at each
    // open, a new unit for every serial.
    std::string Fixture(int aSlots, const std::string& aHead, const std::map<int, std::string>& aExtra = {},
                        const std::set<int>& aKept = {})
    {
        std::string text = aHead + "\n";
        for (int slot = 1; slot <= aSlots; ++slot) {
            const auto extra = aExtra.find(slot);
            const std::string options = "uartlink=" + dir / ("plan-uart" + std::to_string(slot)) +
                                        (extra == aExtra.end() ? "" : "," + extra->second);
            text += "[[slot]]\ntransport = \"" +
                    (aKept.count(slot) ? Dut(dir, "dut" + std::to_string(slot), options) : "sim:" + options) + "\"\n";
        }
        const std::string path = dir / "fixture.toml";
        WriteText(path, text);
        return path;
    }
    std::vector<std::string> Args(const std::string& aFixture, const std::vector<std::string>& aMore = {}) const
    {
        std::vector<std::string> args = {"--fixture", aFixture, "--plan", plan, "--db", db, "--results", dir / "results",
                                         "--station", "serve-station"};
        args.insert(args.end(), aMore.begin(), aMore.end());
        return args;
    }
    size_t StoredRecords() const
    {
        std::string error;
        std::vector<station::StoredRecord> records;
        auto store = station::OpenStore(db, station::StoreMode::Existing, error);
        if (!store || !store->Records(records, error)) return 0;
        return records.size();
    }

    TempDir dir;
    std::string db, plan;
};

TEST_F(Serve, MalformedRunningAndQuarantinedSerialsAreRefusedAndAStopAbortsTheRunningUnit)
{
    // Slot 2's DUT is slow enough to be caught running.
    const std::string fixture = Fixture(2, "serial_pattern = \"SN-[0-9A-Z]{4,12}\"\nmax_attempts = 2", {{2, "latency=10000"}}, {1});
    ServeProcess serve(Args(fixture), dir / "errors.txt");
    ASSERT_FALSE(serve.Event("ready").is_null()) << ReadText(dir / "errors.txt");

    json answer = serve.Submit(1, "<b>SN</b>");
    EXPECT_FALSE(answer["accepted"].get<bool>());
    EXPECT_NE(answer["text"].get<std::string>().find("does not match the pattern"), std::string::npos);
    answer = serve.Submit(3, "SN-0009");
    EXPECT_EQ(answer["text"], "the station has no slot 3");

    EXPECT_TRUE(serve.Submit(2, "SN-0002")["accepted"].get<bool>());
    answer = serve.Submit(1, "SN-0002");
    EXPECT_FALSE(answer["accepted"].get<bool>());
    EXPECT_EQ(answer["text"], "SN-0002 is running on slot 2");
    EXPECT_EQ(serve.Submit(2, "SN-0003")["text"], "slot 2 is testing SN-0002");

    // Two attempts (a FAIL counts as one too), then the unit is quarantined.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(serve.Submit(1, "SN-0001")["accepted"].get<bool>());
        EXPECT_EQ(serve.Done("SN-0001")["outcome"], "PASS");
    }
    answer = serve.Submit(1, "SN-0001");
    EXPECT_FALSE(answer["accepted"].get<bool>());
    EXPECT_EQ(answer["text"], "SN-0001 is quarantined after 2 attempts (this station allows 2): it is not tested again");

    json stopped;
    serve.Send({{"command", "stop"}});
    const json done = serve.Done("SN-0002");
    EXPECT_EQ(done["outcome"], "ABORT");
    EXPECT_EQ(serve.Stop(stopped), 0) << ReadText(dir / "errors.txt");
    EXPECT_EQ(stopped["outbox"]["store"], 0);
    EXPECT_EQ(StoredRecords(), 3u);
}

TEST_F(Serve, TheMesRefusalNeverOpensTheDutAndRecordsPostedWhileItIsDownArriveOnce)
{
    StubProcess stub({"--refuse", "SN-0003", "--unavailable-for", "4"});
    ASSERT_TRUE(stub.ok());
    const std::string fixture =
        Fixture(2, "[mes]\nurl = \"" + stub.Url() + "\"\noperation = \"rf-test\"\nretry_first_ms = 20\nretry_max_ms = 100", {},
                {2});
    ServeProcess serve(Args(fixture), dir / "errors.txt");
    ASSERT_FALSE(serve.Event("ready").is_null()) << ReadText(dir / "errors.txt");

    const json refused = serve.Submit(2, "SN-0003");
    EXPECT_FALSE(refused["accepted"].get<bool>());
    EXPECT_NE(refused["text"].get<std::string>().find("the MES refuses SN-0003: SN-0003 is on hold"), std::string::npos)
        << refused["text"];
    // The MES answers 503 to the first 4 posts: the station keeps testing.
    for (const char* serial : {"SN-0001", "SN-0002", "SN-0004"}) {
        ASSERT_TRUE(serve.Submit(1, serial)["accepted"].get<bool>());
        EXPECT_EQ(serve.Done(serial)["outcome"], "PASS");
    }
    // Every record reaches the MES once it answers again, each once.
    json results;
    for (int i = 0; i < 1000; ++i) {
        results = stub.Results();
        if (results.value("count", 0) == 3) break;
        usleep(10000);
    }
    EXPECT_EQ(results["count"], 3);
    EXPECT_EQ(results["duplicates"], 0);
    EXPECT_GE(results["unavailable"].get<int>(), 4);
    std::set<std::string> serials;
    for (const json& r : results["results"]) serials.insert(r["record"]["serial"].get<std::string>());
    EXPECT_EQ(serials, (std::set<std::string>{"SN-0001", "SN-0002", "SN-0004"}));
    json stopped;
    EXPECT_EQ(serve.Stop(stopped), 0);
    EXPECT_EQ(stopped["outbox"]["mes"], 0);
    // Slot 2's DUT was never opened: its NVM was never made.
    EXPECT_FALSE(std::filesystem::exists(dir / "dut2"));
    for (const auto& r : ReadJsonl(dir / "results/records.jsonl")) EXPECT_NE(r.serial, "SN-0003");
}

TEST_F(Serve, TwoSlotsTake200SerialsWithoutGrowingAndEveryRecordIsStored)
{
    ServeProcess serve(Args(Fixture(2, "")), dir / "errors.txt");
    ASSERT_FALSE(serve.Event("ready").is_null()) << ReadText(dir / "errors.txt");
    const int total = 200;
    int next = 0, done = 0;
    long rssStart = 0, fdsStart = 0;
    auto submit = [&](int aSlot) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "SN-%04d", ++next);
        const json answer = serve.Submit(aSlot, serial);
        ASSERT_TRUE(answer["accepted"].get<bool>()) << answer;
    };
    submit(1);
    submit(2);
    while (done < total) {
        const json end = serve.Next([](const json& j) { return j.value("event", "") == "done"; });
        ASSERT_FALSE(end.is_null()) << "unit " << done << ": " << ReadText(dir / "errors.txt");
        ASSERT_EQ(end["outcome"], "PASS") << end;
        ++done;
        // Measured once the station has settled (its threads and connections made).
        if (done == 20) {
            rssStart = ResidentKb(serve.Pid());
            fdsStart = OpenFds(serve.Pid());
        }
        if (next < total) submit(end["slot"].get<int>());
    }
    const long rssEnd = ResidentKb(serve.Pid()), fdsEnd = OpenFds(serve.Pid());
    std::printf("serve: RSS %ld kB after 20 units, %ld kB after %d; open fds %ld and %ld\n", rssStart, rssEnd, total,
                fdsStart, fdsEnd);
// GCC says so with __SANITIZE_ADDRESS__, clang with __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define SERVE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SERVE_TEST_ASAN 1
#endif
#endif
#if defined(SERVE_TEST_ASAN)
    // AddressSanitizer holds freed memory back (its quarantine, 256 MB): the
    // resident size says nothing here, its leak check at the end does.
    (void)rssStart;
#else
    EXPECT_LT(rssEnd - rssStart, 4096) << "RSS grew from " << rssStart << " kB to " << rssEnd << " kB";
#endif
    EXPECT_LE(fdsEnd, fdsStart + 2);
    json stopped;
    EXPECT_EQ(serve.Stop(stopped), 0);
    EXPECT_EQ(stopped["outbox"]["store"], 0);
    EXPECT_EQ(StoredRecords(), static_cast<size_t>(total));
}

// A shift on a line's central store takes leases as a batch run does: of
// the size, up to the low mark, for the hours it is given.
TEST_F(Serve, OnACentralStoreTheShiftTakesLeasesOfTheSizeLowMarkAndHoursGiven)
{
    ASSERT_TRUE(Postgres().ok()) << Postgres().error();
    const std::string url = Postgres().NewDatabase();
    ASSERT_EQ(Station({"addresses", "add", "--db", url, "--nap", "0x5B", "--uap", "2", "--first", "0", "--last", "0xFF"}).status, 0);
    db = url;
    ServeProcess serve(Args(Fixture(1, ""), {"--lease-size", "4", "--lease-low", "10", "--lease-hours", "2"}),
                       dir / "errors.txt");
    ASSERT_FALSE(serve.Event("ready").is_null()) << ReadText(dir / "errors.txt");
    ASSERT_TRUE(serve.Submit(1, "SN-0001")["accepted"].get<bool>());
    EXPECT_EQ(serve.Done("SN-0001")["outcome"], "PASS");

    std::string error;
    std::vector<station::LeaseInfo> leases;
    auto central = station::OpenStore(url, station::StoreMode::Existing, error);
    ASSERT_TRUE(central && central->Leases(leases, error)) << error;
    ASSERT_EQ(leases.size(), 3u) << "leases of 4 until 10 are free";
    // Times are "YYYY-MM-DDTHH:MM:SS.mmmZ" in UTC: two hours apart, to the minute.
    const auto minutes = [](const std::string& aTime) {
        return std::stoi(aTime.substr(11, 2)) * 60 + std::stoi(aTime.substr(14, 2));
    };
    for (const station::LeaseInfo& lease : leases) {
        EXPECT_EQ(lease.size, 4);
        EXPECT_NEAR((minutes(lease.expires) - minutes(lease.taken) + 24 * 60) % (24 * 60), 120, 1)
            << lease.taken << " " << lease.expires;
    }
    json stopped;
    EXPECT_EQ(serve.Stop(stopped), 0);
}

TEST_F(Serve, TheWebViewOffLoopbackNeedsATokenAndEveryRequestMustCarryIt)
{
    const std::string fixture = Fixture(1, "");
    const StationResult open = Station({"serve", "--fixture", fixture, "--plan", plan, "--db", db, "--results", dir / "results",
                                        "--web", "0.0.0.0:0"});
    EXPECT_EQ(open.status, 2);
    EXPECT_NE(open.output.find("needs a token"), std::string::npos) << open.output;

    ServeProcess serve(Args(fixture, {"--web", "127.0.0.1:0", "--token", "T0ken"}), dir / "errors.txt");
    const json ready = serve.Event("ready");
    ASSERT_FALSE(ready.is_null()) << ReadText(dir / "errors.txt");
    std::string url = ready["web"].get<std::string>();
    url.pop_back();
    httplib::Client client(url);
    auto answer = client.Get("/api/status");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 401);
    EXPECT_EQ(client.Get("/")->status, 401);
    answer = client.Get("/api/status", {{"Authorization", "Bearer T0ken"}});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    const json state = json::parse(answer->body, nullptr, false);
    EXPECT_EQ(state["station"], "serve-station");
    EXPECT_EQ(state["slots"].size(), 1u);
    json stopped;
    EXPECT_EQ(serve.Stop(stopped), 0);
}

}  // namespace
