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
    EXPECT_EQ(first.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    context.ReportStatus(SERVICE_STOP_PENDING, 0, 30000);
    EXPECT_EQ(context.CurrentStatus().dwCheckPoint, first.dwCheckPoint + 1);
    context.ReportStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(context.CurrentStatus().dwCheckPoint, 0U);
    context.ReportStatus(SERVICE_STOP_PENDING, 0, 30000);
    EXPECT_EQ(context.CurrentStatus().dwCheckPoint, first.dwCheckPoint + 2);
    context.ReportStatus(SERVICE_STOPPED, 5, 0);
    EXPECT_EQ(context.CurrentStatus().dwCheckPoint, 0U);
    EXPECT_EQ(context.CurrentStatus().dwWin32ExitCode, 5U);
}

}  // namespace
}  // namespace orvex
