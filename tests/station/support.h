// Helpers of the station tests: temporary folders, plans, running the
// station program, a private PostgreSQL server, and reading what a
// simulated DUT holds through the public library.
#ifndef NVT_TESTS_STATION_SUPPORT_H
#define NVT_TESTS_STATION_SUPPORT_H

#include "records.h"

#include <optional>
#include <tuple>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace station {
// Outcomes and address sources print as their record texts in test failures.
inline void PrintTo(Outcome aOutcome, std::ostream* aOut) { *aOut << OutcomeText(aOutcome); }
inline void PrintTo(AddressSource aSource, std::ostream* aOut) { *aOut << '"' << AddressSourceText(aSource) << '"'; }
}  // namespace station

namespace stationtest {

std::string BinDir();

// A folder removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& aName) const { return mPath + "/" + aName; }

private:
    std::string mPath;
};

// The shipped plan with text replaced (each pair: old text, new text).
std::string PlanText(const std::vector<std::pair<std::string, std::string>>& aEdits = {});
// Writes a plan whose files are the build's, with the UART port in aDir.
std::string WritePlan(const TempDir& aDir, const std::string& aName,
                      const std::vector<std::pair<std::string, std::string>>& aEdits = {});
void WriteText(const std::string& aPath, const std::string& aText);
std::string ReadText(const std::string& aPath);

// A simulated DUT in aDir: NVM folder and UART link of its own.
std::string Dut(const TempDir& aDir, const std::string& aName, const std::string& aExtra = "");

struct StationResult {
    int status = -1;      // exit status, or 128 + signal
    std::string output;   // stdout and stderr
};
// Runs the station program with the arguments and waits.
StationResult Station(const std::vector<std::string>& aArgs, const std::string& aCwd = "");
// Starts it; output goes to aOutput.
pid_t StartStation(const std::vector<std::string>& aArgs, const std::string& aOutput);
pid_t StartProgram(const std::string& aProgram, const std::vector<std::string>& aArgs, const std::string& aOutput);
int Wait(pid_t aPid);

std::vector<station::Record> ReadJsonl(const std::string& aPath);
// The JUnit file of the newest run in a results folder ("" when none).
std::string LatestJunit(const std::string& aResultsDir);

// What each station process counted (store connections opened, syncs),
// for a station run with the counting library preloaded into it.
struct ProcessCounts {
    long opens = 0;
    long syncs = 0;
};
struct CountedRun {
    StationResult result;
    std::vector<ProcessCounts> processes;  // one per station process that ended
};
// aMatch: count only SQLite files whose path holds it ("" counts all).
CountedRun StationCounted(const std::vector<std::string>& aArgs, const std::string& aScratch,
                          const std::string& aMatch = "");
CountedRun Counted(const std::string& aProgram, const std::vector<std::string>& aArgs, const std::string& aScratch,
                   const std::string& aMatch = "");

// The BLUETOOTH_ADDRESS a simulated DUT's EEPROM holds ("" when it holds no
// valid image).
std::string DeviceAddress(const std::string& aNvmDir);

// A private PostgreSQL server in a temporary folder, listening only on a
// Unix socket there; run as an unprivileged user when the tests run as root.
class PostgresServer {
public:
    PostgresServer();
    ~PostgresServer();
    bool ok() const { return !mUrl.empty(); }
    const std::string& error() const { return mError; }
    // URL of a fresh database.
    std::string NewDatabase();
    // Stops the server (as a crash would: immediately) and starts it again.
    bool Stop();
    bool Start();
    // Runs SQL in a database as the user "station" (the databases' owner);
    // psql's output, empty with aOk false when it failed.
    std::string Sql(const std::string& aDatabase, const std::string& aSql, bool& aOk);
    // Adds a user's password to the clients' password file.
    void AddPassword(const std::string& aUser, const std::string& aPassword);
    // The password of the user "station" (clients find it in $PGPASSFILE).
    const std::string& Password() const { return mPassword; }
    const std::string& SocketDir() const { return mDir.path(); }

private:
    std::string Run(const std::string& aCommand, int& aStatus);
    TempDir mDir;
    std::string mBin;
    std::string mUser;
    std::string mUrl;
    std::string mError;
    std::string mPassword;
    int mDatabases = 0;
};
// One server for the whole test program.
PostgresServer& Postgres();
// The WAL syncs the server counted (those of backends that ended are in).
int64_t WalSyncs(const std::string& aUrl);

// A simulated RF tester (the rftester program) on a free loopback port,
// stopped with the object.
class TesterProcess {
public:
    explicit TesterProcess(const std::vector<std::string>& aArgs = {});
    ~TesterProcess();
    bool ok() const { return !mAddress.empty(); }
    // "127.0.0.1:PORT"
    const std::string& Address() const { return mAddress; }

private:
    TempDir mDir;
    pid_t mPid = -1;
    std::string mAddress;
};

// A fixture file in aDir for aSlots slots (transport, uart, rf port each),
// with the tester at aTester.
std::string WriteFixture(const TempDir& aDir, const std::string& aName, const std::string& aTester,
                         const std::vector<std::tuple<std::string, std::string, int>>& aSlots);

}  // namespace stationtest

#endif
