#include "web/webview.h"

#include "web/access.h"
#include "web/assets.h"
#include "web/listen_probe.h"
#include "web/state_json.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace station::web {

namespace {

// Pages that may follow the live state at once; each holds one of the
// server's threads while it is open. More are answered 503.
constexpr size_t kMaxStreams = 32;
// Threads for everything else: the page's files, the API, keep-alive.
constexpr size_t kRequestThreads = 8;
// How long a stream waits for a change before it looks whether its page
// is still there (and whether the server is closing).
constexpr std::chrono::milliseconds kStreamSlice{250};
// A comment on an idle stream, so that proxies and the browser keep it.
constexpr std::chrono::seconds kKeepAlive{15};
// How long the browser waits before it reconnects a stream that broke.
constexpr int kRetryMillis = 2000;
// How long the watcher waits for the station per call, and so how long
// Close() may wait for it.
constexpr std::chrono::milliseconds kWatchSlice{200};
// A request body larger than any serial request.
constexpr size_t kMaxBody = 16 * 1024;
// The longest serial handed to the station.
constexpr size_t kMaxSerial = 256;

const char kPolicy[] = "default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

void SendJson(httplib::Response& aResponse, int aStatus, const nlohmann::json& aBody)
{
    aResponse.status = aStatus;
    aResponse.set_content(aBody.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                          "application/json; charset=utf-8");
}

void SendText(httplib::Response& aResponse, int aStatus, const std::string& aText)
{
    aResponse.status = aStatus;
    aResponse.set_content(aText + "\n", "text/plain; charset=utf-8");
}

nlohmann::json SerialAnswer(bool aAccepted, const std::string& aText)
{
    return {{"accepted", aAccepted}, {"text", aText}};
}

// Why a serial from the page is not handed to the station, or "".
std::string SerialProblem(const std::string& aSerial)
{
    if (aSerial.empty()) return "no serial was given";
    if (aSerial.size() > kMaxSerial) return "the serial is longer than " + std::to_string(kMaxSerial) + " characters";
    for (const char c : aSerial) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return "the serial has a control character";
    }
    return "";
}

std::string What(const std::exception_ptr& aError)
{
    try {
        std::rethrow_exception(aError);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an unknown failure";
    }
}

}  // namespace

struct WebServer::Impl {
    httplib::Server server;
    AccessRules rules;
    Controller* controller = nullptr;
    std::string address;
    std::thread listener, watcher;
    std::atomic<bool> listenerDone{false};

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool closing = false;
    bool closed = false;
    uint64_t version = 0;                      // of the event below
    std::shared_ptr<const std::string> event;  // "id: ...\ndata: {...}\n\n"
    size_t streams = 0;
    // The version each live stream has written to its page (none yet: not
    // there), and the signal of a write for Drain() (the streams wait on
    // changed, which a write would wake for nothing).
    std::unordered_map<const void*, uint64_t> written;
    std::condition_variable wrote;

    void Publish(uint64_t aVersion);
    void Watch(uint64_t aSeen);
    void Route();
    httplib::Server::HandlerResponse Admit(const httplib::Request& aRequest, httplib::Response& aResponse);
    void Status(httplib::Response& aResponse);
    void Events(httplib::Response& aResponse);
    void Serial(const httplib::Request& aRequest, httplib::Response& aResponse);
    void StopStation(httplib::Response& aResponse);
};

// Takes the station's state once per change, for every stream at once.
void WebServer::Impl::Publish(uint64_t aVersion)
{
    const StationView view = controller->Snapshot();
    auto text = std::make_shared<std::string>("id: " + std::to_string(aVersion) + "\ndata: ");
    *text += StateJson(view, aVersion);
    *text += "\n\n";
    std::lock_guard<std::mutex> lock(mutex);
    version = aVersion;
    event = std::move(text);
    changed.notify_all();
    wrote.notify_all();
}

