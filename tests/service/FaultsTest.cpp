// Faults the host meets in the field, on the real service under Wine: scripts that
// fail, leave processes behind or print a lot; controls at awkward moments; removal
// of a running service; product files that cannot be read or hold odd bytes.
// Every case ends with the service stopped and no process of ours left running.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "ServiceFixture.h"

namespace orvex::test {
namespace {

using std::chrono::seconds;

int LineCount(const std::string& text) {
    int lines = 0;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

// Indexes of the entries whose text begins with each prefix, in that order; -1 where
// one is missing or stands before the one named before it.
std::vector<int> Sequence(const std::vector<Event>& events, const std::vector<std::string>& prefixes) {
    std::vector<int> found;
    int from = 0;
    for (const std::string& prefix : prefixes) {
        const int at = from < 0 ? -1 : IndexOf(events, prefix, from);
        found.push_back(at);
        from = at < 0 ? -1 : at + 1;
    }
    return found;
}

void ExpectSequence(const std::vector<Event>& events, const std::vector<std::string>& prefixes) {
    const std::vector<int> found = Sequence(events, prefixes);
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
        EXPECT_GE(found[i], 0) << "entry " << i << " in order: " << prefixes[i].substr(0, 60) << "\n"
                               << Describe(events);
    }
}

class Faults : public ServiceTest {
protected:
    void SetUp() override { InstallTwoComponentProduct(); }

    // Starts the service; returns the pid of its process.
    std::string StartedPid() {
        const Fields started = Start();
        EXPECT_EQ(started.at("state"), "4");
        return started.at("pid");
    }

    bool WaitForEntryOf(const std::string& pid, const std::string& prefix, seconds timeout, int count = 1) {
        return bed->WaitForEvents(
            [&](const std::vector<Event>&) {
                return CountOf(EventsOf(pid), prefix) >= count;
            },
            timeout);
    }

    static int CountOfType(const std::vector<Event>& events, int type) {
        int count = 0;
        for (const Event& event : events) {
            count += event.type == type ? 1 : 0;
        }
        return count;
    }

    // A confirmed start of one process: its entries in order, all informational.
    void ExpectConfirmedStart(const std::string& pid) {
        ASSERT_TRUE(WaitForEntryOf(pid, kStarted, seconds(60))) << Describe(bed->Events());
        const auto events = EventsOf(pid);
        ExpectSequence(events, {kStarting + StartScript(), kChecking + StatusScript(), kStatusHeader, kStarted});
        EXPECT_EQ(CountOf(events, kStartExiting), 1) << Describe(events);
        EXPECT_EQ(CountOf(events, kStartProgress), 0) << Describe(events);
        EXPECT_EQ(CountOfType(events, 4), static_cast<int>(events.size())) << Describe(events);
        EXPECT_EQ(Query().at("state"), "4");
    }

    // Stops a running service and checks the stop of that process in the entries.
    void StopAndExpectStoppedNote(const std::string& pid) {
        SendStop();
        EXPECT_EQ(WaitForState(1, 30000).at("state"), "1");
        ASSERT_TRUE(WaitForEntryOf(pid, kStoppedNote, seconds(10))) << Describe(bed->Events());
        const auto events = EventsOf(pid);
        ExpectSequence(events, {kStopping + StopScript(), kStoppedNote});
    }

    // A stop script that counts its runs, taking a moment where asked.
    void CountStopRuns(int sleepMs) {
        CountStopRunsThen(sleepMs > 0 ? "\"%~dp0svcctl.exe\" sleep " + std::to_string(sleepMs) + "\r\n" : "");
    }

    // A stop script that counts its runs, then runs the given lines.
    void CountStopRunsThen(const std::string& lines) {
        bed->WriteProductFile("bin\\orvexStop.bat",
                              RecordingScript("stop", "echo run>> \"%~dp0..\\logs\\stop.runs\"\r\n" + lines));
    }

    // Batch lines that wait (up to about a minute) until logs\<name> exists.
    static std::string WaitForFile(const std::string& name) {
        const std::string label = ":wait_" + name.substr(0, name.find('.'));
        return "set waits=0\r\n" + label + "\r\n" + "if exist \"%~dp0..\\logs\\" + name +
               "\" goto :eof\r\n" + "set /a waits+=1\r\n" + "if %waits% geq 1200 goto :eof\r\n" +
               "\"%~dp0svcctl.exe\" sleep 50\r\n" + "goto " + label.substr(1) + "\r\n";
    }

