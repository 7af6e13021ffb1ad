#include <vector>

#include "HostLogic.h"
#include "ServiceContext.h"
#include "StatusScriptTurn.h"

namespace orvex {

namespace {
constexpr DWORD kScriptWaitMs = 25000;
constexpr int kScriptWaits = 6;
constexpr UINT kTerminateExitCode = 1;
constexpr DWORD kStopWaitHintMs = 30000;
constexpr DWORD kHandlerStopWaitMs = 25000;

static_assert(kScriptWaits * kScriptWaitMs < kPreshutdownTimeoutMs,
              "the stop script must end before Windows stops waiting at shutdown");
static_assert(kScriptWaitMs < kStopWaitHintMs, "each STOP_PENDING report must come within its wait hint");
static_assert(scm::kStopped == SERVICE_STOPPED && scm::kStopPending == SERVICE_STOP_PENDING &&
                  scm::kRunning == SERVICE_RUNNING,
              "service states");
static_assert(scm::kControlStop == SERVICE_CONTROL_STOP && scm::kControlPause == SERVICE_CONTROL_PAUSE &&
                  scm::kControlContinue == SERVICE_CONTROL_CONTINUE &&
                  scm::kControlInterrogate == SERVICE_CONTROL_INTERROGATE &&
                  scm::kControlShutdown == SERVICE_CONTROL_SHUTDOWN &&
                  scm::kControlPreshutdown == SERVICE_CONTROL_PRESHUTDOWN,
              "control codes");
static_assert(scm::kNoError == NO_ERROR && scm::kCallNotImplemented == ERROR_CALL_NOT_IMPLEMENTED &&
                  scm::kServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR,
              "results and exit codes");

// Starts a worker thread running one operation; the thread handle is not needed.
// False where no thread could be started.
bool StartWorker(const ServiceContext::Operation& operation) {
    const HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline,
                                       const_cast<ServiceContext::Operation*>(&operation), 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

void SignalEvent(const std::shared_ptr<void>& event) {
    if (event) {
        SetEvent(event.get());
    }
}
}  // namespace

const ServiceContext::Operation ServiceContext::kRunStartScript = &ServiceContext::RunStartScript;
const ServiceContext::Operation ServiceContext::kStopService = &ServiceContext::StopService;
const ServiceContext::Operation ServiceContext::kCheckStartup = &ServiceContext::CheckStartup;

// What differs between the start run and the stop procedure.
struct ServiceContext::ScriptRun {
    const char* applicationName;  // null: the script is named by the command line
    std::string commandLine;      // empty: no command line
    const char* progressText;
    const char* timeoutText;
    WORD timeoutType;
    const char* launchFailedText;
    bool stopping;  // the stop script: a wait that times out is reported as progress
};

int ServiceContext::RunAsService() {
    char serviceName[] = "orvexWinService";
    const SERVICE_TABLE_ENTRYA dispatchTable[] = {{serviceName, ServiceMainEntry}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(dispatchTable)) {
        return 0;
    }
    const DWORD error = GetLastError();
    ReportError(text::kDispatcherFailed, error);
    return 1;
}

void ServiceContext::ServiceMain() {
    // The extended handler: PRESHUTDOWN reaches no other.
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExA(text::kServiceName, ControlHandlerEntry, nullptr);
    if (handle == nullptr) {
        const DWORD error = GetLastError();
        ReportError(text::kHandlerFailed, error);
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(statusLock);
        statusHandle = handle;
        serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    }
    const auto makeEvent = [] {
        return SharedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr), [](void* handle) {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        });
    };
    SharedEvent stopDone = makeEvent();
    {
        const std::lock_guard<std::mutex> lock(eventsLock);
        stopDoneEvent = stopDone;
    }
    turn::StartupCheckBegins();  // probes wait for the check's verdict from here on
    ReportEvent(text::kStarting + startScriptPath, EVENTLOG_INFORMATION_TYPE);
    {
        const std::lock_guard<std::mutex> lock(eventsLock);
        startDoneEvent = makeEvent();
    }
    (void)StartWorker(kRunStartScript);
    ReportStatus(SERVICE_RUNNING, NO_ERROR, 0, 0);
    if (!StartWorker(kCheckStartup)) {
        turn::StartupCheckEnds();
    }

    if (stopDone) {
        WaitForSingleObject(stopDone.get(), INFINITE);
    }

    {
        const std::lock_guard<std::mutex> lock(sourceLock);
        eventSource.reset();
    }
    // Dropping the context's references closes each event once the last thread that
    // may still wait on it or set it has let go of it.
    const std::lock_guard<std::mutex> lock(eventsLock);
    startDoneEvent.reset();
    stopDoneEvent.reset();
}

DWORD ServiceContext::ControlHandler(DWORD control) {
    ControlDecision decision{};
    {
        // A status re-sent here is never older than one reported meanwhile.
        const std::lock_guard<std::mutex> lock(statusLock);
        decision = DecideControl(control, StopUnderWay(serviceStatus.dwCurrentState));
        if (decision.action == ControlAction::kReportStatus) {
            ReportStatusLocked(serviceStatus.dwCurrentState, serviceStatus.dwWin32ExitCode,
                               serviceStatus.dwWaitHint, serviceStatus.dwServiceSpecificExitCode);
        }
    }
    if (decision.action == ControlAction::kBeginStop) {
        const SharedEvent stopDone = StopDoneEvent();
        if (StopIfFirst(decision.cause, StopThread::kOwn) && stopDone) {
            WaitForSingleObject(stopDone.get(), kHandlerStopWaitMs);
        }
    }
    return decision.result;
}

