// Shared steps of the service tests: a product in a fresh prefix, installed and driven
// through the control helper, with its event-log entries printed when a test fails.
#ifndef ORVEX_SERVICE_FIXTURE_H
#define ORVEX_SERVICE_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

namespace orvex::test {

constexpr const char* kService = "orvexWinService";
constexpr const char* kStarting = "Starting ORVEX for Quellon 6.1 Service ...\nORVEX Start Script: ";
constexpr const char* kStopping = "Stopping ORVEX for Quellon 6.1 Service ...\nORVEX Stop Script: ";
constexpr const char* kStartExiting = "orvexStart thread is exiting...";
constexpr const char* kChecking = "Checking the status of ORVEX components ...\nORVEX Status Script: ";
constexpr const char* kStoppedNote = "ORVEX for Quellon 6.1 stopped.\n\n Note: If you experience";
constexpr const char* kStarted = "ORVEX for Quellon 6.1 Service successfully started.";
constexpr const char* kStartProgress = "Getting more time for ORVEX services...";
constexpr const char* kStopProgress = "Getting more time for script...";
constexpr const char* kStatusHeader = "ORVEX STATUS:\n\n";
constexpr const char* kFailureList =
    "Following ORVEX components did not started successfully or did not join the kernel. \n";
constexpr const char* kStartFailed =
    "One or more errors occured when starting ORVEX for Quellon 6.1 Service. Please check the logs or "
    "contact the System Administrator.";
constexpr const char* kOpenFailure = "Failure while opening file: ";
constexpr const char* kReadFailure = "Failure while reading file: ";

// A product of two components, both up when checked.
constexpr const char* kTwoComponents =
    "# the product's components\r\n"
    "alpha=Alpha,started,kernel\r\n"
    "beta=Beta,started,kernel\r\n";
constexpr const char* kBothUp = "Alpha started, joined the kernel\r\nBeta started, joined the kernel\r\n";
constexpr const char* kBothUpText =
    "ORVEX STATUS:\n\nAlpha started, joined the kernel\nBeta started, joined the kernel\n\n";

// Index of the first entry whose text begins with prefix, or -1.
inline int IndexOf(const std::vector<Event>& events, const std::string& prefix, int from = 0) {
    for (int i = from; i < static_cast<int>(events.size()); ++i) {
        if (events[static_cast<std::size_t>(i)].text.compare(0, prefix.size(), prefix) == 0) {
            return i;
        }
    }
    return -1;
}

inline int CountOf(const std::vector<Event>& events, const std::string& prefix) {
    int count = 0;
    for (const Event& event : events) {
        count += event.text.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return count;
}

class ServiceTest : public ::testing::Test {
protected:
    explicit ServiceTest(const std::string& installDir = "C:\\Program Files\\Orvex Test")
        : bed(std::make_unique<WineBed>(installDir)) {}

    void TearDown() override {
        if (HasFailure()) {
            std::fprintf(stderr, "Event-log entries of this test:\n%s", Describe(bed->Events()).c_str());
        }
    }

    // Quick scripts that record how they ran, and a product that is up when checked.
    void LayOutQuickProduct() {
        bed->WriteProductFile("bin\\orvexStart.bat", RecordingScript("start"));
        bed->WriteProductFile("bin\\orvexStop.bat", RecordingScript("stop"));
        bed->WriteProductFile("bin\\orvexStatus.bat", RecordingScript("status"));
        bed->WriteProductFile("etc\\status.properties", "# no components\r\n");
        bed->WriteProductFile("logs\\orvexStatus.log", "all up\r\n");
    }

    // The quick product with two components that are up, installed.
    void InstallTwoComponentProduct() {
        LayOutQuickProduct();
        bed->WriteProductFile("etc\\status.properties", kTwoComponents);
        bed->WriteProductFile("logs\\orvexStatus.log", kBothUp);
        Install();
    }

    void Install() {
        const RunResult result = bed->Orvex("-install");
        ASSERT_EQ(result.exitCode, 0) << result.output;
    }

    Fields Start() { return bed->Control({"start", kService, "30000"}); }
    Fields Stop(int timeoutMs = 60000) {
        return bed->Control({"stop", kService, std::to_string(timeoutMs)}, timeoutMs / 1000 + 30);
    }
    Fields Query() { return bed->Control({"query", kService}); }

    // Texts of the entries, in order.
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Event& event : bed->Events()) {
            texts.push_back(event.text);
        }
        return texts;
    }

