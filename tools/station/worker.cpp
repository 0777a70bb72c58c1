#include "worker.h"

#include "dut.h"
#include "store.h"

#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace station {

namespace {

volatile std::sig_atomic_t gWorkerAbort = 0;

void OnWorkerSignal(int)
{
    gWorkerAbort = 1;
}

void SendLine(int aFd, const std::string& aLine)
{
    const std::string line = aLine + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(aFd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the parent is gone
        done += static_cast<size_t>(n);
    }
}

[[noreturn]] void WorkerMain(const RunRequest& aRequest, int aSlot, int aFd, pid_t aParent)
{
    // A worker dies with its station, and stops cleanly on Ctrl-C.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != aParent) _exit(1);
    struct sigaction action {};
    action.sa_handler = OnWorkerSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    DutJob job;
    job.plan = aRequest.plan;
    job.slot = aSlot;
    job.transport = aRequest.duts[static_cast<size_t>(aSlot - 1)];
    job.binDir = aRequest.binDir;
    job.storeUrl = aRequest.storeUrl;
    job.repair = aRequest.repair;
    job.owner = {aRequest.base.runId, aRequest.base.station, aSlot};
    job.abort = &gWorkerAbort;
    job.onStep = [aFd](const std::string& aStep) { SendLine(aFd, "S " + aStep); };
    job.onReserved = [aFd](const Address& aAddress) { SendLine(aFd, "A " + aAddress.Text()); };
    job.onSettled = [aFd] { SendLine(aFd, "C"); };
    const Record record = RunDut(job, aRequest.base);
    SendLine(aFd, "J " + ToJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    close(aFd);
    _exit(0);
}

struct Slot {
    pid_t pid = -1;
    int fd = -1;
    std::string buffer;
    std::string step;
    std::string address;     // reserved and not settled by the worker
    bool haveRecord = false;
    bool signalled = false;
    Record record;
};

class Display {
public:
    Display(std::FILE* aOut, bool aLive, size_t aSlots) : mOut(aOut), mLive(aLive), mLines(aSlots) {}

    void Set(size_t aIndex, const std::string& aText)
    {
        mLines[aIndex] = aText;
        if (!mLive) {
            std::fprintf(mOut, "slot %zu: %s\n", aIndex + 1, aText.c_str());
            std::fflush(mOut);
            return;
        }
        if (mDrawn) std::fprintf(mOut, "\033[%zuA", mLines.size());
        for (size_t i = 0; i < mLines.size(); ++i) std::fprintf(mOut, "\r\033[2Kslot %zu: %s\n", i + 1, mLines[i].c_str());
        mDrawn = true;
        std::fflush(mOut);
    }

private:
    std::FILE* mOut;
    bool mLive;
    bool mDrawn = false;
    std::vector<std::string> mLines;
};

Record DeadWorkerRecord(const RunRequest& aRequest, int aSlot, const Slot& aState, int aStatus)
{
    Record r = aRequest.base;
    r.slot = aSlot;
    r.transport = aRequest.duts[static_cast<size_t>(aSlot - 1)];
    r.started = r.started.empty() ? UtcNow() : r.started;
    r.ended = UtcNow();
    r.outcome = "ERROR";
    r.address = aState.address;
    const std::string how = WIFSIGNALED(aStatus) ? "was killed by signal " + std::to_string(WTERMSIG(aStatus))
                                                 : "ended without a record (status " + std::to_string(WEXITSTATUS(aStatus)) + ")";
    r.text = "the worker " + how + (aState.step.empty() ? "" : " during step " + aState.step);
    StepRecord s;
    s.name = aState.step.empty() ? "worker" : aState.step;
    s.outcome = "ERROR";
    s.text = r.text;
    r.steps.push_back(s);
    return r;
}

}  // namespace

std::vector<Record> RunSlots(const RunRequest& aRequest, volatile std::sig_atomic_t* aAbort, std::FILE* aOut)
{
    const size_t count = aRequest.duts.size();
    std::vector<Slot> slots(count);
    Display display(aOut, aRequest.live, count);
    std::fflush(aOut);
    const pid_t parent = getpid();
    for (size_t i = 0; i < count; ++i) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            slots[i].haveRecord = true;
            slots[i].record = DeadWorkerRecord(aRequest, static_cast<int>(i + 1), slots[i], 0);
            slots[i].record.text = std::string("cannot start the worker (") + std::strerror(errno) + ")";
            continue;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            for (size_t j = 0; j < i; ++j)
                if (slots[j].fd >= 0) close(slots[j].fd);
            WorkerMain(aRequest, static_cast<int>(i + 1), fds[1], parent);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            slots[i].haveRecord = true;
            slots[i].record = DeadWorkerRecord(aRequest, static_cast<int>(i + 1), slots[i], 0);
            slots[i].record.text = std::string("cannot start the worker (") + std::strerror(errno) + ")";
            continue;
        }
        slots[i].pid = pid;
        slots[i].fd = fds[0];
        display.Set(i, "starting");
    }

    std::unique_ptr<Store> store;  // opened only to scrap a dead worker's address
    size_t running = 0;
    for (const Slot& s : slots) running += s.pid > 0 ? 1 : 0;
    while (running > 0) {
        if (aAbort != nullptr && *aAbort != 0) {
            for (Slot& s : slots) {
                if (s.pid > 0 && !s.signalled) {
                    kill(s.pid, SIGTERM);
                    s.signalled = true;
                }
            }
        }
        std::vector<pollfd> fds;
        std::vector<size_t> index;
        for (size_t i = 0; i < count; ++i) {
            if (slots[i].fd < 0) continue;
            fds.push_back({slots[i].fd, POLLIN, 0});
            index.push_back(i);
        }
        if (!fds.empty() && poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) break;
        for (size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0) continue;
            Slot& s = slots[index[k]];
            char buffer[4096];
            const ssize_t n = read(s.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(s.fd);
                s.fd = -1;
                continue;
            }
            s.buffer.append(buffer, static_cast<size_t>(n));
            size_t nl;
            while ((nl = s.buffer.find('\n')) != std::string::npos) {
                const std::string line = s.buffer.substr(0, nl);
                s.buffer.erase(0, nl + 1);
                if (line.size() < 1) continue;
                const std::string rest = line.size() > 2 ? line.substr(2) : "";
                if (line[0] == 'S') {
                    s.step = rest;
                    display.Set(index[k], rest + (s.address.empty() ? "" : "  " + s.address));
                } else if (line[0] == 'A') {
                    s.address = rest;
                } else if (line[0] == 'C') {
                    s.address.clear();
                } else if (line[0] == 'J') {
                    const auto json = nlohmann::json::parse(rest, nullptr, false);
                    s.haveRecord = !json.is_discarded() && FromJson(json, s.record);
                }
            }
        }
        // Reap workers whose pipe is closed.
        for (size_t i = 0; i < count; ++i) {
            Slot& s = slots[i];
            if (s.pid <= 0 || s.fd >= 0) continue;
            int status = 0;
            const pid_t done = waitpid(s.pid, &status, 0);
            if (done != s.pid) continue;
            s.pid = -1;
            --running;
            const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0 && s.haveRecord;
            if (!clean) {
                const std::string address = s.address;
                s.record = DeadWorkerRecord(aRequest, static_cast<int>(i + 1), s, status);
                s.haveRecord = true;
                if (!address.empty()) {
                    // The device may hold it already: it is never handed out again.
                    std::string error;
                    if (!store) store = OpenStore(aRequest.storeUrl, error);
                    auto parsed = ParseAddress(address);
                    if (!store || !parsed || !store->SetState(*parsed, "scrapped", s.record.text, error))
                        s.record.text += "; its address " + address + " could not be scrapped (" + error + ")";
                }
            }
            display.Set(i, s.record.outcome + (s.record.address.empty() ? "" : "  " + s.record.address) +
                               (s.record.text.empty() ? "" : "  " + s.record.text));
        }
    }
    std::vector<Record> records;
    for (Slot& s : slots) records.push_back(s.record);
    return records;
}

}  // namespace station
