// The process-wide message handler of the configuration-store code.
//
// Reports come in four kinds: debug lines (entry/exit of traced methods,
// parameter values, internal detail), status texts for the caller, errors
// (a 16-bit code with a text that the caller fetches afterwards) and
// progress values. A CMessageHandler sorts them into four channels; each
// channel writes to a stream or forwards to a CObserver, and a missing
// channel swallows its reports.
//
// Handlers are found by the qualified name of the reporting method: the
// text before the first "::" is the class key, and TheMsgHnd keeps a
// registry from class keys to handlers. Keys that are not registered (and
// every key in the library, whose engines register the shared handler)
// lead to the shared handler.
//
// Nothing here locks: the library is used from one thread at a time.
#ifndef NVT_SUPPORT_MSGHANDLER_H
#define NVT_SUPPORT_MSGHANDLER_H

#include "support/stopwatch.h"

#include <cstdarg>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

#if defined(__GNUC__) || defined(__clang__)
#define NVT_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define NVT_PRINTF_FORMAT(fmtIndex, firstArg)
#endif

// Debug categories.
enum : uint32_t {
    kDebugEntryExit = 0,    // entry and exit lines of CDebugSentry
    kDebugParameters = 1,   // parameter values at method entry
    kDebugDetail = 2,       // internal detail of an operation
    kDebugEnvironment = 3,  // operating-system version, working directory, paths
    kAllCategories = 32     // Enable() with this or more switches all categories
};
// Status categories.
enum : uint32_t {
    kStatusText = 2,    // ReportStatus
    kStatusEchoedError = 3  // errors echoed by ReportError
};
// Kinds passed to CObserver::OnMessage.
enum : int32_t {
    kObserverDebugLine = 1,
    kObserverStatusText = 2
};

// Receiver of forwarded reports (implemented by the configuration-store API
// layer). An observer that is destroyed uninstalls itself from every
// handler, so no report ever reaches a destroyed object.
class CObserver {
public:
    // aKind 1: debug line (aLevel is then 4); aKind 2: status text (aLevel is
    // the category it was posted with). The channels ignore the result.
    virtual int32_t OnMessage(int32_t aKind, int32_t aLevel, const char* aText) = 0;
    // The two integers are always 0.
    virtual void OnProgress(int32_t aFirst, int32_t aSecond, uint16_t aValue) = 0;
    virtual ~CObserver();

protected:
    CObserver() = default;
    CObserver(const CObserver&) = default;
    CObserver& operator=(const CObserver&) = default;
};

class Subject;

// Element of a Subject's observer list.
class SubjectObserver {
public:
    virtual ~SubjectObserver() = default;
    virtual void Update(Subject& aSubject, int32_t aValue) = 0;
};

// A plain subject/observer list. The observers are not owned.
class Subject {
public:
    Subject() = default;
    virtual ~Subject();
    virtual void Attach(SubjectObserver* aObserver);
    virtual void Detach(SubjectObserver* aObserver);
    virtual void NotifyAll(int32_t aValue);

protected:
    void ClearObservers() { mObservers.clear(); }

private:
    std::list<SubjectObserver*> mObservers;
};

// Base of the debug and status channels.
class CMsgQueue {
public:
    enum : int32_t { kStatusType = 0, kDebugType = 1 };

    CMsgQueue(int32_t aType, std::ostream* aStream, uint32_t aEnabledMask)
        : type(aType), stream(aStream), enabledMask(aEnabledMask) {}
    virtual ~CMsgQueue() = default;
    // Writes the text and a line end to the stream when the category is on.
    virtual void Post(uint32_t aCategory, const char* aText);
    // Category 32 or more switches all categories.
    virtual void Enable(uint32_t aCategory, bool aOn);

    bool IsEnabled(uint32_t aCategory) const
    {
        return aCategory < 32 && (enabledMask & (uint32_t{1} << aCategory)) != 0;
    }
    // The observer the channel forwards to; null for a stream channel.
    virtual CObserver* ForwardsTo() const { return nullptr; }

