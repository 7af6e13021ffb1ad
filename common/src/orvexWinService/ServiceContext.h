// The service host's one process-wide record: the paths derived from the executable's
// location, the service status, the two events that order the service threads and the
// event-log source. Its operations are the host's functions; the platform's entry
// points are thin functions that forward to them.
#ifndef ORVEX_SERVICE_CONTEXT_H
#define ORVEX_SERVICE_CONTEXT_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "HostLogic.h"
#include "ScopedHandle.h"

// <windows.h> maps ReportEvent to ReportEventA; here it names the context's operation.
#undef ReportEvent

namespace orvex {

class ServiceContext {
public:
    // An operation that a worker thread runs; ThreadTrampoline receives a pointer to
    // one of the constants below.
    using Operation = void (ServiceContext::*)();
    static const Operation kRunStartScript;
    static const Operation kStopService;
    static const Operation kCheckStartup;

    // The one context, built on first use (on the main thread) and never destroyed.
    static ServiceContext& Instance();

    ServiceContext(const ServiceContext&) = delete;
    ServiceContext& operator=(const ServiceContext&) = delete;

    // Console modes and service mode; each returns the process exit status.
    int Install();
    int Uninstall();
    int RunAsService();

    // Service runtime. ControlHandler returns what the platform's handler returns.
    void ServiceMain();
    DWORD ControlHandler(DWORD control);
    void RunStartScript();
    // The one stop of a service run. The first caller begins it: records its cause,
    // reports STOP_PENDING, writes the stopping entry where a control asked for it, and
    // runs the stop procedure, here or on a stop thread of its own. Every later caller
    // (STOP, PRESHUTDOWN or a failed check) begins nothing and gets false.
    enum class StopThread { kThisOne, kOwn };
    bool StopIfFirst(StopCause cause, StopThread where);
    void CheckStartup();

    // Event log and service status.
    void ReportEvent(const std::string& text, WORD type);
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
    // Events are shared by the threads that wait on or set them, so that none is
    // closed while another thread may still use it: the last holder closes it.
    using SharedEvent = std::shared_ptr<void>;

    ServiceContext();

    BOOL ReportStatusLocked(DWORD state, DWORD exitCode, DWORD waitHint, DWORD serviceSpecificExitCode);
    void ReportRunningUnlessStopping();
    // The stop procedure proper: the stop script, the stopped note, STOPPED and
    // stop-done. Only StopIfFirst begins it, so it runs once per service run.
    void StopService();
    // A wait of the stop script that times out advances STOP_PENDING's checkpoint.
    void ReportStopProgress();
    void ReportStopped();
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

    // Guards statusHandle, serviceStatus, nextCheckPoint, stopCause and each
    // SetServiceStatus call. Once STOPPED has gone out, statusHandle is dropped:
    // nothing reports a status after it.
    std::mutex statusLock;
    // Guards the two event pointers.
    std::mutex eventsLock;
    // Guards eventSource: its registration, each report through it and its release.
    std::mutex sourceLock;
};

// Platform entry points; each fetches the instance and forwards.
int ProcessEntry(int argc, char** argv);
void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv);
DWORD WINAPI ControlHandlerEntry(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
DWORD WINAPI ThreadTrampoline(LPVOID parameter);

}  // namespace orvex

#endif