    // Waits for the first STOP_PENDING report, then interrogates the service. Wine's
    // service manager refuses controls while a stop is pending (1061) without asking
    // the service; where the control reaches it, the status is re-sent with the next
    // checkpoint (the Windows unit tests drive INTERROGATE into the handler itself).
    void ExpectStopPendingAndInterrogate() {
        const Fields pending = WaitForState(3, 30000);
        ASSERT_EQ(pending.at("state"), "3");
        EXPECT_EQ(pending.at("checkpoint"), "1");
        EXPECT_EQ(pending.at("waithint"), "30000");
        const Fields interrogated = bed->Control({"interrogate", kService});
        if (interrogated.at("controlresult") == "0") {
            EXPECT_EQ(interrogated.at("state"), "3");
            EXPECT_EQ(interrogated.at("checkpoint"), "2");
        } else {
            EXPECT_EQ(interrogated.at("controlresult"), "1061");
        }
    }

    // Sends STOP from a helper of its own and returns at once: the control call
    // itself blocks for as long as the service's handler waits for the stop.
    void SendStop() { bed->Control({"spawn", "control", kService, "1"}); }

    Fields WaitForState(int state, int timeoutMs) {
        return bed->Control({"wait", kService, std::to_string(state), std::to_string(timeoutMs)},
                            timeoutMs / 1000 + 30);
    }

    // Waits in the background for a process to end; the fields hold its exit code and,
    // as "endedtick", the tick count (the clock of the entries' times) just after.
    // Begin before the process may end: an ended process can no longer be opened.
    std::future<Fields> WatchExit(const std::string& pid, int timeoutMs = 90000) const {
        const WineBed* watched = bed.get();
        return std::async(std::launch::async, [watched, pid, timeoutMs] {
            Fields fields = watched->Control({"waitproc", pid, std::to_string(timeoutMs)}, timeoutMs / 1000 + 30);
            const Fields now = watched->Control({"now"});
            fields["endedtick"] = now.count("tickms") != 0 ? now.at("tickms") : "";
            return fields;
        });
    }

    // The host process ended by itself with status 0 once it had stopped. Wine's
    // service manager kills a process that outlives its STOPPED report by 60 s, with
    // status 0 as well; a host ends at the latest when its STOP handler's wait of
    // 25 s is over, so the end must follow the last stopped note within about that.
    void ExpectCleanExit(std::future<Fields>& exited, const std::string& pid) const {
        const Fields fields = exited.get();
        ASSERT_EQ(fields.count("exitcode"), 1U) << "no exit status; waitproc error "
                                                << (fields.count("error") != 0 ? fields.at("error") : "");
        EXPECT_EQ(fields.at("exitcode"), "0");
        double note = -1;
        for (const Event& event : EventsOf(pid)) {
            if (event.text.compare(0, std::string(kStoppedNote).size(), kStoppedNote) == 0) {
                note = event.time;
            }
        }
        ASSERT_GE(note, 0) << "no stopped note of process " << pid;
        ASSERT_FALSE(fields.at("endedtick").empty());
        EXPECT_LT(std::stod(fields.at("endedtick")) / 1000.0 - note, 32.0) << "process " << pid;
    }

    // Entries written by one host process (pid as the helper prints it). Wine gives
    // pids out again, so they begin at that pid's last starting entry.
    std::vector<Event> EventsOf(const std::string& pid) const {
        std::vector<Event> events;
        for (const Event& event : bed->Events()) {
            if (std::to_string(event.pid) != pid) {
                continue;
            }
            if (event.text.compare(0, std::string(kStarting).size(), kStarting) == 0) {
                events.clear();
            }
            events.push_back(event);
        }
        return events;
    }

    // Processes of ours in the prefix: the host, the scripts' command interpreters, the
    // helper and the names given.
    std::vector<Process> ProcessesOfOurs(const std::vector<std::string>& moreNames = {}) const {
        return OfOurs(bed->Processes(), moreNames);
    }

