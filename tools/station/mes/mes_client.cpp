#include "mes/mes_client.h"

#include "mes/mes_contract.h"
#include "text.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace station::mes {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// No answer of the contract is anywhere near this; a larger one is not read.
constexpr size_t kMaxAnswerBytes = 64 * 1024;
// The most of an MES text (a reason, an error) the station passes on.
constexpr size_t kMaxTextBytes = 500;
constexpr size_t kMaxUrlLength = 2000;

struct Endpoint {
    std::string scheme;  // "http" or "https"
    std::string host;    // as written; an IPv6 address keeps its brackets
    int port = 0;
    std::string base;    // "" or "/api" (no slash at the end)
    std::string Shown() const { return scheme + "://" + host + ":" + std::to_string(port) + base; }
};

bool IsHostChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool ParseUrl(const std::string& aUrl, Endpoint& aOut, std::string& aError)
{
    // The url is not quoted in these texts: it may hold what it must not
    // (a password).
    auto fail = [&](const std::string& aWhy) {
        aError = "the MES url " + aWhy;
        return false;
    };
    if (aUrl.empty()) return fail("is empty");
    if (aUrl.size() > kMaxUrlLength) return fail("is longer than " + std::to_string(kMaxUrlLength) + " characters");
    for (char c : aUrl)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return fail("holds a space, a control character or a character outside ASCII");
    const size_t schemeEnd = aUrl.find("://");
    if (schemeEnd == std::string::npos) return fail("does not start with http:// or https://");
    std::string scheme = aUrl.substr(0, schemeEnd);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    if (scheme != "http" && scheme != "https") return fail("does not start with http:// or https://");
    if (scheme == "https" && !HasTls())
        return fail("is https, and this station is built without TLS: it speaks http only");
    if (aUrl.find_first_of("?#") != std::string::npos) return fail("must not have a query or a fragment");
    const size_t authority = schemeEnd + 3;
    const size_t pathStart = std::min(aUrl.find('/', authority), aUrl.size());
    const std::string hostPort = aUrl.substr(authority, pathStart - authority);
    if (hostPort.find('@') != std::string::npos)
        return fail("must not hold a user or a password (the token is given apart)");

    std::string host, port;
    if (!hostPort.empty() && hostPort.front() == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos || close == 1) return fail("has an IPv6 address without its closing ]");
        for (size_t i = 1; i < close; ++i)
            if (!std::isxdigit(static_cast<unsigned char>(hostPort[i])) && hostPort[i] != ':' && hostPort[i] != '.')
                return fail("has an IPv6 address that is not one");
        host = hostPort.substr(0, close + 1);
        const std::string rest = hostPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return fail("has text after its IPv6 address");
            port = rest.substr(1);
            if (port.empty()) return fail("has a : without a port");
        }
    } else {
        const size_t colon = hostPort.find(':');
        host = hostPort.substr(0, colon);
        if (colon != std::string::npos) {
            port = hostPort.substr(colon + 1);
            if (port.empty()) return fail("has a : without a port");
        }
        if (!std::all_of(host.begin(), host.end(), IsHostChar)) return fail("has a host name that is not one");
    }
    if (host.empty()) return fail("has no host");
    int portNumber = scheme == "https" ? 443 : 80;
    if (!port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return fail("has a port that is not a number from 1 to 65535");
        portNumber = std::stoi(port);
        if (portNumber < 1 || portNumber > 65535) return fail("has a port that is not a number from 1 to 65535");
    }
    std::string base = aUrl.substr(pathStart);
    while (!base.empty() && base.back() == '/') base.pop_back();
    aOut.scheme = scheme;
    aOut.host = host;
    aOut.port = portNumber;
    aOut.base = base;
    return true;
}

// The token travels in a header: printable ASCII without spaces. The texts
// never quote it.
bool CheckToken(const std::string& aToken, std::string& aError)
{
    for (char c : aToken) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            aError = "the MES token holds a space, a control character or a character outside ASCII";
            return false;
        }
    }
    return true;
}

