// The fixture file: what this bench has, as opposed to what the product
// plan tests. A TOML file with the RF tester ([tester]: its "HOST:PORT"
// address and the prefix of its *IDN? answer) and one [[slot]] table per
// slot, in slot order: the DUT's transport, the PC's UART port the DUT's
// UART is wired to, and the tester's RF port the DUT is cabled to. A plan
// never names a port; a fixture never names a limit.
//
// Top-level entries set how the station takes serials when it serves all
// shift: "serial_pattern" (an ECMAScript regular expression a serial must
// match whole) and "max_attempts" (how many tests a serial may have before
// it is quarantined). An [mes] table names the line's MES (docs/mes.md):
// url, token or token_file, operation, timeout_ms, retry_first_ms and
// retry_max_ms.
//
// Texts may use "{bin}" (the station program's folder), "{slot}" (the slot
// number) and "{tester}" (the tester's address), so that one fixture
// serves a simulated bench wherever it is built.
#ifndef NVT_STATION_FIXTURE_H
#define NVT_STATION_FIXTURE_H

#include "instruments/tester.h"
#include "mes/mes_client.h"

#include <optional>
#include <string>
#include <vector>

namespace station {

struct FixtureSlot {
    std::string transport;
    std::string uart;  // empty: the plan's uart step names its port
    int rfPort = 0;    // 0: the slot has no RF port
};

struct Fixture {
    std::string path;
    std::optional<TesterSetup> tester;
    std::vector<FixtureSlot> slots;
    std::string serialPattern;  // "": any serial without control characters
    int maxAttempts = 0;        // 0: no limit
    std::optional<mes::MesConfig> mes;
    mes::RetrySchedule mesRetry;  // of the posts to the MES and the store
};

// The longest serial the station takes.
constexpr size_t kMaxSerialLength = 64;

// Reads and checks a fixture: every slot has a transport, no transport,
// UART port or RF port is used by two slots, an RF port needs a tester.
// aTesterAddress, when not empty, replaces [tester].address (a tester
// started on another port). False with "FILE:LINE: text" in aError.
bool LoadFixture(const std::string& aPath, const std::string& aBinDir, const std::string& aTesterAddress,
                 Fixture& aFixture, std::string& aError);

// A fixture of the --dut transports given on the command line, with no
// tester and the plan's ports.
Fixture AdHocFixture(const std::vector<std::string>& aTransports);

}  // namespace station

#endif
