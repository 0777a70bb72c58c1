// Fuzzes Kilnor's address ledger: a text file beside config.bin that an
// operator may edit, and that a crash may leave with a torn last line.
#include "address_ledger.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    static const std::string path = "/tmp/ledger_fuzz_" + std::to_string(getpid()) + ".txt";
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(aData, 1, aSize, file);
    std::fclose(file);

    kilnor::AddressLedger ledger(path, [] { return std::time_t(0); });
    if (!ledger.load())
        std::abort();
    const kilnor::BdAddress address{0x0002, 0x5B, 0x000100};
    // The highest address of a range is one the ledger holds.
    const auto highest = ledger.highestLap(0x0002, 0x5B, 0, 0xFFFFFF);
    if (highest && !ledger.holds({0x0002, 0x5B, *highest}))
        std::abort();
    // A reservation and its outcome, in place or appended, must read back
    // and leave every other line as it was. The dialog only ever reserves
    // an address that is not spent.
    if (!ledger.spent(address)) {
        if (!ledger.record(address, kilnor::LedgerState::Reserved) ||
            !ledger.record(address, kilnor::LedgerState::Failed))
            std::abort();
        kilnor::AddressLedger again(path);
        if (!again.load() || !again.holds(address) || again.spent(address))
            std::abort();
        if (highest && !again.holds({0x0002, 0x5B, *highest}))
            std::abort();
    }
    return 0;
}
