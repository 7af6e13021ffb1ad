#include <cstdio>

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
    StopService();
    if (DeleteService(service.get())) {
        Print("%s", text::kRemoved);
        return 0;
    }
    const DWORD error = GetLastError();
    Print(text::kNotRemoved, static_cast<int>(error), text::kServiceName, modulePath);
    return 1;
}

}  // namespace orvex
