#include "address_ledger.h"

#include "hex_text.h"
#include "safe_file.h"

#include <cstdio>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kilnor {

namespace {

// "YYYY-MM-DDTHH:MM:SSZ NNNN:UU:LLLLLL state___"
constexpr std::size_t kTimeWidth = 20;
constexpr std::size_t kAddressWidth = 14;
constexpr std::size_t kStateWidth = 8;
constexpr std::size_t kLineWidth = kTimeWidth + 1 + kAddressWidth + 1 + kStateWidth;
// Longer lines are not ledger lines; they are skipped without being kept.
constexpr std::size_t kMaxLineLength = 4096;

const char *stateWord(LedgerState aState)
{
    switch (aState) {
    case LedgerState::Written:
        return "written";
    case LedgerState::Failed:
        return "failed";
    case LedgerState::Reserved:
        break;
    }
    return "reserved";
}

bool hexPart(const std::string &aText, std::size_t aDigits, std::uint32_t &aOut)
{
    if (aText.size() != aDigits)
        return false;
    std::uint32_t value = 0;
    for (char c : aText) {
        const int digit = hexDigit(c);
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    aOut = value;
    return true;
}

// "NAP:UAP:LAP" with exactly 4, 2 and 6 hexadecimal digits, so that a time
// of day such as "08:00:00" in a hand-kept line is never taken for one.
bool parseAddress(const std::string &aText, BdAddress &aOut)
{
    const auto first = aText.find(':');
    const auto second = first == std::string::npos ? first : aText.find(':', first + 1);
    if (second == std::string::npos)
        return false;
    BdAddress address;
    if (!hexPart(aText.substr(0, first), 4, address.nap) ||
        !hexPart(aText.substr(first + 1, second - first - 1), 2, address.uap) ||
        !hexPart(aText.substr(second + 1), 6, address.lap))
        return false;
    aOut = address;
    return true;
}

std::vector<std::string> words(const std::string &aLine)
{
    std::vector<std::string> result;
    std::string word;
    for (char c : aLine) {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!word.empty())
                result.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        result.push_back(std::move(word));
    return result;
}

// Reserved and written both mean the address is gone; failed is the only
// state that lets it be tried again.
bool isSpent(LedgerState aState)
{
    return aState != LedgerState::Failed;
}

// Makes the written bytes durable before the caller goes on.
bool syncFile(std::FILE *aFile)
{
    if (std::fflush(aFile) != 0)
        return false;
#ifdef _WIN32
    return _commit(_fileno(aFile)) == 0;
#else
    return fsync(fileno(aFile)) == 0;
#endif
}

// A new file's name is durable only once its folder is synced (POSIX); on
// Windows the file system journals the name itself.
void syncFolderOf(const std::string &aPath)
{
#ifndef _WIN32
    const auto slash = aPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : aPath.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
#else
    (void)aPath;
#endif
}

} // namespace

std::string ledgerPathBeside(const std::string &aConfigPath)
{
    const auto slash = aConfigPath.find_last_of("/\\");
    if (slash == std::string::npos)
        return kLedgerName;
    return aConfigPath.substr(0, slash + 1) + kLedgerName;
}

std::string ledgerLine(std::time_t aTime, const BdAddress &aAddress, LedgerState aState)
{
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &aTime);
#else
    gmtime_r(&aTime, &utc);
#endif
    char line[128];
    std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02dZ %04X:%02X:%06X %-8s", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<unsigned>(aAddress.nap & 0xFFFFu), static_cast<unsigned>(aAddress.uap & 0xFFu),
                  static_cast<unsigned>(aAddress.lap & 0xFFFFFFu), stateWord(aState));
    return std::string(line);
}

AddressLedger::AddressLedger(std::string aPath, Clock aClock) : path_(std::move(aPath)), clock_(std::move(aClock))
{
    if (!clock_)
        clock_ = [] { return std::time(nullptr); };
}

bool AddressLedger::load()
{
    entries_.clear();
    usable_ = false;
    endsWithNewline_ = true;
    refusedLink_ = false;
    // Never through a symbolic link: the ledger is written as well, and a
    // link planted at its name would have the lines written into another
    // file. Nor a FIFO, which would hold the start-up.
    PathKind kind = PathKind::Missing;
    std::FILE *file = openRegularForReading(path_, false, kind);
    if (file == nullptr) {
        // Missing is an empty ledger; a file that is there but cannot be
        // read must not be taken for an empty one.
        refusedLink_ = kind == PathKind::Link;
        usable_ = kind == PathKind::Missing;
        return usable_;
    }

    std::string line;
    bool overlong = false;
    long lineStart = 0;
    long offset = 0;
    auto takeLine = [&] {
        if (!overlong)
            addLine(line, lineStart);
        line.clear();
        overlong = false;
    };
    char chunk[65536];
    bool readError = false;
    int last = '\n';
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        for (std::size_t i = 0; i < got; ++i, ++offset) {
            const char c = chunk[i];
            if (c == '\n') {
                takeLine();
                lineStart = offset + 1;
            } else if (line.size() < kMaxLineLength) {
                line += c;
            } else {
                overlong = true;
            }
        }
        if (got > 0)
            last = static_cast<unsigned char>(chunk[got - 1]);
        if (got < sizeof chunk) {
            readError = std::ferror(file) != 0;
            break;
        }
    }
    std::fclose(file);
    if (readError) {
        entries_.clear();
        return false;
    }
    if (!line.empty() || overlong)
        takeLine();
    endsWithNewline_ = last == '\n';
    usable_ = true;
    return true;
}