bool Prepare(const MesConfig& aConfig, Endpoint& aEndpoint, std::string& aError)
{
    if (!ParseUrl(aConfig.url, aEndpoint, aError) || !CheckToken(aConfig.token, aError)) return false;
    if (aConfig.timeout.count() <= 0) {
        aError = "the MES time-out must be above 0 ms";
        return false;
    }
    return true;
}

std::string Replace(std::string aText, const std::string& aFrom, const std::string& aTo)
{
    if (aFrom.empty()) return aText;
    for (size_t at = aText.find(aFrom); at != std::string::npos; at = aText.find(aFrom, at + aTo.size()))
        aText.replace(at, aFrom.size(), aTo);
    return aText;
}

// The length of the UTF-8 sequence at aText[aAt], 0 when none starts there
// (a stray byte, an overlong form, a surrogate, beyond U+10FFFF).
size_t Utf8Length(const std::string& aText, size_t aAt)
{
    auto byte = [&](size_t k) { return aAt + k < aText.size() ? static_cast<unsigned char>(aText[aAt + k]) : 0; };
    const unsigned char b0 = byte(0);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) length = 2;
    else if (b0 >= 0xE0 && b0 <= 0xEF) length = 3, low = b0 == 0xE0 ? 0xA0 : 0x80, high = b0 == 0xED ? 0x9F : 0xBF;
    else if (b0 >= 0xF0 && b0 <= 0xF4) length = 4, low = b0 == 0xF0 ? 0x90 : 0x80, high = b0 == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if ((byte(k) & 0xC0) != 0x80) return 0;
    return length;
}

// A text of the MES as the station may show and keep it: the token taken
// out, bytes that are not UTF-8 and control characters written as \xNN,
// cut at kMaxTextBytes.
std::string Showable(const std::string& aText, const std::string& aToken)
{
    std::string text = aText;
    if (aToken.size() >= 4) text = Replace(text, aToken, "***");
    else if (!aToken.empty()) text = Replace(text, "Bearer " + aToken, "Bearer ***");
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8Length(text, i);
        std::string piece;
        if (length == 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(text[i])));
            piece = escaped;
        } else {
            piece = TerminalSafe(text.substr(i, length));
        }
        if (out.size() + piece.size() > kMaxTextBytes) {
            out += "...";
            break;
        }
        out += piece;
        i += length == 0 ? 1 : length;
    }
    return out;
}

// What came back for one request.
struct Exchange {
    bool answered = false;
    int status = 0;
    std::string body;
    std::string error;  // when not answered
};

Exchange Send(const Endpoint& aEndpoint, const MesConfig& aConfig, const char* aPath, const std::string& aBody,
              const std::string& aKey)
{
    Exchange result;
    httplib::Client client(aEndpoint.scheme + "://" + aEndpoint.host + ":" + std::to_string(aEndpoint.port));
    if (!client.is_valid()) {
        result.error = "the MES url " + aEndpoint.Shown() + " cannot be used by the HTTP client";
        return result;
    }
    client.set_connection_timeout(aConfig.timeout);
    client.set_read_timeout(aConfig.timeout);
    client.set_write_timeout(aConfig.timeout);
    client.set_follow_location(false);
    client.set_keep_alive(false);

    httplib::Request request;
    request.method = "POST";
    request.path = aEndpoint.base + aPath;
    request.set_header("Content-Type", "application/json");
    request.set_header("Accept", "application/json");
    request.set_header("User-Agent", "nivoratest-station");
    if (!aConfig.token.empty()) request.set_header("Authorization", "Bearer " + aConfig.token);
    if (!aKey.empty()) request.set_header(kIdempotencyHeader, aKey);
    request.body = aBody;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + aConfig.timeout;
    bool tooLarge = false, tooSlow = false;
    request.content_receiver = [&](const char* aData, size_t aLength, uint64_t, uint64_t) {
        if (result.body.size() + aLength > kMaxAnswerBytes) {
            tooLarge = true;
            return false;
        }
        if (Clock::now() > deadline) {
            tooSlow = true;
            return false;
        }
        result.body.append(aData, aLength);
        return true;
    };

    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    const bool sent = client.send(request, response, error);
    const auto elapsed = Clock::now() - start;
    const std::string who = "the MES at " + aEndpoint.Shown();
    const std::string within = std::to_string(aConfig.timeout.count()) + " ms";
    const bool timedOut = tooSlow || elapsed >= aConfig.timeout * 9 / 10;
    if (sent && error == httplib::Error::Success) {
        result.answered = true;
        result.status = response.status;
        return result;
    }
    switch (error) {
    case httplib::Error::Connection:
    case httplib::Error::ConnectionTimeout:
        result.error = error == httplib::Error::ConnectionTimeout || timedOut
                           ? who + " did not take a connection within " + within
                           : who + " cannot be reached (no connection to " + aEndpoint.host + ":" +
                                 std::to_string(aEndpoint.port) + ")";
        break;
    case httplib::Error::Read:
        result.error = timedOut ? who + " did not answer within " + within
                                : who + " closed the connection without an answer";
        break;
    case httplib::Error::Write:
        result.error = timedOut ? who + " did not take the request within " + within
                                : who + " closed the connection before it had the request";
        break;
    case httplib::Error::Canceled:
        result.error = tooLarge ? who + " answered with more than " + std::to_string(kMaxAnswerBytes / 1024) + " KiB"
                                : who + " did not answer within " + within;
        break;
    case httplib::Error::SSLConnection:
        result.error = who + " did not complete a TLS connection";
        break;
    case httplib::Error::SSLLoadingCerts:
        result.error = "the station cannot load the certificates to check " + who;
        break;
    case httplib::Error::SSLServerVerification:
        result.error = who + " showed a certificate that cannot be verified for " + aEndpoint.host;
        break;
    default:
        result.error = "the request to " + who + " failed (" + httplib::to_string(error) + ")";
        break;
    }
    return result;
}

