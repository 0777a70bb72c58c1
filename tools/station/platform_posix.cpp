// The station on POSIX systems: workers are forked from the station, so
// they share its loaded plan, and report on a pipe.
#include "platform.h"

#include "records.h"
#include "worker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/prctl.h>
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
    signal(SIGPIPE, SIG_IGN);
}

bool AppendDurably(const std::string& aPath, const std::string& aLine, std::string& aError)
{
    const int fd = open(aPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        aError = "cannot open \"" + aPath + "\" (" + std::strerror(errno) + ")";
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
    const std::string temp = aPath + ".tmp." + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        aError = "cannot write \"" + temp + "\" (" + std::strerror(errno) + ")";
        return false;
    }
    bool ok = WriteAll(fd, aContents.data(), aContents.size()) && fsync(fd) == 0;
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

struct WorkerProcess::Impl {
    pid_t pid = -1;
    int fd = -1;  // the read end of the worker's report pipe
};

namespace {

// The read ends the station holds: a worker forked later closes them, so
// that only the station sees a worker's pipe.
std::vector<int>& ReadEnds()
{
    static std::vector<int> ends;
    return ends;
}

void CloseReadEnd(int& aFd)
{
    if (aFd < 0) return;
    auto& ends = ReadEnds();
    ends.erase(std::remove(ends.begin(), ends.end(), aFd), ends.end());
    close(aFd);
    aFd = -1;
}

volatile std::sig_atomic_t gWorkerAbort = 0;

[[noreturn]] void WorkerMain(const RunRequest& aRequest, int aSlot, int aFd, pid_t aParent)
{
    // A worker dies with its station, and stops cleanly on Ctrl-C.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != aParent) _exit(1);
    SetStopFlag(&gWorkerAbort);
    RunWorker(
        aRequest, aSlot,
        [aFd](const std::string& aLine) {
            const std::string line = aLine + "\n";
            WriteAll(aFd, line.data(), line.size());  // fails only when the station is gone
        },
        &gWorkerAbort);
    close(aFd);
    _exit(0);
}

}  // namespace

WorkerProcess::WorkerProcess(std::unique_ptr<Impl> aImpl) : mImpl(std::move(aImpl)) {}

WorkerProcess::~WorkerProcess()
{
    CloseReadEnd(mImpl->fd);
    if (mImpl->pid > 0) {
        kill(mImpl->pid, SIGKILL);
        waitpid(mImpl->pid, nullptr, 0);
    }
}

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const RunRequest& aRequest, int aSlot, std::string& aError)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        aError = std::strerror(errno);
        return nullptr;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        for (int fd : ReadEnds()) close(fd);
        WorkerMain(aRequest, aSlot, fds[1], parent);
    }
    const int saved = errno;
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        aError = std::strerror(saved);
        return nullptr;
    }
    ReadEnds().push_back(fds[0]);
    auto impl = std::make_unique<Impl>();
    impl->pid = pid;
    impl->fd = fds[0];
    return std::unique_ptr<WorkerProcess>(new WorkerProcess(std::move(impl)));
}

void WorkerProcess::WaitForAny(const std::vector<WorkerProcess*>& aWorkers, int aMillis)
{
    std::vector<pollfd> fds;
    for (const WorkerProcess* w : aWorkers)
        if (w->mImpl->fd >= 0) fds.push_back({w->mImpl->fd, POLLIN, 0});
    if (!fds.empty()) poll(fds.data(), fds.size(), aMillis);  // EINTR: the caller looks again
}

void WorkerProcess::Stop()
{
    if (mImpl->pid > 0) kill(mImpl->pid, SIGTERM);
}

long WorkerProcess::Read(char* aBuffer, size_t aSize)
{
    if (mImpl->fd < 0) return 0;
    pollfd p{mImpl->fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return -1;
    const ssize_t n = read(mImpl->fd, aBuffer, aSize);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return -1;
    if (n <= 0) {
        CloseReadEnd(mImpl->fd);
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
    if (done < 0) {
        aHow = std::string("could not be waited for (") + std::strerror(errno) + ")";
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    aHow = WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                               : "ended without a record (status " + std::to_string(WEXITSTATUS(status)) + ")";
    return false;
}

bool RunAsWorker(int, char**, int&)
{
    return false;  // workers are forked, never started as programs
}

}  // namespace station
