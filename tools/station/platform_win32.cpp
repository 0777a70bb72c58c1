// The station on Windows. Each worker is the station program started again
// with "--station-worker" and two inherited pipe handles, one it reports on
// and one it reads its request and stop requests from. Workers run in a job
// object, so that they end with the station.
// rand_s, the system's random numbers, for names no one can guess.
#define _CRT_RAND_S
#include "platform.h"

#include <windows.h>

#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace station {

namespace {

const char kWorkerArgument[] = "--station-worker";

std::string SystemText(DWORD aError)
{
    char text[512] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, aError, 0,
                                   text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return (s.empty() ? "system error" : s) + " (" + std::to_string(aError) + ")";
}

std::string ProgramPath()
{
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return "";
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() > 32768) return "";
        path.resize(path.size() * 2);
    }
}

volatile std::sig_atomic_t* gStopFlag = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD aEvent)
{
    if (aEvent == CTRL_C_EVENT || aEvent == CTRL_BREAK_EVENT || aEvent == CTRL_CLOSE_EVENT) {
        if (gStopFlag != nullptr) *gStopFlag = 1;
        return TRUE;
    }
    return FALSE;
}

bool WriteAll(HANDLE aFile, const char* aData, size_t aSize)
{
    while (aSize > 0) {
        DWORD done = 0;
        const DWORD chunk = aSize > 0x10000000 ? 0x10000000 : static_cast<DWORD>(aSize);
        if (!WriteFile(aFile, aData, chunk, &done, nullptr) || done == 0) return false;
        aData += done;
        aSize -= done;
    }
    return true;
}

HANDLE InheritableCopy(DWORD aStdHandle)
{
    HANDLE copy = nullptr;
    const HANDLE h = GetStdHandle(aStdHandle);
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// The job the workers run in; closing it (the station ends) ends them.
HANDLE WorkerJob()
{
    static const HANDLE job = [] {
        HANDLE h = CreateJobObjectA(nullptr, nullptr);
        if (h == nullptr) return h;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        ZeroMemory(&limits, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(h, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return h;
    }();
    return job;
}

}  // namespace

std::string ProgramDir()
{
    const std::string path = ProgramPath();
    return path.empty() ? std::string(".") : std::filesystem::path(path).parent_path().string();
}

std::string HostName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 256] = "";
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size) || name[0] == '\0') return "station";
    return name;
}

long ProcessId()
{
    return static_cast<long>(GetCurrentProcessId());
}

std::tm UtcTime(std::time_t aTime)
{
    std::tm utc{};
    gmtime_s(&utc, &aTime);
    return utc;
}

bool IsLiveTerminal(std::FILE* aFile)
{
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(aFile)));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
    // The live lines move the cursor with escape sequences.
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void SetStopFlag(volatile std::sig_atomic_t* aFlag)
{
    gStopFlag = aFlag;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::string PrivateTempDir(const std::string& aPrefix, std::string& aError)
{
    char base[MAX_PATH + 1] = "";
    const DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) {
        aError = "cannot find the temporary folder (" + SystemText(GetLastError()) + ")";
        return "";
    }
    // A name no other process has made: this process's id, a counter and
    // the tick count, tried until CreateDirectory makes it new.
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = std::string(base) + aPrefix + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(++counter) + "-" + std::to_string(GetTickCount64());
        if (CreateDirectoryA(path.c_str(), nullptr)) return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            aError = "cannot make a temporary folder in \"" + std::string(base) + "\" (" + SystemText(GetLastError()) + ")";
            return "";
        }
    }
    aError = "cannot make a temporary folder in \"" + std::string(base) + "\"";
    return "";
}

void HideArgument(int, char**, const std::string&, const std::string&)
{
    // Windows keeps its own copy of the command line: nothing to blank here.
}

namespace {

// A link or junction where the station writes a file is refused.
bool RefuseLink(const std::string& aPath, std::string& aError)
{
    const DWORD attributes = GetFileAttributesA(aPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        aError = "\"" + aPath + "\" is a symbolic link, not a file: the station does not write through it";
        return true;
    }
    return false;
}

}  // namespace

