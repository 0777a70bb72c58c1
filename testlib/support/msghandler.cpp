#include "support/msghandler.h"

#include "support/platform.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Head of the list of live handlers. A plain pointer: it needs no
// destructor, so observers destroyed late in shutdown can still walk it.
CMessageHandler* gFirstLiveHandler = nullptr;
// The live registry object; null before it is built and after it is gone.
TheMsgHnd* gLiveInstance = nullptr;

constexpr size_t kLineBufferSize = 1024;
constexpr uint16_t kIndentStep = 2;
constexpr uint16_t kIndentGrowBelow = 49;
constexpr uint16_t kIndentShrinkAbove = 1;

// Applies an operation to the shared handler too, when it was called on
// another handler.
template <class TOperation>
void AlsoOnShared(CMessageHandler* aCalledOn, TOperation aOperation)
{
    CMessageHandler& shared = TheMsgHnd::Instance().SharedHandler();
    if (aCalledOn != &shared) aOperation(shared);
}

}  // namespace

// --- CObserver, Subject --------------------------------------------------------

CObserver::~CObserver()
{
    CMessageHandler::ForgetObserver(this);
}

Subject::~Subject() = default;

void Subject::Attach(SubjectObserver* aObserver)
{
    mObservers.push_back(aObserver);
}

void Subject::Detach(SubjectObserver* aObserver)
{
    mObservers.remove(aObserver);
}

void Subject::NotifyAll(int32_t aValue)
{
    // A copy, so that an observer may detach itself while being notified.
    const std::list<SubjectObserver*> observers = mObservers;
    for (SubjectObserver* observer : observers) {
        if (observer != nullptr) observer->Update(*this, aValue);
    }
}

// --- Channels ----------------------------------------------------------------

void CMsgQueue::Post(uint32_t aCategory, const char* aText)
{
    if (stream == nullptr || !IsEnabled(aCategory)) return;
    *stream << (aText != nullptr ? aText : "") << std::endl;
}

void CMsgQueue::Enable(uint32_t aCategory, bool aOn)
{
    if (aCategory >= 32) {
        enabledMask = aOn ? 0xFFFFFFFFu : 0u;
        return;
    }
    const uint32_t bit = uint32_t{1} << aCategory;
    if (aOn)
        enabledMask |= bit;
    else
        enabledMask &= ~bit;
}

CDebugMsg::CDebugMsg(std::ostream* aStream)
    : CMsgQueue(kDebugType, aStream, 0u), stopwatch(std::make_unique<StopWatch>())
{
}

void CDebugMsg::Enable(uint32_t aCategory, bool aOn)
{
    CMsgQueue::Enable(aCategory, aOn);
    if (!aOn && (aCategory == 0 || aCategory == 32)) indent = 0;
}

// --- CMessageHandler ------------------------------------------------------------

CMessageHandler::CMessageHandler()
{
    mNextLive = gFirstLiveHandler;
    if (gFirstLiveHandler != nullptr) gFirstLiveHandler->mPrevLive = this;
    gFirstLiveHandler = this;
}

CMessageHandler::~CMessageHandler()
{
    progress.reset();
    debug.reset();
    status.reset();
    error.reset();
    ClearObservers();

    // A handler that goes away leaves no registry entry behind.
    if (gLiveInstance != nullptr && this != &gLiveInstance->SharedHandler()) gLiveInstance->UnregisterHandler(this);

    if (mPrevLive != nullptr)
        mPrevLive->mNextLive = mNextLive;
    else
        gFirstLiveHandler = mNextLive;
    if (mNextLive != nullptr) mNextLive->mPrevLive = mPrevLive;
}

void CMessageHandler::SetObserver(CObserver* aObserver)
{
    debug.reset();
    debug.reset(new CMessageObserver<CDebugMsg>(aObserver));
    status.reset();
    status.reset(new CMessageObserver<CStatusMsg>(aObserver));
    progress.reset();
    progress.reset(new CProgressObserver(aObserver));
    AlsoOnShared(this, [aObserver](CMessageHandler& aShared) { aShared.SetObserver(aObserver); });
}

void CMessageHandler::SetStatusStream(std::ostream* aStream)
{
    status.reset();
    status.reset(new CStatusMsg(aStream));
    AlsoOnShared(this, [aStream](CMessageHandler& aShared) { aShared.SetStatusStream(aStream); });
}

void CMessageHandler::SetErrorHolder(bool aEcho)
{
    error.reset();
    error.reset(new CErrorMsg());
    echoErrors = aEcho;
    AlsoOnShared(this, [aEcho](CMessageHandler& aShared) { aShared.SetErrorHolder(aEcho); });
}

