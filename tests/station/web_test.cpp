// The operator's web view over a fake station: the state as JSON and as
// server-sent events, serials and the stop handed to the station, and who
// may talk to it (token, Host, Origin).
#include "web/access.h"
#include "web/webview.h"
#include "web_fake_station.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using station::web::StationView;
using Clock = std::chrono::steady_clock;

class FakeStation : public ViewedStation {
public:
    FakeStation() : ViewedStation("bench-3", 2) {}

    std::string SubmitSerial(int aSlot, const std::string& aSerial) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mSubmitted.emplace_back(aSlot, aSerial);
        return refusal;
    }
    void Stop() override { ++stops; }

    // Changes the state as the station would, and tells the waiters.
    template <typename F>
    void Change(F aChange)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        aChange(mView);
        Changed();
    }

    std::vector<std::pair<int, std::string>> Submitted()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSubmitted;
    }

    std::string refusal;
    std::atomic<int> stops{0};

private:
    std::vector<std::pair<int, std::string>> mSubmitted;
};

uint16_t PortOf(const std::string& aAddress)
{
    return static_cast<uint16_t>(std::stoi(aAddress.substr(aAddress.rfind(':') + 1)));
}

std::unique_ptr<httplib::Client> ClientOf(const station::web::WebServer& aServer)
{
    auto client = std::make_unique<httplib::Client>("127.0.0.1", PortOf(aServer.Address()));
    client->set_read_timeout(10, 0);
    return client;
}

// Follows /events in a thread of its own, keeping every event it gets.
class EventReader {
public:
    EventReader(const station::web::WebServer& aServer, httplib::Headers aHeaders = {}) : mClient(ClientOf(aServer))
    {
        mThread = std::thread([this, aHeaders] {
            auto result = mClient->Get("/events", aHeaders, [this](const char* aData, size_t aSize) {
                std::lock_guard<std::mutex> lock(mMutex);
                mBuffer.append(aData, aSize);
                for (size_t end; (end = mBuffer.find("\n\n")) != std::string::npos;) {
                    const std::string block = mBuffer.substr(0, end);
                    mBuffer.erase(0, end + 2);
                    size_t data = block.find("data: ");
                    if (data != std::string::npos) {
                        mEvents.push_back({nlohmann::json::parse(block.substr(data + 6)), Clock::now()});
                    }
                }
                mChanged.notify_all();
                return !mLeave;
            });
            std::lock_guard<std::mutex> lock(mMutex);
            mStatus = result ? result->status : -1;
            mEnded = true;
            mChanged.notify_all();
        });
    }
    ~EventReader() { Leave(); }

    struct Event {
        nlohmann::json state;
        Clock::time_point arrived;
    };

    // Waits for an event with aPredicate true; false when none came within
    // aTimeout or the stream ended first.
    template <typename P>
    bool WaitFor(P aPredicate, std::chrono::milliseconds aTimeout, Event* aEvent = nullptr)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        bool found = false;
        mChanged.wait_for(lock, aTimeout, [&] {
            for (const auto& event : mEvents) {
                if (aPredicate(event.state)) {
                    if (aEvent) *aEvent = event;
                    found = true;
                }
                if (found) break;
            }
            return found || mEnded;
        });
        return found;
    }
    bool WaitEnded(std::chrono::milliseconds aTimeout)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, aTimeout, [&] { return mEnded; });
    }
    int Status()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mStatus;
    }
    // Goes away in the middle of the stream, as a closed browser tab does.
    void Leave()
    {
        mLeave = true;
        mClient->stop();
        if (mThread.joinable()) mThread.join();
    }

private:
    std::unique_ptr<httplib::Client> mClient;
    std::thread mThread;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::string mBuffer;
    std::vector<Event> mEvents;
    std::atomic<bool> mLeave{false};
    bool mEnded = false;
    int mStatus = 0;
};

class WebViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(server.Start("127.0.0.1:0", "", station, error)) << error;
        host = server.Address();
    }
    httplib::Headers Json() const { return {{"Content-Type", "application/json"}}; }
    httplib::Result PostSerial(const std::string& aBody, httplib::Headers aHeaders = {})
    {
        aHeaders.emplace("Content-Type", "application/json");
        return ClientOf(server)->Post("/api/serial", aHeaders, aBody, "application/json");
    }

    FakeStation station;
    station::web::WebServer server;
    std::string host;
};