bool CreatePrivateFile(const std::string& aPath, std::string& aError)
{
    // Windows gives a new file the folder's access rules.
    if (RefuseLink(aPath, aError)) return false;
    const HANDLE h = CreateFileA(aPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return CloseHandle(h) || true;
    if (GetLastError() == ERROR_FILE_EXISTS) return true;
    aError = "cannot make \"" + aPath + "\" (" + SystemText(GetLastError()) + ")";
    return false;
}

namespace {

bool Take(HANDLE aMutex, int aMillis)
{
    // An abandoned mutex (its holder ended) is taken over.
    const DWORD rc = WaitForSingleObject(aMutex, static_cast<DWORD>(aMillis));
    return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

}  // namespace

ProcessLock::~ProcessLock()
{
    // The group sync's state is memory shared by name between the
    // processes of a session, made zeroed and dropped with its last user.
    if (mCounters != nullptr) UnmapViewOfFile(mCounters);
    for (void* h : {mLock, mSyncing})
        if (h != nullptr) CloseHandle(static_cast<HANDLE>(h));
}

bool ProcessLock::Open(const std::string& aPath, std::string& aError)
{
    // Named objects of this session, named by the file's full path.
    std::error_code ec;
    std::string full = std::filesystem::absolute(aPath, ec).string();
    if (ec) full = aPath;
    uint64_t hash = 1469598103934665603ULL;
    for (char c : full) {
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c == '/' ? '\\' : c;
        hash = (hash ^ static_cast<unsigned char>(lower)) * 1099511628211ULL;
    }
    const auto name = [hash](const char* aWhat) {
        char text[80];
        std::snprintf(text, sizeof text, "Local\\nvt-station-%s-%016llx", aWhat, static_cast<unsigned long long>(hash));
        return std::string(text);
    };
    DWORD error = 0;
    const auto made = [&error](HANDLE aHandle) {
        if (aHandle == nullptr && error == 0) error = GetLastError();
        return aHandle;
    };
    const HANDLE lock = made(CreateMutexA(nullptr, FALSE, name("lock").c_str()));
    const HANDLE syncing = made(CreateMutexA(nullptr, FALSE, name("syncing").c_str()));
    const HANDLE mapping = made(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Counters), name("synced").c_str()));
    void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Counters)) : nullptr;
    if (mapping != nullptr && view == nullptr) error = GetLastError();
    // The view keeps the memory; its handle is not needed past here.
    if (mapping != nullptr) CloseHandle(mapping);
    if (lock == nullptr || syncing == nullptr || view == nullptr) {
        for (HANDLE h : {lock, syncing})
            if (h != nullptr) CloseHandle(h);
        if (view != nullptr) UnmapViewOfFile(view);
        aError = "cannot make the lock of \"" + aPath + "\" (" + SystemText(error) + ")";
        return false;
    }
    mLock = lock;
    mSyncing = syncing;
    mCounters = static_cast<Counters*>(view);
    return true;
}

bool ProcessLock::Lock(int aMillis)
{
    return Take(static_cast<HANDLE>(mLock), aMillis);
}

void ProcessLock::Unlock()
{
    ReleaseMutex(static_cast<HANDLE>(mLock));
}

bool ProcessLock::TakeSyncing(int aMillis)
{
    return Take(static_cast<HANDLE>(mSyncing), aMillis);
}

void ProcessLock::GiveSyncing()
{
    ReleaseMutex(static_cast<HANDLE>(mSyncing));
}

bool AppendDurably(const std::string& aPath, const std::string& aLine, std::string& aError)
{
    if (RefuseLink(aPath, aError)) return false;
    // Append-only access: every write goes to the end of the file as one.
    const HANDLE h = CreateFileA(aPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        aError = "cannot open \"" + aPath + "\" (" + SystemText(GetLastError()) + ")";
        return false;
    }
    DWORD done = 0;
    const bool ok = aLine.size() <= 0x7FFFFFFF &&
                    WriteFile(h, aLine.data(), static_cast<DWORD>(aLine.size()), &done, nullptr) &&
                    done == aLine.size() && FlushFileBuffers(h);
    const DWORD saved = GetLastError();
    CloseHandle(h);
    if (!ok) {
        aError = "cannot append to \"" + aPath + "\" (" + SystemText(saved) + ")";
        return false;
    }
    return true;
}