// The text an error answer carries: its "error", "reason" or "message"
// when it is JSON, else its first line.
std::string AnswerText(const std::string& aBody, const std::string& aToken)
{
    const json answer = json::parse(aBody, nullptr, false);
    if (answer.is_object()) {
        for (const char* key : {"error", "reason", "message"}) {
            const auto it = answer.find(key);
            if (it != answer.end() && it->is_string()) return Showable(it->get<std::string>(), aToken);
        }
    }
    if (answer.is_string()) return Showable(answer.get<std::string>(), aToken);
    const std::string line = aBody.substr(0, aBody.find_first_of("\r\n"));
    return Showable(line, aToken);
}

std::string StatusText(const std::string& aWho, const Exchange& aExchange, const std::string& aToken)
{
    const std::string text = AnswerText(aExchange.body, aToken);
    return aWho + " answered " + std::to_string(aExchange.status) + (text.empty() ? "" : " (" + text + ")");
}

bool IsSetupFault(int aStatus)
{
    return (aStatus >= 300 && aStatus < 400) || aStatus == 401 || aStatus == 403 || aStatus == 404 || aStatus == 405;
}

std::string SetupHint(int aStatus)
{
    if (aStatus == 401 || aStatus == 403) return ": check the station's MES token";
    if (IsSetupFault(aStatus)) return ": check the station's MES url";
    return "";
}

bool IsKey(const std::string& aKey)
{
    return !aKey.empty() && aKey.size() <= kMaxKeyLength &&
           std::all_of(aKey.begin(), aKey.end(), [](char c) {
               return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
           });
}

uint64_t Mix(uint64_t aValue)
{
    aValue += 0x9E3779B97F4A7C15ull;
    aValue = (aValue ^ (aValue >> 30)) * 0xBF58476D1CE4E5B9ull;
    aValue = (aValue ^ (aValue >> 27)) * 0x94D049BB133111EBull;
    return aValue ^ (aValue >> 31);
}

}  // namespace

bool HasTls()
{
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    return true;
#else
    return false;
#endif
}

bool CheckUrl(const std::string& aUrl, std::string& aError)
{
    Endpoint endpoint;
    return ParseUrl(aUrl, endpoint, aError);
}

