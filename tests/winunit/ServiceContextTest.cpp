// The context as the real executable builds it, outside the service manager.
#include <gtest/gtest.h>

#include <string>

#include "ServiceContext.h"

namespace orvex {
namespace {

std::string DirectoryOf(const std::string& path) {
    return path.substr(0, path.rfind('\\'));
}

TEST(ServiceContext, PathsFollowTheExecutablesLocation) {
    ServiceContext& context = ServiceContext::Instance();
    const std::string binDir = DirectoryOf(context.ModulePath());
    const std::string installDir = DirectoryOf(binDir);
    EXPECT_EQ(context.StartScriptPath(), binDir + "\\orvexStart.bat");
    EXPECT_EQ(context.StopScriptPath(), binDir + "\\orvexStop.bat");
    EXPECT_EQ(context.StatusScriptPath(), binDir + "\\orvexStatus.bat");
    EXPECT_EQ(context.InstallDir(), installDir);
    EXPECT_EQ(context.StatusLogPath(), installDir + "\\logs\\orvexStatus.log");
    EXPECT_EQ(&context, &ServiceContext::Instance());
}

TEST(ServiceContext, StatusReportsFollowTheCheckpointRules) {
    ServiceContext& context = ServiceContext::Instance();
    // Without a service status handle the report fails, but the status is kept.
    EXPECT_FALSE(context.ReportStatus(SERVICE_STOP_PENDING, 0, 30000));
    const SERVICE_STATUS first = context.CurrentStatus();
    EXPECT_EQ(first.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(first.dwWaitHint, 30000U);
    EXPECT_EQ(first.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));
    context.ReportStatus(SERVICE_STOP_PENDING, 0, 30000);
    EXPECT_EQ(context.CurrentStatus().dwCheckPoint, first.dwCheckPoint + 1);
    context.ReportStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(context.CurrentStatus().dwCheckPoint, 0U);
    context.ReportStatus(SERVICE_STOP_PENDING, 0, 30000);
    EXPECT_EQ(context.CurrentStatus().dwCheckPoint, first.dwCheckPoint + 2);
    context.ReportStatus(SERVICE_STOPPED, 5, 0);
    EXPECT_EQ(context.CurrentStatus().dwCheckPoint, 0U);
    EXPECT_EQ(context.CurrentStatus().dwWin32ExitCode, 5U);
    // The service-specific code is part of every report: it never outlives the report
    // that carried it.
    context.ReportStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0, 1);
    EXPECT_EQ(context.CurrentStatus().dwServiceSpecificExitCode, 1U);
    context.ReportStatus(SERVICE_STOPPED, NO_ERROR, 0);
    EXPECT_EQ(context.CurrentStatus().dwServiceSpecificExitCode, 0U);
}

// Waits for the stop procedure's worker thread to report STOPPED.
SERVICE_STATUS StatusOnceStopped(ServiceContext& context) {
    SERVICE_STATUS status = context.CurrentStatus();
    for (int i = 0; i < 1000 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
        Sleep(10);
        status = context.CurrentStatus();
    }
    return status;
}

TEST(ServiceContext, PreshutdownThroughTheHandlerRunsTheStopProcedure) {
    ServiceContext& context = ServiceContext::Instance();
    // As a running service: an earlier test of this process may have left a stop.
    context.ReportStatus(SERVICE_RUNNING, NO_ERROR, 0);
    // The handler begins the stop before it returns. Outside the service manager there
    // is no stop-done event to wait for, and the stop script beside this test cannot
    // be launched (an error entry), so the stop ends at once on its worker thread.
    EXPECT_EQ(ControlHandlerEntry(SERVICE_CONTROL_PRESHUTDOWN, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    const DWORD state = context.CurrentStatus().dwCurrentState;
    EXPECT_TRUE(state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) << state;
    const SERVICE_STATUS stopped = StatusOnceStopped(context);
    ASSERT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0U);
    EXPECT_EQ(stopped.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));

    // The stop under way wins: another PRESHUTDOWN or a STOP begins nothing, which
    // would have reported STOP_PENDING before the handler returned.
    for (const DWORD control : {DWORD{SERVICE_CONTROL_PRESHUTDOWN}, DWORD{SERVICE_CONTROL_STOP}}) {
        EXPECT_EQ(ControlHandlerEntry(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR)) << control;
        EXPECT_EQ(context.CurrentStatus().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << control;
    }
    EXPECT_EQ(ControlHandlerEntry(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr),
              static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

}  // namespace
}  // namespace orvex