void CMessageHandler::SetDebugStream(std::ostream* aStream)
{
    debug.reset();
    debug.reset(new CDebugMsg(aStream));
    AlsoOnShared(this, [aStream](CMessageHandler& aShared) { aShared.SetDebugStream(aStream); });
}

void CMessageHandler::DropChannelsOf(const CObserver* aObserver)
{
    if (debug != nullptr && debug->ForwardsTo() == aObserver) debug.reset();
    if (status != nullptr && status->ForwardsTo() == aObserver) status.reset();
    if (progress != nullptr && progress->ForwardsTo() == aObserver) progress.reset();
}

void CMessageHandler::ForgetObserver(const CObserver* aObserver)
{
    if (aObserver == nullptr) return;
    for (CMessageHandler* h = gFirstLiveHandler; h != nullptr; h = h->mNextLive) h->DropChannelsOf(aObserver);
}

// --- TheMsgHnd -------------------------------------------------------------------

TheMsgHnd::TheMsgHnd()
{
    gLiveInstance = this;
}

TheMsgHnd::~TheMsgHnd()
{
    gLiveInstance = nullptr;
}

TheMsgHnd& TheMsgHnd::Instance()
{
    static TheMsgHnd instance;
    return instance;
}

std::string_view TheMsgHnd::ClassKey(std::string_view aQualifiedName)
{
    const size_t pos = aQualifiedName.find("::");
    if (pos != std::string_view::npos && pos > 0) return aQualifiedName.substr(0, pos);
    return aQualifiedName;
}

CMessageHandler* TheMsgHnd::Registered(std::string_view aClassKey) const
{
    auto it = mRegistry.find(aClassKey);
    return it != mRegistry.end() ? it->second : nullptr;
}

CMessageHandler& TheMsgHnd::GetHandler(std::string_view aQualifiedName)
{
    // A registered handler serves its class key; each handler owns its own
    // channels, so every channel keeps exactly one owner. The library
    // registers only the shared handler.
    CMessageHandler* found = Registered(ClassKey(aQualifiedName));
    return found != nullptr ? *found : mShared;
}

void TheMsgHnd::RegisterHandler(std::string_view aName, CMessageHandler* aHandler)
{
    if (aHandler == nullptr) return;
    const std::string_view key = ClassKey(aName);
    auto it = mRegistry.find(key);
    if (it != mRegistry.end())
        it->second = aHandler;
    else
        mRegistry.emplace(std::string(key), aHandler);
}

void TheMsgHnd::UnregisterHandler(const CMessageHandler* aHandler)
{
    for (auto it = mRegistry.begin(); it != mRegistry.end();) {
        if (it->second == aHandler)
            it = mRegistry.erase(it);
        else
            ++it;
    }
}

// --- Reporting ------------------------------------------------------------------

namespace {

// The trace file of NVT_TRACE with its own clock and indentation, so that
// its lines read the same whatever the debug channels do.
struct TraceFile {
    std::FILE* out = nullptr;
    StopWatch stopwatch;
    uint16_t indent = 0;
};

// Never destroyed: objects destroyed late in process shutdown may still trace.
// Every line is flushed, so nothing is lost at exit.
TraceFile& TheTraceFile()
{
    static TraceFile* file = new TraceFile;
    return *file;
}

// Builds one debug line: prefix, indentation and message, cut to the buffer.
// aIndent is the destination's indentation, moved by entry and exit lines.
void BuildLine(char (&aLine)[kLineBufferSize], const StopWatch* aStopwatch, uint16_t& aIndent,
               const char* aFile, uint32_t aLineNumber, uint32_t aCategory, bool aEntering, bool aLeaving,
               const char* aMessage)
{
    int prefixLength;
    if (aStopwatch != nullptr) {
        const unsigned long elapsed = aStopwatch->ElapsedMs();
        prefixLength = std::snprintf(aLine, sizeof(aLine), "[DEBUG] {%03lu.%03lu} %s(%lu): ", (elapsed / 1000) % 1000,
                                     elapsed % 1000, aFile, static_cast<unsigned long>(aLineNumber));
    } else {
        prefixLength =
            std::snprintf(aLine, sizeof(aLine), "[DEBUG] %s(%lu): ", aFile, static_cast<unsigned long>(aLineNumber));
    }
    size_t used = prefixLength < 0 ? 0 : std::min(static_cast<size_t>(prefixLength), sizeof(aLine) - 1);
    aLine[used] = '\0';

    uint16_t indent = aIndent;
    if (aCategory == kDebugEntryExit) {
        if (aEntering) {
            if (aIndent < kIndentGrowBelow) aIndent = static_cast<uint16_t>(aIndent + kIndentStep);
        } else if (aLeaving) {
            if (aIndent > kIndentShrinkAbove) aIndent = static_cast<uint16_t>(aIndent - kIndentStep);
            indent = aIndent;
        }
    }
    const size_t spaces = std::min(static_cast<size_t>(indent), sizeof(aLine) - 1 - used);
    std::memset(aLine + used, ' ', spaces);
    used += spaces;

    const size_t room = sizeof(aLine) - 1 - used;
    const size_t messageLength = std::min(std::strlen(aMessage), room);
    std::memcpy(aLine + used, aMessage, messageLength);
    aLine[used + messageLength] = '\0';
}

}  // namespace

