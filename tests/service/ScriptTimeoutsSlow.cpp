// Scripts that outlast the host's fixed limits: six waits of 25 s for the start and
// stop scripts, 120 s for the status script.
#include <chrono>
#include <thread>

#include "ServiceFixture.h"

namespace orvex::test {
namespace {

using std::chrono::seconds;

// A script body that never ends; each round appends to logs\<name>.beat.
std::string Endless(const std::string& name) {
    return RecordingScript(name, ":again\r\n"
                                 "echo beat>> \"%~dp0..\\logs\\" + name + ".beat\"\r\n"
                                 "\"%~dp0svcctl.exe\" sleep 1000\r\n"
                                 "goto again\r\n");
}

class ScriptTimeouts : public ServiceTest {
protected:
    void SetUp() override {
        LayOutQuickProduct();
        Install();
    }

    // Whether the script still runs: its heartbeat file keeps growing.
    bool StillBeating(const std::string& name) {
        const std::size_t before = bed->ReadProductFile("logs\\" + name + ".beat").size();
        std::this_thread::sleep_for(seconds(4));
        return bed->ReadProductFile("logs\\" + name + ".beat").size() > before;
    }

    static void ExpectAbout25SecondsApart(const std::vector<Event>& events, const std::string& text,
                                          double firstAfter) {
        double previous = firstAfter;
        for (const Event& event : events) {
            if (event.text == text) {
                EXPECT_NEAR(event.time - previous, 25.0, 2.0) << text;
                previous = event.time;
            }
        }
    }
};

TEST_F(ScriptTimeouts, StartScriptThatNeverEndsIsTerminatedAfter150Seconds) {
    bed->WriteProductFile("bin\\orvexStart.bat", Endless("start"));
    ASSERT_EQ(Start().at("state"), "4");
    ASSERT_TRUE(bed->WaitForEventText(kStartExiting, seconds(200)));
    auto events = bed->Events();
    const double began = events.at(0).time;
    EXPECT_EQ(CountOf(events, kStartProgress), 6) << Describe(events);
    ExpectAbout25SecondsApart(events, kStartProgress, began);
    const int timeout = IndexOf(events, "Time out occured while starting the service.");
    ASSERT_GT(timeout, 0) << Describe(events);
    EXPECT_EQ(events[static_cast<std::size_t>(timeout)].type, 2);
    EXPECT_EQ(events[static_cast<std::size_t>(timeout)].text,
              "Time out occured while starting the service. This does not mean any failure. It indicates that "
              "ORVEX service is taking longer time to start.");
    EXPECT_GT(IndexOf(events, kStartExiting), timeout);
    EXPECT_NEAR(events[static_cast<std::size_t>(timeout)].time - began, 150.0, 3.0);
    EXPECT_FALSE(StillBeating("start"));
    // The check ran only once the start script was given up.
    ASSERT_TRUE(bed->WaitForEventText(kStarted, seconds(30)));
    events = bed->Events();
    EXPECT_GT(IndexOf(events, kChecking), timeout);
    EXPECT_EQ(Query().at("state"), "4");
}

TEST_F(ScriptTimeouts, StopScriptThatHangsIsTerminatedAndTheServiceStops) {
    bed->WriteProductFile("bin\\orvexStop.bat", Endless("stop"));
    ASSERT_EQ(Start().at("state"), "4");
    ASSERT_TRUE(bed->WaitForEventText(kStarted, seconds(30)));
    const Fields stopped = Stop(240000);
    EXPECT_EQ(stopped.at("state"), "1");
    // A stop that was asked for ends without an error, also where its script timed out.
    EXPECT_EQ(stopped.at("exitcode"), "0");
    EXPECT_EQ(stopped.at("specific"), "0");
    // Each wait but the last, after which the script is terminated, advanced the
    // checkpoint: every report came within the 30 s wait hint of the one before, and the
    // last one within it of STOPPED.
    EXPECT_EQ(stopped.at("pendingcheckpoint"), "1");
    EXPECT_EQ(stopped.at("lastpendingcheckpoint"), "6");
    EXPECT_LT(std::stoul(stopped.at("longestpendinggapms")), 30000UL);
    EXPECT_GT(std::stoul(stopped.at("longestpendinggapms")), 20000UL);
    ASSERT_TRUE(bed->WaitForEventText(kStoppedNote, seconds(10)));
    const auto events = bed->Events();
    const int stopping = IndexOf(events, kStopping);
    ASSERT_GE(stopping, 0);
    EXPECT_EQ(CountOf(events, kStopProgress), 6) << Describe(events);
    ExpectAbout25SecondsApart(events, kStopProgress, events[static_cast<std::size_t>(stopping)].time);
    const int timeout = IndexOf(events, "Time out occured while stoping the service.");
    ASSERT_GT(timeout, stopping) << Describe(events);
    EXPECT_EQ(events[static_cast<std::size_t>(timeout)].type, 1);
    EXPECT_EQ(events[static_cast<std::size_t>(timeout)].text,
              "Time out occured while stoping the service. This does not mean any failure. It indicates that "
              "ORVEX service is taking longer time to stop.");
    EXPECT_GT(IndexOf(events, kStoppedNote, timeout), timeout);
    EXPECT_FALSE(StillBeating("stop"));
}

TEST_F(ScriptTimeouts, StatusScriptLongerThan120SecondsIsLeftRunning) {
    bed->WriteProductFile("etc\\status.properties", "alpha=Alpha,started,kernel\r\n");
    bed->WriteProductFile("logs\\orvexStatus.log", "Alpha started, joined the kernel\r\n");
    bed->WriteProductFile("bin\\orvexStatus.bat", Endless("status"));
    ASSERT_EQ(Start().at("state"), "4");
    ASSERT_TRUE(bed->WaitForEventText(kStarted, seconds(180)));
    const auto events = bed->Events();
    const int checking = IndexOf(events, kChecking);
    const int verdict = IndexOf(events, "ORVEX STATUS:");
    ASSERT_GT(verdict, checking) << Describe(events);
    EXPECT_NEAR(events[static_cast<std::size_t>(verdict)].time - events[static_cast<std::size_t>(checking)].time,
                120.0, 3.0);
    EXPECT_TRUE(StillBeating("status"));
}

}  // namespace
}  // namespace orvex::test