    int StopRuns() const {
        return bed->ProductFileExists("logs\\stop.runs") ? LineCount(bed->ReadProductFile("logs\\stop.runs")) : 0;
    }

    bool WaitForProductFile(const std::string& relative, seconds timeout) {
        return bed->WaitForEvents([&](const std::vector<Event>&) { return bed->ProductFileExists(relative); },
                                  timeout);
    }
};

// Scripts that misbehave: the host relies only on their end, never on their exit
// status or output.
class ScriptFaults : public Faults {};

TEST_F(ScriptFaults, StartScriptThatFailsDoesNotDecideTheStart) {
    // Only the startup check decides; however the start script ends, the product is up.
    struct Failure {
        const char* what;
        const char* body;
    };
    const Failure failures[] = {
        {"non-zero exit status", "exit /b 7\r\n"},
        {"program that does not exist", "\"%~dp0noSuchProgram.exe\" --now\r\n"},
        {"jump to a missing label", "goto nowhere\r\necho never here>> \"%~dp0..\\logs\\start.ran\"\r\n"},
    };
    std::vector<std::pair<std::string, std::future<Fields>>> exits;
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.what);
        bed->WriteProductFile("bin\\orvexStart.bat", RecordingScript("start", failure.body));
        const std::string pid = StartedPid();
        exits.emplace_back(pid, WatchExit(pid));
        ExpectConfirmedStart(pid);
        const auto events = EventsOf(pid);
        const int statusText = IndexOf(events, kStatusHeader);
        ASSERT_GE(statusText, 0);
        EXPECT_EQ(events[static_cast<std::size_t>(statusText)].text, kBothUpText);
        EXPECT_EQ(bed->ReadProductFile("logs\\start.ran").find("never here"), std::string::npos);
        StopAndExpectStoppedNote(pid);
    }
    for (auto& [pid, exited] : exits) {
        ExpectCleanExit(exited, pid);
    }
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(ScriptFaults, StartScriptLeavingTheProductRunningInTheBackground) {
    // The start script launches the product's long-running process and ends; the
    // service runs on, and it is the stop script that ends the product.
    bed->WriteFile(bed->BinDir() + "\\orvexKernel.exe", bed->ReadFile(bed->HelperPath()));
    bed->WriteProductFile("bin\\orvexStart.bat",
                          RecordingScript("start", "start \"\" /b \"%~dp0orvexKernel.exe\" sleep 600000\r\n"));
    bed->WriteProductFile("bin\\orvexStop.bat", KernelStopScript());
    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ExpectConfirmedStart(pid);
    EXPECT_EQ(RunningCount("orvexKernel.exe"), 1) << ProcessReport();

    StopAndExpectStoppedNote(pid);
    // The stopped note comes after the stop script has ended.
    ExpectKernelEndedByTheStopScript(pid);
    ExpectCleanExit(exited, pid);
    EXPECT_TRUE(NoneOfOursLeft(seconds(45), {"orvexKernel.exe", "taskkill.exe"}));
}

TEST_F(ScriptFaults, ScriptsThatPrintALotDoNotBlock) {
    // No pipe is attached to a script, so output far beyond any pipe's buffer cannot
    // hold it up.
    const auto talkative = [](const std::string& name) {
        return RecordingScript(name,
                               "for /l %%i in (1,1,5000) do echo line %%i of a script that prints a great deal, "
                               "far more than any pipe between two processes would hold\r\n"
                               "echo done>> \"%~dp0..\\logs\\" + name + ".ran\"\r\n");
    };
    bed->WriteProductFile("bin\\orvexStart.bat", talkative("start"));
    bed->WriteProductFile("bin\\orvexStatus.bat", talkative("status"));
    bed->WriteProductFile("bin\\orvexStop.bat", talkative("stop"));
    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ExpectConfirmedStart(pid);
    const std::string done = "done\r\n";
    for (const char* name : {"logs\\start.ran", "logs\\status.ran"}) {
        const std::string ran = bed->ReadProductFile(name);
        EXPECT_EQ(ran.compare(ran.size() - std::min(ran.size(), done.size()), done.size(), done), 0) << name << ran;
    }
    StopAndExpectStoppedNote(pid);
    const std::string stopRan = bed->ReadProductFile("logs\\stop.ran");
    EXPECT_NE(stopRan.find(done), std::string::npos) << stopRan;
    EXPECT_EQ(CountOf(EventsOf(pid), kStopProgress), 0);
    ExpectCleanExit(exited, pid);
    EXPECT_TRUE(NoneOfOursLeft());
}

// Controls that arrive while something else is under way.
class ControlFaults : public Faults {
protected:
    // STOP while one script is still running; the check that ends after the stop
    // still writes its entries but must not report RUNNING again.
    void StopWhileScriptRuns(const std::string& name, const std::string& file) {
        bed->WriteProductFile("bin\\" + file,
                              RecordingScript(name, "\"%~dp0svcctl.exe\" sleep 6000\r\n"
                                                    "echo done>> \"%~dp0..\\logs\\" + name + ".ran\"\r\n"));
        const std::string pid = StartedPid();
        auto exited = WatchExit(pid);
        ASSERT_TRUE(WaitForProductFile("logs\\" + name + ".ran", seconds(30)));
        EXPECT_EQ(IndexOf(EventsOf(pid), kStatusHeader), -1) << "the check ended before the stop";

        SendStop();
        const Fields stopped = WaitForState(1, 30000);
        EXPECT_EQ(stopped.at("state"), "1");
        EXPECT_EQ(stopped.at("exitcode"), "0");
        // Under Wine the process ends when the control handler returns: its wait for
        // the stop procedure must end within about 25 s.
        ExpectCleanExit(exited, pid);
        // A RUNNING report after the stop would stay visible once the process is gone.
        EXPECT_EQ(Query().at("state"), "1");

        const auto events = EventsOf(pid);
        ExpectSequence(events, {kStopping + StopScript(), kStoppedNote});
        // The process may end with the check still waiting; a verdict that does get
        // written comes after the stopped note, and it never put RUNNING back.
        if (IndexOf(events, kStatusHeader) >= 0) {
            ExpectSequence(events, {kStoppedNote, kStatusHeader, kStarted});
        }
        EXPECT_NE(bed->ReadProductFile("logs\\" + name + ".ran").find("done"), std::string::npos);
        EXPECT_TRUE(NoneOfOursLeft());
    }
};

TEST_F(ControlFaults, StopWhileTheCheckWaitsForTheStartScript) {
    StopWhileScriptRuns("start", "orvexStart.bat");
    const auto events = bed->Events();
    EXPECT_GT(IndexOf(events, kChecking), IndexOf(events, kStopping)) << Describe(events);
}

TEST_F(ControlFaults, StopWhileTheStatusScriptRuns) {
    StopWhileScriptRuns("status", "orvexStatus.bat");
    const auto events = bed->Events();
    EXPECT_LT(IndexOf(events, kChecking), IndexOf(events, kStopping)) << Describe(events);
}

TEST_F(ControlFaults, TwoStopsInQuickSuccession) {
    // The second STOP comes while the first one's stop procedure runs: Wine's service
    // manager refuses it (1061) without asking the service, and the one stop procedure
    // ends in STOPPED with the process. A second stop that reaches the handler is driven
    // by the Windows unit tests.
    // Wine's service manager kills the service process (status 0, no stop script,
    // status left RUNNING with pid 0) when any control follows a STOP before the
    // service has reported STOP_PENDING; so the second STOP waits for that report.
    CountStopRuns(3000);
    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ASSERT_TRUE(WaitForEntryOf(pid, kStarted, seconds(30)));

    auto first = std::async(std::launch::async, [this] { return bed->Control({"control", kService, "1"}, 60); });
    const Fields pending = WaitForState(3, 20000);
    ASSERT_EQ(pending.at("state"), "3");
    const Fields second = bed->Control({"control", kService, "1"});
    EXPECT_EQ(second.at("controlresult"), "1061");
    EXPECT_LT(std::stoul(second.at("controlms")), 5000UL);
    EXPECT_EQ(WaitForState(1, 30000).at("state"), "1");
    // Wine's service manager gives up waiting for the handler after 10 s (1053).
    const std::string firstResult = first.get().at("controlresult");
    EXPECT_TRUE(firstResult == "0" || firstResult == "1053") << firstResult;
    ExpectCleanExit(exited, pid);
    EXPECT_EQ(Query().at("state"), "1");

    const auto events = EventsOf(pid);
    EXPECT_EQ(CountOf(events, kStopping), 1) << Describe(events);
    EXPECT_EQ(CountOf(events, kStoppedNote), 1) << Describe(events);
    EXPECT_EQ(StopRuns(), 1);
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(ControlFaults, FailedCheckAndStopAtTheSameMoment) {
    // The status script sends STOP, and the check then fails: the stop that began
    // first is the only one. The stop script runs once, the check still writes its
    // three entries, nothing reports RUNNING again and STOPPED carries the first
    // stop's exit codes, with no report after it.
    struct Timing {
        const char* what;
        bool stopBeforeTheVerdict;  // else STOP and the verdict race
    };
    const Timing timings[] = {
        {"STOP as the status script ends", false},
        {"STOP while the status script still runs", true},
    };
    bed->WriteProductFile("etc\\status.properties", std::string(kTwoComponents) + "gamma=Gamma,started,kernel\r\n");
    std::vector<std::pair<std::string, std::future<Fields>>> exits;
    for (std::size_t row = 0; row < std::size(timings); ++row) {
        const Timing& timing = timings[row];
        SCOPED_TRACE(timing.what);
        // Each script waits for a file that the test creates once it has seen what
        // must come first, so that the order does not rest on timing.
        const std::string verdictGo = "verdict" + std::to_string(row) + ".go";
        const std::string stopGo = "stop" + std::to_string(row) + ".go";
        bed->WriteProductFile("bin\\orvexStatus.bat",
                              RecordingScript("status", "\"%~dp0svcctl.exe\" spawn control orvexWinService 1\r\n" +
                                                            (timing.stopBeforeTheVerdict ? WaitForFile(verdictGo) : "")));
        CountStopRunsThen(WaitForFile(stopGo));
        const int runsBefore = StopRuns();
        const std::string pid = StartedPid();
        exits.emplace_back(pid, WatchExit(pid));
        if (timing.stopBeforeTheVerdict) {
            ASSERT_EQ(WaitForState(3, 30000).at("state"), "3");
            bed->WriteProductFile("logs\\" + verdictGo, "go\r\n");
        }
        // The stop script goes on only once the check has written its entries, and a
        // second stop, which would begin right after them, has had the time to show.
        ASSERT_TRUE(WaitForEntryOf(pid, kStartFailed, seconds(30))) << Describe(bed->Events());
        EXPECT_FALSE(bed->WaitForEvents([&](const std::vector<Event>&) { return StopRuns() - runsBefore > 1; },
                                        seconds(3)))
            << "a second stop script run";
        bed->WriteProductFile("logs\\" + stopGo, "go\r\n");
        EXPECT_EQ(WaitForState(1, 30000).at("state"), "1");
        ASSERT_TRUE(WaitForEntryOf(pid, kStoppedNote, seconds(30)));

        const auto events = EventsOf(pid);
        const int statusText = IndexOf(events, kStatusHeader);
        ASSERT_GT(statusText, 0) << Describe(events);
        const auto at = [&](int i) { return events[static_cast<std::size_t>(i)]; };
        EXPECT_EQ(at(statusText).type, 1);
        EXPECT_EQ(at(statusText + 1).text, std::string(kFailureList) + "Gamma\n");
        EXPECT_EQ(at(statusText + 2).text, kStartFailed);
        EXPECT_EQ(IndexOf(events, kStarted), -1);
        // A STOP that reached the handler first wrote the stopping entry; one that came
        // after the check's stop had begun was refused before it reached the service.
        const int stopping = CountOf(events, kStopping);
        if (timing.stopBeforeTheVerdict) {
            EXPECT_EQ(stopping, 1) << Describe(events);
            EXPECT_LT(IndexOf(events, kStopping), statusText) << Describe(events);
        } else {
            EXPECT_LE(stopping, 1) << Describe(events);
        }
        EXPECT_EQ(CountOf(events, kStoppedNote), 1) << Describe(events);
        EXPECT_EQ(StopRuns() - runsBefore, 1);
        // A stop someone asked for must not trigger recovery; the failed check's own
        // stop ends with 1066 and 1.
        ExpectCleanExit(exits.back().second, pid);
        const Fields ended = Query();
        EXPECT_EQ(ended.at("state"), "1");
        EXPECT_EQ(ended.at("exitcode"), stopping == 1 ? "0" : "1066");
        EXPECT_EQ(ended.at("specific"), stopping == 1 ? "0" : "1");
    }
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(ControlFaults, InterrogateWhileTheStartIsCheckedAnswersRunning) {
    // The service reports RUNNING at once and never START_PENDING, also while the
    // start script still runs.
    bed->WriteProductFile("bin\\orvexStart.bat", RecordingScript("start", "\"%~dp0svcctl.exe\" sleep 3000\r\n"));
    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ASSERT_TRUE(WaitForProductFile("logs\\start.ran", seconds(20)));
    const auto expectRunning = [this] {
        const Fields interrogated = bed->Control({"interrogate", kService});
        EXPECT_EQ(interrogated.at("controlresult"), "0");
        EXPECT_EQ(interrogated.at("state"), "4");
        EXPECT_EQ(interrogated.at("checkpoint"), "0");
        EXPECT_EQ(interrogated.at("waithint"), "0");
    };
    EXPECT_EQ(IndexOf(EventsOf(pid), kChecking), -1) << "the start script has already ended";
    expectRunning();
    ASSERT_TRUE(WaitForEntryOf(pid, kStarted, seconds(30)));
    expectRunning();
    StopAndExpectStoppedNote(pid);
    ExpectCleanExit(exited, pid);
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(ControlFaults, InterrogateWhileAFailedCheckStopsTheService) {
    // STOP_PENDING reached without a STOP control: the handler is free, and the
    // status it would re-send carries the next checkpoint.
    bed->WriteProductFile("logs\\orvexStatus.log", "Alpha started, joined the kernel\r\n");
    CountStopRuns(5000);
    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ExpectStopPendingAndInterrogate();
    EXPECT_EQ(WaitForState(1, 30000).at("state"), "1");
    ExpectCleanExit(exited, pid);
    const auto events = EventsOf(pid);
    EXPECT_EQ(CountOf(events, kStopping), 0) << Describe(events);
    EXPECT_EQ(CountOf(events, kStoppedNote), 1) << Describe(events);
    EXPECT_EQ(StopRuns(), 1);
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(ControlFaults, ControlsOtherThanStopAndInterrogateAreIgnored) {
    // The service accepts STOP and PRESHUTDOWN. The service manager refuses pause and
    // continue (1052) and the shutdown code (87, not a control one may send); a
    // user-defined control reaches the handler, which does nothing with it (Wine does
    // not pass the handler's ERROR_CALL_NOT_IMPLEMENTED back).
    struct Control {
        const char* what;
        const char* code;
        const char* result;
    };
    const Control controls[] = {
        {"pause", "2", "1052"}, {"continue", "3", "1052"}, {"shutdown", "5", "87"}, {"user-defined", "128", "0"}};
    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ASSERT_TRUE(WaitForEntryOf(pid, kStarted, seconds(30)));
    const std::size_t entries = bed->Events().size();
    for (const Control& control : controls) {
        SCOPED_TRACE(control.what);
        const Fields answered = bed->Control({"control", kService, control.code});
        EXPECT_EQ(answered.at("controlresult"), control.result);
        EXPECT_LT(std::stoul(answered.at("controlms")), 5000UL);
        const Fields status = Query();
        EXPECT_EQ(status.at("state"), "4");
        EXPECT_EQ(status.at("pid"), pid);
        EXPECT_EQ(bed->Events().size(), entries) << Describe(bed->Events());
        EXPECT_FALSE(bed->ProductFileExists("logs\\stop.ran"));
    }
    StopAndExpectStoppedNote(pid);
    ExpectCleanExit(exited, pid);
    EXPECT_TRUE(NoneOfOursLeft());
}

// Removing the service.
class RemovalFaults : public Faults {
protected:
    void SetUp() override {
        Faults::SetUp();
        CountStopRuns(0);
    }

    std::string Removed() const { return "The ORVEX for Quellon Service(orvexWinService) has been removed.\r\n"; }
};

TEST_F(RemovalFaults, UninstallWhileTheServiceRuns) {
    // The uninstall runs the stop script itself and sends no control: the service
    // instance runs on, marked for deletion, and the entry goes once it has stopped.
    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ASSERT_TRUE(WaitForEntryOf(pid, kStarted, seconds(30)));
    const RunResult removed = bed->Orvex("-uninstall");
    EXPECT_EQ(removed.exitCode, 0);
    EXPECT_EQ(removed.output, Removed());
    EXPECT_EQ(StopRuns(), 1);
    const auto events = bed->Events();
    const int note = IndexOf(events, kStoppedNote);
    ASSERT_GE(note, 0) << Describe(events);
    EXPECT_NE(std::to_string(events[static_cast<std::size_t>(note)].pid), pid) << "written by the console run";
    EXPECT_EQ(IndexOf(events, kStopping), -1);
    const Fields running = Query();
    EXPECT_EQ(running.at("state"), "4");
    EXPECT_EQ(running.at("pid"), pid);
    EXPECT_EQ(bed->Control({"exists", kService}).at("exists"), "1");

    // Again while it is marked for deletion: the stop script runs once more, and the
    // deletion fails with 1072.
    const RunResult again = bed->Orvex("-uninstall");
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.output, "Error 1072: The ORVEX for Quellon Service(orvexWinService) \"" + bed->ExePath() +
                                "\" has not been removed.\r\n");
    EXPECT_EQ(StopRuns(), 2);

    StopAndExpectStoppedNote(pid);
    EXPECT_EQ(StopRuns(), 3);
    ExpectCleanExit(exited, pid);
    EXPECT_TRUE(bed->WaitForEvents(
        [&](const std::vector<Event>&) { return bed->Control({"exists", kService}).at("exists") == "0"; },
        seconds(45)));
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(RemovalFaults, UninstallingTwiceReportsTheMissingService) {
    const RunResult removed = bed->Orvex("-uninstall");
    EXPECT_EQ(removed.exitCode, 0);
    EXPECT_EQ(removed.output, Removed());
    const RunResult again = bed->Orvex("-uninstall");
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.output, "Error 1060: Unable to open and delete ORVEX for Quellon Service(orvexWinService): " +
                                bed->ExePath() + "\r\n");
    EXPECT_EQ(StopRuns(), 1);
    EXPECT_EQ(CountOf(bed->Events(), kStoppedNote), 1);
    EXPECT_TRUE(NoneOfOursLeft());
}

// Product files that cannot be read as the check expects.
class FileFaults : public Faults {};

TEST_F(FileFaults, FileThatCannotBeReadWholeWarnsAndKeepsTheServiceRunning) {
    enum class Fault { heldOpen, directory, unreadable };
    struct Case {
        const char* what;
        const char* file;
        Fault fault;
    };
    // Wine does not make ReadFile fail on a byte range another process has locked, so
    // the read that fails is that of a link to a Linux file that opens but cannot be read.
    const Case cases[] = {
        {"definitions file held without sharing", "etc\\status.properties", Fault::heldOpen},
        {"status log held without sharing", "logs\\orvexStatus.log", Fault::heldOpen},
        {"definitions file is a directory", "etc\\status.properties", Fault::directory},
        {"status log is a directory", "logs\\orvexStatus.log", Fault::directory},
        {"status log cannot be read", "logs\\orvexStatus.log", Fault::unreadable},
    };
    std::vector<std::pair<std::string, std::future<Fields>>> exits;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = bed->InstallDir() + "\\" + c.file;
        const std::string content = bed->ReadFile(path);
        std::string holder;
        const std::string failure = c.fault == Fault::unreadable ? kReadFailure : kOpenFailure;
        if (c.fault == Fault::heldOpen) {
            holder = bed->Control({"spawn", "holdopen", path, "none", "60000"}).at("spawned");
            // Held once another opener meets a sharing violation.
            ASSERT_TRUE(bed->WaitForEvents(
                [&](const std::vector<Event>&) {
                    const Fields probe = bed->Control({"holdopen", path, "readwrite", "0"});
                    return probe.count("error") != 0 && probe.at("error") == "32";
                },
                seconds(20)));
        } else if (c.fault == Fault::directory) {
            bed->Remove(path);
            bed->WriteFile(path + "\\placeholder.txt", "a file inside\r\n");
        } else {
            bed->Remove(path);
            std::filesystem::create_symlink("/proc/self/mem", bed->HostPath(path));
        }

        const std::string pid = StartedPid();
        exits.emplace_back(pid, WatchExit(pid));
        ASSERT_TRUE(WaitForEntryOf(pid, failure, seconds(30))) << Describe(bed->Events());
        const auto events = EventsOf(pid);
        const Event& warning = events[static_cast<std::size_t>(IndexOf(events, failure))];
        EXPECT_EQ(warning.type, 2);
        EXPECT_EQ(warning.text, failure + path);
        EXPECT_GT(IndexOf(events, failure), IndexOf(events, kChecking));
        EXPECT_EQ(IndexOf(events, kStatusHeader), -1);
        EXPECT_EQ(IndexOf(events, kStarted), -1);
        EXPECT_EQ(CountOfType(events, 1), 0) << Describe(events);
        EXPECT_EQ(Query().at("state"), "4");
        EXPECT_FALSE(bed->ProductFileExists("logs\\stop.ran"));

        StopAndExpectStoppedNote(pid);
        bed->Remove(bed->InstallDir() + "\\logs\\stop.ran");
        if (c.fault == Fault::heldOpen) {
            EXPECT_EQ(bed->Control({"kill", holder}).at("killresult"), "0");
        } else {
            bed->Remove(path);
        }
        bed->WriteFile(path, content);
    }
    for (auto& [pid, exited] : exits) {
        ExpectCleanExit(exited, pid);
    }
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(FileFaults, BinaryStatusLogIsScannedByTheLineRules) {
    // Random bytes with byte 0, carriage returns and Ctrl-Z: a byte 0 ends a line's
    // text, a lone carriage return stays in the line, a line keeps 255 characters,
    // and Ctrl-Z ends the file.
    bed->WriteProductFile("etc\\status.properties",
                          "alpha=Alpha,started,kernel\r\nbeta=Beta,started,kernel\r\n"
                          "gamma=Gamma,started,kernel\r\ndelta=Delta,started,kernel\r\n"
                          "epsilon=Epsilon,started,kernel\r\nzeta=Zeta,started,kernel\r\n");
    const std::string zeta = "Zeta started, joined the kernel" + std::string(300, 'z');
    const std::string epsilon = "Epsilon started," + std::string(300, 'e') + " joined the kernel";
    std::string log = "Alpha\rstarted kernel\r\n";
    const char gamma[] = "Gamma started\0, joined the kernel\r\n";
    log += std::string(gamma, sizeof gamma - 1);
    log += zeta + "\r\n" + epsilon + "\r\n";
    std::mt19937 random(20240607);
    for (int i = 0; i < 4096; ++i) {
        char byte = static_cast<char>(random() & 0xFF);
        log += byte == '\x1A' ? '\x1B' : byte;
    }
    log += "\r\nBeta started, joined the kernel\r\n\x1A" "Delta started, joined the kernel\r\n";
    bed->WriteProductFile("logs\\orvexStatus.log", log);

    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ASSERT_TRUE(WaitForEntryOf(pid, kStoppedNote, seconds(30))) << Describe(bed->Events());
    EXPECT_EQ(WaitForState(1, 30000).at("state"), "1");
    ExpectCleanExit(exited, pid);

    const auto events = EventsOf(pid);
    const int statusText = IndexOf(events, kStatusHeader);
    ASSERT_GT(statusText, 0) << Describe(events);
    const auto at = [&](int i) { return events[static_cast<std::size_t>(i)]; };
    const std::string expectedStart = std::string(kStatusHeader) + "Alpha\rstarted kernel\nGamma started\n" +
                                      zeta.substr(0, 255) + "\n" + epsilon.substr(0, 255) + "\n";
    // The trace shows only the beginning of a long text.
    const std::string shown = at(statusText).text;
    EXPECT_EQ(shown.compare(0, std::string::npos, expectedStart, 0, shown.size()), 0) << shown;
    EXPECT_EQ(at(statusText).type, 1);
    EXPECT_EQ(at(statusText + 1).text, std::string(kFailureList) + "Gamma\nDelta\nEpsilon\n");
    EXPECT_EQ(at(statusText + 1).type, 1);
    EXPECT_EQ(at(statusText + 2).text, kStartFailed);
    EXPECT_GT(IndexOf(events, kStoppedNote), statusText + 2);
    EXPECT_EQ(IndexOf(events, kStarted), -1);
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(FileFaults, GigabyteStatusLogIsScannedInBoundedMemoryAndEntries) {
    // The components' lines first, then one line repeated to 1 GiB, as a product
    // that appends to its status log leaves it. Every line counts for the verdict;
    // the status text shows only the last lines, after a note of those left out.
    const std::string repeated = "heartbeat: the product appends to its status log at every start\r\n";
    const std::string kept = repeated.substr(0, repeated.size() - 2) + "\n";
    std::uint64_t lines = 2;
    {
        std::string block;
        for (int i = 0; i < 4096; ++i) {
            block += repeated;
        }
        std::ofstream out(bed->HostPath(bed->InstallDir() + "\\logs\\orvexStatus.log"), std::ios::binary);
        out << kBothUp;
        for (std::uint64_t size = 0; size < (std::uint64_t{1} << 30); size += block.size()) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
            lines += 4096;
        }
        ASSERT_TRUE(out.good());
    }
    ++lines;  // the empty read after the last line feed
    const std::size_t shown = (262144 - 1) / kept.size();
    std::string expected = std::string(kStatusHeader) + "(" + std::to_string(lines - shown - 1) +
                           " earlier lines of " + bed->InstallDir() + "\\logs\\orvexStatus.log are not shown)\n";
    for (std::size_t i = 0; i < shown; ++i) {
        expected += kept;
    }
    expected += "\n";

    // Pieces of at most 31839 characters, each cut after its last line feed.
    std::vector<std::size_t> starts;
    for (std::size_t start = 0; start < expected.size();) {
        starts.push_back(start);
        start = expected.size() - start > 31839 ? expected.rfind('\n', start + 31838) + 1 : expected.size();
    }
    starts.push_back(expected.size());
    ASSERT_LE(starts.size() - 1, 9U);

    // The start script takes a moment, in which the host's memory before the scan is read.
    bed->WriteProductFile("bin\\orvexStart.bat", RecordingScript("start", "\"%~dp0svcctl.exe\" sleep 3000\r\n"));
    const std::string pid = StartedPid();
    auto exited = WatchExit(pid);
    ASSERT_TRUE(WaitForProductFile("logs\\start.ran", seconds(20)));
    const HostMemory before = bed->HostMemoryKb();
    ASSERT_TRUE(WaitForEntryOf(pid, kStarted, seconds(180)));
    const HostMemory after = bed->HostMemoryKb();
    EXPECT_EQ(Query().at("state"), "4");
    ASSERT_GT(before.residentKb, 0);
    EXPECT_LE(after.peakKb - before.residentKb, 4096)
        << "resident before the scan " << before.residentKb << " kB, peak " << after.peakKb << " kB";
    const auto events = EventsOf(pid);
    const int first = IndexOf(events, kStatusHeader);
    const int last = IndexOf(events, kStarted);
    ASSERT_GT(first, 0);
    EXPECT_EQ(static_cast<std::size_t>(last - first), starts.size() - 1);
    for (int i = first; i < last && static_cast<std::size_t>(i - first) + 1 < starts.size(); ++i) {
        const auto piece = static_cast<std::size_t>(i - first);
        const Event& entry = events[static_cast<std::size_t>(i)];
        EXPECT_EQ(entry.type, 4);
        EXPECT_LE(entry.text.size(), starts[piece + 1] - starts[piece]);
        EXPECT_EQ(expected.compare(starts[piece], entry.text.size(), entry.text), 0) << "piece " << piece;
    }
    EXPECT_EQ(CountOf(events, kStartProgress), 0);
    StopAndExpectStoppedNote(pid);
    ExpectCleanExit(exited, pid);
    EXPECT_TRUE(NoneOfOursLeft());
}

TEST_F(FileFaults, TenThousandDefinitions) {
    // Every component's line present, in the reverse order of the definitions; then
    // the same with one line missing, which the failure list names alone.
    std::string definitions;
    for (int i = 0; i < 10000; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "c%05d=Comp%05d,started,kernel\r\n", i, i);
        definitions += line;
    }
    bed->WriteProductFile("etc\\status.properties", definitions);
    const auto logWithout = [](int missing) {
        std::string log;
        for (int i = 9999; i >= 0; --i) {
            if (i != missing) {
                char line[64];
                std::snprintf(line, sizeof line, "Comp%05d started, joined the kernel\r\n", i);
                log += line;
            }
        }
        return log;
    };

    bed->WriteProductFile("logs\\orvexStatus.log", logWithout(-1));
    const std::string firstPid = StartedPid();
    auto allFound = WatchExit(firstPid);
    ExpectConfirmedStart(firstPid);
    StopAndExpectStoppedNote(firstPid);

    bed->WriteProductFile("logs\\orvexStatus.log", logWithout(7777));
    const std::string pid = StartedPid();
    auto oneMissing = WatchExit(pid);
    ASSERT_TRUE(WaitForEntryOf(pid, kStoppedNote, seconds(60))) << Describe(bed->Events());
    EXPECT_EQ(WaitForState(1, 30000).at("state"), "1");
    const auto events = EventsOf(pid);
    EXPECT_EQ(IndexOf(events, kStarted), -1);
    const int list = IndexOf(events, kFailureList);
    ASSERT_GE(list, 0) << Describe(events);
    EXPECT_EQ(events[static_cast<std::size_t>(list)].text, std::string(kFailureList) + "Comp07777\n");
    EXPECT_EQ(events[static_cast<std::size_t>(list) + 1].text, kStartFailed);

    ExpectCleanExit(allFound, firstPid);
    ExpectCleanExit(oneMissing, pid);
    EXPECT_TRUE(NoneOfOursLeft());
}

}  // namespace
}  // namespace orvex::test
