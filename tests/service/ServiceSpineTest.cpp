// The executable's console modes and its life as a service: install, uninstall,
// start, stop and interrogate, against Wine's service manager; the event source that
// install registers and the message table that renders the entries.
#include <chrono>
#include <regex>

#include "ServiceFixture.h"

namespace orvex::test {
namespace {

using std::chrono::seconds;

constexpr const char* kInstalled = "The ORVEX for Quellon Service(orvexWinService) has been successfully installed.\r\n";
constexpr const char* kRemoved = "The ORVEX for Quellon Service(orvexWinService) has been removed.\r\n";
constexpr const char* kDescription =
    "Runs ORVEX for Quellon 6.1 through its start, stop and status scripts, and verifies at every start that each "
    "component listed in etc\\status.properties came up.";

class ConsoleModes : public ServiceTest {};

TEST_F(ConsoleModes, UnrecognisedArgumentsPrintTheUsageLine) {
    for (const std::string argument : {"-instal", "install", "--install", "-install2", "-uninstal", ""}) {
        const RunResult result = bed->Orvex(argument);
        EXPECT_EQ(result.exitCode, 1) << "argument [" << argument << "]";
        EXPECT_EQ(result.output, "Usage: \"orvex.exe\" [-Install/-Uninstall]") << "argument [" << argument << "]";
    }
    EXPECT_TRUE(bed->Events().empty());
}

TEST_F(ConsoleModes, NoArgumentFromAConsoleFailsToReachTheDispatcher) {
    const RunResult result = bed->Run({bed->ExePath()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "");
    const auto events = bed->Events();
    ASSERT_EQ(events.size(), 1U) << Describe(events);
    EXPECT_EQ(events[0].type, 1);
    EXPECT_EQ(events[0].text, "StartServiceCtrlDispatcher failed: 1063");
}

TEST_F(ConsoleModes, InstallRegistersAQuotedAutoStartServiceAndItsEventSource) {
    const RunResult result = bed->OrvexKeepingErrors("/INSTALL", 60, "trace+service");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, kInstalled);
    EXPECT_EQ(result.errors, "");
    const Fields config = bed->Control({"config", kService});
    EXPECT_EQ(config.at("type"), "16");
    EXPECT_EQ(config.at("start"), "2");
    EXPECT_EQ(config.at("errorcontrol"), "1");
    EXPECT_EQ(config.at("display"), "ORVEX for Quellon - Managing Server");
    EXPECT_EQ(config.at("binpath"), "\"" + bed->ExePath() + "\"");
    EXPECT_EQ(config.at("account"), "LocalSystem");
    EXPECT_EQ(config.at("description"), kDescription);
    // Windows waits 180 s for the stop at shutdown. Wine's own CreateService stores that
    // figure too, so the trace shows that the install set it, on the service it described.
    EXPECT_EQ(config.at("preshutdown"), "180000");
    std::smatch preshutdown;
    ASSERT_TRUE(std::regex_search(result.trace, preshutdown, std::regex(R"(ChangeServiceConfig2A (\S+) 7 )")))
        << result.trace;
    EXPECT_TRUE(std::regex_search(result.trace, std::regex("ChangeServiceConfig2A " + preshutdown.str(1) + " 1 ")))
        << result.trace;
    // orvex.exe renders the entries: its unquoted path as the message file, and the
    // three types the host writes.
    const Fields source = bed->Control({"source", kService});
    EXPECT_EQ(source.at("values"), "2");
    EXPECT_EQ(source.at("EventMessageFile.type"), "2");  // REG_EXPAND_SZ
    EXPECT_EQ(source.at("EventMessageFile"), bed->ExePath());
    EXPECT_EQ(source.at("TypesSupported.type"), "4");  // REG_DWORD
    EXPECT_EQ(source.at("TypesSupported"), "7");
    EXPECT_TRUE(bed->Events().empty());
}

TEST_F(ConsoleModes, InstallingTwiceReportsTheExistingService) {
    ASSERT_EQ(bed->Orvex("-install").exitCode, 0);
    // From another copy: an install that creates no service registers nothing either.
    const std::string copy = "C:\\other\\bin\\orvex.exe";
    bed->WriteFile(copy, bed->ReadFile(bed->ExePath()));
    const RunResult again = bed->Run({copy, "-Install"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.output, "Error 1073: Unable to Create ORVEX for Quellon Service(orvexWinService).\r\n");
    EXPECT_EQ(bed->Control({"source", kService}).at("EventMessageFile"), bed->ExePath());
}

TEST_F(ConsoleModes, UninstallRunsTheStopScriptBeforeDeletingTheService) {
    // The stop script records whether the service had been marked for deletion while it
    // ran. Under Wine a deleted service can still be opened while the uninstaller holds
    // its handle, so it is a change of its configuration that tells.
    bed->WriteProductFile("bin\\orvexStop.bat",
                          RecordingScript("stop", "\"%~dp0svcctl.exe\" marked orvexWinService >> \"%~dp0..\\logs\\stop.ran\"\r\n"));
    ASSERT_EQ(bed->Orvex("-install").exitCode, 0);
    const RunResult result = bed->OrvexKeepingErrors("-uninstall");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, kRemoved);
    EXPECT_EQ(result.errors, "");
    const std::string ran = bed->ReadProductFile("logs\\stop.ran");
    EXPECT_NE(ran.find("args=[]"), std::string::npos) << ran;
    EXPECT_NE(ran.find("cd=" + bed->InstallDir() + "\r\n"), std::string::npos) << ran;
    EXPECT_NE(ran.find("marked=0"), std::string::npos) << ran;
    const Fields after = bed->Control({"exists", kService});
    EXPECT_EQ(after.at("exists"), "0");
    EXPECT_EQ(after.at("error"), "1060");
    // The event source went with the service.
    const Fields source = bed->Control({"source", kService});
    EXPECT_EQ(source.at("key"), "0");
    EXPECT_EQ(source.at("error"), "2");
    // The stop procedure's entries, written from the console process.
    const auto events = bed->Events();
    ASSERT_EQ(events.size(), 1U) << Describe(events);
    EXPECT_EQ(events[0].type, 4);
    EXPECT_EQ(events[0].text.rfind(kStoppedNote, 0), 0U);
}

TEST_F(ConsoleModes, UninstallWithoutTheServiceLeavesTheProductAlone) {
    bed->WriteProductFile("bin\\orvexStop.bat", RecordingScript("stop"));
    const RunResult result = bed->Orvex("-UNINSTALL");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "Error 1060: Unable to open and delete ORVEX for Quellon Service(orvexWinService): " +
                                 bed->ExePath() + "\r\n");
    EXPECT_FALSE(bed->ProductFileExists("logs\\stop.ran"));
    EXPECT_TRUE(bed->Events().empty());
}

TEST_F(ConsoleModes, ExecutableOnAPathTooLongEndsAbnormally) {
    // A path of 260 characters or more reaches the host cut short; nothing may be
    // derived from it.
    const std::string longDir = "C:\\" + std::string(120, 'd') + "\\" + std::string(130, 'e') + "\\bin";
    bed->WriteFile(longDir + "\\orvex.exe", bed->ReadFile(bed->ExePath()));
    const RunResult result = bed->Run({longDir + "\\orvex.exe", "-install"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.output, "Cannot obtain executable path (122)\r\n");
    EXPECT_EQ(bed->Control({"exists", kService}).at("exists"), "0");
}

class EventSource : public ServiceTest {};

TEST_F(EventSource, MessageTableGivesBackEachTextAsWritten) {
    // What Event Viewer shows for an entry: message 0 of orvex.exe, loaded as data, with
    // the entry's text as its one inserted string. Line ends, % signs and insert marks in
    // the text stay as they are, up to the longest text an entry holds.
    std::string longest = kStatusHeader;
    for (int line = 1; longest.size() < 31839; ++line) {
        longest += "component " + std::to_string(line) + " started, 100% joined the kernel\n";
    }
    longest.resize(31839);
    const std::vector<std::string> texts = {
        std::string(kStarting) + StartScript() + "\n\n" + kBothUp,
        "Alpha 100% up, %1 and %2 and %% and %0 and %n and %!s! stay as written",
        longest};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string text = "C:\\texts\\" + std::to_string(i) + ".txt";
        const std::string rendered = "C:\\texts\\" + std::to_string(i) + ".out";
        bed->WriteFile(text, texts[i]);
        const Fields formatted = bed->Control({"format", bed->ExePath(), text, rendered});
        ASSERT_EQ(formatted.at("exit"), "0") << "text " << i << ": error "
                                             << (formatted.count("error") != 0 ? formatted.at("error") : "");
        EXPECT_EQ(formatted.at("formatted"), std::to_string(texts[i].size())) << "text " << i;
        EXPECT_EQ(bed->ReadFile(rendered), texts[i]) << "text " << i;
    }
}

TEST_F(EventSource, InstallThatCannotWriteTheSourceStillInstallsAWorkingService) {
    // A key of the source's name that nobody may write to or delete.
    LayOutQuickProduct();
    ASSERT_EQ(bed->Control({"denysource", kService}).at("created"), "1");
    const RunResult installed = bed->OrvexKeepingErrors("-install");
    EXPECT_EQ(installed.exitCode, 0);
    EXPECT_EQ(installed.output, kInstalled);
    EXPECT_EQ(installed.errors,
              "Error 5: Unable to register the event source of ORVEX for Quellon Service(orvexWinService).\r\n");
    EXPECT_EQ(bed->Control({"source", kService}).at("values"), "0");
    EXPECT_EQ(bed->Control({"config", kService}).at("description"), kDescription);

    // Its entries are written all the same.
    ASSERT_EQ(Start().at("state"), "4");
    EXPECT_TRUE(bed->WaitForEventText(kStarted, seconds(20)));

    // The key cannot be removed either; the service is deleted all the same (marked for
    // deletion, as it still runs).
    const RunResult removed = bed->OrvexKeepingErrors("-uninstall");
    EXPECT_EQ(removed.exitCode, 0);
    EXPECT_EQ(removed.output, kRemoved);
    EXPECT_EQ(removed.errors,
              "Error 5: Unable to remove the event source of ORVEX for Quellon Service(orvexWinService).\r\n");
    EXPECT_EQ(bed->Control({"marked", kService}).at("marked"), "1");
}

class ServiceLife : public ServiceTest {
protected:
    void SetUp() override {
        LayOutQuickProduct();
        Install();
    }
};

TEST_F(ServiceLife, StartRunsTheStartScriptAndReportsRunning) {
    const Fields started = Start();
    ASSERT_EQ(started.at("state"), "4");
    EXPECT_EQ(started.at("checkpoint"), "0");
    EXPECT_EQ(started.at("controls"), "257");  // STOP and PRESHUTDOWN
    ASSERT_TRUE(bed->WaitForEventText(kStartExiting, seconds(20)));
    const std::string ran = bed->ReadProductFile("logs\\start.ran");
    EXPECT_EQ(ran, "args=[--service]\r\ncd=" + bed->InstallDir() + "\r\n");

    const auto events = bed->Events();
    ASSERT_GE(events.size(), 2U) << Describe(events);
    EXPECT_EQ(events[0].text, kStarting + StartScript());
    EXPECT_EQ(events[0].type, 4);
    const int exiting = IndexOf(events, kStartExiting);
    EXPECT_GT(exiting, 0);
    EXPECT_EQ(events[static_cast<std::size_t>(exiting)].type, 4);
    EXPECT_EQ(CountOf(events, kStartProgress), 0);

    const Fields interrogated = bed->Control({"interrogate", kService});
    EXPECT_EQ(interrogated.at("controlresult"), "0");
    EXPECT_EQ(interrogated.at("state"), "4");
    EXPECT_EQ(interrogated.at("checkpoint"), "0");
}

TEST_F(ServiceLife, StopRunsTheStopScriptAndEndsTheProcessCleanly) {
    // A stop script that takes a moment, so that STOP_PENDING can be seen.
    bed->WriteProductFile("bin\\orvexStop.bat",
                          RecordingScript("stop", "\"%~dp0svcctl.exe\" sleep 3000\r\n"));
    ASSERT_EQ(Start().at("state"), "4");
    ASSERT_TRUE(bed->WaitForEventText(kStarted, seconds(20)));
    const std::string pid = Query().at("pid");

    const Fields stopped = Stop();
    EXPECT_EQ(stopped.at("state"), "1");
    EXPECT_EQ(stopped.at("seen"), "4,3,1");
    EXPECT_EQ(stopped.at("pendingwaithint"), "30000");
    EXPECT_EQ(stopped.at("pendingcheckpoint"), "1");
    // A stop someone asked for ends without an error, so that no recovery action runs.
    EXPECT_EQ(stopped.at("exitcode"), "0");
    EXPECT_EQ(stopped.at("specific"), "0");
    const Fields exited = bed->Control({"waitproc", pid, "30000"});
    EXPECT_EQ(exited.at("exitcode"), "0");

    const std::string ran = bed->ReadProductFile("logs\\stop.ran");
    EXPECT_EQ(ran, "args=[]\r\ncd=" + bed->InstallDir() + "\r\n");
    const auto events = bed->Events();
    const int stopping = IndexOf(events, kStopping);
    ASSERT_GE(stopping, 0) << Describe(events);
    EXPECT_EQ(events[static_cast<std::size_t>(stopping)].text, kStopping + StopScript());
    const int note = IndexOf(events, kStoppedNote, stopping);
    ASSERT_GT(note, stopping) << Describe(events);
    EXPECT_EQ(events[static_cast<std::size_t>(note)].type, 4);
    EXPECT_EQ(CountOf(events, kStopProgress), 0);
}

TEST_F(ServiceLife, MissingStartScriptIsReportedWithItsErrorCode) {
    bed->Remove(StartScript());
    ASSERT_EQ(Start().at("state"), "4");
    ASSERT_TRUE(bed->WaitForEventText(kStartExiting, seconds(20)));
    const auto events = bed->Events();
    const int failure = IndexOf(events, "orvexStart script launching failure: ");
    ASSERT_GE(failure, 0) << Describe(events);
    EXPECT_EQ(events[static_cast<std::size_t>(failure)].text, "orvexStart script launching failure: 2");
    EXPECT_EQ(events[static_cast<std::size_t>(failure)].type, 1);
    EXPECT_LT(failure, IndexOf(events, kStartExiting));
}

TEST_F(ServiceLife, MissingStopScriptStillEndsStopped) {
    ASSERT_EQ(Start().at("state"), "4");
    ASSERT_TRUE(bed->WaitForEventText(kStarted, seconds(20)));
    bed->Remove(StopScript());
    EXPECT_EQ(Stop().at("state"), "1");
    const auto events = bed->Events();
    const int failure = IndexOf(events, "orvexStop script launching failure: ");
    ASSERT_GE(failure, 0) << Describe(events);
    EXPECT_EQ(events[static_cast<std::size_t>(failure)].text, "orvexStop script launching failure: 2");
    EXPECT_GT(IndexOf(events, kStoppedNote, failure), failure);
}

TEST_F(ServiceLife, InterrogateDuringAStopThatTakesTime) {
    bed->WriteProductFile("bin\\orvexStop.bat",
                          RecordingScript("stop", "\"%~dp0svcctl.exe\" sleep 6000\r\n"));
    const Fields started = Start();
    ASSERT_EQ(started.at("state"), "4");
    const std::string pid = started.at("pid");
    auto exited = WatchExit(pid);
    ASSERT_TRUE(bed->WaitForEventText(kStarted, seconds(20)));
    SendStop();
    ExpectStopPendingAndInterrogate();
    EXPECT_EQ(bed->Control({"wait", kService, "1", "60000"}).at("state"), "1");
    // The process ends by itself, and neither the stop script nor its sleep outlives it.
    ExpectCleanExit(exited, pid);
    EXPECT_TRUE(NoneOfOursLeft());
}

class ServiceInRoot : public ServiceTest {
protected:
    ServiceInRoot() : ServiceTest("C:\\orvex") {}
};

TEST_F(ServiceInRoot, InstallationWithoutBlanksStartsAndStops) {
    LayOutQuickProduct();
    Install();
    EXPECT_EQ(bed->Control({"config", kService}).at("binpath"), "\"C:\\orvex\\bin\\orvex.exe\"");
    ASSERT_EQ(Start().at("state"), "4");
    ASSERT_TRUE(bed->WaitForEventText(kStarted, seconds(20)));
    EXPECT_EQ(bed->ReadProductFile("logs\\start.ran"), "args=[--service]\r\ncd=C:\\orvex\r\n");
    EXPECT_EQ(Stop().at("state"), "1");
    EXPECT_TRUE(bed->ProductFileExists("logs\\stop.ran"));
}

}  // namespace
}  // namespace orvex::test
