#include "text.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace station {

namespace {

bool IsPostgres(const std::string& aUrl)
{
    return aUrl.rfind("postgresql://", 0) == 0 || aUrl.rfind("postgres://", 0) == 0;
}

// The places of the password in a PostgreSQL URL: [begin, end) ranges.
std::vector<std::pair<size_t, size_t>> PasswordSpans(const std::string& aUrl)
{
    std::vector<std::pair<size_t, size_t>> spans;
    if (!IsPostgres(aUrl)) return spans;
    const size_t authority = aUrl.find("//") + 2;
    const size_t authorityEnd = aUrl.find_first_of("/?", authority);
    const size_t at = aUrl.rfind('@', authorityEnd == std::string::npos ? std::string::npos : authorityEnd);
    if (at != std::string::npos && at >= authority) {
        const size_t colon = aUrl.find(':', authority);
        if (colon != std::string::npos && colon < at) spans.emplace_back(colon + 1, at);
    }
    const size_t query = aUrl.find('?', authority);
    for (size_t p = query; p != std::string::npos && p < aUrl.size(); p = aUrl.find('&', p + 1)) {
        const size_t name = p + 1;
        if (aUrl.compare(name, 9, "password=") == 0) {
            const size_t value = name + 9;
            const size_t end = aUrl.find('&', value);
            spans.emplace_back(value, end == std::string::npos ? aUrl.size() : end);
        }
    }
    return spans;
}

// %XX escapes decoded: libpq quotes a password as it decoded it.
std::string Decoded(const std::string& aText)
{
    std::string out;
    for (size_t i = 0; i < aText.size(); ++i) {
        if (aText[i] == '%' && i + 2 < aText.size() && std::isxdigit(static_cast<unsigned char>(aText[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(aText[i + 2]))) {
            out += static_cast<char>(std::stoi(aText.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += aText[i];
        }
    }
    return out;
}

std::string ReplaceAll(std::string aText, const std::string& aFrom, const std::string& aTo)
{
    if (aFrom.empty()) return aText;
    for (size_t at = aText.find(aFrom); at != std::string::npos; at = aText.find(aFrom, at + aTo.size()))
        aText.replace(at, aFrom.size(), aTo);
    return aText;
}

}  // namespace

std::string TerminalSafe(const std::string& aText)
{
    std::string out;
    out.reserve(aText.size());
    for (char c : aText) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(u));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string RedactUrl(const std::string& aUrl)
{
    std::string out = aUrl;
    const auto spans = PasswordSpans(aUrl);
    for (auto it = spans.rbegin(); it != spans.rend(); ++it) out.replace(it->first, it->second - it->first, "***");
    return out;
}

bool UrlHasPassword(const std::string& aUrl)
{
    for (const auto& [begin, end] : PasswordSpans(aUrl))
        if (end > begin) return true;
    return false;
}

std::string RedactSecret(const std::string& aText, const std::string& aUrl)
{
    std::string out = ReplaceAll(aText, aUrl, RedactUrl(aUrl));
    for (const auto& [begin, end] : PasswordSpans(aUrl)) {
        if (end <= begin) continue;
        for (const std::string& secret : {aUrl.substr(begin, end - begin), Decoded(aUrl.substr(begin, end - begin))}) {
            // A long password is replaced wherever it stands; a very short
            // one only where a text quotes it, so that the rest stays readable.
            if (secret.size() >= 4) {
                out = ReplaceAll(out, secret, "***");
            } else {
                out = ReplaceAll(out, "\"" + secret + "\"", "\"***\"");
                out = ReplaceAll(out, ":" + secret + "@", ":***@");
                out = ReplaceAll(out, "password=" + secret, "password=***");
            }
        }
    }
    return out;
}

}  // namespace station