bool ServiceContext::StopIfFirst(StopCause cause, StopThread where) {
    {
        // Deciding and reporting STOP_PENDING under one lock: of two callers at the
        // same moment, exactly one begins the stop.
        const std::lock_guard<std::mutex> lock(statusLock);
        if (StopUnderWay(serviceStatus.dwCurrentState)) {
            return false;
        }
        stopCause = cause;
        ReportStatusLocked(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs, 0);
    }
    if (cause == StopCause::kStopControl || cause == StopCause::kPreshutdown) {
        ReportEvent(text::kStopping + stopScriptPath, EVENTLOG_INFORMATION_TYPE);
    }
    // Without a thread of its own the stop runs here, so that STOP_PENDING still ends
    // in STOPPED.
    if (where == StopThread::kThisOne || !StartWorker(kStopService)) {
        StopService();
    }
    return true;
}

void ServiceContext::ReportStopProgress() {
    // Windows waits for a stopping service as long as each report comes within the
    // wait hint; never once STOPPED has been reported.
    const std::lock_guard<std::mutex> lock(statusLock);
    if (serviceStatus.dwCurrentState == SERVICE_STOP_PENDING) {
        ReportStatusLocked(SERVICE_STOP_PENDING, serviceStatus.dwWin32ExitCode, kStopWaitHintMs,
                           serviceStatus.dwServiceSpecificExitCode);
    }
}

void ServiceContext::ReportStopped() {
    const std::lock_guard<std::mutex> lock(statusLock);
    const StopExitCodes codes = ExitCodesOfStop(stopCause);
    ReportStatusLocked(SERVICE_STOPPED, codes.win32, 0, codes.serviceSpecific);
}

void ServiceContext::RunScript(const ScriptRun& run) {
    std::vector<char> commandLine(run.commandLine.begin(), run.commandLine.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(run.applicationName, run.commandLine.empty() ? nullptr : commandLine.data(),
                        nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, installDir.c_str(),
                        &startup, &process)) {
        const DWORD error = GetLastError();
        ReportError(run.launchFailedText, error);
        return;
    }
    const KernelHandle processHandle(process.hProcess);
    const KernelHandle threadHandle(process.hThread);
    for (int wait = 0; wait < kScriptWaits; ++wait) {
        if (WaitForSingleObject(processHandle.get(), kScriptWaitMs) != WAIT_TIMEOUT) {
            return;
        }
        // The stop goes on: Windows sees progress within the wait hint. After the last
        // wait the script is terminated and STOPPED follows at once.
        if (run.stopping && wait + 1 < kScriptWaits) {
            ReportStopProgress();
        }
        ReportEvent(run.progressText, EVENTLOG_INFORMATION_TYPE);
    }
    TerminateProcess(processHandle.get(), kTerminateExitCode);
    ReportEvent(run.timeoutText, run.timeoutType);
}

void ServiceContext::RunStartScript() {
    const SharedEvent startDone = StartDoneEvent();
    RunScript({nullptr, StartCommandLine(startScriptPath), text::kStartProgress, text::kStartTimeout,
               EVENTLOG_WARNING_TYPE, text::kStartLaunchFailed, false});
    SignalEvent(startDone);
    ReportEvent(text::kStartThreadExiting, EVENTLOG_INFORMATION_TYPE);
}

void ServiceContext::StopService() {
    const SharedEvent stopDone = StopDoneEvent();
    RunScript({stopScriptPath.c_str(), std::string(), text::kStopProgress, text::kStopTimeout,
               EVENTLOG_ERROR_TYPE, text::kStopLaunchFailed, true});
    ReportEvent(text::kStopped + stopScriptPath, EVENTLOG_INFORMATION_TYPE);
    ReportStopped();
    SignalEvent(stopDone);
}

ServiceContext::SharedEvent ServiceContext::StartDoneEvent() {
    const std::lock_guard<std::mutex> lock(eventsLock);
    return startDoneEvent;
}

ServiceContext::SharedEvent ServiceContext::StopDoneEvent() {
    const std::lock_guard<std::mutex> lock(eventsLock);
    return stopDoneEvent;
}

void WINAPI ServiceMainEntry(DWORD /*argc*/, LPSTR* /*argv*/) {
    ServiceContext::Instance().ServiceMain();
}

DWORD WINAPI ControlHandlerEntry(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID /*context*/) {
    return ServiceContext::Instance().ControlHandler(control);
}

DWORD WINAPI ThreadTrampoline(LPVOID parameter) {
    const auto* operation = static_cast<const ServiceContext::Operation*>(parameter);
    if (operation != nullptr && *operation != nullptr) {
        (ServiceContext::Instance().**operation)();
    }
    return 0;
}

}  // namespace orvex