    int32_t type;
    std::ostream* stream;  // not owned, may be null
    uint32_t enabledMask;  // bit n: category n is on

    CMsgQueue(const CMsgQueue&) = delete;
    CMsgQueue& operator=(const CMsgQueue&) = delete;
};

// The debug channel: all categories start off.
class CDebugMsg : public CMsgQueue {
public:
    explicit CDebugMsg(std::ostream* aStream = nullptr);
    void Enable(uint32_t aCategory, bool aOn) override;

    uint16_t indent = 0;                   // current indentation in spaces
    std::unique_ptr<StopWatch> stopwatch;  // started with the channel
    bool timestamps = true;
};

// The status channel: all categories start on.
class CStatusMsg : public CMsgQueue {
public:
    explicit CStatusMsg(std::ostream* aStream = nullptr)
        : CMsgQueue(kStatusType, aStream, 0xFFFFFFFFu) {}
};

// A debug or status channel that forwards to an observer instead of a stream.
template <class TChannel>
class CMessageObserver : public TChannel {
public:
    explicit CMessageObserver(CObserver* aObserver) : TChannel(nullptr), observer(aObserver) {}
    void Post(uint32_t aCategory, const char* aText) override
    {
        if (observer == nullptr || !this->IsEnabled(aCategory)) return;
        if (this->type == CMsgQueue::kStatusType)
            observer->OnMessage(kObserverStatusText, static_cast<int32_t>(aCategory), aText);
        else if (this->type == CMsgQueue::kDebugType)
            observer->OnMessage(kObserverDebugLine, 4, aText);
    }
    CObserver* ForwardsTo() const override { return observer; }

    CObserver* observer;  // not owned
};

class CProgressMsg {
public:
    virtual ~CProgressMsg() = default;
    virtual void Post(uint16_t /*aValue*/) {}
    virtual CObserver* ForwardsTo() const { return nullptr; }
};

class CProgressObserver : public CProgressMsg {
public:
    explicit CProgressObserver(CObserver* aObserver) : observer(aObserver) {}
    void Post(uint16_t aValue) override
    {
        if (observer != nullptr) observer->OnProgress(0, 0, aValue);
    }
    CObserver* ForwardsTo() const override { return observer; }

    CObserver* observer;  // not owned
};

// Holder of the last reported error.
class CErrorMsg {
public:
    virtual ~CErrorMsg() = default;

    std::string text;
    int16_t code = 0;
    bool pending = false;  // set by a report, cleared only by ForgetPendingError
};

class CMessageHandler : public Subject {
public:
    CMessageHandler();
    ~CMessageHandler() override;
    CMessageHandler(const CMessageHandler&) = delete;
    CMessageHandler& operator=(const CMessageHandler&) = delete;

    // Each setter replaces the channel(s) concerned; called on a handler that
    // is not the shared one, it then does the same on the shared handler.
    // Debug, status and progress channels forwarding to aObserver.
    void SetObserver(CObserver* aObserver);
    // A status channel writing to aStream (may be null), all categories on.
    void SetStatusStream(std::ostream* aStream);
    // A new, empty error holder; aEcho decides whether errors are echoed.
    void SetErrorHolder(bool aEcho);
    // A debug channel writing to aStream (all categories off): the switch a
    // host or a debugging build uses to see the trace.
    void SetDebugStream(std::ostream* aStream);

    CProgressMsg* ProgressChannel() const { return progress.get(); }
    CDebugMsg* DebugChannel() const { return debug.get(); }
    CStatusMsg* StatusChannel() const { return status.get(); }
    CErrorMsg* ErrorHolder() const { return error.get(); }
    bool EchoErrors() const { return echoErrors; }

    // Removes every channel that forwards to aObserver, in every live
    // handler. Called when an observer is destroyed.
    static void ForgetObserver(const CObserver* aObserver);

private:
    void DropChannelsOf(const CObserver* aObserver);

