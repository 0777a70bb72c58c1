// The SCPI language of the simulated RF tester (see scpi.h).
#include "scpi.h"

#include "rflinkwire.h"

#include <charconv>
#include <cmath>

namespace scpi {

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trim(const std::string& aText)
{
    size_t first = 0, last = aText.size();
    while (first < last && IsSpace(aText[first])) ++first;
    while (last > first && IsSpace(aText[last - 1])) --last;
    return aText.substr(first, last - first);
}

std::string Upper(std::string aText)
{
    for (char& c : aText)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return aText;
}

bool IsAlpha(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A program mnemonic: a letter, then letters, digits or '_'.
bool IsMnemonic(const std::string& aText)
{
    if (aText.empty() || aText.size() > 32 || !IsAlpha(aText[0])) return false;
    for (char c : aText)
        if (!IsAlpha(c) && !IsDigit(c) && c != '_') return false;
    return true;
}

// Splits at a separator outside quoted strings ("..." or '...'); a quote
// is doubled inside a string of its kind.
std::vector<std::string> SplitOutsideQuotes(const std::string& aText, char aSeparator)
{
    std::vector<std::string> parts;
    std::string current;
    char quote = 0;
    for (char c : aText) {
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == aSeparator) {
            parts.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    parts.push_back(current);
    return parts;
}

// A detail text that cannot break the quoted string it goes into.
std::string CleanDetail(const std::string& aDetail)
{
    std::string out;
    for (char c : aDetail.substr(0, 120)) {
        if (c == '"') out += "\"\"";
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) out += '?';
        else out += c;
    }
    return out;
}

std::string Entry(int aCode, const std::string& aDetail)
{
    std::string text = std::to_string(aCode) + ",\"" + Text(aCode);
    if (!aDetail.empty()) text += ";" + CleanDetail(aDetail);
    return text + "\"";
}

}  // namespace

const char* Text(int aCode)
{
    switch (aCode) {
    case kNoError: return "No error";
    case kCommandError: return "Command error";
    case kSyntaxError: return "Syntax error";
    case kDataTypeError: return "Data type error";
    case kParameterNotAllowed: return "Parameter not allowed";
    case kMissingParameter: return "Missing parameter";
    case kUndefinedHeader: return "Undefined header";
    case kInvalidSuffix: return "Invalid suffix";
    case kExecutionError: return "Execution error";
    case kInitIgnored: return "Init ignored";
    case kDataOutOfRange: return "Data out of range";
    case kTooMuchData: return "Too much data";
    case kIllegalParameterValue: return "Illegal parameter value";
    case kQueueOverflow: return "Queue overflow";
    default: return "Error";
    }
}

void ErrorQueue::Push(int aCode, const std::string& aDetail)
{
    if (mEntries.size() < kCapacity) {
        mEntries.push_back(Entry(aCode, aDetail));
        return;
    }
    // Full: the newest entry says that errors were lost, once.
    mEntries.back() = Entry(kQueueOverflow, std::string());
}

std::string ErrorQueue::Pop()
{
    if (mEntries.empty()) return Entry(kNoError, std::string());
    std::string entry = mEntries.front();
    mEntries.pop_front();
    return entry;
}

std::vector<std::string> SplitUnits(const std::string& aLine)
{
    std::vector<std::string> units;
    for (const std::string& part : SplitOutsideQuotes(aLine, ';')) {
        std::string unit = Trim(part);
        if (!unit.empty()) units.push_back(unit);
    }
    return units;
}

bool ParseUnit(const std::string& aText, Unit& aUnit, int& aError)
{
    aUnit = Unit();
    aError = kSyntaxError;
    const std::string text = Trim(aText);
    size_t end = 0;
    while (end < text.size() && !IsSpace(text[end])) ++end;
    std::string header = text.substr(0, end);
    const std::string rest = Trim(text.substr(end));

    if (!header.empty() && header.back() == '?') {
        aUnit.query = true;
        header.pop_back();
    }
    if (!header.empty() && header[0] == '*') {
        aUnit.common = true;
        header.erase(0, 1);
        if (!IsMnemonic(header)) return false;
        aUnit.nodes.push_back(header);
    } else {
        if (!header.empty() && header[0] == ':') {
            aUnit.absolute = true;
            header.erase(0, 1);
        }
        for (const std::string& node : SplitOutsideQuotes(header, ':')) {
            if (!IsMnemonic(node)) return false;
            aUnit.nodes.push_back(node);
        }
    }
    if (!rest.empty()) {
        for (const std::string& part : SplitOutsideQuotes(rest, ',')) {
            std::string param = Trim(part);
            if (param.empty()) return false;
            aUnit.params.push_back(param);
        }
    }
    aError = kNoError;
    return true;
}

std::string HeaderText(const Unit& aUnit)
{
    std::string text = aUnit.common ? "*" : (aUnit.absolute ? ":" : "");
    for (size_t i = 0; i < aUnit.nodes.size(); ++i) text += (i == 0 ? "" : ":") + aUnit.nodes[i];
    return aUnit.query ? text + "?" : text;
}

void CommandTable::Add(const std::string& aPattern, int aId)
{
    Entry entry;
    entry.id = aId;
    std::string body = aPattern;
    if (!body.empty() && body.back() == '?') {
        entry.query = true;
        body.pop_back();
    }
    if (!body.empty() && body[0] == '*') {
        entry.common = true;
        body.erase(0, 1);
    }
    bool optional = false;
    std::string keyword;
    auto flush = [&] {
        if (keyword.empty()) return;
        Node node;
        for (char c : keyword)
            if ((c >= 'A' && c <= 'Z') || IsDigit(c)) node.shortForm += c;
        node.longForm = Upper(keyword);
        node.optional = optional;
        entry.nodes.push_back(node);
        keyword.clear();
    };
    for (char c : body) {
        if (c == ':' || c == '[' || c == ']') {
            flush();
            if (c == '[') optional = true;
            if (c == ']') optional = false;
        } else {
            keyword += c;
        }
    }
    flush();
    mEntries.push_back(entry);
}

bool CommandTable::Matches(const std::vector<Node>& aPattern, size_t aAt, const std::vector<std::string>& aNodes,
                           size_t aNode)
{
    if (aAt == aPattern.size()) return aNode == aNodes.size();
    const Node& node = aPattern[aAt];
    if (node.optional && Matches(aPattern, aAt + 1, aNodes, aNode)) return true;
    if (aNode == aNodes.size()) return false;
    const std::string typed = Upper(aNodes[aNode]);
    return (typed == node.shortForm || typed == node.longForm) && Matches(aPattern, aAt + 1, aNodes, aNode + 1);
}

int CommandTable::Find(bool aCommon, const std::vector<std::string>& aNodes, bool aQuery) const
{
    for (const Entry& entry : mEntries)
        if (entry.common == aCommon && entry.query == aQuery && Matches(entry.nodes, 0, aNodes, 0)) return entry.id;
    return -1;
}

int ParseReal(const std::string& aText, double aMin, double aMax, double aDefault, double& aValue)
{
    const std::string word = Upper(Trim(aText));
    double value = 0;
    if (word == "MIN" || word == "MINIMUM") {
        value = aMin;
    } else if (word == "MAX" || word == "MAXIMUM") {
        value = aMax;
    } else if (word == "DEF" || word == "DEFAULT") {
        value = aDefault;
    } else if (!rflinkwire::ParseNumber(word, value)) {
        // A number with letters after it carries a unit this instrument
        // does not take.
        size_t at = 0;
        while (at < word.size() && (IsDigit(word[at]) || word[at] == '+' || word[at] == '-' || word[at] == '.')) ++at;
        double number = 0;
        if (at > 0 && at < word.size() && IsAlpha(word[at]) && rflinkwire::ParseNumber(word.substr(0, at), number))
            return kInvalidSuffix;
        return kDataTypeError;
    }
    if (value < aMin || value > aMax) return kDataOutOfRange;
    aValue = value;
    return kNoError;
}

int ParseInteger(const std::string& aText, int64_t aMin, int64_t aMax, int64_t aDefault, int64_t& aValue)
{
    double value = 0;
    const int error =
        ParseReal(aText, static_cast<double>(aMin), static_cast<double>(aMax), static_cast<double>(aDefault), value);
    if (error != kNoError) return error;
    if (value != std::floor(value)) return kIllegalParameterValue;
    aValue = static_cast<int64_t>(value);
    return kNoError;
}

std::string Fixed(double aValue, int aDecimals)
{
    if (!std::isfinite(aValue)) return kNotANumber;
    char buffer[64];
    const auto done = std::to_chars(buffer, buffer + sizeof(buffer), aValue, std::chars_format::fixed, aDecimals);
    if (done.ec != std::errc()) return kNotANumber;
    std::string text(buffer, done.ptr);
    // "-0.00" reads as a negative number to some clients.
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
    return text;
}

}  // namespace scpi
