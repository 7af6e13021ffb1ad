#include "ServiceContext.h"

#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "HostLogic.h"
#include "SystemCalls.h"

namespace orvex {

ServiceContext& ServiceContext::Instance() {
    // Built on the main thread before any worker exists, and deliberately never
    // destroyed: worker threads may still use it while the process exits.
    static ServiceContext* const instance = new ServiceContext();
    return *instance;
}

ServiceContext::ServiceContext() {
    const DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    const DWORD error = GetLastError();
    // A result of MAX_PATH means the path was cut; paths derived from it would be wrong.
    if (length == 0 || length >= MAX_PATH) {
        (void)std::printf(text::kNoModulePath, static_cast<int>(error));
        (void)std::fflush(stdout);
        // Nothing catches this: the process ends abnormally.
        throw std::runtime_error("executable path unavailable");
    }
    const ServicePaths paths = DeriveServicePaths(modulePath);
    startScriptPath = paths.startScriptPath;
    statusScriptPath = paths.statusScriptPath;
    stopScriptPath = paths.stopScriptPath;
    installDir = paths.installDir;
    statusLogPath = paths.statusLogPath;
}

void ServiceContext::ReportEvent(const std::string& text, WORD type) {
    if (text.size() <= kMaxEventTextLength) {
        ReportEvent(text.c_str(), type);
        return;
    }
    // A text longer than the event log accepts goes out as consecutive entries, with no
    // other thread's entry between them.
    const std::vector<std::string_view> pieces = SplitEventText(text);
    const std::lock_guard<std::mutex> lock(sourceLock);
    for (const std::string_view view : pieces) {
        const std::string piece(view);
        WriteEntryLocked(piece.c_str(), type);
    }
}

void ServiceContext::ReportEvent(const char* text, WORD type) {
    const std::lock_guard<std::mutex> lock(sourceLock);
    WriteEntryLocked(text, type);
}

void ServiceContext::WriteEntryLocked(const char* text, WORD type) {
    if (!eventSource) {
        eventSource.reset(sys::RegisterEventSourceA(nullptr, text::kServiceName));
    }
    if (!eventSource) {
        return;
    }
    const char* strings[] = {text};
    sys::ReportEventA(eventSource.get(), type, 0, 0, nullptr, 1, 0, strings, nullptr);
}

void ServiceContext::ReportError(const std::string& message, DWORD code) {
    ReportEvent(FormatErrorText(message, code), EVENTLOG_ERROR_TYPE);
}

void ServiceContext::ReportFailure(const char* message, const char* reason) noexcept {
    try {
        ReportEvent(std::string(message) + reason, EVENTLOG_ERROR_TYPE);
    } catch (...) {
        // Too little memory for the whole text: the message alone still says what failed.
        try {
            ReportEvent(message, EVENTLOG_ERROR_TYPE);
        } catch (...) {
            // The event log itself is out of reach; nothing is left to tell it with.
            (void)0;
        }
    }
}

BOOL ServiceContext::ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint, DWORD serviceSpecificExitCode) {
    std::unique_lock<std::mutex> lock(statusLock);
    return SendStatus(lock, DecideStatusLocked(state, exitCode, waitHint, serviceSpecificExitCode));
}

BOOL ServiceContext::DecideStatusLocked(DWORD state, DWORD exitCode, DWORD waitHint,
                                        DWORD serviceSpecificExitCode) {
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = exitCode;
    serviceStatus.dwServiceSpecificExitCode = serviceSpecificExitCode;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
    serviceStatus.dwCheckPoint = TakeCheckPoint(state, nextCheckPoint);
    if (statusHandle == nullptr) {
        // Console mode, or STOPPED has been decided: there is no service to report to.
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    statusToSend = StatusToSend{statusHandle, serviceStatus};
    if (state == SERVICE_STOPPED) {
        // The service manager may end the process once it has STOPPED; nothing may
        // report after it. The handle is not closed.
        statusHandle = nullptr;
    }
    return TRUE;
}

BOOL ServiceContext::SendStatus(std::unique_lock<std::mutex>& lock, BOOL decided) {
    if (!decided || sendingStatus) {
        // Nothing to send, or the thread sending now sends this one after its own.
        return decided;
    }
    sendingStatus = true;
    BOOL sent = TRUE;
    DWORD error = ERROR_SUCCESS;
    while (statusToSend) {
        StatusToSend next = *statusToSend;
        statusToSend.reset();
        lock.unlock();
        sent = sys::SetServiceStatus(next.handle, &next.status);
        error = sent ? ERROR_SUCCESS : GetLastError();
        if (!sent) {
            try {
                ReportError(text::kStatusNotReported, error);
            } catch (...) {
                ReportFailure(text::kStatusNotReported, text::kUnknownFailure);
            }
        }
        lock.lock();
    }
    sendingStatus = false;
    SetLastError(error);
    return sent;
}

SERVICE_STATUS ServiceContext::CurrentStatus() {
    const std::lock_guard<std::mutex> lock(statusLock);
    return serviceStatus;
}

}  // namespace orvex