void AddressLedger::addLine(const std::string &aLine, long aOffset)
{
    const std::vector<std::string> fields = words(aLine);
    BdAddress address;
    std::size_t at = 0;
    while (at < fields.size() && !parseAddress(fields[at], address))
        ++at;
    if (at == fields.size())
        return;  // no address: a comment or noise
    LedgerState state = LedgerState::Reserved;  // also for a torn or unknown state word
    if (at + 1 < fields.size()) {
        if (fields[at + 1] == "written")
            state = LedgerState::Written;
        else if (fields[at + 1] == "failed")
            state = LedgerState::Failed;
    }
    const bool fixedWidth = aLine.size() == kLineWidth && aLine[kTimeWidth] == ' ' &&
                            aLine[kTimeWidth + 1 + kAddressWidth] == ' ' &&
                            aLine.compare(kTimeWidth + 1, kAddressWidth, fields[at]) == 0;

    const auto found = entries_.find(address.key());
    if (found == entries_.end()) {
        entries_[address.key()] = Entry{state, fixedWidth ? aOffset : -1};
        return;
    }
    // The same address twice: it is spent when any of its lines says so,
    // and later changes go to its last fixed-width line.
    Entry &entry = found->second;
    if (isSpent(state))
        entry.state = state;
    if (fixedWidth)
        entry.offset = aOffset;
}

bool AddressLedger::holds(const BdAddress &aAddress) const
{
    return entries_.count(aAddress.key()) != 0;
}

bool AddressLedger::spent(const BdAddress &aAddress) const
{
    const auto found = entries_.find(aAddress.key());
    return found != entries_.end() && isSpent(found->second.state);
}

std::optional<std::uint32_t> AddressLedger::highestLap(std::uint32_t aNap, std::uint32_t aUap,
                                                       std::uint32_t aFirstLap, std::uint32_t aLapEnd) const
{
    if (aFirstLap >= aLapEnd)
        return std::nullopt;
    const BdAddress first{aNap, aUap, aFirstLap};
    const BdAddress end{aNap, aUap, aLapEnd - 1};
    auto it = entries_.upper_bound(end.key());
    if (it == entries_.begin())
        return std::nullopt;
    --it;
    if (it->first < first.key())
        return std::nullopt;
    return static_cast<std::uint32_t>(it->first & 0xFFFFFFu);
}

bool AddressLedger::record(const BdAddress &aAddress, LedgerState aState)
{
    if (!usable_)
        return false;
    const std::string line = ledgerLine(clock_(), aAddress, aState);
    const bool isNew = !holds(aAddress);
    Entry &entry = entries_[aAddress.key()];
    const LedgerState before = entry.state;

    bool ok = false;
    PathKind kind = PathKind::Missing;
    if (entry.offset >= 0) {
        // Same width, same address: only the time and the state change, so a
        // torn write can never name another address.
        if (std::FILE *file = openForWritingNoFollow(path_, false, kind)) {
            ok = std::fseek(file, entry.offset, SEEK_SET) == 0 &&
                 std::fwrite(line.data(), 1, line.size(), file) == line.size();
            ok = syncFile(file) && ok;
            ok = std::fclose(file) == 0 && ok;
        }
    } else {
        const bool existed = pathKind(path_) != PathKind::Missing;
        if (std::FILE *file = openForWritingNoFollow(path_, true, kind)) {
            std::fseek(file, 0, SEEK_END);
            long start = std::ftell(file);
            std::string text;
            if (!endsWithNewline_) {
                text += '\n';
                ++start;
            }
            text += line;
            text += '\n';
            ok = start >= 0 && std::fwrite(text.data(), 1, text.size(), file) == text.size();
            ok = syncFile(file) && ok;
            ok = std::fclose(file) == 0 && ok;
            // After a failed append the file may end in a torn line.
            endsWithNewline_ = ok;
            if (ok) {
                entry.offset = start;
                if (!existed)
                    syncFolderOf(path_);
            }
        }
    }
    refusedLink_ = kind == PathKind::Link;
    // A write that reached the device stays spent even when its line could
    // not be updated. A reservation that did not reach the disk was never
    // followed by a library call, so the address keeps its old state.
    if (ok || aState == LedgerState::Written)
        entry.state = aState;
    else if (isNew)
        entries_.erase(aAddress.key());
    else
        entry.state = before;
    return ok;
}

} // namespace kilnor
