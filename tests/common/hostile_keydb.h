// Hostile key databases, shared by the library's and the station's tests:
// a valid database turned into one that reaches for the network, another
// file or a FIFO, or that expands entities without end; a local HTTP server
// that counts who calls; and a child process that runs one load and reports
// its time and peak memory. POSIX only.
#ifndef NVT_TESTS_COMMON_HOSTILE_KEYDB_H
#define NVT_TESTS_COMMON_HOSTILE_KEYDB_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace hostilekeydb {

// The text every hostile file hides: no error text may ever show it.
constexpr const char* kSecret = "SECRET-7f3a";

// A TCP server on 127.0.0.1 that answers every connection with a short
// HTTP reply holding the secret, and counts the connections.
class CountingServer {
public:
    CountingServer()
    {
        mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (mFd < 0) return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(mFd, 16) != 0 ||
            getsockname(mFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            close(mFd);
            mFd = -1;
            return;
        }
        mPort = ntohs(address.sin_port);
        // The server is a process of its own, not a thread: the tests fork
        // their loads, and a fork of a process with a second thread may
        // inherit a lock that thread held (a sanitizer's, libc's) and hang.
        // Each connection is told to the parent as one byte on a pipe.
        int fds[2];
        if (pipe(fds) != 0) {
            close(mFd);
            mFd = -1;
            return;
        }
        std::fflush(nullptr);
        mPid = fork();
        if (mPid == 0) {
            close(fds[0]);
            Serve(fds[1]);
            _exit(0);
        }
        close(fds[1]);
        mCount = fds[0];
        fcntl(mCount, F_SETFL, O_NONBLOCK);
        if (mPid < 0) {
            close(mFd);
            mFd = -1;
        }
    }
    ~CountingServer()
    {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        if (mCount >= 0) close(mCount);
        if (mFd >= 0) close(mFd);
    }
    CountingServer(const CountingServer&) = delete;
    CountingServer& operator=(const CountingServer&) = delete;

    bool ok() const { return mFd >= 0; }
    std::string Url(const std::string& aPath) const
    {
        return "http://127.0.0.1:" + std::to_string(mPort) + "/" + aPath;
    }
    int connections()
    {
        char bytes[64];
        ssize_t n;
        while ((n = read(mCount, bytes, sizeof bytes)) > 0) mConnections += static_cast<int>(n);
        return mConnections;
    }

private:
    void Serve(int aCount)
    {
        const std::string reply = std::string("HTTP/1.0 200 OK\r\nContent-Length: ") +
                                  std::to_string(std::strlen(kSecret)) + "\r\n\r\n" + kSecret;
        for (;;) {
            const int client = accept(mFd, nullptr, nullptr);
            if (client < 0) continue;
            if (write(aCount, "c", 1) < 0) {
            }
            if (write(client, reply.data(), reply.size()) < 0) {
            }
            close(client);
        }
    }

    int mFd = -1;
    uint16_t mPort = 0;
    pid_t mPid = -1;
    int mCount = -1;
    int mConnections = 0;
};

// aBase with aDoctype placed before its root element and aReference at the
// start of the text of its first LABEL element (which aBase must have).
inline std::string Inject(const std::string& aBase, const std::string& aDoctype, const std::string& aReference)
{
    std::string text = aBase;
    const size_t label = text.find("<LABEL>");
    if (label != std::string::npos) text.insert(label + 7, aReference);
    size_t root = 0;
    const size_t declaration = text.find("?>");
    if (text.compare(0, 5, "<?xml") == 0 && declaration != std::string::npos) root = declaration + 2;
    text.insert(root, "\n" + aDoctype + "\n");
    return text;
}

// The root element's name in aBase, for its DOCTYPE.
inline std::string RootName(const std::string& aBase)
{
    size_t at = 0;
    for (;;) {
        at = aBase.find('<', at);
        if (at == std::string::npos || at + 1 >= aBase.size()) return "PSKEY_DATABASE";
        if (aBase[at + 1] != '?' && aBase[at + 1] != '!') break;
        ++at;
    }
    const size_t end = aBase.find_first_of(" \t\r\n>/", at + 1);
    return aBase.substr(at + 1, end - at - 1);
}

