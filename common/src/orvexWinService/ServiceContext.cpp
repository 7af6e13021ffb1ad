#include "ServiceContext.h"

#include <cstdio>
#include <stdexcept>

#include "HostLogic.h"

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
    const std::lock_guard<std::mutex> lock(sourceLock);
    if (!eventSource) {
        eventSource.reset(RegisterEventSourceA(nullptr, text::kServiceName));
    }
    if (!eventSource) {
        return;
    }
    // A text longer than the event log accepts goes out as consecutive entries.
    for (const std::string_view view : SplitEventText(text)) {
        const std::string piece(view);
        const char* strings[] = {piece.c_str()};
        ReportEventA(eventSource.get(), type, 0, 0, nullptr, 1, 0, strings, nullptr);
    }
}

void ServiceContext::ReportError(const std::string& message, DWORD code) {
    ReportEvent(FormatErrorText(message, code), EVENTLOG_ERROR_TYPE);
}

BOOL ServiceContext::ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint, DWORD serviceSpecificExitCode) {
    const std::lock_guard<std::mutex> lock(statusLock);
    return ReportStatusLocked(state, exitCode, waitHint, serviceSpecificExitCode);
}

BOOL ServiceContext::ReportStatusLocked(DWORD state, DWORD exitCode, DWORD waitHint,
                                        DWORD serviceSpecificExitCode) {
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = exitCode;
    serviceStatus.dwServiceSpecificExitCode = serviceSpecificExitCode;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
    serviceStatus.dwCheckPoint = TakeCheckPoint(state, nextCheckPoint);
    if (statusHandle == nullptr) {
        // Console mode, or STOPPED has gone out: there is no service to report to.
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const BOOL reported = SetServiceStatus(statusHandle, &serviceStatus);
    if (reported && state == SERVICE_STOPPED) {
        // The service manager may end the process from here on; the handle is not
        // closed, and nothing may report through it any more.
        statusHandle = nullptr;
    }
    return reported;
}

SERVICE_STATUS ServiceContext::CurrentStatus() {
    const std::lock_guard<std::mutex> lock(statusLock);
    return serviceStatus;
}

}  // namespace orvex