void WebServer::Impl::Watch(uint64_t aSeen)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closing) return;
        }
        try {
            const uint64_t now = controller->WaitForChange(aSeen, kWatchSlice);
            if (now != aSeen) {
                Publish(now);
                aSeen = now;
            }
        } catch (...) {
            // A station that fails to answer is asked again a moment later;
            // the pages keep the last state they had.
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, kWatchSlice, [&] { return closing; });
        }
    }
}

httplib::Server::HandlerResponse WebServer::Impl::Admit(const httplib::Request& aRequest, httplib::Response& aResponse)
{
    using Answer = httplib::Server::HandlerResponse;
    if (aRequest.get_header_value_count("Host") != 1 || !rules.HostAccepted(aRequest.get_header_value("Host"))) {
        SendText(aResponse, 403, "This station's view answers only at the address it listens on, " + address + ".");
        return Answer::Handled;
    }
    const std::string queryToken = aRequest.has_param("token") ? aRequest.get_param_value("token") : "";
    if (!rules.TokenAccepted(aRequest.get_header_value("Authorization"), aRequest.get_header_value("Cookie"),
                             queryToken)) {
        aResponse.set_header("WWW-Authenticate", "Bearer");
        SendText(aResponse, 401,
                 "This station's view needs its token: open http://" + address +
                     "/?token=TOKEN, or send the header "
                     "\"Authorization: Bearer TOKEN\".");
        return Answer::Handled;
    }
    if (rules.NeedsToken() && !queryToken.empty() && rules.TokenAccepted("", "", queryToken)) {
        // The browser keeps the token from now on; the page's address loses
        // it, so that it stays out of the history and off the screen.
        aResponse.set_header("Set-Cookie", rules.TokenCookie());
        if (aRequest.method == "GET" && aRequest.path == "/") {
            aResponse.status = 303;
            aResponse.set_header("Location", "/");
            return Answer::Handled;
        }
    }
    if (aRequest.method != "GET" && aRequest.method != "HEAD") {
        if (!rules.SameOrigin(aRequest.get_header_value("Origin"), aRequest.get_header_value("Sec-Fetch-Site"),
                              aRequest.get_header_value("Host"))) {
            SendText(aResponse, 403, "Only the station's own page may change the station.");
            return Answer::Handled;
        }
        if (!IsJsonContentType(aRequest.get_header_value("Content-Type"))) {
            SendText(aResponse, 415, "Send JSON, with the header \"Content-Type: application/json\".");
            return Answer::Handled;
        }
    }
    return Answer::Unhandled;
}

void WebServer::Impl::Status(httplib::Response& aResponse)
{
    try {
        const uint64_t now = controller->Version();
        aResponse.status = 200;
        aResponse.set_content(StateJson(controller->Snapshot(), now), "application/json; charset=utf-8");
    } catch (...) {
        SendJson(aResponse, 500, {{"error", "the station did not give its state: " + What(std::current_exception())}});
    }
}

void WebServer::Impl::Events(httplib::Response& aResponse)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (streams >= kMaxStreams) {
            SendText(aResponse, 503, "Too many pages follow this station; close one.");
            return;
        }
        ++streams;
    }
    struct Stream {
        bool started = false;
        uint64_t sent = 0;
        std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
    };
    auto stream = std::make_shared<Stream>();
    aResponse.set_header("Cache-Control", "no-store");
    aResponse.set_header("X-Accel-Buffering", "no");
    aResponse.set_chunked_content_provider(
        "text/event-stream",
        [this, stream](size_t, httplib::DataSink& aSink) {
            std::shared_ptr<const std::string> next;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait_for(lock, kStreamSlice,
                                 [&] { return closing || !stream->started || version != stream->sent; });
                if (closing) {
                    lock.unlock();
                    aSink.done();
                    return true;
                }
                if (event && (!stream->started || version != stream->sent)) {
                    next = event;
                    stream->sent = version;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            if (next) {
                std::string text;
                if (!stream->started) text = "retry: " + std::to_string(kRetryMillis) + "\n";
                stream->started = true;
                text += *next;
                if (!aSink.write(text.data(), text.size())) return false;
                stream->lastWrite = now;
                std::lock_guard<std::mutex> lock(mutex);
                written[stream.get()] = stream->sent;
                wrote.notify_all();
                return true;
            }
            // A page that went away ends its stream here, not at the next change.
            if (!aSink.is_writable()) return false;
            if (now - stream->lastWrite >= kKeepAlive) {
                static const char kComment[] = ": keep-alive\n\n";
                if (!aSink.write(kComment, sizeof kComment - 1)) return false;
                stream->lastWrite = now;
            }
            return true;
        },
        [this, stream](bool) {
            std::lock_guard<std::mutex> lock(mutex);
            --streams;
            written.erase(stream.get());
            wrote.notify_all();
        });
}

