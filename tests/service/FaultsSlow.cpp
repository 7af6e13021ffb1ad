// Faults that play out over the host's 150-second limit for the start script.
#include <chrono>
#include <string>
#include <thread>

#include "ServiceFixture.h"

namespace orvex::test {
namespace {

using std::chrono::seconds;

class SlowFaults : public ServiceTest {
protected:
    void SetUp() override { InstallTwoComponentProduct(); }
};

TEST_F(SlowFaults, StartScriptThatNeverEndsAfterLaunchingTheProduct) {
    // The product is up, but its start script never ends: the check waits until the
    // script has been terminated after 150 s and then confirms the start. Ending the
    // script does not end the product's process that it launched.
    // The script waits between beats with ping, not the helper: on a busy machine Wine
    // was seen to leave the helper that the loop had just started as the script was
    // terminated running for good, where it counts as ours.
    bed->WriteFile(bed->BinDir() + "\\orvexKernel.exe", bed->ReadFile(bed->HelperPath()));
    bed->WriteProductFile("bin\\orvexStart.bat",
                          RecordingScript("start", "start \"\" /b \"%~dp0orvexKernel.exe\" sleep 600000\r\n"
                                                   ":again\r\n"
                                                   "echo beat>> \"%~dp0..\\logs\\start.beat\"\r\n"
                                                   "ping -n 2 127.0.0.1 >nul\r\n"
                                                   "goto again\r\n"));
    bed->WriteProductFile("bin\\orvexStop.bat", KernelStopScript());
    const Fields started = Start();
    ASSERT_EQ(started.at("state"), "4");
    const std::string pid = started.at("pid");
    auto exited = WatchExit(pid, 400000);
    ASSERT_TRUE(bed->WaitForEventText(kStarted, seconds(200)));

    const auto events = EventsOf(pid);
    const auto at = [&](int i) { return events[static_cast<std::size_t>(i)]; };
    EXPECT_EQ(CountOf(events, kStartProgress), 6) << Describe(events);
    const int timeout = IndexOf(events, "Time out occured while starting the service.");
    ASSERT_GT(timeout, 0) << Describe(events);
    EXPECT_EQ(at(timeout).type, 2);
    const int checking = IndexOf(events, kChecking);
    EXPECT_GT(checking, timeout);
    EXPECT_NEAR(at(checking).time - at(0).time, 150.0, 5.0);
    EXPECT_GT(IndexOf(events, kStartExiting), timeout);
    EXPECT_EQ(at(IndexOf(events, "ORVEX STATUS:")).type, 4);
    EXPECT_EQ(Query().at("state"), "4");

    // The script no longer runs; the product it launched does.
    const std::size_t beats = bed->ReadProductFile("logs\\start.beat").size();
    std::this_thread::sleep_for(seconds(4));
    EXPECT_EQ(bed->ReadProductFile("logs\\start.beat").size(), beats);
    EXPECT_EQ(RunningCount("orvexKernel.exe"), 1) << ProcessReport();

    SendStop();
    EXPECT_EQ(WaitForState(1, 30000).at("state"), "1");
    ASSERT_TRUE(bed->WaitForEventText(kStoppedNote, seconds(10)));
    ExpectKernelEndedByTheStopScript(pid);
    ExpectCleanExit(exited, pid);
    EXPECT_TRUE(NoneOfOursLeft(seconds(45), {"orvexKernel.exe", "taskkill.exe"}));
}

}  // namespace
}  // namespace orvex::test