// The names scripts and the page read.
TEST_F(WebViewTest, StatusGivesTheWholeStateAsJson)
{
    station.Change([](StationView& v) {
        auto& slot = v.slots[0];
        slot.state = "running";
        slot.serial = "SN-0001";
        slot.step = "tx_power";
        slot.value = "4.03 dBm";
        slot.limit = "-20 to 10 dBm";
        slot.marginal = true;
        slot.elapsed = 2.5;
        slot.steps = {{"open", "PASS", ""}, {"tx_power", "", ""}};
        v.shift = {4, 3, 1, 0, 0, 0.75, "/report"};
    });
    auto result = ClientOf(server)->Get("/api/status");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json; charset=utf-8");
    const auto state = nlohmann::json::parse(result->body);
    EXPECT_EQ(state["version"], 2);
    EXPECT_EQ(state["station"], "bench-3");
    EXPECT_EQ(state["stopping"], false);
    EXPECT_EQ(state["slots"][0], nlohmann::json::parse(R"({"slot": 1, "state": "running", "serial": "SN-0001",
        "step": "tx_power", "value": "4.03 dBm", "limit": "-20 to 10 dBm", "marginal": true, "elapsed": 2.5,
        "outcome": "", "text": "", "address": "", "steps": [{"name": "open", "outcome": "PASS", "value": ""},
        {"name": "tx_power", "outcome": "", "value": ""}]})"));
    EXPECT_EQ(state["shift"], nlohmann::json::parse(R"({"tested": 4, "passed": 3, "failed": 1, "errors": 0,
        "aborted": 0, "first_pass_yield": 0.75, "report_url": "/report"})"));
}