    // A stop script that ends the product's kernel (orvexKernel.exe, which a start script
    // launched in the background). Under load Wine now and then fails to launch a program
    // (1359); while taskkill has neither ended the kernel (0) nor found none (128), the
    // script tries again, as a careful product's would, and records each try in
    // logs\stop.ran.
    static std::string KernelStopScript() {
        return RecordingScript("stop",
                               "set tries=0\r\n"
                               ":kill\r\n"
                               "set /a tries+=1\r\n"
                               "taskkill /f /im orvexKernel.exe>> \"%~dp0..\\logs\\stop.ran\" 2>&1\r\n"
                               "set killed=%errorlevel%\r\n"
                               "echo taskkill=%killed%>> \"%~dp0..\\logs\\stop.ran\"\r\n"
                               "if not %killed%==0 if not %killed%==128 if %tries% lss 5 goto kill\r\n");
    }

    // Once host pid has stopped: its stop script has ended the kernel. Under load Wine's
    // CreateProcessA now and then fails on a batch file (1359), which the host reports as
    // the script's launch failure; the stop script then never ran, and the test ends the
    // kernel itself rather than report it as left behind.
    void ExpectKernelEndedByTheStopScript(const std::string& pid) const {
        if (IndexOf(EventsOf(pid), "orvexStop script launching failure: 1359") >= 0) {
            std::fprintf(stderr, "Wine did not launch the stop script (1359); the test ends the kernel itself\n");
            for (const Process& process : bed->Processes()) {
                if (Lower(process.name) == "orvexkernel.exe") {
                    bed->Control({"kill", process.pid});
                }
            }
        }
        EXPECT_EQ(RunningCount("orvexKernel.exe"), 0)
            << "the stop script recorded:\n" << bed->ReadProductFile("logs\\stop.ran") << ProcessReport();
    }

    // Every process of the prefix, for a failure message.
    std::string ProcessReport() const { return "processes of the prefix:\n" + Describe(bed->Processes()); }

    // Passes once no process of ours runs within the grace (under Wine a stopped host
    // lingers until its STOP handler's wait of up to 25 s ends); else the failure names
    // each one left with its command line, and lists every other process of the prefix
    // too, so that a name this check does not know shows up as well.
    ::testing::AssertionResult NoneOfOursLeft(std::chrono::seconds grace = std::chrono::seconds(45),
                                              const std::vector<std::string>& moreNames = {}) const {
        const std::vector<Process> all = LastListWithinGrace(grace, moreNames);
        const std::vector<Process> left = OfOurs(all, moreNames);
        if (left.empty()) {
            return ::testing::AssertionSuccess();
        }
        std::vector<Process> others;
        for (const Process& process : all) {
            if (OfOurs({process}, moreNames).empty()) {
                others.push_back(process);
            }
        }
        return ::testing::AssertionFailure() << left.size() << " process(es) of ours still running after "
                                             << grace.count() << " s:\n"
                                             << Describe(left) << "the other processes of the prefix:\n"
                                             << Describe(others);
    }

    // How many processes of that name run in the prefix.
    int RunningCount(const std::string& name) const {
        int count = 0;
        for (const Process& process : bed->Processes()) {
            count += Lower(process.name) == Lower(name) ? 1 : 0;
        }
        return count;
    }

    static std::string Lower(std::string text) {
        for (char& c : text) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return text;
    }

    std::string StartScript() const { return bed->BinDir() + "\\orvexStart.bat"; }
    std::string StopScript() const { return bed->BinDir() + "\\orvexStop.bat"; }
    std::string StatusScript() const { return bed->BinDir() + "\\orvexStatus.bat"; }

    std::unique_ptr<WineBed> bed;

private:
    static std::vector<Process> OfOurs(const std::vector<Process>& processes,
                                       const std::vector<std::string>& moreNames) {
        std::vector<std::string> names{"orvex.exe", "cmd.exe", "start.exe", "svcctl.exe"};
        for (const std::string& name : moreNames) {
            names.push_back(Lower(name));
        }
        std::vector<Process> ours;
        for (const Process& process : processes) {
            if (std::find(names.begin(), names.end(), Lower(process.name)) != names.end()) {
                ours.push_back(process);
            }
        }
        return ours;
    }

    // Lists the prefix's processes until none of ours is among them or the grace is over;
    // returns the last list.
    std::vector<Process> LastListWithinGrace(std::chrono::seconds grace,
                                             const std::vector<std::string>& moreNames) const {
        const auto deadline = std::chrono::steady_clock::now() + grace;
        for (;;) {
            std::vector<Process> all = bed->Processes();
            if (OfOurs(all, moreNames).empty() || std::chrono::steady_clock::now() > deadline) {
                return all;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }
};

}  // namespace orvex::test

#endif
