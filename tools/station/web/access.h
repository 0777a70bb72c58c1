// Who may talk to the web view, decided from a request's headers alone.
//
// - The listener is on loopback unless told otherwise; any other address
//   needs a token, and a token, once given, is needed by every request
//   (header "Authorization: Bearer TOKEN", the cookie the page gets from
//   "?token=TOKEN", or that parameter itself).
// - The Host header must name the listener as it listens (a loopback
//   listener also answers to localhost, 127.0.0.1 and [::1] on its port):
//   a page of another site whose name was made to point at this machine
//   (DNS rebinding) sends its own name and is refused.
// - A request that changes something (a POST) must carry JSON and come
//   from the page itself: an Origin header, where the browser sends one,
//   names this listener, and Sec-Fetch-Site, where sent, says same-origin.
#ifndef NVT_STATION_WEB_ACCESS_H
#define NVT_STATION_WEB_ACCESS_H

#include <cstdint>
#include <string>
#include <vector>

namespace station::web {

// The name of the cookie that carries the token.
extern const char* const kTokenCookie;

struct ListenAddress {
    std::string host;  // without brackets
    uint16_t port = 0;
};

// Reads "HOST:PORT" or "[IPV6]:PORT". False with a text.
bool ParseListen(const std::string& aText, ListenAddress& aAddress, std::string& aError);
// localhost, 127.0.0.0/8 or ::1, written as an address (no name lookup).
bool IsLoopbackHost(const std::string& aHost);
// 0.0.0.0 or :: (every address of the machine).
bool IsWildcardHost(const std::string& aHost);
// "HOST:PORT", with brackets around an IPv6 address.
std::string JoinHostPort(const std::string& aHost, uint16_t aPort);
// A token a cookie and a header can carry: printable ASCII without blanks,
// quotes, commas, semicolons or backslashes. False with a text.
bool CheckToken(const std::string& aToken, std::string& aError);

class AccessRules {
public:
    AccessRules() = default;
    AccessRules(const std::string& aHost, uint16_t aPort, const std::string& aToken);

    bool NeedsToken() const { return !mToken.empty(); }
    // Whether a request's Host header names this listener.
    bool HostAccepted(const std::string& aHostHeader) const;
    // Whether a request carries the token (always true when none is needed).
    // aAuthorization: the Authorization header; aCookies: the Cookie
    // header; aQueryToken: the "token" parameter.
    bool TokenAccepted(const std::string& aAuthorization, const std::string& aCookies,
                       const std::string& aQueryToken) const;
    // Whether a request that changes something comes from the page itself.
    // aHostHeader has passed HostAccepted.
    bool SameOrigin(const std::string& aOrigin, const std::string& aFetchSite, const std::string& aHostHeader) const;
    // The Set-Cookie value that keeps the token in the browser.
    std::string TokenCookie() const;

private:
    bool mWildcard = false;
    uint16_t mPort = 0;
    std::vector<std::string> mHosts;  // accepted Host values, lower case
    std::string mToken;
};

// The value of cookie aName in a Cookie header ("" when it has none).
std::string CookieValue(const std::string& aCookies, const std::string& aName);
// Whether a Content-Type header says JSON ("application/json", any parameters).
bool IsJsonContentType(const std::string& aContentType);

}  // namespace station::web

#endif
