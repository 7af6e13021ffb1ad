// The service host's one process-wide record: the paths derived from the executable's
// location, the service status, the two events that order the service threads and the
// event-log source. Its operations are the host's functions; the platform's entry
// points are thin functions that forward to them.
#ifndef ORVEX_SERVICE_CONTEXT_H
#define ORVEX_SERVICE_CONTEXT_H

#include <windows.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "HostLogic.h"
#include "ScopedHandle.h"

// <windows.h> maps ReportEvent to ReportEventA; here it names the context's operation.
#undef ReportEvent

namespace orvex {

namespace turn {
class StartupCheckTurn;
}

class ServiceContext {
public:
    // The one context, built on first use (on the main thread) and never destroyed.
    static ServiceContext& Instance();

    ServiceContext(const ServiceContext&) = delete;
    ServiceContext& operator=(const ServiceContext&) = delete;

    // Console modes and service mode; each returns the process exit status.
    int Install();
    int Uninstall();
    int RunAsService();

    // Service runtime. ControlHandler returns what the platform's handler returns.
    void ServiceMain() noexcept;
    DWORD ControlHandler(DWORD control) noexcept;
    void RunStartScript();
    // The one stop of a service run. The first caller begins it: records its cause,
    // reports STOP_PENDING, writes the stopping entry where a control asked for it, and
    // runs the stop procedure, here or on a stop thread of its own. Every later caller
    // (STOP, PRESHUTDOWN or a failed check) begins nothing and gets false. A stop that
    // has begun ends in STOPPED with stop-done set, whatever fails on its way.
    enum class StopThread { kThisOne, kOwn };
    bool StopIfFirst(StopCause cause, StopThread where) noexcept;
    void CheckStartup();

    // Event log and service status. A text that fits one entry is written as it is,
    // without a copy; a fixed text needs no memory at all.
    void ReportEvent(const std::string& text, WORD type);
    void ReportEvent(const char* text, WORD type);
    void ReportError(const std::string& message, DWORD code);
    BOOL ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint, DWORD serviceSpecificExitCode = 0);
    SERVICE_STATUS CurrentStatus();

    const std::string& StartScriptPath() const { return startScriptPath; }
    const std::string& StopScriptPath() const { return stopScriptPath; }
    const std::string& StatusScriptPath() const { return statusScriptPath; }
    const std::string& StatusLogPath() const { return statusLogPath; }
    const std::string& InstallDir() const { return installDir; }
    const char* ModulePath() const { return modulePath; }

private:
    // An operation that a worker thread runs; ThreadTrampoline receives a pointer to
    // one of the constants below, which outlive every thread.
    using Operation = void (ServiceContext::*)();
    static const Operation kRunStartScript;
    static const Operation kStopService;
    static const Operation kCheckStartup;
    static const Operation kStartAndCheck;
    // The start routine of every worker thread; nothing that its operation throws leaves it.
    static DWORD WINAPI ThreadTrampoline(LPVOID parameter) noexcept;
    static bool StartWorker(const Operation& operation);

    // Events are shared by the threads that wait on or set them, so that none is
    // closed while another thread may still use it: the last holder closes it.
    using SharedEvent = std::shared_ptr<void>;

    ServiceContext();

    // Sets the status and decides what goes to the service manager, under statusLock;
    // SendStatus then sends it with no lock held (the dispatcher holds a lock of its own
    // while it runs the handler, which SetServiceStatus may need).
    BOOL DecideStatusLocked(DWORD state, DWORD exitCode, DWORD waitHint, DWORD serviceSpecificExitCode);
    BOOL SendStatus(std::unique_lock<std::mutex>& lock, BOOL decided);
    // Waits, within the bound, until no decided status is left unsent.
    void WaitUntilStatusSent(DWORD boundMs) noexcept;
    void ReportRunningUnlessStopping();
    // The stop procedure proper: the stop script, the stopped note, STOPPED and
    // stop-done. Only StopIfFirst begins it, so it runs once per service run.
    void StopService() noexcept;
    // The start run followed by the check, on one thread: a start thread that could not
    // be started.
    void StartAndCheck();
    // ServiceMain's start: the start thread, RUNNING and the checking thread, each
    // failure heard.
    void StartRunAndCheck() noexcept;
    // The steps of the startup check, which CheckStartup guards, in the status script's
    // turn; sets startFailed once the verdict is known to be false.
    void RunCheckSteps(turn::StartupCheckTurn& turn, bool& startFailed);
    // Runs one step; what it throws becomes one error entry, the message followed by the
    // failure. False where the step failed.
    template <class Step>
    bool Survive(const char* message, Step&& step) noexcept;
    void ReportFailure(const char* message, const char* reason) noexcept;
    // One entry, with sourceLock held; the event source is registered on first use.
    void WriteEntryLocked(const char* text, WORD type);
    // A wait of the stop script that times out advances STOP_PENDING's checkpoint.
    void ReportStopProgress();
    void ReportStopped() noexcept;
    SharedEvent StartDoneEvent();
    SharedEvent StopDoneEvent();
    // Runs a script with six bounded waits; the texts differ between start and stop.
    struct ScriptRun;
    void RunScript(const ScriptRun& run);

    std::string startScriptPath;
    std::string stopScriptPath;
    std::string statusScriptPath;
    std::string statusLogPath;
    std::string installDir;
    char modulePath[MAX_PATH] = {};
    SERVICE_STATUS serviceStatus = {};
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SharedEvent startDoneEvent;
    SharedEvent stopDoneEvent;
    EventSourceHandle eventSource;
    std::uint32_t nextCheckPoint = 1;
    StopCause stopCause = StopCause::kNone;

    // The status decided but not yet sent, and whether a thread is sending: one thread
    // sends at a time, in the order of the decisions, and a newer decision replaces one
    // not yet sent, so that a status sent is never older than one sent before it.
    struct StatusToSend {
        SERVICE_STATUS_HANDLE handle;
        SERVICE_STATUS status;
    };
    std::optional<StatusToSend> statusToSend;
    bool sendingStatus = false;

    // Guards statusHandle, serviceStatus, nextCheckPoint, stopCause, statusToSend and
    // sendingStatus; never held across SetServiceStatus. Once STOPPED has been decided,
    // statusHandle is dropped: nothing reports a status after it.
    std::mutex statusLock;
    // Guards the two event pointers.
    std::mutex eventsLock;
    // Guards eventSource: its registration, each report through it and its release.
    std::mutex sourceLock;
};

template <class Step>
bool ServiceContext::Survive(const char* message, Step&& step) noexcept {
    try {
        step();
        return true;
    } catch (const std::exception& exception) {
        ReportFailure(message, exception.what());
    } catch (...) {
        ReportFailure(message, text::kUnknownFailure);
    }
    return false;
}

// Platform entry points; each fetches the instance and forwards.
int ProcessEntry(int argc, char** argv);
void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv);
DWORD WINAPI ControlHandlerEntry(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

}  // namespace orvex

#endif