// Texts come from devices and plans: they reach the page only as JSON
// strings (the page sets them as text), never inside its markup, and bytes
// that are not UTF-8 do not cost the page its state.
TEST_F(WebViewTest, StationTextsAreCarriedAsDataOnly)
{
    const std::string hostile = "<img src=x onerror=alert(1)></script>\"\n\x01";
    station.Change([&](StationView& v) {
        v.station = hostile;
        v.slots[0].text = "bad \xff\xfe bytes";
        v.slots[0].steps = {{hostile, "FAIL", hostile}};
    });
    auto client = ClientOf(server);
    auto status = client->Get("/api/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->body.find('\n'), std::string::npos) << "one line, so an event's data cannot be split";
    const auto state = nlohmann::json::parse(status->body);
    EXPECT_EQ(state["station"], hostile);
    EXPECT_EQ(state["slots"][0]["text"], "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes");

    auto page = client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body.find("onerror"), std::string::npos);
    EXPECT_EQ(page->body.find("<script>"), std::string::npos) << "no inline script";
    EXPECT_EQ(page->get_header_value("Content-Security-Policy").rfind("default-src 'self'", 0), 0u);
    EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
    auto script = client->Get("/app.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(script->body.find("innerHTML"), std::string::npos);
    EXPECT_EQ(client->Get("/app.css")->status, 200);
    EXPECT_EQ(client->Get("/favicon.svg")->status, 200);
    EXPECT_EQ(client->Get("/etc/passwd")->status, 404);
}

TEST_F(WebViewTest, EventsCarryEveryChangeWithinASecond)
{
    EventReader reader(server);
    ASSERT_TRUE(reader.WaitFor([](const nlohmann::json& s) { return s["version"] == 1; }, 2s))
        << "the whole state as soon as the page connects";
    double worst = 0;
    for (int unit = 1; unit <= 5; ++unit) {
        const auto changed = Clock::now();
        station.Change([&](StationView& v) {
            v.slots[1].serial = "SN-000" + std::to_string(unit);
            v.slots[1].outcome = "PASS";
        });
        EventReader::Event event;
        ASSERT_TRUE(reader.WaitFor([&](const nlohmann::json& s) { return s["version"] == unit + 1; }, 2s, &event));
        EXPECT_EQ(event.state["slots"][1]["serial"], "SN-000" + std::to_string(unit));
        worst = std::max(worst, std::chrono::duration<double, std::milli>(event.arrived - changed).count());
    }
    EXPECT_LT(worst, 1000.0);
    std::printf("slowest of 5 changes to reach the stream: %.1f ms\n", worst);
}

// Before the server closes, every page is sent the station's last state;
// with no page open there is nothing to wait for.
TEST_F(WebViewTest, DrainSendsEveryPageTheLastStateBeforeClose)
{
    EXPECT_TRUE(server.Drain(0ms));
    EventReader first(server), second(server);
    for (EventReader* reader : {&first, &second})
        ASSERT_TRUE(reader->WaitFor([](const nlohmann::json& s) { return s["version"] == 1; }, 2s));
    station.Change([](StationView& v) { v.slots[0].outcome = "ABORT"; });
    EXPECT_TRUE(server.Drain(5s));
    server.Close();
    for (EventReader* reader : {&first, &second}) {
        EventReader::Event last;
        EXPECT_TRUE(reader->WaitFor([](const nlohmann::json& s) { return s["version"] == 2; }, 0ms, &last));
        EXPECT_EQ(last.state["slots"][0]["outcome"], "ABORT");
    }
}

// Every page open holds a stream; one that goes away mid-stream frees its
// place without a change to write to it, and the page's files and the API
// keep threads of their own while every stream is taken.
TEST_F(WebViewTest, ManyPagesFollowAtOnce)
{
    std::vector<std::unique_ptr<EventReader>> readers;
    for (int i = 0; i < 32; ++i) readers.push_back(std::make_unique<EventReader>(server));
    for (auto& reader : readers) {
        ASSERT_TRUE(reader->WaitFor([](const nlohmann::json& s) { return s["version"] == 1; }, 5s));
    }
    EventReader extra(server);
    ASSERT_TRUE(extra.WaitEnded(5s));
    EXPECT_EQ(extra.Status(), 503);
    EXPECT_EQ(ClientOf(server)->Get("/api/status")->status, 200);
    EXPECT_EQ(PostSerial(R"({"slot": 1, "serial": "SN-1"})")->status, 200);

    station.Change([](StationView& v) { v.slots[0].outcome = "FAIL"; });
    for (auto& reader : readers) {
        EXPECT_TRUE(reader->WaitFor([](const nlohmann::json& s) { return s["slots"][0]["outcome"] == "FAIL"; }, 2s));
    }
    for (size_t i = 0; i < 10; ++i) readers[i]->Leave();
    const auto deadline = Clock::now() + 3s;
    while (server.LiveStreams() > 22 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server.LiveStreams(), 22u);
    EventReader again(server);
    EXPECT_TRUE(again.WaitFor([](const nlohmann::json& s) { return s["slots"][0]["outcome"] == "FAIL"; }, 2s));

    const auto closing = Clock::now();
    server.Close();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - closing).count();
    EXPECT_LT(ms, 2000.0);
    for (size_t i = 10; i < readers.size(); ++i) EXPECT_TRUE(readers[i]->WaitEnded(2s));
    std::printf("closing with 23 open streams took %.0f ms\n", ms);
}

TEST_F(WebViewTest, SerialsReachTheStationAndRefusalsComeBack)
{
    auto accepted = PostSerial(R"({"slot": 2, "serial": "SN-0007"})");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 200);
    EXPECT_EQ(nlohmann::json::parse(accepted->body), (nlohmann::json{{"accepted", true}, {"text", ""}}));

    station.refusal = "SN-0007 is running on slot 2";
    auto refused = PostSerial(R"({"slot": 1, "serial": "SN-0007"})");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 200);
    EXPECT_EQ(nlohmann::json::parse(refused->body),
              (nlohmann::json{{"accepted", false}, {"text", "SN-0007 is running on slot 2"}}));
    const std::vector<std::pair<int, std::string>> expected{{2, "SN-0007"}, {1, "SN-0007"}};
    EXPECT_EQ(station.Submitted(), expected);

    // Refused before the station is asked.
    struct Case {
        std::string body;
        int status;
        std::string text;
    };
    const std::vector<Case> cases{
        {"not json", 400, "the request is not a JSON object"},
        {R"({"slot": "1", "serial": "SN-1"})", 400, "\"slot\" must be a slot number"},
        {R"({"slot": 1, "serial": 7})", 400, "\"serial\" must be a text"},
        {R"({"slot": 1, "serial": ""})", 200, "no serial was given"},
        {R"({"slot": 1, "serial": "SN-1\u001b[2J"})", 200, "the serial has a control character"},
        {R"({"slot": 3, "serial": "SN-1"})", 200, "the station has no slot 3"},
        {R"({"slot": 99999999999, "serial": "SN-1"})", 200, "the station has no slot 99999999999"},
        {R"({"slot": 1, "serial": ")" + std::string(300, 'A') + "\"}", 200, "the serial is longer than 256 characters"},
    };
    for (const auto& c : cases) {
        auto result = PostSerial(c.body);
        ASSERT_TRUE(result) << c.body;
        EXPECT_EQ(result->status, c.status) << c.body;
        EXPECT_EQ(nlohmann::json::parse(result->body)["text"], c.text) << c.body;
    }
    EXPECT_EQ(station.Submitted().size(), 2u);
}