bool WriteFileAtomically(const std::string& aPath, const std::string& aContents, std::string& aError)
{
    if (RefuseLink(aPath, aError)) return false;
    // A temporary file no one can guess: a random name, made new (CREATE_NEW
    // fails on anything already there, a link included).
    std::string temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        unsigned int random = 0;
        rand_s(&random);
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", random);
        temp = aPath + suffix;
        h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        aError = "cannot write \"" + aPath + "\" (" + SystemText(GetLastError()) + ")";
        return false;
    }
    bool ok = WriteAll(h, aContents.data(), aContents.size()) && FlushFileBuffers(h);
    DWORD saved = GetLastError();
    ok = CloseHandle(h) && ok;
    if (ok && !MoveFileExA(temp.c_str(), aPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        saved = GetLastError();
    }
    if (!ok) {
        aError = "cannot write \"" + aPath + "\" (" + SystemText(saved) + ")";
        DeleteFileA(temp.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Worker processes

struct WorkerProcess::Impl {
    HANDLE process = nullptr;
    HANDLE report = nullptr;   // read end of the worker's report pipe
    HANDLE control = nullptr;  // write end of its request and stop pipe
};

WorkerProcess::WorkerProcess(std::unique_ptr<Impl> aImpl) : mImpl(std::move(aImpl)) {}

WorkerProcess::~WorkerProcess()
{
    if (mImpl->process != nullptr) {
        TerminateProcess(mImpl->process, 1);
        WaitForSingleObject(mImpl->process, INFINITE);
        CloseHandle(mImpl->process);
    }
    if (mImpl->report != nullptr) CloseHandle(mImpl->report);
    if (mImpl->control != nullptr) CloseHandle(mImpl->control);
}

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const std::string& aRequest, std::string& aError)
{
    const std::string program = ProgramPath();
    if (program.empty()) {
        aError = "the station program's path is unknown (" + SystemText(GetLastError()) + ")";
        return nullptr;
    }
    // Both pipes are made inheritable and the station's ends then made not
    // so; the station starts one worker at a time, so no worker inherits the
    // pipes of another.
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE reportRead = nullptr, reportWrite = nullptr, controlRead = nullptr, controlWrite = nullptr;
    if (!CreatePipe(&reportRead, &reportWrite, &inherit, 0)) {
        aError = SystemText(GetLastError());
        return nullptr;
    }
    // Large enough for the request, so that writing it never waits.
    if (!CreatePipe(&controlRead, &controlWrite, &inherit, 1 << 16)) {
        aError = SystemText(GetLastError());
        CloseHandle(reportRead);
        CloseHandle(reportWrite);
        return nullptr;
    }
    SetHandleInformation(reportRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(controlWrite, HANDLE_FLAG_INHERIT, 0);

    std::string command = "\"" + program + "\" " + kWorkerArgument + " " +
                          std::to_string(reinterpret_cast<uintptr_t>(reportWrite)) + " " +
                          std::to_string(reinterpret_cast<uintptr_t>(controlRead));
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = InheritableCopy(STD_OUTPUT_HANDLE);
    startup.hStdError = InheritableCopy(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof info);
    const BOOL started = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                        nullptr, nullptr, &startup, &info);
    const DWORD startError = GetLastError();
    for (HANDLE h : {startup.hStdOutput, startup.hStdError, reportWrite, controlRead})
        if (h != nullptr) CloseHandle(h);
    if (!started) {
        aError = SystemText(startError);
        CloseHandle(reportRead);
        CloseHandle(controlWrite);
        return nullptr;
    }
    // Outside a job (where the system does not allow one) a worker still
    // stops when its request pipe closes.
    const HANDLE job = WorkerJob();
    if (job != nullptr) AssignProcessToJobObject(job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);

    auto impl = std::make_unique<Impl>();
    impl->process = info.hProcess;
    impl->report = reportRead;
    impl->control = controlWrite;
    const std::string request = aRequest + "\n";
    // A worker that dies before it reads its request ends its pipe; the
    // slot loop then finds it gone.
    WriteAll(impl->control, request.data(), request.size());
    return std::unique_ptr<WorkerProcess>(new WorkerProcess(std::move(impl)));
}

void WorkerProcess::WaitForAny(const std::vector<WorkerProcess*>& aWorkers, int aMillis)
{
    // Anonymous pipes cannot be waited on: look every few milliseconds.
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(aMillis);
    for (;;) {
        for (const WorkerProcess* w : aWorkers) {
            DWORD available = 0;
            if (!PeekNamedPipe(w->mImpl->report, nullptr, 0, nullptr, &available, nullptr) || available > 0) return;
        }
        if (GetTickCount64() >= end) return;
        Sleep(5);
    }
}

void WorkerProcess::Stop()
{
    static const char kStop[] = "stop\n";
    if (mImpl->control != nullptr) WriteAll(mImpl->control, kStop, sizeof kStop - 1);
}

long WorkerProcess::Read(char* aBuffer, size_t aSize)
{
    if (mImpl->report == nullptr) return 0;
    DWORD available = 0;
    DWORD got = 0;
    if (PeekNamedPipe(mImpl->report, nullptr, 0, nullptr, &available, nullptr)) {
        if (available == 0) return -1;
        const DWORD want = static_cast<DWORD>(aSize < available ? aSize : available);
        if (ReadFile(mImpl->report, aBuffer, want, &got, nullptr) && got > 0) return static_cast<long>(got);
    }
    // The pipe ended: the worker and everything it started are gone.
    CloseHandle(mImpl->report);
    mImpl->report = nullptr;
    return 0;
}

bool WorkerProcess::Wait(std::string& aHow)
{
    WaitForSingleObject(mImpl->process, INFINITE);
    DWORD code = 1;
    const bool known = GetExitCodeProcess(mImpl->process, &code);
    CloseHandle(mImpl->process);
    mImpl->process = nullptr;
    if (known && code == 0) return true;
    char text[64];
    if (!known) std::snprintf(text, sizeof text, "ended with an unknown status");
    else if (code >= 0xC0000000u) std::snprintf(text, sizeof text, "ended with exception 0x%08lX", static_cast<unsigned long>(code));
    else std::snprintf(text, sizeof text, "ended without a record (status %lu)", static_cast<unsigned long>(code));
    aHow = text;
    return false;
}

// ---------------------------------------------------------------------------
// The worker's side

namespace {

volatile std::sig_atomic_t gWorkerAbort = 0;

HANDLE HandleArgument(const char* aText)
{
    char* end = nullptr;
    const unsigned long long value = std::strtoull(aText, &end, 10);
    if (end == aText || *end != '\0' || value == 0) return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// The first line of the control pipe: the request.
bool ReadLine(HANDLE aFrom, std::string& aLine)
{
    aLine.clear();
    char c;
    DWORD got = 0;
    while (ReadFile(aFrom, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n') return true;
        if (aLine.size() > (1u << 20)) return false;
        aLine += c;
    }
    return false;
}

}  // namespace

bool RunAsWorker(int aArgc, char** aArgv, const RequestedWorker& aRun, int& aStatus)
{
    if (aArgc < 2 || std::strcmp(aArgv[1], kWorkerArgument) != 0) return false;
    aStatus = 2;
    const HANDLE report = aArgc == 4 ? HandleArgument(aArgv[2]) : nullptr;
    const HANDLE control = aArgc == 4 ? HandleArgument(aArgv[3]) : nullptr;
    if (report == nullptr || control == nullptr) {
        std::fprintf(stderr, "station: %s is started by the station for each DUT, not by hand\n", kWorkerArgument);
        return true;
    }
    SetStopFlag(&gWorkerAbort);
    const auto send = [report](const std::string& aLine) {
        const std::string line = aLine + "\n";
        WriteAll(report, line.data(), line.size());  // fails only when the station is gone
    };
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
    aRun(line, send, &gWorkerAbort);
    aStatus = 0;
    return true;
}

}  // namespace station