void WebServer::Impl::Serial(const httplib::Request& aRequest, httplib::Response& aResponse)
{
    const auto body = nlohmann::json::parse(aRequest.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        SendJson(aResponse, 400, SerialAnswer(false, "the request is not a JSON object"));
        return;
    }
    const auto slot = body.find("slot");
    const auto serial = body.find("serial");
    if (slot == body.end() || !slot->is_number_integer()) {
        SendJson(aResponse, 400, SerialAnswer(false, "\"slot\" must be a slot number"));
        return;
    }
    if (serial == body.end() || !serial->is_string()) {
        SendJson(aResponse, 400, SerialAnswer(false, "\"serial\" must be a text"));
        return;
    }
    const auto text = serial->get<std::string>();
    const std::string problem = SerialProblem(text);
    if (!problem.empty()) {
        SendJson(aResponse, 200, SerialAnswer(false, problem));
        return;
    }
    try {
        const int64_t number = slot->get<int64_t>();
        bool known = false;
        for (const auto& view : controller->Snapshot().slots) known = known || view.slot == number;
        if (!known) {
            SendJson(aResponse, 200, SerialAnswer(false, "the station has no slot " + std::to_string(number)));
            return;
        }
        const std::string refusal = controller->SubmitSerial(static_cast<int>(number), text);
        SendJson(aResponse, 200, SerialAnswer(refusal.empty(), refusal));
    } catch (...) {
        SendJson(aResponse, 500,
                 SerialAnswer(false, "the station failed to take the serial: " + What(std::current_exception())));
    }
}

void WebServer::Impl::StopStation(httplib::Response& aResponse)
{
    try {
        controller->Stop();
        SendJson(aResponse, 200, {{"stopping", true}});
    } catch (...) {
        SendJson(aResponse, 500, {{"error", "the station failed to stop: " + What(std::current_exception())}});
    }
}

// The library's own options let a second program listen on the same port
// (SO_REUSEPORT), and the system then shares the connections between the
// two: a serial typed for this station could reach another. Only a quick
// restart over connections still closing is allowed here.
void ExclusiveListener(socket_t aSocket)
{
    int yes = 1;
#ifdef _WIN32
    setsockopt(aSocket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
#else
    setsockopt(aSocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
}

void WebServer::Impl::Route()
{
    server.set_socket_options(ExclusiveListener);
    server.new_task_queue = [] { return new httplib::ThreadPool(kMaxStreams + kRequestThreads); };
    // Idle keep-alive connections hold a thread, and Close() waits for them.
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(std::chrono::seconds(5));
    server.set_write_timeout(std::chrono::seconds(5));
    server.set_payload_max_length(kMaxBody);
    server.set_pre_routing_handler(
        [this](const httplib::Request& aRequest, httplib::Response& aResponse) { return Admit(aRequest, aResponse); });
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& aResponse) {
        aResponse.set_header("Content-Security-Policy", kPolicy);
        aResponse.set_header("X-Content-Type-Options", "nosniff");
        aResponse.set_header("X-Frame-Options", "DENY");
        aResponse.set_header("Referrer-Policy", "no-referrer");
        if (!aResponse.has_header("Cache-Control")) aResponse.set_header("Cache-Control", "no-cache");
    });
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& aResponse) {
            if (!aResponse.body.empty() || aResponse.content_length_ > 0)
                return httplib::Server::HandlerResponse::Unhandled;
            SendText(aResponse, aResponse.status,
                     aResponse.status == 404 ? "Not found." : "HTTP " + std::to_string(aResponse.status));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.Get(R"(/|/app\.css|/app\.js|/favicon\.svg|/favicon\.ico)",
               [](const httplib::Request& aRequest, httplib::Response& aResponse) {
                   const Asset* asset = FindAsset(aRequest.path);
                   if (!asset) {
                       SendText(aResponse, 404, "Not found.");
                       return;
                   }
                   aResponse.set_content(asset->body, asset->contentType);
               });
    server.Get("/api/status", [this](const httplib::Request&, httplib::Response& aResponse) { Status(aResponse); });
    server.Get("/events", [this](const httplib::Request&, httplib::Response& aResponse) { Events(aResponse); });
    server.Post("/api/serial", [this](const httplib::Request& aRequest, httplib::Response& aResponse) {
        Serial(aRequest, aResponse);
    });
    server.Post("/api/stop", [this](const httplib::Request&, httplib::Response& aResponse) { StopStation(aResponse); });
}