// An external entity, used in a label, at a URL; the DTD is on the network too.
inline std::string ExternalEntityAt(const std::string& aBase, const std::string& aEntityUrl,
                                    const std::string& aDtdUrl)
{
    return Inject(aBase,
                  "<!DOCTYPE " + RootName(aBase) + " SYSTEM \"" + aDtdUrl + "\" [\n<!ENTITY ext SYSTEM \"" +
                      aEntityUrl + "\">\n]>",
                  "&ext;");
}

// An entity used in a label that only the external DTD aDtdPath defines.
inline std::string EntityFromAnExternalDtd(const std::string& aBase, const std::string& aDtdPath)
{
    return Inject(aBase, "<!DOCTYPE " + RootName(aBase) + " SYSTEM \"" + aDtdPath + "\">", "&secret;");
}

// The DTD for EntityFromAnExternalDtd: it defines the entity as the
// contents of aSecretPath, and holds the secret itself in a broken
// declaration that a parser's error text would quote.
inline std::string ExternalDtd(const std::string& aSecretPath)
{
    return "<!ENTITY secret SYSTEM \"" + aSecretPath + "\">\n<!ELEMENT " + kSecret + " oops>\n" + kSecret + "\n";
}

// Billion laughs: aLevels levels of entities, each ten of the one below,
// the top one used in a label. Ten levels are some 10^10 characters.
inline std::string NestedExpansion(const std::string& aBase, int aLevels = 10)
{
    std::string doctype = "<!DOCTYPE " + RootName(aBase) + " [\n<!ENTITY e0 \"laugh laugh laugh\">\n";
    for (int i = 1; i < aLevels; ++i) {
        doctype += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) doctype += "&e" + std::to_string(i - 1) + ";";
        doctype += "\">\n";
    }
    doctype += "]>";
    return Inject(aBase, doctype, "&e" + std::to_string(aLevels - 1) + ";");
}

// Whether this build runs under AddressSanitizer, whose allocator and
// shadow memory add to every allocation's cost.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Peak memory a hostile load may take beyond its start: 50 MB. Under
// AddressSanitizer freed memory is held in quarantine instead of being used
// again, so the peak counts every allocation ever made (the parser's reader
// buffers of each of the 1000 entity expansions allowed): there the bound is
// four times as high, still far below what unbounded expansion takes.
inline long PeakBoundKb()
{
    return (kSanitized ? 4 : 1) * 50 * 1024;
}

// What one load in a child process cost.
struct ChildRun {
    bool finished = false;  // false: killed at the time limit
    int status = -1;        // exit status of the child
    double seconds = 0;
    long peakGrowthKb = 0;  // peak resident memory above the child's start
};

// Resident set now and its peak, in kB, from /proc/self/status (0 when unknown).
inline void ResidentKb(long& aNow, long& aPeak)
{
    aNow = aPeak = 0;
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        long value = 0;
        if (std::sscanf(line, "VmRSS: %ld", &value) == 1) aNow = value;
        if (std::sscanf(line, "VmHWM: %ld", &value) == 1) aPeak = value;
    }
    std::fclose(f);
}

// Runs aLoad in a child process (its result is the exit status) and waits
// at most aLimitSeconds for it; the child's peak memory is counted from
// where it started. The child's standard output and error are discarded.
inline ChildRun RunInChild(const std::function<int()>& aLoad, int aLimitSeconds = 20)
{
    ChildRun run;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        // The peak is reset where the system allows it; else the peak of
        // the parent at the fork counts as the start.
        if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", clear);
            std::fclose(clear);
        }
        long before = 0, peak = 0;
        ResidentKb(before, peak);
        const long startKb = peak > before ? peak : before;
        const int result = aLoad();
        long now = 0;
        ResidentKb(now, peak);
        const long growth = peak - startKb;
        if (write(pipeFds[1], &growth, sizeof growth) < 0) {
        }
        _exit(result & 0xFF);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return run;
    }
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            run.finished = true;
            break;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(aLimitSeconds)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (run.finished && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    long growth = -1;
    if (read(pipeFds[0], &growth, sizeof growth) == static_cast<ssize_t>(sizeof growth)) run.peakGrowthKb = growth;
    close(pipeFds[0]);
    return run;
}

}  // namespace hostilekeydb

#endif