    std::unique_ptr<CProgressMsg> progress;
    std::unique_ptr<CDebugMsg> debug;
    std::unique_ptr<CStatusMsg> status;
    std::unique_ptr<CErrorMsg> error;
    bool echoErrors = false;

    // Intrusive list of live handlers (trivially destructible head, so it is
    // safe to walk at any point of process shutdown).
    CMessageHandler* mPrevLive = nullptr;
    CMessageHandler* mNextLive = nullptr;
};

// Finds handlers by qualified method name.
class TheMsgHnd {
public:
    static TheMsgHnd& Instance();

    CMessageHandler& GetHandler(std::string_view aQualifiedName);
    // A null handler does nothing.
    void RegisterHandler(std::string_view aName, CMessageHandler* aHandler);
    // Removes every registry entry that points to aHandler.
    void UnregisterHandler(const CMessageHandler* aHandler);

    CMessageHandler& SharedHandler() { return mShared; }
    // Registered handler of a class key; null when there is none.
    CMessageHandler* Registered(std::string_view aClassKey) const;

    // The class key of a qualified name: the text before the first "::"
    // when that is at a position greater than 0, otherwise the whole name.
    static std::string_view ClassKey(std::string_view aQualifiedName);

    TheMsgHnd(const TheMsgHnd&) = delete;
    TheMsgHnd& operator=(const TheMsgHnd&) = delete;

    ~TheMsgHnd();

private:
    TheMsgHnd();

    // The registry must outlive the shared handler's unregistration, so it
    // is declared first (destroyed last).
    std::map<std::string, CMessageHandler*, std::less<>> mRegistry;
    CMessageHandler mShared;
};

// Reporting operations. aHandler is the handler returned by GetHandler for
// the reporting method's qualified name.
void DebugPrint(CMessageHandler& aHandler, const char* aSourceFile, uint32_t aLine, uint32_t aCategory,
                bool aEntering, bool aLeaving, const char* aFormat, ...) NVT_PRINTF_FORMAT(7, 8);
void DebugPrintV(CMessageHandler& aHandler, const char* aSourceFile, uint32_t aLine, uint32_t aCategory,
                 bool aEntering, bool aLeaving, const char* aFormat, va_list aArgs);
// Only the low 16 bits of aCode are kept.
void ReportError(CMessageHandler& aHandler, int32_t aCode, const std::string& aText);
void ReportStatus(CMessageHandler& aHandler, const std::string& aText);
bool GetPendingError(CMessageHandler& aHandler, int16_t& aCode, std::string& aText);
// Forgets the pending error, so that the next GetPendingError only sees what
// was reported after this call. The configuration-store API calls it at the
// start of every operation: a failure text then always belongs to the call
// that failed.
void ForgetPendingError(CMessageHandler& aHandler);

// The handler of a reporting method, by its qualified name.
inline CMessageHandler& HandlerOf(std::string_view aQualifiedName)
{
    return TheMsgHnd::Instance().GetHandler(aQualifiedName);
}

// --- The trace file -------------------------------------------------------------
//
// NVT_TRACE=FILE or NVT_TRACE=FILE:categories (e.g. "trace.log:0,1,2") in the
// environment, read once when the library is loaded, appends the debug lines
// of those categories (all when none are given) to FILE, whatever channels
// and observers the handlers have. Without it nothing is traced.
namespace nvttrace {

// Bit n set: debug category n goes to the trace file; 0 when no file is open.
extern uint32_t gFileCategories;

// Splits a setting into file and categories: the text after the last ':' is
// a category list when it holds only digits and commas. A number of 32 or
// more selects every category. False when the setting names no file.
bool ParseSetting(const char* aSetting, std::string& aFile, uint32_t& aCategories);
// Closes the trace file, then opens the one a setting names (null or empty:
// none) for appending, never through a symbolic link: a link at the name is
// refused, with a text on the standard error and in Problem(). Returns
// whether a trace file is open. Called with NVT_TRACE at load.
bool Configure(const char* aSetting);
// Why the last Configure opened no file when it should have; empty if none.
const std::string& Problem();

}  // namespace nvttrace