WebServer::WebServer() : mImpl(std::make_unique<Impl>()) {}

WebServer::~WebServer()
{
    Close();
}

bool WebServer::Start(const std::string& aListen, const std::string& aToken, Controller& aController,
                      std::string& aError)
{
    Impl& d = *mImpl;
    if (d.started) {
        aError = "the web view is started already";
        return false;
    }
    ListenAddress listen;
    if (!ParseListen(aListen, listen, aError)) return false;
    if (!CheckToken(aToken, aError)) return false;
    if (aToken.empty() && !IsLoopbackHost(listen.host)) {
        aError = "the web view on " + aListen + " (not a loopback address) needs a token";
        return false;
    }
    d.rules = AccessRules(listen.host, listen.port, aToken);
    d.controller = &aController;
    uint64_t seen = 0;
    try {
        seen = aController.Version();
        d.Publish(seen);
    } catch (...) {
        aError = "the station did not give its state: " + What(std::current_exception());
        return false;
    }
    d.Route();

    int port = listen.port;
    if (listen.port == 0) {
        port = d.server.bind_to_any_port(listen.host);
    } else if (!d.server.bind_to_port(listen.host, listen.port)) {
        port = -1;
    }
    if (port <= 0) {
        const std::string why = ListenFailure(listen.host, listen.port);
        aError = "the web view cannot listen on " + aListen + (why.empty() ? "" : " (" + why + ")");
        return false;
    }
    if (listen.port == 0) d.rules = AccessRules(listen.host, static_cast<uint16_t>(port), aToken);
    d.address = JoinHostPort(listen.host, static_cast<uint16_t>(port));

    d.started = true;
    d.watcher = std::thread([&d, seen] { d.Watch(seen); });
    d.listener = std::thread([&d] {
        d.server.listen_after_bind();
        d.listenerDone = true;
    });
    // Close() can stop the server only once it runs.
    while (!d.server.is_running() && !d.listenerDone) std::this_thread::yield();
    return true;
}

std::string WebServer::Address() const
{
    return mImpl->address;
}

bool WebServer::Drain(std::chrono::milliseconds aMost)
{
    Impl& d = *mImpl;
    if (!d.started || d.closed) return true;
    uint64_t latest = 0;
    try {
        latest = d.controller->Version();
    } catch (...) {
        return false;
    }
    // The watcher publishes the latest state; each stream then writes it.
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.wrote.wait_for(lock, aMost, [&] {
        if (d.version < latest) return false;
        for (const auto& stream : d.written)
            if (stream.second < latest) return false;
        return d.written.size() == d.streams;
    });
}

void WebServer::Close()
{
    Impl& d = *mImpl;
    if (!d.started || d.closed) return;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.closing = true;
        d.changed.notify_all();
    }
    d.server.stop();
    if (d.listener.joinable()) d.listener.join();
    if (d.watcher.joinable()) d.watcher.join();
    d.closed = true;
}

size_t WebServer::LiveStreams() const
{
    std::lock_guard<std::mutex> lock(mImpl->mutex);
    return mImpl->streams;
}

}  // namespace station::web
