#include "report/format.h"

#include "records.h"
#include "text.h"

#include <charconv>
#include <cmath>

namespace station::report {

std::string CsvNumber(const std::optional<double>& aValue)
{
    if (!aValue) return "";
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, *aValue);
    return std::string(text, result.ptr);
}

std::string ShownNumber(double aValue, int aDigits)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, aValue, std::chars_format::general, aDigits);
    return std::string(text, result.ptr);
}

std::string Percent(double aFraction)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, aFraction * 100, std::chars_format::fixed, 1);
    return std::string(text, result.ptr) + " %";
}

std::string Html(const std::string& aText)
{
    std::string out;
    for (char c : TerminalSafe(aText)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string CsvText(const std::string& aText)
{
    return CsvField(TerminalSafe(aText));
}

std::string Shortened(const std::string& aText, std::size_t aChars)
{
    std::size_t chars = 0;
    for (std::size_t i = 0; i < aText.size(); ++i) {
        // A byte 10xxxxxx continues a character; any other starts one.
        if ((static_cast<unsigned char>(aText[i]) & 0xC0) == 0x80) continue;
        if (chars == aChars) return aText.substr(0, i) + "...";
        ++chars;
    }
    return aText;
}

}  // namespace station::report