TEST_F(WebViewTest, StopReachesTheStation)
{
    auto result = ClientOf(server)->Post("/api/stop", Json(), "{}", "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(nlohmann::json::parse(result->body)["stopping"], true);
    EXPECT_EQ(station.stops, 1);
}

// A page of another site may send the operator's browser to the station:
// by a form (no JSON), by a fetch (an Origin of its own), or under a name of
// its own that it made point at this machine (its Host).
TEST_F(WebViewTest, RequestsFromOtherSitesAreRefused)
{
    auto client = ClientOf(server);
    const std::string port = std::to_string(PortOf(host));
    auto form = client->Post("/api/stop", "stop=1", "application/x-www-form-urlencoded");
    ASSERT_TRUE(form);
    EXPECT_EQ(form->status, 415);
    auto plain = client->Post("/api/stop", "{}", "text/plain");
    EXPECT_EQ(plain->status, 415);
    auto origin = client->Post("/api/stop", {{"Origin", "http://evil.example"}}, "{}", "application/json");
    EXPECT_EQ(origin->status, 403);
    auto site = client->Post("/api/stop", {{"Sec-Fetch-Site", "cross-site"}}, "{}", "application/json");
    EXPECT_EQ(site->status, 403);
    auto rebound = client->Post("/api/stop", {{"Host", "evil.example:" + port}}, "{}", "application/json");
    EXPECT_EQ(rebound->status, 403);
    EXPECT_EQ(station.stops, 0);

    for (const std::string& bad :
         std::vector<std::string>{"evil.example:" + port, "127.0.0.1", "127.0.0.1:1", "localhost.:" + port, ""}) {
        auto result = client->Get("/api/status", {{"Host", bad}});
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 403) << bad;
    }
    for (const std::string& good :
         std::vector<std::string>{host, "localhost:" + port, "LOCALHOST:" + port, "[::1]:" + port}) {
        EXPECT_EQ(client->Get("/api/status", {{"Host", good}})->status, 200) << good;
    }
    auto own = client->Post(
        "/api/stop",
        {{"Origin", "http://localhost:" + port}, {"Host", "localhost:" + port}, {"Sec-Fetch-Site", "same-origin"}},
        "{}", "application/json");
    EXPECT_EQ(own->status, 200);
    EXPECT_EQ(station.stops, 1);
}

TEST(WebViewStart, ListenAddressesAndTokensAreChecked)
{
    FakeStation station;
    struct Case {
        std::string listen, token, error;
    };
    const std::vector<Case> cases{
        {"0.0.0.0:0", "", "the web view on 0.0.0.0:0 (not a loopback address) needs a token"},
        {"192.0.2.7:8080", "", "the web view on 192.0.2.7:8080 (not a loopback address) needs a token"},
        {"station-3:0", "", "the web view on station-3:0 (not a loopback address) needs a token"},
        {"8080", "", "the web address \"8080\" is not HOST:PORT"},
        {"127.0.0.1:", "", "the web address \"127.0.0.1:\" is not HOST:PORT"},
        {"127.0.0.1:65536", "", "the web address \"127.0.0.1:65536\" is not HOST:PORT"},
        {"::1:8080", "", "the web address \"::1:8080\" is not HOST:PORT"},
        {"127.0.0.1:0", "two words",
         "the token may hold only printable characters without blanks, quotes, commas, "
         "semicolons or backslashes"},
        {"127.0.0.1:0", "a;b",
         "the token may hold only printable characters without blanks, quotes, commas, "
         "semicolons or backslashes"},
    };
    for (const auto& c : cases) {
        station::web::WebServer server;
        std::string error;
        EXPECT_FALSE(server.Start(c.listen, c.token, station, error)) << c.listen;
        EXPECT_EQ(error, c.error);
    }

    station::web::WebServer first;
    std::string error;
    ASSERT_TRUE(first.Start("127.0.0.1:0", "", station, error)) << error;
    station::web::WebServer second;
    const std::string taken = first.Address();
    EXPECT_FALSE(second.Start(taken, "", station, error));
    EXPECT_EQ(error.rfind("the web view cannot listen on " + taken + " (", 0), 0u) << error;
    EXPECT_FALSE(first.Start("127.0.0.1:0", "", station, error));
    EXPECT_EQ(error, "the web view is started already");
}

