#include "web/access.h"

#include <cctype>

namespace station::web {

const char* const kTokenCookie = "nvt_station_token";

namespace {

std::string Lower(std::string aText)
{
    for (char& c : aText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return aText;
}

std::string Trim(const std::string& aText)
{
    const size_t first = aText.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const size_t last = aText.find_last_not_of(" \t");
    return aText.substr(first, last - first + 1);
}

// Compares in a time that does not depend on where the texts differ, so
// that the token cannot be guessed byte by byte from response times.
bool SameSecret(const std::string& aGiven, const std::string& aSecret)
{
    unsigned char diff = aGiven.size() == aSecret.size() ? 0 : 1;
    for (size_t i = 0; i < aGiven.size(); ++i) {
        diff |= static_cast<unsigned char>(aGiven[i] ^ aSecret[aSecret.empty() ? 0 : i % aSecret.size()]);
    }
    return diff == 0;
}

bool IsDottedQuad(const std::string& aHost, unsigned& aFirst)
{
    unsigned parts = 0, value = 0, digits = 0;
    for (size_t i = 0; i <= aHost.size(); ++i) {
        if (i == aHost.size() || aHost[i] == '.') {
            if (digits == 0 || value > 255) return false;
            if (parts == 0) aFirst = value;
            ++parts;
            value = digits = 0;
        } else if (aHost[i] >= '0' && aHost[i] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(aHost[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 4;
}

}  // namespace

bool ParseListen(const std::string& aText, ListenAddress& aAddress, std::string& aError)
{
    aError = "the web address \"" + aText + "\" is not HOST:PORT";
    const size_t colon = aText.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = aText.substr(0, colon);
    const std::string port = aText.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
        if (host.find(':') == std::string::npos) return false;
    } else if (host.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    for (const char c : host) {
        const bool allowed =
            std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '_' || c == '%';
        if (!allowed) return false;
    }
    if (port.empty() || port.size() > 5) return false;
    unsigned long value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > 65535) return false;
    aAddress.host = host;
    aAddress.port = static_cast<uint16_t>(value);
    aError.clear();
    return true;
}

bool IsLoopbackHost(const std::string& aHost)
{
    const std::string host = Lower(aHost);
    if (host == "localhost" || host == "::1" || host == "0:0:0:0:0:0:0:1") return true;
    unsigned first = 0;
    return IsDottedQuad(host, first) && first == 127;
}

bool IsWildcardHost(const std::string& aHost)
{
    return aHost == "0.0.0.0" || aHost == "::" || aHost == "0:0:0:0:0:0:0:0";
}

std::string JoinHostPort(const std::string& aHost, uint16_t aPort)
{
    const bool v6 = aHost.find(':') != std::string::npos;
    return (v6 ? "[" + aHost + "]" : aHost) + ":" + std::to_string(aPort);
}

bool CheckToken(const std::string& aToken, std::string& aError)
{
    for (const char c : aToken) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '"' || c == ',' || c == ';' || c == '\\') {
            aError =
                "the token may hold only printable characters without blanks, quotes, commas, semicolons "
                "or backslashes";
            return false;
        }
    }
    return true;
}

AccessRules::AccessRules(const std::string& aHost, uint16_t aPort, const std::string& aToken)
    : mWildcard(IsWildcardHost(aHost)), mPort(aPort), mToken(aToken)
{
    std::vector<std::string> names{Lower(aHost)};
    if (IsLoopbackHost(aHost)) {
        for (const char* alias : {"localhost", "127.0.0.1", "::1"}) names.push_back(alias);
    }
    for (const auto& name : names) {
        mHosts.push_back(JoinHostPort(name, aPort));
        // A browser leaves out the port that is the scheme's own.
        if (aPort == 80) mHosts.push_back(name.find(':') != std::string::npos ? "[" + name + "]" : name);
    }
}

bool AccessRules::HostAccepted(const std::string& aHostHeader) const
{
    const std::string host = Lower(Trim(aHostHeader));
    if (host.empty()) return false;
    if (mWildcard) {
        // Every address of the machine is this listener's; a token guards it
        // (a wildcard listener is never loopback), so only the port is checked.
        ListenAddress parsed;
        std::string ignored;
        if (ParseListen(host, parsed, ignored)) return parsed.port == mPort;
        return mPort == 80 && ParseListen(host + ":80", parsed, ignored);
    }
    for (const auto& accepted : mHosts) {
        if (host == accepted) return true;
    }
    return false;
}

bool AccessRules::TokenAccepted(const std::string& aAuthorization, const std::string& aCookies,
                                const std::string& aQueryToken) const
{
    if (mToken.empty()) return true;
    const std::string authorization = Trim(aAuthorization);
    if (authorization.size() > 7 && Lower(authorization.substr(0, 7)) == "bearer ") {
        if (SameSecret(Trim(authorization.substr(7)), mToken)) return true;
    }
    if (!aQueryToken.empty() && SameSecret(aQueryToken, mToken)) return true;
    const std::string cookie = CookieValue(aCookies, kTokenCookie);
    return !cookie.empty() && SameSecret(cookie, mToken);
}

bool AccessRules::SameOrigin(const std::string& aOrigin, const std::string& aFetchSite,
                             const std::string& aHostHeader) const
{
    const std::string site = Lower(Trim(aFetchSite));
    if (!site.empty() && site != "same-origin" && site != "none") return false;
    const std::string origin = Lower(Trim(aOrigin));
    if (origin.empty()) return true;  // not a browser, or one that sends none on same-origin requests
    return origin == "http://" + Lower(Trim(aHostHeader));
}

std::string AccessRules::TokenCookie() const
{
    return std::string(kTokenCookie) + "=" + mToken + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string CookieValue(const std::string& aCookies, const std::string& aName)
{
    size_t start = 0;
    while (start <= aCookies.size()) {
        size_t end = aCookies.find(';', start);
        if (end == std::string::npos) end = aCookies.size();
        const std::string pair = Trim(aCookies.substr(start, end - start));
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.substr(0, equals) == aName) return pair.substr(equals + 1);
        start = end + 1;
    }
    return "";
}

bool IsJsonContentType(const std::string& aContentType)
{
    return Lower(Trim(aContentType.substr(0, aContentType.find(';')))) == "application/json";
}

}  // namespace station::web
