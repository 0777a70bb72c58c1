// The station on POSIX systems. A worker is the station program started
// again (fork and exec) with "--station-worker" and two inherited pipe
// descriptors: one it reads its request and stop requests from, one it
// reports on. It dies with the station (the parent-death signal).
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace station {

std::string ProgramDir()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().string();
}

std::string HostName()
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "station";
    return name;
}

long ProcessId()
{
    return static_cast<long>(getpid());
}

std::tm UtcTime(std::time_t aTime)
{
    std::tm utc{};
    gmtime_r(&aTime, &utc);
    return utc;
}

bool IsLiveTerminal(std::FILE* aFile)
{
    return isatty(fileno(aFile)) != 0;
}

namespace {

volatile std::sig_atomic_t* gStopFlag = nullptr;

void OnStopSignal(int)
{
    if (gStopFlag != nullptr) *gStopFlag = 1;
}

bool WriteAll(int aFd, const char* aData, size_t aSize)
{
    size_t done = 0;
    while (done < aSize) {
        const ssize_t n = write(aFd, aData + done, aSize - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void SetStopFlag(volatile std::sig_atomic_t* aFlag)
{
    gStopFlag = aFlag;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::string PrivateTempDir(const std::string& aPrefix, std::string& aError)
{
    std::error_code ec;
    std::string base = std::filesystem::temp_directory_path(ec).string();
    if (ec) base = "/tmp";
    std::string path = base + "/" + aPrefix + "XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
        aError = "cannot make a temporary folder in \"" + base + "\" (" + std::strerror(errno) + ")";
        return "";
    }
    return path;
}

void HideArgument(int aArgc, char** aArgv, const std::string& aSecret, const std::string& aShown)
{
    if (aSecret.empty()) return;
    for (int i = 1; i < aArgc; ++i) {
        const size_t length = std::strlen(aArgv[i]);
        if (length < aSecret.size() || std::strcmp(aArgv[i] + length - aSecret.size(), aSecret.c_str()) != 0) continue;
        // "--db=URL" or "URL": the URL part is written over in place.
        char* url = aArgv[i] + length - aSecret.size();
        const size_t n = std::min(aShown.size(), aSecret.size());
        std::memcpy(url, aShown.data(), n);
        std::memset(url + n, ' ', aSecret.size() - n);
    }
}

namespace {

// The process's umask, read without changing it (another thread may be
// making a file at the same moment).
mode_t CurrentUmask()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status != nullptr) {
        char line[256];
        unsigned mask = 0;
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::sscanf(line, "Umask: %o", &mask) == 1) {
                std::fclose(status);
                return static_cast<mode_t>(mask);
            }
        }
        std::fclose(status);
    }
    return 022;
}

// A symbolic link where the station writes a file is refused: it could
// make the station overwrite another file, whoever planted it.
bool RefuseLink(const std::string& aPath, std::string& aError)
{
    struct stat info {};
    if (lstat(aPath.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        aError = "\"" + aPath + "\" is a symbolic link, not a file: the station does not write through it";
        return true;
    }
    return false;
}

}  // namespace

bool CreatePrivateFile(const std::string& aPath, std::string& aError)
{
    if (RefuseLink(aPath, aError)) return false;
    const int fd = open(aPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd >= 0) return close(fd) == 0 || true;
    if (errno == EEXIST) return true;
    aError = "cannot make \"" + aPath + "\" (" + std::strerror(errno) + ")";
    return false;
}

namespace {

// What the processes sharing a lock file share: the writers' lock, and the
// state of their group sync (see ProcessLock::SyncUpTo). The boot it was
// made in is kept so that a file left by an earlier boot (whose mutex may
// read as held by a process long gone: its end was never seen) is made
// anew instead of waited on.
struct SharedLock {
    uint64_t magic;
    pthread_mutex_t mutex;
    pthread_mutex_t syncing;
    ProcessLock::Counters counters;
    char boot[40];
};
constexpr uint64_t kSharedLockMagic = 0x6b636f4c7476'4e02ULL;
// The lock file of the version before: a magic and a mutex only.
constexpr uint64_t kOldLockMagic = 0x6b636f4c7476'4e01ULL;
constexpr off_t kOldLockSize = static_cast<off_t>(sizeof(uint64_t) + sizeof(pthread_mutex_t));

std::string BootId()
{
    char id[sizeof SharedLock::boot] = "";
    const int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    const ssize_t got = read(fd, id, sizeof id - 1);
    close(fd);
    std::string text(id, got > 0 ? static_cast<size_t>(got) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
    return text;
}

bool InitMutex(pthread_mutex_t* aMutex)
{
    pthread_mutexattr_t attr;
    const bool ok = pthread_mutexattr_init(&attr) == 0 && pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 && pthread_mutex_init(aMutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// Takes aMutex within aMillis; a mutex whose holder ended while holding it
// is taken over (what it guards is kept right by its users).
bool LockWithin(pthread_mutex_t* aMutex, int aMillis)
{
    timespec until {};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += aMillis / 1000;
    until.tv_nsec += static_cast<long>(aMillis % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    const int rc = pthread_mutex_timedlock(aMutex, &until);
    if (rc == EOWNERDEAD) return pthread_mutex_consistent(aMutex) == 0;
    return rc == 0;
}

// A new lock file is made whole under a temporary name and then linked to
// its name (or, with aReplace, renamed over the file there), so no process
// ever maps a mutex that is not yet made.
bool MakeLockFile(const std::string& aPath, bool aReplace, std::string& aError)
{
    std::string temp = aPath + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        aError = "cannot make \"" + aPath + "\" (" + std::strerror(errno) + ")";
        return false;
    }
    bool ok = fchmod(fd, 0640) == 0 && ftruncate(fd, sizeof(SharedLock)) == 0;
    void* map = ok ? mmap(nullptr, sizeof(SharedLock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (map != MAP_FAILED) {
        auto* lock = new (map) SharedLock {};
        ok = InitMutex(&lock->mutex) && InitMutex(&lock->syncing);
        const std::string boot = BootId();
        std::memcpy(lock->boot, boot.data(), std::min(boot.size(), sizeof lock->boot - 1));
        lock->magic = kSharedLockMagic;
        munmap(map, sizeof(SharedLock));
    } else {
        ok = false;
    }
    int saved = errno;
    close(fd);
    if (ok && aReplace) {
        if (rename(temp.c_str(), aPath.c_str()) != 0) ok = false;
    } else if (ok && link(temp.c_str(), aPath.c_str()) != 0 && errno != EEXIST) {
        // Someone else's lock file may be there first: that one is used.
        ok = false;
    }
    if (!ok) saved = errno;
    unlink(temp.c_str());
    if (!ok) aError = "cannot make \"" + aPath + "\" (" + std::strerror(saved) + ")";
    return ok;
}

}  // namespace

ProcessLock::~ProcessLock()
{
    if (mLock != nullptr) munmap(mLock, sizeof(SharedLock));
}

bool ProcessLock::Open(const std::string& aPath, std::string& aError)
{
    const std::string boot = BootId();
    // A few turns: a stale file is made anew, and another process may
    // make it anew at the same time; the file there at the end is used.
    for (int turn = 0; turn < 3; ++turn) {
        if (RefuseLink(aPath, aError)) return false;
        int fd = open(aPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ENOENT) {
            if (!MakeLockFile(aPath, false, aError)) return false;
            fd = open(aPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        }
        if (fd < 0) {
            aError = "cannot open \"" + aPath + "\" (" + std::strerror(errno) + ")";
            return false;
        }
        // Only a lock file of this user, of the size a lock file has, is used.
        struct stat info {};
        const bool mine = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
        void* map = MAP_FAILED;
        bool stale = false;
        if (mine && info.st_size == static_cast<off_t>(sizeof(SharedLock))) {
            map = mmap(nullptr, sizeof(SharedLock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        } else if (mine && info.st_size == kOldLockSize) {
            uint64_t magic = 0;
            stale = pread(fd, &magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) && magic == kOldLockMagic;
        }
        close(fd);
        auto* lock = static_cast<SharedLock*>(map);
        if (map != MAP_FAILED && lock->magic == kSharedLockMagic) {
            if (std::string(lock->boot, strnlen(lock->boot, sizeof lock->boot)) == boot) {
                mLock = map;
                mCounters = &lock->counters;
                return true;
            }
            stale = true;
        }
        if (map != MAP_FAILED) munmap(map, sizeof(SharedLock));
        if (!stale) break;
        // Made in an earlier boot, or by the version before: replaced, unless
        // another process replaced it since this one looked.
        struct stat now {};
        if (lstat(aPath.c_str(), &now) == 0 && now.st_ino == info.st_ino && now.st_dev == info.st_dev &&
            !MakeLockFile(aPath, true, aError))
            return false;
    }
    aError = "\"" + aPath + "\" is not a lock file of this station";
    return false;
}

bool ProcessLock::Lock(int aMillis)
{
    return LockWithin(&static_cast<SharedLock*>(mLock)->mutex, aMillis);
}

void ProcessLock::Unlock()
{
    pthread_mutex_unlock(&static_cast<SharedLock*>(mLock)->mutex);
}

bool ProcessLock::TakeSyncing(int aMillis)
{
    return LockWithin(&static_cast<SharedLock*>(mLock)->syncing, aMillis);
}

void ProcessLock::GiveSyncing()
{
    pthread_mutex_unlock(&static_cast<SharedLock*>(mLock)->syncing);
}

bool AppendDurably(const std::string& aPath, const std::string& aLine, std::string& aError)
{
    // No link is followed (O_NOFOLLOW); a new file gets the umask's mode.
    const int fd = open(aPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        const int saved = errno;
        if (saved == ELOOP && RefuseLink(aPath, aError)) return false;
        aError = "cannot open \"" + aPath + "\" (" + std::strerror(saved) + ")";
        return false;
    }
    // One write: appends of other stations land before or after it, never
    // inside it.
    ssize_t n;
    do {
        n = write(fd, aLine.data(), aLine.size());
    } while (n < 0 && errno == EINTR);
    const bool ok = n == static_cast<ssize_t>(aLine.size()) && fdatasync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!ok) {
        aError = "cannot append to \"" + aPath + "\" (" + std::strerror(saved) + ")";
        return false;
    }
    return true;
}

bool WriteFileAtomically(const std::string& aPath, const std::string& aContents, std::string& aError)
{
    if (RefuseLink(aPath, aError)) return false;
    // A temporary file no one can guess or plant a link at: made new
    // (mkstemp: O_EXCL) beside the target, then given the umask's mode.
    std::string temp = aPath + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        aError = "cannot write \"" + aPath + "\" (" + std::strerror(errno) + ")";
        return false;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    bool ok = fchmod(fd, 0666 & ~CurrentUmask()) == 0 && WriteAll(fd, aContents.data(), aContents.size()) && fsync(fd) == 0;
    const int saved = errno;
    ok = close(fd) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), aPath.c_str()) != 0) {
        aError = "cannot write \"" + aPath + "\" (" + std::strerror(ok ? errno : saved) + ")";
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Worker processes

namespace {

const char kWorkerArgument[] = "--station-worker";

}  // namespace

struct WorkerProcess::Impl {
    pid_t pid = -1;
    int report = -1;   // read end of the worker's report pipe
    int control = -1;  // write end of its request and stop pipe
};

WorkerProcess::WorkerProcess(std::unique_ptr<Impl> aImpl) : mImpl(std::move(aImpl)) {}

WorkerProcess::~WorkerProcess()
{
    if (mImpl->report >= 0) close(mImpl->report);
    if (mImpl->control >= 0) close(mImpl->control);
    if (mImpl->pid > 0) {
        kill(mImpl->pid, SIGKILL);
        waitpid(mImpl->pid, nullptr, 0);
    }
}

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const std::string& aRequest, std::string& aError)
{
    int report[2], control[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        aError = std::strerror(errno);
        return nullptr;
    }
    if (pipe2(control, O_CLOEXEC) != 0) {
        aError = std::strerror(errno);
        close(report[0]);
        close(report[1]);
        return nullptr;
    }
    // Every pipe end is close-on-exec: a worker keeps only its own two.
    std::string program = "station", argument = kWorkerArgument;
    std::string reportText = std::to_string(report[1]), controlText = std::to_string(control[0]);
    char* const argv[] = {program.data(), argument.data(), reportText.data(), controlText.data(), nullptr};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        if (fcntl(report[1], F_SETFD, 0) != 0 || fcntl(control[0], F_SETFD, 0) != 0) _exit(127);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    const int saved = errno;
    close(report[1]);
    close(control[0]);
    if (pid < 0) {
        close(report[0]);
        close(control[1]);
        aError = std::strerror(saved);
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->pid = pid;
    impl->report = report[0];
    impl->control = control[1];
    // A worker that dies before it reads its request ends its report pipe;
    // the slot loop then finds it gone.
    const std::string line = aRequest + "\n";
    WriteAll(impl->control, line.data(), line.size());
    return std::unique_ptr<WorkerProcess>(new WorkerProcess(std::move(impl)));
}

void WorkerProcess::WaitForAny(const std::vector<WorkerProcess*>& aWorkers, int aMillis)
{
    std::vector<pollfd> fds;
    for (const WorkerProcess* w : aWorkers)
        if (w->mImpl->report >= 0) fds.push_back({w->mImpl->report, POLLIN, 0});
    if (!fds.empty()) poll(fds.data(), fds.size(), aMillis);  // EINTR: the caller looks again
}

void WorkerProcess::Stop()
{
    if (mImpl->pid > 0) kill(mImpl->pid, SIGTERM);
}

long WorkerProcess::Read(char* aBuffer, size_t aSize)
{
    if (mImpl->report < 0) return 0;
    pollfd p{mImpl->report, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return -1;
    const ssize_t n = read(mImpl->report, aBuffer, aSize);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return -1;
    if (n <= 0) {
        close(mImpl->report);
        mImpl->report = -1;
        return 0;
    }
    return static_cast<long>(n);
}

bool WorkerProcess::Wait(std::string& aHow)
{
    int status = 0;
    pid_t done;
    do {
        done = waitpid(mImpl->pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    mImpl->pid = -1;
    if (mImpl->control >= 0) close(mImpl->control);
    mImpl->control = -1;
    if (done < 0) {
        aHow = std::string("could not be waited for (") + std::strerror(errno) + ")";
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    aHow = WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                               : "ended without a record (status " + std::to_string(WEXITSTATUS(status)) + ")";
    return false;
}

// ---------------------------------------------------------------------------
// The worker's side

namespace {

volatile std::sig_atomic_t gWorkerAbort = 0;

int DescriptorArgument(const char* aText)
{
    char* end = nullptr;
    const long value = std::strtol(aText, &end, 10);
    if (end == aText || *end != '\0' || value < 3 || value > 65535) return -1;
    return static_cast<int>(value);
}

// One line of the request pipe; false at its end or for a line over 1 MiB.
bool ReadLine(int aFrom, std::string& aLine)
{
    aLine.clear();
    char c;
    for (;;) {
        const ssize_t n = read(aFrom, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) return false;
        if (c == '\n') return true;
        if (aLine.size() > (1u << 20)) return false;
        aLine += c;
    }
}

}  // namespace

bool RunAsWorker(int aArgc, char** aArgv, const RequestedWorker& aRun, int& aStatus)
{
    if (aArgc < 2 || std::strcmp(aArgv[1], kWorkerArgument) != 0) return false;
    aStatus = 2;
    const int report = aArgc == 4 ? DescriptorArgument(aArgv[2]) : -1;
    const int control = aArgc == 4 ? DescriptorArgument(aArgv[3]) : -1;
    if (report < 0 || control < 0 || fcntl(report, F_GETFD) < 0 || fcntl(control, F_GETFD) < 0) {
        std::fprintf(stderr, "station: %s is started by the station for each DUT, not by hand\n", kWorkerArgument);
        return true;
    }
    fcntl(report, F_SETFD, FD_CLOEXEC);
    fcntl(control, F_SETFD, FD_CLOEXEC);
    SetStopFlag(&gWorkerAbort);
    std::string line;
    if (!ReadLine(control, line)) {
        std::fprintf(stderr, "station: the worker got no request from the station\n");
        return true;
    }
    // "stop" from the station, or its end, stops the DUT at its next safe point.
    std::thread([control] {
        std::string order;
        while (ReadLine(control, order) && order != "stop") {
        }
        gWorkerAbort = 1;
    }).detach();
    aRun(
        line,
        [report](const std::string& aLine) {
            const std::string out = aLine + "\n";
            WriteAll(report, out.data(), out.size());  // fails only when the station is gone
        },
        &gWorkerAbort);
    close(report);
    aStatus = 0;
    return true;
}

}  // namespace station
