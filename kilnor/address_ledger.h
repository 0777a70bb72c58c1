// The address ledger: a plain text file beside "config.bin" that remembers
// every Bluetooth address Kilnor has handed to the address write, so that no
// address is written twice, also across restarts and crashes.
//
// One line per address, fixed width, for example
//   2026-12-09T16:51:47Z 0002:5B:00FFFE written
// UTC time of the last change, NAP:UAP:LAP in upper-case hexadecimal, and the
// state "reserved", "written" or "failed" padded with spaces to 8 characters.
// An address is reserved (line on disk, flushed and synced) before the
// library is asked to write it; its outcome then replaces the line in place.
#ifndef KILNOR_ADDRESS_LEDGER_H
#define KILNOR_ADDRESS_LEDGER_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace kilnor {

constexpr const char *kLedgerName = "bdaddr-ledger.txt";

struct BdAddress {
    std::uint32_t nap = 0;  // 16 bits
    std::uint32_t uap = 0;  // 8 bits
    std::uint32_t lap = 0;  // 24 bits

    std::uint64_t key() const { return (std::uint64_t(nap) << 32) | (std::uint64_t(uap) << 24) | lap; }
};

enum class LedgerState { Reserved, Written, Failed };

// The ledger's path: kLedgerName in the folder of aConfigPath.
std::string ledgerPathBeside(const std::string &aConfigPath);

// One ledger line without its newline; the address parts must fit their
// widths.
std::string ledgerLine(std::time_t aTime, const BdAddress &aAddress, LedgerState aState);

class AddressLedger {
public:
    using Clock = std::function<std::time_t()>;

    explicit AddressLedger(std::string aPath, Clock aClock = nullptr);

    // Reads the file. A missing file is an empty ledger; false when the file
    // exists but cannot be read, or is a symbolic link, FIFO or anything but
    // a regular file, and then usable() stays false.
    bool load();
    // True after a successful load().
    bool usable() const { return usable_; }
    // The last load() or record() found a symbolic link at the ledger's
    // name and refused it: the ledger is never read or written through one.
    bool refusedLink() const { return refusedLink_; }
    const std::string &path() const { return path_; }

    // Any line names the address, whatever its state.
    bool holds(const BdAddress &aAddress) const;
    // The address may never be written again: a line says written, reserved
    // (a write without a recorded outcome) or something unreadable. Only an
    // address whose every try failed may be tried again.
    bool spent(const BdAddress &aAddress) const;
    // Highest lap in [aFirstLap, aLapEnd) of aNap:aUap that the ledger holds
    // in any state.
    std::optional<std::uint32_t> highestLap(std::uint32_t aNap, std::uint32_t aUap, std::uint32_t aFirstLap,
                                            std::uint32_t aLapEnd) const;

    // Records a new state of the address: rewrites its line in place, or
    // appends one, then flushes and syncs the file; a new file is created
    // with the default permissions less the umask. False when the file could
    // not be written (a symbolic link at its name is never written through);
    // the in-memory state then keeps the safer of the two.
    bool record(const BdAddress &aAddress, LedgerState aState);

private:
    struct Entry {
        LedgerState state = LedgerState::Reserved;
        // Offset of the address's fixed-width line, or -1 when its line has
        // another width (edited by hand) and a new line is appended instead.
        long offset = -1;
    };

    // Takes one line of the file that starts at aOffset.
    void addLine(const std::string &aLine, long aOffset);

    std::string path_;
    Clock clock_;
    bool usable_ = false;
    bool refusedLink_ = false;
    // A torn last line gets its newline before the next line is appended.
    bool endsWithNewline_ = true;
    std::map<std::uint64_t, Entry> entries_;
};

} // namespace kilnor

#endif
