// What the station needs of the operating system, with a POSIX and a Win32
// implementation (platform_posix.cpp, platform_win32.cpp): the program's
// folder and host, stop requests, durable file writes, and the worker
// processes that run one DUT each. This is the bottom of the station: it
// knows nothing of plans, records or DUTs; what a worker runs is handed to
// it as a function.
#ifndef NVT_STATION_PLATFORM_H
#define NVT_STATION_PLATFORM_H

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace station {

// The folder of the running program ("." when it cannot be found).
std::string ProgramDir();
// The host name ("station" when it has none).
std::string HostName();
long ProcessId();
// aTime broken down in UTC.
std::tm UtcTime(std::time_t aTime);
// True when aFile is a terminal that can show the live slot lines.
bool IsLiveTerminal(std::FILE* aFile);
// Ctrl-C, termination requests and a closed terminal (SIGHUP: the
// operator's terminal or SSH connection went away) set *aFlag from now on;
// a closed pipe on the way out is an error, not the end of the program.
void SetStopFlag(volatile std::sig_atomic_t* aFlag);

// Makes aPath a new, empty file that only this user and its group may read
// (0640, less what the umask takes), unless a file is there already; a
// link there is refused. For the store and the outbox.
bool CreatePrivateFile(const std::string& aPath, std::string& aError);

// Overwrites, in this process's own argument list (what the process list
// shows), every argument that is aSecret or ends in it with aShown, as far
// as its length allows.
void HideArgument(int aArgc, char** aArgv, const std::string& aSecret, const std::string& aShown);

// A new folder only this user can read, in the system's temporary folder;
// empty with a text in aError when none can be made.
std::string PrivateTempDir(const std::string& aPrefix, std::string& aError);

// Appends aLine to aPath in one write and puts it on disk, so that appends
// of several processes never land inside each other.
bool AppendDurably(const std::string& aPath, const std::string& aLine, std::string& aError);
// Writes a file by temporary file, sync and rename.
bool WriteFileAtomically(const std::string& aPath, const std::string& aContents, std::string& aError);

// An exclusive lock between the processes of one user, named by a file
// (POSIX: a robust process-shared mutex in that file, made on first use
// and never opened through a link, and made anew when an earlier boot left
// it; Windows: a named mutex). A waiter is woken as soon as the lock is
// free, and the system frees it when the process that holds it ends.
//
// Its users also sync one file together (a group commit): each write that
// must reach the disk takes a ticket, and one sync of the file serves every
// ticket taken before it began, so processes writing at once share syncs.
class ProcessLock {
public:
    ProcessLock() = default;
    ~ProcessLock();
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;

    bool Open(const std::string& aPath, std::string& aError);
    // Waits at most aMillis for the lock: false when another holder kept it.
    bool Lock(int aMillis);
    void Unlock();

    // The ticket of a write just made to the shared file.
    uint64_t Written() { return mCounters->written.fetch_add(1) + 1; }
    // Returns once the write of aTicket is on disk: at once when a sync
    // that began after it has ended, otherwise after aSync (which syncs the
    // whole file) ran here, or its result when it failed. Waits at most
    // aMillis for another process's sync before running its own.
    bool SyncUpTo(uint64_t aTicket, const std::function<bool()>& aSync, int aMillis)
    {
        if (mCounters->synced.load() >= aTicket) return true;
        // Could not wait for the others: its own sync is always enough.
        if (!TakeSyncing(aMillis)) return aSync();
        bool ok = true;
        if (mCounters->synced.load() < aTicket) {
            const uint64_t upTo = mCounters->written.load();
            ok = aSync();
            if (ok && upTo > mCounters->synced.load()) mCounters->synced.store(upTo);
        }
        GiveSyncing();
        return ok;
    }

    // The group sync's state, shared by the lock's users.
    struct Counters {
        std::atomic<uint64_t> written;  // tickets given
        std::atomic<uint64_t> synced;   // every ticket up to this is on disk
    };
    static_assert(std::atomic<uint64_t>::is_always_lock_free, "the shared counters need lock-free atomics");

private:
    // The mutex of the one process syncing for the others.
    bool TakeSyncing(int aMillis);
    void GiveSyncing();

    void* mLock = nullptr;
    void* mSyncing = nullptr;  // Windows: the syncing mutex
    Counters* mCounters = nullptr;
};

// How a worker reports: one line at a time, without its newline.
using ReportLine = std::function<void(const std::string&)>;
// What a worker process runs: its request, the one line the station sent
// it; it reports on aSend and stops at its next safe point once *aAbort is
// set.
using RequestedWorker = std::function<void(const std::string& aRequest, const ReportLine& aSend,
                                           const volatile std::sig_atomic_t* aAbort)>;

// A worker process: this program started again (it runs RunAsWorker), with
// a pipe it reads its request from and one it reports on. A worker shares
// nothing with the station but what the request says, so no open store,
// file or thread of the station is ever copied into it.
class WorkerProcess {
public:
    // Starts a worker and hands it aRequest (one line). Null with a text in
    // aError when it cannot be started.
    static std::unique_ptr<WorkerProcess> Start(const std::string& aRequest, std::string& aError);
    // Waits at most aMillis for one of aWorkers to have output or to end.
    static void WaitForAny(const std::vector<WorkerProcess*>& aWorkers, int aMillis);

    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // Asks the worker to stop at its next safe point.
    void Stop();
    // Reads what the worker sent: the number of bytes read, 0 once its
    // report pipe has ended, -1 when nothing is there yet.
    long Read(char* aBuffer, size_t aSize);
    // Waits for the worker to end, after its pipe has: true when it ended
    // with status 0, else aHow says how it ended ("was killed by signal 9").
    bool Wait(std::string& aHow);

    struct Impl;

private:
    explicit WorkerProcess(std::unique_ptr<Impl> aImpl);
    std::unique_ptr<Impl> mImpl;
};

// A program started as a worker process runs its request with aRun here:
// true with the exit status in aStatus when aArgv is a worker's command
// line. The worker stops at its next safe point on Ctrl-C, on a stop from
// the station, or when the station's end of the request pipe closes.
bool RunAsWorker(int aArgc, char** aArgv, const RequestedWorker& aRun, int& aStatus);

}  // namespace station

#endif