// Whether a debug category is on in a handler or for the trace file: the
// only work a disabled trace does after the handler lookup.
inline bool DebugEnabled(const CMessageHandler& aHandler, uint32_t aCategory)
{
    if (aCategory < 32 && (nvttrace::gFileCategories & (uint32_t{1} << aCategory)) != 0) return true;
    const CDebugMsg* debug = aHandler.DebugChannel();
    return debug != nullptr && debug->IsEnabled(aCategory);
}

// Entry and exit lines of a traced method (debug category 0). The source
// and method names must outlive the sentry (they are string literals).
class CDebugSentry {
public:
    CDebugSentry(const char* aSourceFile, const char* aMethod, CMessageHandler& aHandler, uint32_t aLine);
    virtual ~CDebugSentry();
    CDebugSentry(const CDebugSentry&) = delete;
    CDebugSentry& operator=(const CDebugSentry&) = delete;

    CMessageHandler& Handler() const { return *mHandler; }
    uint32_t Line() const { return mLine; }
    const char* SourceFile() const { return mSourceFile; }
    const char* Method() const { return mMethod; }

private:
    CMessageHandler* mHandler;  // not owned
    uint32_t mLine;
    const char* mSourceFile;
    const char* mMethod;
};

// Base of the engine objects: registers the handler under the class key of
// its constructor name ("CCsKeysInfo::CCsKeysInfo").
class CEngine {
public:
    CEngine(const char* aName, CMessageHandler& aHandler);
    virtual ~CEngine() = default;
    CMessageHandler& Handler() const { return *mHandler; }

protected:
    CMessageHandler* mHandler;  // not owned
};

// --- Parameter lines ----------------------------------------------------------

namespace nvttrace {

// Arguments as they go to the formatter: strings as C strings, everything
// else unchanged. Null C strings print as "(null)".
inline const char* Arg(const std::string& aValue) { return aValue.c_str(); }
inline const char* Arg(std::string_view) = delete;  // not terminated
inline const char* Arg(const char* aValue) { return aValue != nullptr ? aValue : "(null)"; }
inline const char* Arg(char* aValue) { return Arg(static_cast<const char*>(aValue)); }
template <class T>
inline auto Arg(const T& aValue)
{
    static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_pointer_v<T>,
                  "trace values are numbers, strings or pointers");
    if constexpr (std::is_enum_v<T>)
        return static_cast<long long>(aValue);
    else if constexpr (std::is_same_v<T, bool>)
        return static_cast<int>(aValue);
    else
        return aValue;
}

// One parameter line at category 1. Pointers are printed in hexadecimal
// whatever the "%p" of the platform prints, so "0x%08p" reads the same
// everywhere.
void PointerLine(CDebugSentry& aSentry, const char* aFormat, const void* aPointer);
void ValueLine(CDebugSentry& aSentry, const char* aFormat, ...);

template <class T>
inline void Line(CDebugSentry& aSentry, const char* aFormat, const T& aValue)
{
    if constexpr (std::is_pointer_v<T> && !std::is_same_v<std::remove_cv_t<std::remove_pointer_t<T>>, char>)
        PointerLine(aSentry, aFormat, static_cast<const void*>(aValue));
    else
        ValueLine(aSentry, aFormat, Arg(aValue));
}

}  // namespace nvttrace

// Parameter lines of a traced method: pairs of format and value, each
// format with exactly one conversion.
inline void TraceParameters(CDebugSentry&) {}

template <class T, class... TRest>
inline void TraceParameters(CDebugSentry& aSentry, const char* aFormat, const T& aValue, const TRest&... aRest)
{
    static_assert(sizeof...(TRest) % 2 == 0, "trace parameters come in format/value pairs");
    if (!DebugEnabled(aSentry.Handler(), kDebugParameters)) return;
    nvttrace::Line(aSentry, aFormat, aValue);
    if constexpr (sizeof...(TRest) > 0) TraceParameters(aSentry, aRest...);
}

#endif
