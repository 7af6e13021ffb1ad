#include <optional>
#include <string>
#include <utility>

#include "HostLogic.h"
#include "ServiceContext.h"
#include "StatusChecker.h"
#include "StatusScriptTurn.h"
#include "SystemCalls.h"

namespace orvex {

namespace {
constexpr DWORD kStartDoneWaitMs = 300000;
constexpr DWORD kStatusScriptWaitMs = 120000;
static_assert(eventlog::kError == EVENTLOG_ERROR_TYPE && eventlog::kWarning == EVENTLOG_WARNING_TYPE &&
                  eventlog::kInformation == EVENTLOG_INFORMATION_TYPE,
              "event types");
}  // namespace

void ServiceContext::CheckStartup() {
    // The verdict is taken out of the guarded steps: a failed check stops the service
    // after them, with the checker gone, whatever the steps threw after the verdict.
    bool startFailed = false;
    // Probes run no status script beside this check's, nor before its verdict.
    turn::StartupCheckTurn turn;
    const std::optional<EventEntry> failure = GuardedCheck([&] { RunCheckSteps(turn, startFailed); });
    if (failure) {
        Survive(text::kCheckFailed, [&] {
            if (failure->text.empty()) {
                ReportEvent(text::kCheckFailed, failure->type);
            } else {
                ReportEvent(failure->text, failure->type);
            }
        });
    }
    // The verdict is written: a probe may run the status script once the turn is free.
    turn::StartupCheckEnds();
    if (startFailed) {
        // A stop begun meanwhile is the only one: it keeps its cause and exit codes.
        (void)StopIfFirst(StopCause::kFailedStartupCheck, StopThread::kThisOne);
    }
}

void ServiceContext::RunCheckSteps(turn::StartupCheckTurn& turn, bool& startFailed) {
    const std::string propertiesPath = installDir + text::kPropertiesRelativePath;
    const SharedEvent startDone = StartDoneEvent();
    if (startDone) {
        WaitForSingleObject(startDone.get(), kStartDoneWaitMs);
    }
    ReportEvent(text::kChecking + statusScriptPath, EVENTLOG_INFORMATION_TYPE);

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    turn.Take();
    if (sys::CreateProcessA(statusScriptPath.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                            nullptr, installDir.c_str(), &startup, &process)) {
        const KernelHandle processHandle(process.hProcess);
        const KernelHandle threadHandle(process.hThread);
        // A status script still running after this is left alone; the log is scanned as it is.
        WaitForSingleObject(processHandle.get(), kStatusScriptWaitMs);
        turn.KeepWhileRunning(processHandle.get());
    } else {
        const DWORD error = GetLastError();
        ReportError(text::kStatusLaunchFailed, error);
    }

    StatusChecker checker(propertiesPath, statusLogPath);
    const bool allStarted = checker.Check();
    turn.Release();
    startFailed = !allStarted;
    const std::string failureList = allStarted ? std::string() : FailureListText(checker.GetFailedComponents());
    // The checker is done with: its status text moves out rather than being copied.
    const std::string statusText = std::move(checker).GetStatusText();
    if (allStarted) {
        ReportRunningUnlessStopping();
        ReportEvent(statusText, EVENTLOG_INFORMATION_TYPE);
        ReportEvent(text::kStarted, EVENTLOG_INFORMATION_TYPE);
    } else {
        ReportEvent(statusText, EVENTLOG_ERROR_TYPE);
        ReportEvent(failureList, EVENTLOG_ERROR_TYPE);
        ReportEvent(text::kStartFailed, EVENTLOG_ERROR_TYPE);
    }
}

void ServiceContext::ReportRunningUnlessStopping() {
    // A stop under way wins: once STOP_PENDING or STOPPED has been reported, the
    // success of the check must not put the service back to RUNNING.
    std::unique_lock<std::mutex> lock(statusLock);
    if (StopUnderWay(serviceStatus.dwCurrentState)) {
        return;
    }
    (void)SendStatus(lock, DecideStatusLocked(SERVICE_RUNNING, NO_ERROR, 0, 0));
}

}  // namespace orvex
