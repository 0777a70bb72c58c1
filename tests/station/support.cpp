#include "support.h"

#include "sql.h"

#include "nivoratest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <glob.h>
#include <csignal>
#include <pwd.h>
#include <random>
#include <sys/stat.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace stationtest {

std::string BinDir()
{
    return STATION_BIN_DIR;
}

TempDir::TempDir()
{
    char name[] = "/tmp/nvt-station-XXXXXX";
    const char* made = mkdtemp(name);
    mPath = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (mPath != "/tmp") std::filesystem::remove_all(mPath, ec);
}

void WriteText(const std::string& aPath, const std::string& aText)
{
    std::ofstream out(aPath, std::ios::binary);
    out << aText;
}

std::string ReadText(const std::string& aPath)
{
    std::ifstream in(aPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string PlanText(const std::vector<std::pair<std::string, std::string>>& aEdits)
{
    std::string text = ReadText(std::string(STATION_SOURCE_DIR) + "/plans/bench.toml");
    for (const auto& [from, to] : aEdits) {
        const size_t at = text.find(from);
        if (at == std::string::npos) {
            std::fprintf(stderr, "plan edit: \"%s\" not found\n", from.c_str());
            std::abort();
        }
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string WritePlan(const TempDir& aDir, const std::string& aName,
                      const std::vector<std::pair<std::string, std::string>>& aEdits)
{
    std::string text = PlanText(aEdits);
    const std::string port = "{bin}/../dut{slot}.uart";
    const size_t at = text.find(port);
    if (at != std::string::npos) text.replace(at, port.size(), aDir.path() + "/" + aName + "-uart{slot}");
    const std::string path = aDir / (aName + ".toml");
    WriteText(path, text);
    return path;
}

std::string Dut(const TempDir& aDir, const std::string& aName, const std::string& aExtra)
{
    return "sim:nvm=" + (aDir / aName) + (aExtra.empty() ? "" : "," + aExtra);
}

pid_t StartStation(const std::vector<std::string>& aArgs, const std::string& aOutput)
{
    return StartProgram(STATION_PROGRAM, aArgs, aOutput);
}

pid_t StartProgram(const std::string& aProgram, const std::vector<std::string>& aArgs, const std::string& aOutput)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(aOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(aProgram.c_str()));
        for (const std::string& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(aProgram.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t aPid)
{
    int status = 0;
    if (waitpid(aPid, &status, 0) != aPid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

StationResult Station(const std::vector<std::string>& aArgs, const std::string& aCwd)
{
    TempDir out;
    std::vector<std::string> args = aArgs;
    const std::string output = out / "output.txt";
    StationResult run;
    std::string cwd;
    if (!aCwd.empty()) {
        char buffer[4096];
        cwd = getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
        if (chdir(aCwd.c_str()) != 0) return run;
    }
    const pid_t pid = StartStation(args, output);
    run.status = Wait(pid);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) run.status = -1;
    run.output = ReadText(output);
    return run;
}

std::vector<station::Record> ReadJsonl(const std::string& aPath)
{
    std::vector<station::Record> records;
    std::istringstream in(ReadText(aPath));
    std::string line;
    while (std::getline(in, line)) {
        station::Record r;
        const auto json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_discarded() || !station::FromJson(json, r)) {
            r = station::Record();
            r.text = "unreadable record line";
        }
        records.push_back(r);
    }
    return records;
}

#ifdef SYSCOUNT_LIBRARY
CountedRun StationCounted(const std::vector<std::string>& aArgs, const std::string& aScratch, const std::string& aMatch)
{
    return Counted(STATION_PROGRAM, aArgs, aScratch, aMatch);
}

CountedRun Counted(const std::string& aProgram, const std::vector<std::string>& aArgs, const std::string& aScratch,
                   const std::string& aMatch)
{
    namespace fs = std::filesystem;
    const std::string dir = aScratch + "/counts";
    fs::remove_all(dir);
    fs::create_directories(dir);
    // A sanitizer build wants its runtime first; the counter comes before it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string savedAsan = asan != nullptr ? asan : "";
    setenv("ASAN_OPTIONS", (savedAsan + (savedAsan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    setenv("NVT_SYSCOUNT_DIR", dir.c_str(), 1);
    if (!aMatch.empty()) setenv("NVT_SYSCOUNT_MATCH", aMatch.c_str(), 1);
    setenv("LD_PRELOAD", SYSCOUNT_LIBRARY, 1);
    CountedRun run;
    TempDir out;
    const pid_t pid = StartProgram(aProgram, aArgs, out / "output.txt");
    run.result.status = Wait(pid);
    run.result.output = ReadText(out / "output.txt");
    unsetenv("LD_PRELOAD");
    unsetenv("NVT_SYSCOUNT_DIR");
    unsetenv("NVT_SYSCOUNT_MATCH");
    if (asan != nullptr) setenv("ASAN_OPTIONS", savedAsan.c_str(), 1);
    else unsetenv("ASAN_OPTIONS");
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::istringstream in(ReadText(entry.path().string()));
        ProcessCounts counts;
        std::string word;
        while (in >> word) {
            if (word == "opens") in >> counts.opens;
            else if (word == "syncs") in >> counts.syncs;
        }
        run.processes.push_back(counts);
    }
    return run;
}
#endif

std::string LatestJunit(const std::string& aResultsDir)
{
    std::string latest;
    std::filesystem::file_time_type when{};
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(aResultsDir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("junit-", 0) != 0 || entry.path().extension() != ".xml") continue;
        if (latest.empty() || entry.last_write_time() > when) {
            latest = entry.path().string();
            when = entry.last_write_time();
        }
    }
    return latest;
}

std::string DeviceAddress(const std::string& aNvmDir)
{
    NvtHandle handle = nullptr;
    const std::string transport = "sim:nvm=" + aNvmDir;
    const std::string keyDb = BinDir() + "/cskey_db.xml";
    std::string text;
    if (nvtOpen(transport.c_str(), keyDb.c_str(), &handle) >= 0 && nvtCsCacheReadFromChip(handle, NVT_NVM_EEPROM, 0) >= 0) {
        uint16_t words[4] = {0, 0, 0, 0};
        uint16_t length = 4;
        if (nvtCsCacheReadItem(handle, "BLUETOOTH_ADDRESS", words, &length) >= 0) {
            char buffer[24];
            std::snprintf(buffer, sizeof buffer, "%04X:%02X:%02X%04X", words[3], words[2] & 0xFF, words[0] & 0xFF, words[1]);
            text = buffer;
        }
    }
    if (handle != nullptr) nvtClose(handle);
    return text;
}

#ifdef RFTESTER_PROGRAM
TesterProcess::TesterProcess(const std::vector<std::string>& aArgs)
{
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--ready-file", mDir / "ready"};
    args.insert(args.end(), aArgs.begin(), aArgs.end());
    mPid = StartProgram(RFTESTER_PROGRAM, args, mDir / "log");
    for (int i = 0; i < 5000 && mAddress.empty(); ++i) {
        mAddress = ReadText(mDir / "ready");
        while (!mAddress.empty() && (mAddress.back() == '\n' || mAddress.back() == '\r')) mAddress.pop_back();
        if (mAddress.empty()) usleep(2000);
    }
}

TesterProcess::~TesterProcess()
{
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        Wait(mPid);
    }
}
#endif

std::string WriteFixture(const TempDir& aDir, const std::string& aName, const std::string& aTester,
                         const std::vector<std::tuple<std::string, std::string, int>>& aSlots)
{
    std::string text = "[tester]\naddress = \"" + aTester + "\"\nidentity = \"NivoraTest,rftester\"\n";
    for (const auto& [transport, uart, port] : aSlots) {
        text += "\n[[slot]]\ntransport = \"" + transport + "\"\n";
        if (!uart.empty()) text += "uart = \"" + uart + "\"\n";
        if (port != 0) text += "rf_port = " + std::to_string(port) + "\n";
    }
    const std::string path = aDir / (aName + ".toml");
    WriteText(path, text);
    return path;
}

PostgresServer::PostgresServer()
{
    glob_t found{};
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0 && found.gl_pathc > 0)
        mBin = std::filesystem::path(found.gl_pathv[found.gl_pathc - 1]).parent_path().string();
    globfree(&found);
    if (mBin.empty()) {
        mError = "no PostgreSQL server installed (initdb not found under /usr/lib/postgresql)";
        return;
    }
    // The server refuses to run as root: it runs as nobody then, and owns
    // its folder.
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr || chown(mDir.path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
            mError = "cannot hand the server folder to the user nobody";
            return;
        }
        mUser = "runuser -u nobody -- ";
    }
    // The server asks for a password, as a line's does; the clients (this
    // program, the stations it starts, createdb) give it through a password
    // file, the way the docs tell a line to.
    mPassword = "pw-" + std::to_string(getpid()) + "-" + std::to_string(std::random_device()());
    WriteText(mDir / "password", mPassword + "\n");
    const std::string passfile = mDir / "pgpass";
    WriteText(passfile, mDir.path() + ":5432:*:station:" + mPassword + "\n");
    chmod(passfile.c_str(), 0600);
    setenv("PGPASSFILE", passfile.c_str(), 1);
    int status = 0;
    const std::string data = mDir / "data";
    std::string out = Run(mUser + mBin + "/initdb --no-sync --auth-local=scram-sha-256 --auth-host=scram-sha-256 --pwfile=" +
                              (mDir / "password") + " -U station -E UTF8 -D " + data,
                          status);
    if (status != 0) {
        mError = "initdb failed: " + out;
        return;
    }
    mUrl = "postgresql://station@/postgres?host=" + mDir.path() + "&port=5432";
    if (!Start()) mUrl.clear();
}

bool PostgresServer::Start()
{
    int status = 0;
    const std::string out = Run(mUser + mBin + "/pg_ctl -D " + (mDir / "data") + " -l " + (mDir / "server.log") +
                                    " -w -t 60 -o \"-k " + mDir.path() + " -c listen_addresses= -p 5432\" start",
                                status);
    if (status != 0) mError = "the server did not start: " + out + ReadText(mDir / "server.log");
    return status == 0;
}

bool PostgresServer::Stop()
{
    int status = 0;
    Run(mUser + mBin + "/pg_ctl -D " + (mDir / "data") + " -m immediate -w stop", status);
    return status == 0;
}

PostgresServer::~PostgresServer()
{
    if (!mUrl.empty()) Stop();
}

std::string PostgresServer::NewDatabase()
{
    if (mUrl.empty()) return "";
    const std::string name = "station" + std::to_string(++mDatabases);
    int status = 0;
    Run(mBin + "/createdb -h " + mDir.path() + " -p 5432 -U station " + name, status);
    if (status != 0) return "";
    return "postgresql://station@/" + name + "?host=" + mDir.path() + "&port=5432";
}

std::string PostgresServer::Sql(const std::string& aDatabase, const std::string& aSql, bool& aOk)
{
    const std::string file = mDir / ("sql-" + std::to_string(++mDatabases) + ".sql");
    WriteText(file, aSql);
    int status = 0;
    const std::string out = Run(mBin + "/psql -X -q -v ON_ERROR_STOP=1 -h " + mDir.path() + " -p 5432 -U station -d " +
                                    aDatabase + " -f " + file,
                                status);
    aOk = status == 0;
    return out;
}

void PostgresServer::AddPassword(const std::string& aUser, const std::string& aPassword)
{
    const std::string passfile = mDir / "pgpass";
    WriteText(passfile, ReadText(passfile) + mDir.path() + ":5432:*:" + aUser + ":" + aPassword + "\n");
}

std::string PostgresServer::Run(const std::string& aCommand, int& aStatus)
{
    std::string output;
    FILE* pipe = popen((aCommand + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        aStatus = -1;
        return "cannot run " + aCommand;
    }
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    aStatus = pclose(pipe);
    return output;
}

PostgresServer& Postgres()
{
    static PostgresServer server;
    return server;
}

int64_t WalSyncs(const std::string& aUrl)
{
    std::string error;
    auto sql = station::OpenPostgres(aUrl, error);
    std::vector<station::SqlRow> rows;
    if (!sql || !sql->Query("SELECT wal_sync FROM pg_stat_wal", {}, &rows, nullptr, error) || rows.empty()) return -1;
    return rows[0].Int(0);
}

}  // namespace stationtest
