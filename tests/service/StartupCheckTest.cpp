// The startup check on the real service: status script, definitions, status log and
// the verdict the administrator reads in the event log.
#include <chrono>

#include "ServiceFixture.h"

namespace orvex::test {
namespace {

using std::chrono::seconds;

class StartupCheck : public ServiceTest {
protected:
    void SetUp() override { InstallTwoComponentProduct(); }

    // Starts the service and waits for the check's last entry.
    std::vector<Event> StartAndWaitFor(const std::string& lastEntry, int count = 1) {
        EXPECT_EQ(Start().at("state"), "4");
        EXPECT_TRUE(bed->WaitForEventText(lastEntry, seconds(30), count));
        return bed->Events();
    }

    void ExpectStillRunningAndNotStopped() {
        EXPECT_EQ(Query().at("state"), "4");
        EXPECT_FALSE(bed->ProductFileExists("logs\\stop.ran"));
        EXPECT_EQ(IndexOf(bed->Events(), kStopping), -1);
    }
};

TEST_F(StartupCheck, AllComponentsUpConfirmTheStart) {
    auto events = StartAndWaitFor(kStarted);
    // The start thread's exiting entry may stand before or after the checking entry.
    std::vector<Event> ordered;
    for (const Event& event : events) {
        if (event.text != kStartExiting) {
            ordered.push_back(event);
        }
    }
    ASSERT_EQ(ordered.size(), 4U) << Describe(events);
    EXPECT_EQ(ordered[0].text, kStarting + StartScript());
    EXPECT_EQ(ordered[1].text, kChecking + StatusScript());
    EXPECT_EQ(ordered[2].text, kBothUpText);
    EXPECT_EQ(ordered[3].text, kStarted);
    for (const Event& event : ordered) {
        EXPECT_EQ(event.type, 4) << event.text;
    }
    EXPECT_EQ(CountOf(events, kStartExiting), 1);
    EXPECT_EQ(bed->ReadProductFile("logs\\status.ran"), "args=[]\r\ncd=" + bed->InstallDir() + "\r\n");
    const Fields status = Query();
    EXPECT_EQ(status.at("state"), "4");
    EXPECT_EQ(status.at("checkpoint"), "0");
    EXPECT_EQ(status.at("waithint"), "0");
}

TEST_F(StartupCheck, FailedComponentsAreNamedAndTheServiceStopsItself) {
    bed->WriteProductFile("etc\\status.properties",
                          std::string(kTwoComponents) + "gamma=Gamma,started,kernel\r\n");
    bed->WriteProductFile("logs\\orvexStatus.log", "Alpha started, joined the kernel\r\n");
    ASSERT_EQ(Start().at("state"), "4");
    const Fields stopped = bed->Control({"wait", kService, "1", "90000"}, 120);
    EXPECT_EQ(stopped.at("state"), "1");
    // A failed start as Windows sees it: ERROR_SERVICE_SPECIFIC_ERROR with code 1.
    EXPECT_EQ(stopped.at("exitcode"), "1066");
    EXPECT_EQ(stopped.at("specific"), "1");
    ASSERT_TRUE(bed->WaitForEventText(kStoppedNote, seconds(10)));

    const auto events = bed->Events();
    const int statusText = IndexOf(events, kStatusHeader);
    ASSERT_GT(statusText, 0) << Describe(events);
    const auto at = [&](int i) { return events[static_cast<std::size_t>(i)]; };
    EXPECT_EQ(at(statusText).type, 1);
    EXPECT_EQ(at(statusText).text, "ORVEX STATUS:\n\nAlpha started, joined the kernel\n\n");
    EXPECT_EQ(at(statusText + 1).type, 1);
    EXPECT_EQ(at(statusText + 1).text, std::string(kFailureList) + "Beta\nGamma\n");
    EXPECT_EQ(at(statusText + 2).type, 1);
    EXPECT_EQ(at(statusText + 2).text, kStartFailed);
    EXPECT_GT(IndexOf(events, kStoppedNote), statusText + 2);
    EXPECT_EQ(IndexOf(events, kStarted), -1);
    EXPECT_TRUE(bed->ProductFileExists("logs\\stop.ran"));
}

TEST_F(StartupCheck, MissingDefinitionsFileWarnsAndLeavesTheServiceRunning) {
    bed->Remove(bed->InstallDir() + "\\etc\\status.properties");
    const auto events = StartAndWaitFor(kOpenFailure);
    const int warning = IndexOf(events, kOpenFailure);
    EXPECT_EQ(events[static_cast<std::size_t>(warning)].type, 2);
    EXPECT_EQ(events[static_cast<std::size_t>(warning)].text,
              kOpenFailure + bed->InstallDir() + "\\etc\\status.properties");
    EXPECT_EQ(IndexOf(events, kStatusHeader), -1);
    ExpectStillRunningAndNotStopped();
}

TEST_F(StartupCheck, MissingStatusLogWarnsAndLeavesTheServiceRunning) {
    bed->Remove(bed->InstallDir() + "\\logs\\orvexStatus.log");
    const auto events = StartAndWaitFor(kOpenFailure);
    const int warning = IndexOf(events, kOpenFailure);
    EXPECT_EQ(events[static_cast<std::size_t>(warning)].type, 2);
    EXPECT_EQ(events[static_cast<std::size_t>(warning)].text,
              kOpenFailure + bed->InstallDir() + "\\logs\\orvexStatus.log");
    ExpectStillRunningAndNotStopped();
}

TEST_F(StartupCheck, MissingStatusScriptStillScansTheExistingLog) {
    bed->Remove(StatusScript());
    const auto events = StartAndWaitFor(kStarted);
    const int failure = IndexOf(events, "orvexStatus script launching failure: ");
    ASSERT_GE(failure, 0) << Describe(events);
    EXPECT_EQ(events[static_cast<std::size_t>(failure)].text, "orvexStatus script launching failure: 2");
    EXPECT_EQ(events[static_cast<std::size_t>(failure)].type, 1);
    EXPECT_GT(failure, IndexOf(events, kChecking));
    EXPECT_GT(IndexOf(events, kStatusHeader), failure);
}

TEST_F(StartupCheck, DefinitionsWithoutAValidLineMeanSuccess) {
    bed->WriteProductFile("etc\\status.properties",
                          "# nothing defined\r\n! still nothing\r\nk alpha,beta,gamma\r\nk=alpha,beta\r\n\r\n");
    bed->WriteProductFile("logs\\orvexStatus.log", "");
    const auto events = StartAndWaitFor(kStarted);
    EXPECT_EQ(events[static_cast<std::size_t>(IndexOf(events, kStatusHeader))].text, "ORVEX STATUS:\n\n\n");
    EXPECT_EQ(Query().at("state"), "4");
}

TEST_F(StartupCheck, LongStatusTextReachesTheLogInSeveralEntries) {
    std::string log;
    std::string expected = "ORVEX STATUS:\n\n";
    for (int line = 0; line < 600; ++line) {
        const std::string text = "line " + std::to_string(10000 + line) + " " + std::string(80, 'x');
        log += text + "\r\n";
        expected += text + "\n";
    }
    log += "Alpha started, joined the kernel\r\nBeta started, joined the kernel\r\n";
    expected += "Alpha started, joined the kernel\nBeta started, joined the kernel\n\n";
    bed->WriteProductFile("logs\\orvexStatus.log", log);
    const auto events = StartAndWaitFor(kStarted);

    // Pieces of at most 31839 characters, each cut after its last line feed.
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start < expected.size();) {
        std::size_t end = expected.size();
        if (end - start > 31839) {
            end = expected.rfind('\n', start + 31838) + 1;
        }
        pieces.push_back(expected.substr(start, end - start));
        start = end;
    }
    ASSERT_EQ(pieces.size(), 2U);
    const int first = IndexOf(events, kStatusHeader);
    ASSERT_GT(first, 0) << Describe(events);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Event& piece = events[static_cast<std::size_t>(first) + i];
        EXPECT_EQ(piece.type, 4);
        EXPECT_TRUE(piece.cut);  // the trace shows only the beginning of a long text
        EXPECT_EQ(pieces[i].compare(0, piece.text.size(), piece.text), 0) << piece.text;
    }
    EXPECT_EQ(events[static_cast<std::size_t>(first) + pieces.size()].text, kStarted);
}

