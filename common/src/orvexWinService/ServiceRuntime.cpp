#include <vector>

#include "HostLogic.h"
#include "ServiceContext.h"

namespace orvex {

namespace {
constexpr DWORD kScriptWaitMs = 25000;
constexpr int kScriptWaits = 6;
constexpr UINT kTerminateExitCode = 1;
constexpr DWORD kStopWaitHintMs = 30000;
constexpr DWORD kHandlerStopWaitMs = 25000;

// Starts a worker thread running one operation; the thread handle is not needed.
void StartWorker(const ServiceContext::Operation& operation) {
    const HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline,
                                       const_cast<ServiceContext::Operation*>(&operation), 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
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
    statusHandle = RegisterServiceCtrlHandlerA(text::kServiceName, ControlHandlerEntry);
    if (statusHandle == nullptr) {
        const DWORD error = GetLastError();
        ReportError(text::kHandlerFailed, error);
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(statusLock);
        serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        serviceStatus.dwServiceSpecificExitCode = 0;
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
    ReportEvent(text::kStarting + startScriptPath, EVENTLOG_INFORMATION_TYPE);
    {
        const std::lock_guard<std::mutex> lock(eventsLock);
        startDoneEvent = makeEvent();
    }
    StartWorker(kRunStartScript);
    ReportStatus(SERVICE_RUNNING, NO_ERROR, 0);
    StartWorker(kCheckStartup);

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

void ServiceContext::ControlHandler(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP: {
            ReportEvent(text::kStopping + stopScriptPath, EVENTLOG_INFORMATION_TYPE);
            const SharedEvent stopDone = StopDoneEvent();
            StartWorker(kStopService);
            if (stopDone) {
                WaitForSingleObject(stopDone.get(), kHandlerStopWaitMs);
            }
            break;
        }
        case SERVICE_CONTROL_INTERROGATE: {
            // Re-sends the stored status; read and report under one lock, so that a
            // stop reported meanwhile is never overwritten by the older state.
            const std::lock_guard<std::mutex> lock(statusLock);
            ReportStatusLocked(serviceStatus.dwCurrentState, serviceStatus.dwWin32ExitCode,
                               serviceStatus.dwWaitHint);
            break;
        }
        default:
            break;
    }
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
        ReportEvent(run.progressText, EVENTLOG_INFORMATION_TYPE);
    }
    TerminateProcess(processHandle.get(), kTerminateExitCode);
    ReportEvent(run.timeoutText, run.timeoutType);
}

void ServiceContext::RunStartScript() {
    const SharedEvent startDone = StartDoneEvent();
    RunScript({nullptr, StartCommandLine(startScriptPath), text::kStartProgress, text::kStartTimeout,
               EVENTLOG_WARNING_TYPE, text::kStartLaunchFailed});
    SignalEvent(startDone);
    ReportEvent(text::kStartThreadExiting, EVENTLOG_INFORMATION_TYPE);
}

void ServiceContext::StopService() {
    const SharedEvent stopDone = StopDoneEvent();
    ReportStatus(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
    RunScript({stopScriptPath.c_str(), std::string(), text::kStopProgress, text::kStopTimeout,
               EVENTLOG_ERROR_TYPE, text::kStopLaunchFailed});
    ReportEvent(text::kStopped + stopScriptPath, EVENTLOG_INFORMATION_TYPE);
    ReportStatus(SERVICE_STOPPED, NO_ERROR, 0);
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

void WINAPI ControlHandlerEntry(DWORD control) {
    ServiceContext::Instance().ControlHandler(control);
}

DWORD WINAPI ThreadTrampoline(LPVOID parameter) {
    const auto* operation = static_cast<const ServiceContext::Operation*>(parameter);
    if (operation != nullptr && *operation != nullptr) {
        (ServiceContext::Instance().**operation)();
    }
    return 0;
}

}  // namespace orvex
