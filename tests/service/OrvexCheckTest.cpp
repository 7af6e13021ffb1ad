// orvexcheck.exe under Wine on the sample product: its scripts run from the install
// directory as the service runs them, whole and with one component broken, as text
// and as JSON. And --refresh beside the real service: the status script run in a job,
// ended with all it started at the bound, never before the service's check has given
// its verdict, and in turns with every other run of the status script.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ServiceFixture.h"

namespace orvex::test {
namespace {

namespace fs = std::filesystem;

std::string ReadSample(const std::string& relative) {
    // The sample product lies in examples/, two levels above this file's folder.
    const fs::path sample = fs::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / "product";
    std::ifstream in(sample / relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string WithoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// orvexcheck without --refresh only reads. On a busy machine Wine now and then fails to
// run a program at all: a run that printed nothing is run once more, and said.
RunResult ReadOnlyRun(const WineBed& bed, const std::vector<std::string>& arguments) {
    RunResult result = bed.Run(arguments);
    if (result.output.empty() && !result.timedOut) {
        std::fprintf(stderr, "orvexcheck printed nothing (exit %d); running it again\n", result.exitCode);
        result = bed.Run(arguments);
    }
    return result;
}

TEST(OrvexCheck, ExplainsTheSampleProductWholeAndBroken) {
    const WineBed bed("C:\\Program Files\\ORVEX Sample");
    for (const char* script : {"orvexStart.bat", "orvexStop.bat", "orvexStatus.bat"}) {
        bed.WriteProductFile(std::string("bin\\") + script, ReadSample(std::string("bin/") + script));
    }
    bed.WriteProductFile("etc\\status.properties", ReadSample("etc/status.properties"));
    for (const char* exe : {"orvexcheck.exe", "orvexDemoComponent.exe"}) {
        fs::copy_file(std::string(ORVEX_TEST_BED) + "/" + exe, bed.HostPath(bed.BinDir() + "\\" + exe));
    }
    // Start, status and stop script, run from the install directory as the service runs them.
    bed.WriteProductFile("bin\\cycle.bat",
                         "@echo off\r\ncd /d \"%~dp0..\"\r\ncall bin\\orvexStart.bat --service\r\n"
                         "call bin\\orvexStatus.bat\r\ncall bin\\orvexStop.bat\r\n");
    const std::string check = bed.BinDir() + "\\orvexcheck.exe";

    ASSERT_EQ(bed.Run({"cmd", "/c", bed.BinDir() + "\\cycle.bat"}, 120).exitCode, 0);
    const RunResult whole = ReadOnlyRun(bed, {check});
    EXPECT_EQ(whole.exitCode, 0) << whole.output;
    EXPECT_NE(WithoutCarriageReturns(whole.output)
                  .find("Definitions: C:\\Program Files\\ORVEX Sample\\etc\\status.properties\n"
                        "Status log:  C:\\Program Files\\ORVEX Sample\\logs\\orvexStatus.log (4 lines)\n"),
              std::string::npos)
        << whole.output;
    EXPECT_NE(whole.output.find("\n3 of 3 components found: every component came up (ORVEX for Quellon 6.1 "
                                "Service successfully started.)\n"),
              std::string::npos)
        << whole.output;
    // Every report's bytes as rendered, on standard output too: LF alone.
    for (const char* format : {"text", "prometheus", "plugin", "json"}) {
        const RunResult run = ReadOnlyRun(bed, {check, "--format", format});
        EXPECT_EQ(run.exitCode, 0) << format;
        EXPECT_FALSE(run.output.empty()) << format;
        EXPECT_EQ(run.output.find('\r'), std::string::npos) << format << ": " << run.output;
    }

    bed.WriteProductFile("etc\\gamma.broken", "broken\r\n");
    ASSERT_EQ(bed.Run({"cmd", "/c", bed.BinDir() + "\\cycle.bat"}, 120).exitCode, 0);
    const RunResult broken = ReadOnlyRun(bed, {check});
    EXPECT_EQ(broken.exitCode, 1) << broken.output;
    const std::string report = WithoutCarriageReturns(broken.output);
    const std::string gamma = report.substr(std::min(report.size(), report.find("status.properties line 6: ")));
    EXPECT_EQ(gamma.rfind("status.properties line 6: \"component gamma\" \"started\" \"joined the kernel\"\n"
                          "    NOT FOUND. Nearest: log line 1, which lacks \"component gamma\":\n",
                          0),
              0U)
        << report;
    EXPECT_NE(gamma.find(" INFO  component alpha started, joined the kernel\"\n"
                         "    \"component gamma\" first stands in log line 3:\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("\n2 of 3 components found: Following ORVEX components did not started successfully or "
                          "did not join the kernel. component gamma\n"),
              std::string::npos)
        << report;

    // The same verdict for scripts, parsed by a JSON library of their own.
    const RunResult json = ReadOnlyRun(bed, {check, "--json"});
    EXPECT_EQ(json.exitCode, 1) << json.output;
    const nlohmann::json doc = nlohmann::json::parse(json.output);
    EXPECT_EQ(doc["installDir"], "C:\\Program Files\\ORVEX Sample");
    EXPECT_EQ(doc["verdict"], "failed");
    EXPECT_EQ(doc["failed"], nlohmann::json::array({"component gamma"}));
    EXPECT_EQ(doc["failureList"], std::string(kFailureList) + "component gamma\n");
    const nlohmann::json& gammaDoc = doc["components"][2];
    EXPECT_EQ(gammaDoc["definitionLine"], 6);
    EXPECT_EQ(gammaDoc["key"], "gamma");
    EXPECT_EQ(gammaDoc["found"], false);
    EXPECT_EQ(gammaDoc["nearest"]["line"], 1);
    EXPECT_EQ(gammaDoc["nearest"]["lacks"], nlohmann::json::array({"component gamma"}));
    EXPECT_EQ(gammaDoc["nameLine"]["line"], 3);
    EXPECT_EQ(doc["components"][0]["foundLine"], 1);

    bed.Remove(bed.InstallDir() + "\\logs\\orvexStatus.log");
    EXPECT_EQ(bed.Run({check}).exitCode, 2);
    const RunResult missing = ReadOnlyRun(bed, {check, "--json"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(nlohmann::json::parse(missing.output)["error"],
              "Failure while opening file: C:\\Program Files\\ORVEX Sample\\logs\\orvexStatus.log");
    EXPECT_EQ(bed.Run({check, "-x"}).exitCode, 64);
}

// The status script as each refresh finds it; the log holds only Alpha before.
struct RefreshRow {
    const char* name;
    const char* script;  // after the recording lines
    const char* timeout;
    bool serviceStarted;
    int exitStatus;
    const char* verdict;
    const char* outcome;
    const char* exitCode;  // as JSON
    const char* detail;    // its beginning
};

constexpr const char* kRewriteLog =
    "echo Alpha started, joined the kernel> \"%~dp0..\\logs\\orvexStatus.log\"\r\n"
    "echo Beta started, joined the kernel>> \"%~dp0..\\logs\\orvexStatus.log\"\r\nexit 3\r\n";
constexpr const char* kEndless =
    "start \"\" /b \"%~dp0svcctl.exe\" sleep 600000\r\n"
    ":beat\r\necho beat>> \"%~dp0..\\logs\\status.beat\"\r\nping -n 2 127.0.0.1 >nul\r\ngoto beat\r\n";

// A status script that records its begin and its end in logs\\trace.txt around body.
std::string TracedScript(const std::string& body) {
    return "@echo off\r\necho begin>> \"%~dp0..\\logs\\trace.txt\"\r\n" + body +
           "echo end>> \"%~dp0..\\logs\\trace.txt\"\r\n";
}

// The runs the trace records, each begun after the one before ended.
::testing::AssertionResult RunsOneAfterTheOther(const std::string& trace, std::size_t runs) {
    std::string expected;
    for (std::size_t k = 0; k < runs; ++k) {
        expected += "begin\r\nend\r\n";
    }
    if (trace == expected) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "trace:\n" << trace;
}

// Names the row in the test's listing.
void PrintTo(const RefreshRow& row, std::ostream* out) { *out << row.name; }

class RefreshProbe : public ServiceTest {
protected:
    // The two-component product, orvexcheck.exe in its bin folder.
    void SetUp() override {
        LayOutQuickProduct();
        bed->WriteProductFile("etc\\status.properties", kTwoComponents);
        bed->WriteProductFile("logs\\orvexStatus.log", kBothUp);
        fs::copy_file(std::string(ORVEX_TEST_BED) + "/orvexcheck.exe", bed->HostPath(Check()));
    }
    std::string Check() const { return bed->BinDir() + "\\orvexcheck.exe"; }
};

class Refresh : public RefreshProbe, public ::testing::WithParamInterface<RefreshRow> {};

TEST_P(Refresh, GivesAVerdictOnlyOnALogTheScriptRewrote) {
    const RefreshRow& row = GetParam();
    if (row.serviceStarted) {
        Install();
        ASSERT_EQ(Start().at("state"), "4");
        ASSERT_TRUE(bed->WaitForEventText(kStarted, std::chrono::seconds(30)));
        bed->Remove(bed->InstallDir() + "\\logs\\status.ran");
    }
    bed->WriteProductFile("bin\\orvexStatus.bat", RecordingScript("status", row.script));
    bed->WriteProductFile("logs\\orvexStatus.log", "Alpha started, joined the kernel\r\n");

    const RunResult run = bed->Run({Check(), "--refresh", "--timeout", row.timeout, "--json"}, 60);
    EXPECT_EQ(run.exitCode, row.exitStatus) << run.output;
    const nlohmann::json doc = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << run.output;
    const nlohmann::json& refresh = doc["refresh"];
    EXPECT_EQ(doc["verdict"], row.verdict) << run.output;
    EXPECT_EQ(refresh["outcome"], row.outcome);
    EXPECT_EQ(refresh["exitCode"].dump(), row.exitCode);
    EXPECT_EQ(refresh["detail"].get<std::string>().rfind(row.detail, 0), 0U) << run.output;
    EXPECT_EQ(refresh["timeoutSeconds"].dump(), row.timeout);
    EXPECT_EQ(refresh["ran"], true);
    EXPECT_EQ(refresh["logRewritten"], doc["verdict"] == "confirmed");
    const bool bound = refresh["outcome"] == "timedOut";
    EXPECT_EQ(refresh["reachedBound"], bound);
    // Run by the refresh, also right after the service's check gave its verdict.
    EXPECT_TRUE(bed->ProductFileExists("logs\\status.ran"));
    if (bound) {
        EXPECT_GT(refresh["seconds"].get<double>(), 4.0);
        EXPECT_LT(refresh["seconds"].get<double>(), 6.5);
        EXPECT_TRUE(bed->ProductFileExists("logs\\status.beat"));
    }
    if (!row.serviceStarted) {
        EXPECT_EQ(refresh["notes"], nlohmann::json::array({"The service orvexWinService is not installed"}));
        // Nothing the script started outlives the probe.
        EXPECT_TRUE(NoneOfOursLeft(std::chrono::seconds(2), {"ping.exe", "orvexcheck.exe"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    StatusScripts, Refresh,
    ::testing::Values(
        RefreshRow{"RewritesTheLog", kRewriteLog, "30", false, 0, "confirmed", "rewritten", "3", ""},
        RefreshRow{"LeavesTheLog", "", "30", false, 2, "unknown", "notRewritten", "0",
                   "The status script ended (exit code 0) but did not rewrite the status log"},
        RefreshRow{"RunsPastTheBound", kEndless, "5", false, 2, "unknown", "timedOut", "null",
                   "The status script did not end within 5 s"},
        RefreshRow{"RightAfterTheServiceCheck", kRewriteLog, "30", true, 0, "confirmed", "rewritten", "3", ""}),
    [](const ::testing::TestParamInfo<RefreshRow>& info) { return std::string(info.param.name); });

TEST_F(RefreshProbe, ProbesTakeTurnsAndOneEndedByItsAgentLeavesNothingRunning) {
    bed->WriteProductFile("bin\\orvexStatus.bat", RecordingScript("status", kEndless));
    auto first = std::async(std::launch::async, [this] { return bed->Run({Check(), "--refresh", "--json"}, 90); });
    for (int tries = 0; tries < 300 && !bed->ProductFileExists("logs\\status.beat"); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(bed->ProductFileExists("logs\\status.beat"));
    const RunResult busy = bed->Run({Check(), "--refresh", "--timeout", "2", "--json"});
    EXPECT_EQ(busy.exitCode, 2);
    const nlohmann::json doc = nlohmann::json::parse(busy.output, nullptr, false);
    EXPECT_EQ(doc["verdict"], "unknown") << busy.output;
    EXPECT_EQ(doc["refresh"]["outcome"], "busy");
    EXPECT_EQ(doc["refresh"]["ran"], false);

    // A monitoring agent ends the first probe at its own timeout, as Windows would.
    for (const Process& process : bed->Processes()) {
        if (Lower(process.name) == "orvexcheck.exe") {
            EXPECT_EQ(bed->Control({"kill", process.pid}).at("exit"), "0");
        }
    }
    EXPECT_FALSE(first.get().timedOut);
    EXPECT_TRUE(NoneOfOursLeft(std::chrono::seconds(3), {"ping.exe", "orvexcheck.exe"}));
    // Its turn, left abandoned, is the next probe's.
    bed->WriteProductFile("bin\\orvexStatus.bat", RecordingScript("status", kRewriteLog));
    const RunResult next = bed->Run({Check(), "--refresh", "--json"});
    EXPECT_EQ(next.exitCode, 0) << next.output;
}

// Two probes at once, the second one's script emptying and rewriting a large log while
// the first one may still scan it: each holds the turn until its report is written.
TEST_F(RefreshProbe, TwoProbesAtOnceBothConfirm) {
    std::string filler;
    while (filler.size() < 10U * 1024 * 1024) {
        filler += "INFO a line of the product's own, long enough to make the log large\r\n";
    }
    bed->WriteProductFile("logs\\filler.txt", filler);
    bed->WriteProductFile("bin\\orvexStatus.bat",
                          TracedScript("type \"%~dp0..\\logs\\filler.txt\"> \"%~dp0..\\logs\\orvexStatus.log\"\r\n"
                                       "echo Alpha started, joined the kernel>> \"%~dp0..\\logs\\orvexStatus.log\"\r\n"
                                       "echo Beta started, joined the kernel>> \"%~dp0..\\logs\\orvexStatus.log\"\r\n"));
    for (int pair = 0; pair < 3; ++pair) {
        SCOPED_TRACE(pair);
        bed->Remove(bed->InstallDir() + "\\logs\\trace.txt");
        auto first = std::async(std::launch::async, [this] { return bed->Run({Check(), "--refresh", "--format", "plugin"}, 90); });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const RunResult second = bed->Run({Check(), "--refresh", "--format", "plugin"}, 90);
        const RunResult firstRun = first.get();
        EXPECT_EQ(firstRun.exitCode, 0) << firstRun.output;
        EXPECT_EQ(second.exitCode, 0) << second.output;
        EXPECT_EQ(firstRun.output.rfind("ORVEX OK - 2 of 2 components found", 0), 0U) << firstRun.output;
        EXPECT_EQ(second.output.rfind("ORVEX OK - 2 of 2 components found", 0), 0U) << second.output;
        EXPECT_TRUE(RunsOneAfterTheOther(bed->ReadProductFile("logs\\trace.txt"), 2));
    }
}

// The service's startup check and a probe started together take turns too, and the
// service confirms its start.
TEST_F(RefreshProbe, TheServiceCheckAndAProbeTakeTurns) {
    bed->WriteProductFile("bin\\orvexStatus.bat", TracedScript("ping -n 3 127.0.0.1 >nul\r\n"
                                                               "echo Alpha started, joined the kernel> \"%~dp0..\\logs\\orvexStatus.log\"\r\n"
                                                               "echo Beta started, joined the kernel>> \"%~dp0..\\logs\\orvexStatus.log\"\r\n"));
    Install();
    auto probe = std::async(std::launch::async, [this] { return bed->Run({Check(), "--refresh", "--json"}, 90); });
    EXPECT_EQ(Start().at("state"), "4");
    const RunResult run = probe.get();
    ASSERT_TRUE(bed->WaitForEventText(kStarted, std::chrono::seconds(60)));
    const nlohmann::json doc = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << run.output;
    // Before the service began, or once its check had begun: then it runs nothing.
    const bool ran = doc["refresh"]["ran"] == true;
    EXPECT_EQ(doc["refresh"]["outcome"], ran ? "rewritten" : "serviceChecking") << run.output;
    EXPECT_TRUE(RunsOneAfterTheOther(bed->ReadProductFile("logs\\trace.txt"), ran ? 2 : 1));
}

// Right after a start the probe gives no verdict until the service's own is written,
// and then gives one at once.
TEST_F(RefreshProbe, UnknownWhileTheServiceChecksThenAVerdictAtOnce) {
    bed->WriteProductFile("bin\\orvexStart.bat", RecordingScript("start", "ping -n 6 127.0.0.1 >nul\r\n"));
    bed->WriteProductFile("bin\\orvexStatus.bat", RecordingScript("status", kRewriteLog));
    Install();
    ASSERT_EQ(Start().at("state"), "4");
    int unknown = 0;
    bool confirmed = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!confirmed && std::chrono::steady_clock::now() < until) {
        const bool verdictWritten = IndexOf(bed->Events(), kStarted) >= 0;
        const RunResult run = bed->Run({Check(), "--refresh", "--timeout", "30", "--json"}, 60);
        const nlohmann::json doc = nlohmann::json::parse(run.output, nullptr, false);
        ASSERT_TRUE(doc.is_object()) << run.output;
        confirmed = doc["verdict"] == "confirmed";
        if (!confirmed) {
            EXPECT_FALSE(verdictWritten) << run.output;
            EXPECT_EQ(doc["refresh"]["outcome"], "serviceChecking") << run.output;
            EXPECT_EQ(doc["refresh"]["detail"], "The service's startup check is running: the status script was not run");
            EXPECT_EQ(run.exitCode, 2);
            ++unknown;
        }
    }
    EXPECT_TRUE(confirmed);
    EXPECT_GT(unknown, 0);
}

}  // namespace
}  // namespace orvex::test
