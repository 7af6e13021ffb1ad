#include <cstdio>
#include <cstring>
#include <string>

#include "HostLogic.h"
#include "ServiceContext.h"

namespace orvex {

namespace {
// Console output of the console modes: one line, flushed at once.
template <typename... Args>
void Print(const char* format, Args... args) {
    (void)std::printf(format, args...);
    (void)std::fflush(stdout);
}

// A step beside the service's own registration that failed: one line on standard error,
// and the exit status stays as it is.
void PrintStepFailure(const char* format, DWORD error) {
    (void)std::fprintf(stderr, format, static_cast<int>(error), text::kServiceName);
    (void)std::fflush(stderr);
}

// The text that services.msc and `sc qdescription` show.
DWORD DescribeService(SC_HANDLE service) {
    std::string description = text::kServiceDescription;
    SERVICE_DESCRIPTIONA info = {description.data()};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

// At shutdown Windows waits this long for the stop procedure, which PRESHUTDOWN starts.
DWORD GiveTheStopItsTime(SC_HANDLE service) {
    SERVICE_PRESHUTDOWN_INFO info = {kPreshutdownTimeoutMs};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

// The event source's message file is orvex.exe itself: Windows' tools then render each
// entry through its message table, whose one message is the entry's text alone.
LSTATUS RegisterSource(const char* modulePath) {
    HKEY created = nullptr;
    LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, text::kEventSourceKey, 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const RegistryKey key(created);
    // Not quoted: the event log takes the value as a list of paths.
    status = RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(modulePath),
                            static_cast<DWORD>(std::strlen(modulePath)) + 1);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                          sizeof types);
}
}  // namespace

int ProcessEntry(int argc, char** argv) {
    switch (ClassifyArguments(argc, argv)) {
        case kInstall:
            return ServiceContext::Instance().Install();
        case kUninstall:
            return ServiceContext::Instance().Uninstall();
        case kServiceMode:
            return ServiceContext::Instance().RunAsService();
        default:
            Print("%s", text::kUsage);
            return 1;
    }
}

int ServiceContext::Install() {
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        const DWORD error = GetLastError();
        Print(text::kOpenManagerFailedForInstall, static_cast<unsigned>(error));
        return 1;
    }
    // Quoted, so that a path with blanks can never start another program.
    const std::string binaryPath = std::string("\"") + modulePath + "\"";
    const ServiceHandle service(CreateServiceA(
        manager.get(), text::kServiceName, text::kDisplayName, SERVICE_CHANGE_CONFIG,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        Print(text::kCreateFailed, static_cast<int>(error), text::kServiceName);
        return 1;
    }
    Print(text::kInstalled, text::kServiceName);
    // The service is installed and works without these three; a failure is told, not fatal.
    const DWORD described = DescribeService(service.get());
    if (described != ERROR_SUCCESS) {
        PrintStepFailure(text::kDescriptionNotSet, described);
    }
    const DWORD timed = GiveTheStopItsTime(service.get());
    if (timed != ERROR_SUCCESS) {
        PrintStepFailure(text::kShutdownTimeNotSet, timed);
    }
    const LSTATUS registered = RegisterSource(modulePath);
    if (registered != ERROR_SUCCESS) {
        PrintStepFailure(text::kSourceNotRegistered, static_cast<DWORD>(registered));
    }
    return 0;
}

int ServiceContext::Uninstall() {
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        Print(text::kOpenManagerFailedForUninstall, text::kServiceName, modulePath);
        return 1;
    }
    const ServiceHandle service(OpenServiceA(manager.get(), text::kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = GetLastError();
        Print(text::kOpenServiceFailed, static_cast<int>(error), text::kServiceName, modulePath);
        return 1;
    }
    // The product is stopped before its service entry goes away.
    (void)StopIfFirst(StopCause::kUninstall, StopThread::kThisOne);
    if (DeleteService(service.get())) {
        Print("%s", text::kRemoved);
        // Entries already written stay in the log; a source that is not there is no error.
        const LSTATUS removed = RegDeleteKeyA(HKEY_LOCAL_MACHINE, text::kEventSourceKey);
        if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) {
            PrintStepFailure(text::kSourceNotRemoved, static_cast<DWORD>(removed));
        }
        return 0;
    }
    const DWORD error = GetLastError();
    Print(text::kNotRemoved, static_cast<int>(error), text::kServiceName, modulePath);
    return 1;
}

}  // namespace orvex
