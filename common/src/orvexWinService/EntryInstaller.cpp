#include <cstdio>

#include "HostLogic.h"
#include "ServiceContext.h"

namespace orvex {

int ProcessEntry(int argc, char** argv) {
    switch (ClassifyArguments(argc, argv)) {
        case kInstall:
            return ServiceContext::Instance().Install();
        case kUninstall:
            return ServiceContext::Instance().Uninstall();
        case kServiceMode:
            return ServiceContext::Instance().RunAsService();
        default:
            std::printf("%s", text::kUsage);
            std::fflush(stdout);
            return 1;
    }
}

int ServiceContext::Install() {
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        std::printf(text::kOpenManagerFailedForInstall, static_cast<unsigned>(GetLastError()));
        std::fflush(stdout);
        return 1;
    }
    // Quoted, so that a path with blanks can never start another program.
    const std::string binaryPath = std::string("\"") + modulePath + "\"";
    const ServiceHandle service(CreateServiceA(
        manager.get(), text::kServiceName, text::kDisplayName, SERVICE_CHANGE_CONFIG,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        std::printf(text::kCreateFailed, static_cast<int>(GetLastError()), text::kServiceName);
        std::fflush(stdout);
        return 1;
    }
    std::printf(text::kInstalled, text::kServiceName);
    std::fflush(stdout);
    return 0;
}

int ServiceContext::Uninstall() {
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        std::printf(text::kOpenManagerFailedForUninstall, text::kServiceName, modulePath);
        std::fflush(stdout);
        return 1;
    }
    const ServiceHandle service(OpenServiceA(manager.get(), text::kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        std::printf(text::kOpenServiceFailed, static_cast<int>(GetLastError()), text::kServiceName,
                    modulePath);
        std::fflush(stdout);
        return 1;
    }
    // The product is stopped before its service entry goes away.
    StopService();
    if (DeleteService(service.get())) {
        std::printf("%s", text::kRemoved);
        std::fflush(stdout);
        return 0;
    }
    std::printf(text::kNotRemoved, static_cast<int>(GetLastError()), text::kServiceName, modulePath);
    std::fflush(stdout);
    return 1;
}

}  // namespace orvex
