#include <vector>

#include "HostLogic.h"
#include "ServiceContext.h"
#include "StatusScriptTurn.h"
#include "SystemCalls.h"

namespace orvex {

namespace {
constexpr DWORD kScriptWaitMs = 25000;
constexpr int kScriptWaits = 6;
constexpr UINT kTerminateExitCode = 1;
constexpr DWORD kStopWaitHintMs = 30000;
constexpr DWORD kHandlerStopWaitMs = 25000;
// How long the service main waits for a status that another thread is still sending.
constexpr DWORD kStatusSendWaitMs = 5000;

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

void SignalEvent(const std::shared_ptr<void>& event) {
    if (event) {
        SetEvent(event.get());
    }
}
}  // namespace

const ServiceContext::Operation ServiceContext::kRunStartScript = &ServiceContext::RunStartScript;
const ServiceContext::Operation ServiceContext::kStopService = &ServiceContext::StopService;
const ServiceContext::Operation ServiceContext::kCheckStartup = &ServiceContext::CheckStartup;
const ServiceContext::Operation ServiceContext::kStartAndCheck = &ServiceContext::StartAndCheck;

// Starts a worker thread running one operation; the thread handle is not needed.
// False where no thread could be started, with the error code kept.
bool ServiceContext::StartWorker(const Operation& operation) {
    const HANDLE thread = sys::CreateThread(nullptr, 0, ThreadTrampoline, const_cast<Operation*>(&operation), 0,
                                            nullptr);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

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

void ServiceContext::ServiceMain() noexcept {
    // The extended handler: PRESHUTDOWN reaches no other.
    const SERVICE_STATUS_HANDLE handle =
        sys::RegisterServiceCtrlHandlerExA(text::kServiceName, ControlHandlerEntry, nullptr);
    if (handle == nullptr) {
        const DWORD error = GetLastError();
        Survive(text::kHandlerFailed, [&] { ReportError(text::kHandlerFailed, error); });
        return;
    }
    {
        // A new service run: no stop has begun.
        const std::lock_guard<std::mutex> lock(statusLock);
        statusHandle = handle;
        serviceStatus = SERVICE_STATUS{};
        serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        stopCause = StopCause::kNone;
    }
    // A deleter that allocates nothing: a failed allocation of the record itself
    // closes the handle and reports as a missing event.
    const auto makeEvent = []() noexcept {
        const HANDLE event = sys::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const DWORD error = GetLastError();
        SharedEvent shared;
        if (event != nullptr) {
            try {
                shared = SharedEvent(event, [](void* owned) { CloseHandle(owned); });
            } catch (...) {
                // The shared pointer closed the handle already.
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return shared;
            }
        }
        SetLastError(error);
        return shared;
    };
    SharedEvent stopDone = makeEvent();
    DWORD eventError = GetLastError();
    bool started = false;
    if (stopDone) {
        {
            const std::lock_guard<std::mutex> lock(eventsLock);
            stopDoneEvent = stopDone;
        }
        turn::StartupCheckBegins();  // probes wait for the check's verdict from here on
        Survive(text::kStartFailure,
                [&] { ReportEvent(text::kStarting + startScriptPath, EVENTLOG_INFORMATION_TYPE); });
        SharedEvent startDone = makeEvent();
        eventError = GetLastError();
        if (startDone) {
            {
                const std::lock_guard<std::mutex> lock(eventsLock);
                startDoneEvent = std::move(startDone);
            }
            started = true;
        }
    }
    if (!started) {
        // Nothing has been started: the service ends at once, saying why.
        turn::StartupCheckEnds();
        Survive(text::kEventFailed, [&] { ReportError(text::kEventFailed, eventError); });
        ReportStatus(SERVICE_STOPPED, eventError, 0, 0);
    } else {
        StartRunAndCheck();
        WaitForSingleObject(stopDone.get(), INFINITE);
    }
    // STOPPED may have been decided while another thread was sending: it goes out
    // before this function lets the process end.
    WaitUntilStatusSent(kStatusSendWaitMs);

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

void ServiceContext::WaitUntilStatusSent(DWORD boundMs) noexcept {
    const ULONGLONG began = GetTickCount64();
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(statusLock);
            if (!sendingStatus && !statusToSend) {
                return;
            }
        }
        if (GetTickCount64() - began >= boundMs) {
            return;
        }
        Sleep(1);
    }
}

void ServiceContext::StartRunAndCheck() noexcept {
    const bool startThread = StartWorker(kRunStartScript);
    if (!startThread) {
        const DWORD error = GetLastError();
        Survive(text::kStartThreadFailed, [&] { ReportError(text::kStartThreadFailed, error); });
    }
    ReportRunningUnlessStopping();
    if (StartWorker(startThread ? kCheckStartup : kStartAndCheck)) {
        return;
    }
    const DWORD error = GetLastError();
    // No check will give a verdict: probes need not wait for one.
    turn::StartupCheckEnds();
    if (startThread) {
        // The product is starting; only its verification is lost.
        Survive(text::kCheckThreadFailed, [&] { ReportError(text::kCheckThreadFailed, error); });
        return;
    }
    // Not even the start script could run: the start fails, as a failed check would.
    Survive(text::kStartAndCheckFailed, [&] { ReportError(text::kStartAndCheckFailed, error); });
    (void)StopIfFirst(StopCause::kFailedStartupCheck, StopThread::kThisOne);
}

void ServiceContext::StartAndCheck() {
    RunStartScript();
    CheckStartup();
}

DWORD ServiceContext::ControlHandler(DWORD control) noexcept {
    ControlDecision decision = DecideControl(control, false);
    if (decision.action == ControlAction::kIgnore) {
        // Nothing to do, and no lock to take while the dispatcher waits.
        return decision.result;
    }
    {
        std::unique_lock<std::mutex> lock(statusLock);
        decision = DecideControl(control, StopUnderWay(serviceStatus.dwCurrentState));
        if (decision.action == ControlAction::kReportStatus) {
            // Decided under the lock: a status re-sent here is never older than one
            // reported meanwhile.
            const BOOL decided = DecideStatusLocked(serviceStatus.dwCurrentState, serviceStatus.dwWin32ExitCode,
                                                    serviceStatus.dwWaitHint,
                                                    serviceStatus.dwServiceSpecificExitCode);
            (void)SendStatus(lock, decided);
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

bool ServiceContext::StopIfFirst(StopCause cause, StopThread where) noexcept {
    {
        // Deciding and setting STOP_PENDING under one lock: of two callers at the same
        // moment, exactly one begins the stop. It is sent after the lock is let go.
        std::unique_lock<std::mutex> lock(statusLock);
        if (StopUnderWay(serviceStatus.dwCurrentState)) {
            return false;
        }
        stopCause = cause;
        (void)SendStatus(lock, DecideStatusLocked(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs, 0));
    }
    // From here on the stop ends in STOPPED with stop-done set, whatever fails.
    if (cause == StopCause::kStopControl || cause == StopCause::kPreshutdown) {
        Survive(text::kStopFailed, [&] { ReportEvent(text::kStopping + stopScriptPath, EVENTLOG_INFORMATION_TYPE); });
    }
    if (where == StopThread::kOwn) {
        if (StartWorker(kStopService)) {
            return true;
        }
        // Without a thread of its own the stop runs here, so that STOP_PENDING still
        // ends in STOPPED.
        const DWORD error = GetLastError();
        Survive(text::kStopThreadFailed, [&] { ReportError(text::kStopThreadFailed, error); });
    }
    StopService();
    return true;
}

void ServiceContext::ReportStopProgress() {
    // Windows waits for a stopping service as long as each report comes within the
    // wait hint; never once STOPPED has been reported.
    std::unique_lock<std::mutex> lock(statusLock);
    if (serviceStatus.dwCurrentState == SERVICE_STOP_PENDING) {
        (void)SendStatus(lock, DecideStatusLocked(SERVICE_STOP_PENDING, serviceStatus.dwWin32ExitCode,
                                                  kStopWaitHintMs, serviceStatus.dwServiceSpecificExitCode));
    }
}

void ServiceContext::ReportStopped() noexcept {
    std::unique_lock<std::mutex> lock(statusLock);
    const StopExitCodes codes = ExitCodesOfStop(stopCause);
    (void)SendStatus(lock, DecideStatusLocked(SERVICE_STOPPED, codes.win32, 0, codes.serviceSpecific));
}

void ServiceContext::RunScript(const ScriptRun& run) {
    // The start script's command line is written to by CreateProcessA: it needs a copy.
    std::vector<char> commandLine;
    if (!run.commandLine.empty()) {
        commandLine.assign(run.commandLine.begin(), run.commandLine.end());
        commandLine.push_back('\0');
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!sys::CreateProcessA(run.applicationName, commandLine.empty() ? nullptr : commandLine.data(), nullptr,
                             nullptr, FALSE, CREATE_NO_WINDOW, nullptr, installDir.c_str(), &startup, &process)) {
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
    // Whatever fails, start-done is set: the check does not wait in vain.
    Survive(text::kStartFailure, [&] {
        RunScript({nullptr, StartCommandLine(startScriptPath), text::kStartProgress, text::kStartTimeout,
                   EVENTLOG_WARNING_TYPE, text::kStartLaunchFailed, false});
    });
    SignalEvent(startDone);
    ReportEvent(text::kStartThreadExiting, EVENTLOG_INFORMATION_TYPE);
}

void ServiceContext::StopService() noexcept {
    const SharedEvent stopDone = StopDoneEvent();
    // The stop script runs at most once; a failure before or while it runs is one entry,
    // and the note, STOPPED and stop-done follow all the same.
    Survive(text::kStopFailed, [&] {
        RunScript({stopScriptPath.c_str(), std::string(), text::kStopProgress, text::kStopTimeout,
                   EVENTLOG_ERROR_TYPE, text::kStopLaunchFailed, true});
    });
    Survive(text::kStopFailed, [&] { ReportEvent(text::kStopped + stopScriptPath, EVENTLOG_INFORMATION_TYPE); });
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

DWORD WINAPI ServiceContext::ThreadTrampoline(LPVOID parameter) noexcept {
    const auto* operation = static_cast<const Operation*>(parameter);
    if (operation != nullptr && *operation != nullptr) {
        ServiceContext& context = Instance();
        (void)context.Survive(text::kThreadFailed, [&] { (context.**operation)(); });
    }
    return 0;
}

}  // namespace orvex