CheckResult Check(const MesConfig& aConfig, const std::string& aSerial, const std::string& aStation,
                  const std::string& aPlan, std::string& aReason)
{
    aReason.clear();
    Endpoint endpoint;
    if (!Prepare(aConfig, endpoint, aReason)) return CheckResult::Unavailable;
    const json request = {
        {"serial", aSerial}, {"station", aStation}, {"plan", aPlan}, {"operation", aConfig.operation}};
    const Exchange exchange =
        Send(endpoint, aConfig, kCheckPath, request.dump(-1, ' ', false, json::error_handler_t::replace), "");
    const std::string who = "the MES at " + endpoint.Shown();
    if (!exchange.answered) {
        aReason = exchange.error;
        return CheckResult::Unavailable;
    }
    if (exchange.status < 200 || exchange.status >= 300) {
        aReason = StatusText(who, exchange, aConfig.token) + SetupHint(exchange.status);
        return CheckResult::Unavailable;
    }
    const json answer = json::parse(exchange.body, nullptr, false);
    const auto allowed = answer.is_object() ? answer.find("allowed") : answer.end();
    if (!answer.is_object() || allowed == answer.end() || !allowed->is_boolean()) {
        aReason = who + " answered the check without a true or false \"allowed\"";
        return CheckResult::Unavailable;
    }
    if (allowed->get<bool>()) return CheckResult::Allowed;
    const auto reason = answer.find("reason");
    if (reason != answer.end() && reason->is_string()) aReason = Showable(reason->get<std::string>(), aConfig.token);
    if (aReason.empty()) aReason = "the MES gave no reason";
    return CheckResult::Refused;
}

PostResult Post(const MesConfig& aConfig, const std::string& aRecordId, const std::string& aRecordJson,
                std::string& aError)
{
    aError.clear();
    if (!IsKey(aRecordId)) {
        aError = "the record id \"" + Showable(aRecordId, aConfig.token) + "\" cannot be an idempotency key (1 to " +
                 std::to_string(kMaxKeyLength) + " printable ASCII characters without spaces)";
        return PostResult::Rejected;
    }
    if (!json::parse(aRecordJson, nullptr, false).is_object()) {
        aError = "the record " + aRecordId + " is not a JSON object";
        return PostResult::Rejected;
    }
    // A station set up wrong keeps its records for when it is set up right.
    Endpoint endpoint;
    if (!Prepare(aConfig, endpoint, aError)) return PostResult::Retry;
    const Exchange exchange = Send(endpoint, aConfig, kResultsPath, aRecordJson, aRecordId);
    if (!exchange.answered) {
        aError = exchange.error;
        return PostResult::Retry;
    }
    const int status = exchange.status;
    if (status >= 200 && status < 300) return PostResult::Accepted;
    const std::string who = "the MES at " + endpoint.Shown();
    if (status >= 400 && status < 500 && status != 408 && status != 429 && !IsSetupFault(status)) {
        aError = who + " rejected the record " + aRecordId + " (" + std::to_string(status) + ": " +
                 AnswerText(exchange.body, aConfig.token) + ")";
        return PostResult::Rejected;
    }
    aError = StatusText(who, exchange, aConfig.token) + SetupHint(status);
    return PostResult::Retry;
}

std::chrono::milliseconds RetrySchedule::Delay(unsigned aFailures, uint64_t aSalt) const
{
    if (aFailures == 0) return std::chrono::milliseconds(0);
    const double capMs = std::max<double>(0, static_cast<double>(cap.count()));
    double ms = std::min(capMs, std::max<double>(0, static_cast<double>(first.count())));
    const double step = std::isfinite(factor) && factor > 1 ? factor : 1;
    for (unsigned i = 1; i < aFailures && ms < capMs; ++i) ms = std::min(capMs, ms * step);
    if (std::isfinite(jitter) && jitter > 0) {
        const double share = std::min(1.0, jitter) * static_cast<double>(Mix(aSalt ^ Mix(aFailures)) >> 11) /
                             static_cast<double>(1ull << 53);
        ms -= ms * share;
    }
    return std::chrono::milliseconds(static_cast<int64_t>(std::llround(ms)));
}

std::chrono::steady_clock::time_point RetrySchedule::Next(std::chrono::steady_clock::time_point aLast,
                                                          unsigned aFailures, uint64_t aSalt) const
{
    return aLast + Delay(aFailures, aSalt);
}

}  // namespace station::mes