TEST(WebViewToken, EveryRequestNeedsTheTokenOnAnOpenAddress)
{
    FakeStation station;
    station::web::WebServer server;
    std::string error;
    ASSERT_TRUE(server.Start("0.0.0.0:0", "s3cret-Token", station, error)) << error;
    EXPECT_EQ(server.Address().rfind("0.0.0.0:", 0), 0u);
    auto client = ClientOf(server);

    for (const char* path : {"/", "/app.js", "/api/status", "/events"}) {
        auto result = client->Get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 401) << path;
        EXPECT_EQ(result->get_header_value("WWW-Authenticate"), "Bearer");
        EXPECT_EQ(client->Get(path, {{"Authorization", "Bearer s3cret-Tokem"}})->status, 401) << path;
        EXPECT_EQ(client->Get(path, {{"Cookie", "nvt_station_token=s3cret-Toke"}})->status, 401) << path;
    }
    EXPECT_EQ(client->Post("/api/stop", "{}", "application/json")->status, 401);
    EXPECT_EQ(station.stops, 0);

    const httplib::Headers bearer{{"Authorization", "Bearer s3cret-Token"}};
    EXPECT_EQ(client->Get("/api/status", bearer)->status, 200);
    EXPECT_EQ(client->Post("/api/stop", bearer, "{}", "application/json")->status, 200);
    EXPECT_EQ(station.stops, 1);

    // The page's address with the token sets a cookie and loses the token.
    auto first = client->Get("/?token=s3cret-Token");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 303);
    EXPECT_EQ(first->get_header_value("Location"), "/");
    const std::string cookie = first->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie, "nvt_station_token=s3cret-Token; Path=/; HttpOnly; SameSite=Strict");
    const httplib::Headers withCookie{{"Cookie", "theme=dark; nvt_station_token=s3cret-Token"}};
    EXPECT_EQ(client->Get("/", withCookie)->status, 200);
    EventReader reader(server, withCookie);
    EXPECT_TRUE(reader.WaitFor([](const nlohmann::json& s) { return s["station"] == "bench-3"; }, 2s));
    EXPECT_EQ(client->Get("/?token=wrong")->status, 401);
}

// What the listeners above do not show: a listener on a name, on every
// address, on port 80 (whose Host has no port).
TEST(WebViewAccess, HostValuesAcceptedAreTheListenersOwn)
{
    using station::web::AccessRules;
    const AccessRules web("127.0.0.1", 80, "");
    EXPECT_TRUE(web.HostAccepted("localhost"));
    EXPECT_TRUE(web.HostAccepted("[::1]:80"));
    EXPECT_FALSE(web.HostAccepted("localhost:8080"));
    const AccessRules named("station-3.line", 9000, "t");
    EXPECT_TRUE(named.HostAccepted("Station-3.Line:9000"));
    EXPECT_FALSE(named.HostAccepted("localhost:9000"));
    const AccessRules any("0.0.0.0", 9000, "t");
    EXPECT_TRUE(any.HostAccepted("[fe80::1]:9000"));
    EXPECT_FALSE(any.HostAccepted("10.1.2.3:9001"));
    EXPECT_FALSE(any.HostAccepted("10.1.2.3"));

    EXPECT_TRUE(station::web::IsLoopbackHost("127.10.0.1"));
    EXPECT_FALSE(station::web::IsLoopbackHost("127.0.0.1.evil.example"));
    EXPECT_FALSE(station::web::IsLoopbackHost("0.0.0.0"));
    EXPECT_EQ(station::web::CookieValue("a=1; nvt_station_token=x=y; b=2", "nvt_station_token"), "x=y");
    EXPECT_EQ(station::web::CookieValue("xnvt_station_token=1", "nvt_station_token"), "");
}

}  // namespace