void DebugPrintV(CMessageHandler& aHandler, const char* aSourceFile, uint32_t aLine, uint32_t aCategory,
                 bool aEntering, bool aLeaving, const char* aFormat, va_list aArgs)
{
    CDebugMsg* channel = aHandler.DebugChannel();
    const bool toChannel = channel != nullptr && channel->IsEnabled(aCategory);
    const bool toFile = aCategory < 32 && (nvttrace::gFileCategories & (uint32_t{1} << aCategory)) != 0;
    if (!toChannel && !toFile) return;

    // The file name without its directory.
    const char* file = aSourceFile != nullptr ? aSourceFile : "";
    for (const char* p = file; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') file = p + 1;
    }

    char message[kLineBufferSize];
    message[0] = '\0';
    if (aFormat != nullptr) {
        const int n = std::vsnprintf(message, sizeof(message), aFormat, aArgs);
        if (n < 0) message[0] = '\0';
    }
    message[sizeof(message) - 1] = '\0';

    char line[kLineBufferSize];
    if (toChannel) {
        const StopWatch* stopwatch = channel->timestamps ? channel->stopwatch.get() : nullptr;
        BuildLine(line, stopwatch, channel->indent, file, aLine, aCategory, aEntering, aLeaving, message);
        channel->Post(aCategory, line);
    }
    if (toFile) {
        TraceFile& trace = TheTraceFile();
        BuildLine(line, &trace.stopwatch, trace.indent, file, aLine, aCategory, aEntering, aLeaving, message);
        if (trace.out != nullptr) {
            std::fputs(line, trace.out);
            std::fputc('\n', trace.out);
            std::fflush(trace.out);
        }
    }
}

void DebugPrint(CMessageHandler& aHandler, const char* aSourceFile, uint32_t aLine, uint32_t aCategory,
                bool aEntering, bool aLeaving, const char* aFormat, ...)
{
    // The category test comes before any formatting.
    if (!DebugEnabled(aHandler, aCategory)) return;
    va_list args;
    va_start(args, aFormat);
    DebugPrintV(aHandler, aSourceFile, aLine, aCategory, aEntering, aLeaving, aFormat, args);
    va_end(args);
}

void ReportError(CMessageHandler& aHandler, int32_t aCode, const std::string& aText)
{
    CErrorMsg* holder = aHandler.ErrorHolder();
    if (holder == nullptr) return;
    const int16_t code = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(aCode) & 0xFFFFu));
    holder->code = code;
    holder->text = aText;
    holder->pending = true;

    CStatusMsg* statusChannel = aHandler.StatusChannel();
    if (statusChannel == nullptr || !aHandler.EchoErrors()) return;
    std::string echo = aText;
    if (code != 0) {
        echo += " (Error Code: ";
        echo += std::to_string(code);
        echo += ")";
    }
    statusChannel->Post(kStatusEchoedError, echo.c_str());
}

void ReportStatus(CMessageHandler& aHandler, const std::string& aText)
{
    CStatusMsg* statusChannel = aHandler.StatusChannel();
    if (statusChannel != nullptr) statusChannel->Post(kStatusText, aText.c_str());
}

bool GetPendingError(CMessageHandler& aHandler, int16_t& aCode, std::string& aText)
{
    const CErrorMsg* holder = aHandler.ErrorHolder();
    if (holder == nullptr) return false;
    if (holder->pending) {
        aCode = holder->code;
        aText = holder->text;
    }
    return holder->pending;
}

// --- The trace file --------------------------------------------------------------

uint32_t nvttrace::gFileCategories = 0;