TEST_F(StartupCheck, LogHeldOpenForWritingIsStillScanned) {
    // The status script leaves a writer holding the log (sharing read and write)
    // while the check scans it.
    bed->WriteProductFile(
        "bin\\orvexStatus.bat",
        RecordingScript("status",
                        "start \"\" /b \"%~dp0svcctl.exe\" holdopen \"%~dp0..\\logs\\orvexStatus.log\" readwrite 15000\r\n"
                        "\"%~dp0svcctl.exe\" sleep 1000\r\n"));
    const auto events = StartAndWaitFor(kStarted);
    EXPECT_EQ(IndexOf(events, kOpenFailure), -1) << Describe(events);
}

TEST_F(StartupCheck, StopDuringTheCheckIsNotUndoneByItsVerdict) {
    // The start script is still running when STOP arrives; the stop script outlasts
    // the check, whose success must not report RUNNING again.
    bed->WriteProductFile("bin\\orvexStart.bat", RecordingScript("start", "\"%~dp0svcctl.exe\" sleep 4000\r\n"));
    bed->WriteProductFile("bin\\orvexStop.bat", RecordingScript("stop", "\"%~dp0svcctl.exe\" sleep 12000\r\n"));
    ASSERT_EQ(Start().at("state"), "4");
    const Fields stopped = Stop(90000);
    EXPECT_EQ(stopped.at("state"), "1");
    EXPECT_EQ(stopped.at("seen"), "4,3,1");
    const auto events = bed->Events();
    const int stopping = IndexOf(events, kStopping);
    const int started = IndexOf(events, kStarted);
    ASSERT_GE(stopping, 0) << Describe(events);
    ASSERT_GT(started, stopping) << Describe(events);
    EXPECT_GT(IndexOf(events, kStoppedNote), started);
}

}  // namespace
}  // namespace orvex::test
