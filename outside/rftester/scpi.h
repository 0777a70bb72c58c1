// The SCPI language of the simulated RF tester, without the instrument:
// splitting a program message into its units, reading headers and
// parameters, matching headers against a command table with SCPI's short
// and long keyword forms, numeric parameters, and the error queue with the
// standard codes and texts.
#ifndef RFTESTER_SCPI_H
#define RFTESTER_SCPI_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace scpi {

// Standard error and event numbers this instrument reports.
enum Code : int {
    kNoError = 0,
    kCommandError = -100,
    kSyntaxError = -102,
    kDataTypeError = -104,
    kParameterNotAllowed = -108,
    kMissingParameter = -109,
    kUndefinedHeader = -113,
    kInvalidSuffix = -131,
    kExecutionError = -200,
    kInitIgnored = -213,
    kDataOutOfRange = -222,
    kTooMuchData = -223,
    kIllegalParameterValue = -224,
    kQueueOverflow = -350,
};

// The standard text of a code ("Undefined header").
const char* Text(int aCode);

// The value a query answers when it has no valid number to give: the
// standard "not a number" of SCPI, with the error in the queue.
constexpr const char* kNotANumber = "9.91E37";

// The error/event queue of one client, read by SYSTem:ERRor?. When it is
// full the newest error is replaced by -350 "Queue overflow".
class ErrorQueue {
public:
    static constexpr size_t kCapacity = 16;

    // Adds an error; aDetail (may be empty) follows the standard text after
    // a ';' as SCPI allows.
    void Push(int aCode, const std::string& aDetail = std::string());
    // The oldest entry as SYSTem:ERRor? answers it: 0,"No error" when empty.
    std::string Pop();
    size_t size() const { return mEntries.size(); }
    void Clear() { mEntries.clear(); }

private:
    std::deque<std::string> mEntries;
};

// A program message unit: a header and its parameters.
struct Unit {
    bool common = false;              // *IDN? and the other 488.2 common commands
    bool absolute = false;            // started with ':'
    bool query = false;               // ended with '?'
    std::vector<std::string> nodes;   // keywords as typed (for a common command: "IDN")
    std::vector<std::string> params;  // parameter texts, spaces trimmed
};

// Splits a program message (one line without its newline) into unit texts
// at ';' outside quoted strings. Empty units are dropped.
std::vector<std::string> SplitUnits(const std::string& aLine);

// Reads one unit; false with the error code (-102 for a malformed header or
// parameter list).
bool ParseUnit(const std::string& aText, Unit& aUnit, int& aError);

// The header as typed, for error details ("ROUT:PORT?").
std::string HeaderText(const Unit& aUnit);

// Command patterns in the usual notation: upper case is the short form,
// the whole keyword the long form, [ ] an optional keyword, '*' a common
// command, a final '?' a query ("SYSTem:ERRor[:NEXT]?", "ROUTe:PORT").
class CommandTable {
public:
    void Add(const std::string& aPattern, int aId);
    // The id of the command the keywords and query flag name; -1 if none.
    int Find(bool aCommon, const std::vector<std::string>& aNodes, bool aQuery) const;

private:
    struct Node {
        std::string shortForm;  // upper case
        std::string longForm;   // upper case
        bool optional = false;
    };
    struct Entry {
        bool common = false;
        bool query = false;
        std::vector<Node> nodes;
        int id = -1;
    };
    static bool Matches(const std::vector<Node>& aPattern, size_t aAt, const std::vector<std::string>& aNodes,
                        size_t aNode);
    std::vector<Entry> mEntries;
};

// Numeric parameters: a decimal number (sign, fraction, exponent), or one
// of MINimum, MAXimum, DEFault, which give the matching bound. Returns
// kNoError or the code of what is wrong: -104 for text that is no number,
// -131 for a number followed by a unit.
int ParseReal(const std::string& aText, double aMin, double aMax, double aDefault, double& aValue);
// A whole number; a fraction gives -224.
int ParseInteger(const std::string& aText, int64_t aMin, int64_t aMax, int64_t aDefault, int64_t& aValue);

// A number as a response: fixed with the given decimals; NaN and infinity
// as kNotANumber.
std::string Fixed(double aValue, int aDecimals);

}  // namespace scpi

#endif