bool nvttrace::ParseSetting(const char* aSetting, std::string& aFile, uint32_t& aCategories)
{
    aFile.clear();
    aCategories = 0;
    if (aSetting == nullptr) return false;
    std::string file = aSetting;
    uint32_t categories = 0xFFFFFFFFu;
    const size_t colon = file.rfind(':');
    const std::string list = colon == std::string::npos ? std::string() : file.substr(colon + 1);
    if (!list.empty() && list.find_first_not_of("0123456789,") == std::string::npos) {
        categories = 0;
        size_t pos = 0;
        while (pos <= list.size()) {
            size_t comma = list.find(',', pos);
            if (comma == std::string::npos) comma = list.size();
            const std::string number = list.substr(pos, comma - pos);
            pos = comma + 1;
            if (number.empty()) continue;
            // Long digit strings are large numbers: every category.
            const unsigned long n = number.size() > 2 ? 32ul : std::strtoul(number.c_str(), nullptr, 10);
            categories |= n >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << n);
        }
        file.erase(colon);
    }
    if (file.empty()) return false;
    aFile = file;
    aCategories = categories;
    return true;
}

namespace {

// Built on first use: Configure runs while the library is being loaded,
// before or after this file's own objects are constructed.
std::string& TraceProblem()
{
    static std::string* problem = new std::string;
    return *problem;
}

}  // namespace

const std::string& nvttrace::Problem()
{
    return TraceProblem();
}

bool nvttrace::Configure(const char* aSetting)
{
    TraceFile& trace = TheTraceFile();
    gFileCategories = 0;
    TraceProblem().clear();
    if (trace.out != nullptr) {
        std::fclose(trace.out);
        trace.out = nullptr;
    }
    std::string file;
    uint32_t categories = 0;
    if (!ParseSetting(aSetting, file, categories)) return false;
    // Appended to, never through a symbolic link: a link planted at the
    // name would have the trace written into whatever file it points to.
    platform::FileKind kind = platform::FileKind::Missing;
    trace.out = platform::OpenForWritingNoFollow(file, true, kind);
    if (trace.out == nullptr) {
        if (kind == platform::FileKind::Link) {
            TraceProblem() = "NVT_TRACE: the trace file \"" + file + "\" is a symbolic link; nothing is traced";
            std::fprintf(stderr, "%s\n", TraceProblem().c_str());
        }
        return false;
    }
    trace.stopwatch = StopWatch();
    trace.indent = 0;
    gFileCategories = categories;
    return true;
}

void ForgetPendingError(CMessageHandler& aHandler)
{
    CErrorMsg* holder = aHandler.ErrorHolder();
    if (holder == nullptr) return;
    holder->pending = false;
    holder->code = 0;
    holder->text.clear();
}

// --- CDebugSentry, CEngine -----------------------------------------------------

CDebugSentry::CDebugSentry(const char* aSourceFile, const char* aMethod, CMessageHandler& aHandler, uint32_t aLine)
    : mHandler(&aHandler), mLine(aLine), mSourceFile(aSourceFile), mMethod(aMethod != nullptr ? aMethod : "")
{
    DebugPrint(*mHandler, mSourceFile, mLine, kDebugEntryExit, true, false, "[IN ] %s", mMethod);
}

CDebugSentry::~CDebugSentry()
{
    DebugPrint(*mHandler, mSourceFile, mLine, kDebugEntryExit, false, true, "[OUT] %s", mMethod);
}

CEngine::CEngine(const char* aName, CMessageHandler& aHandler) : mHandler(&aHandler)
{
    TheMsgHnd::Instance().RegisterHandler(aName != nullptr ? aName : "", &aHandler);
}

// --- Parameter lines ------------------------------------------------------------

namespace nvttrace {

void ValueLine(CDebugSentry& aSentry, const char* aFormat, ...)
{
    va_list args;
    va_start(args, aFormat);
    DebugPrintV(aSentry.Handler(), aSentry.SourceFile(), aSentry.Line(), kDebugParameters, false, false, aFormat,
                args);
    va_end(args);
}

void PointerLine(CDebugSentry& aSentry, const char* aFormat, const void* aPointer)
{
    // Replace the "p" conversion with a hexadecimal integer conversion of
    // the same flags and width.
    std::string format = aFormat != nullptr ? aFormat : "";
    size_t conversion = std::string::npos;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (i + 1 < format.size() && format[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < format.size() && std::strchr("-+ #0123456789", format[j]) != nullptr) ++j;
        if (j < format.size() && format[j] == 'p') conversion = j;
        break;
    }
    if (conversion == std::string::npos) {
        // No pointer conversion: print the format alone, without its argument.
        DebugPrint(aSentry.Handler(), aSentry.SourceFile(), aSentry.Line(), kDebugParameters, false, false, "%s",
                   format.c_str());
        return;
    }
    format.replace(conversion, 1, PRIxPTR);
    const uintptr_t value = reinterpret_cast<uintptr_t>(aPointer);
    ValueLine(aSentry, format.c_str(), value);
}

}  // namespace nvttrace
