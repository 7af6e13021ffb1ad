// orvexcheck.exe under Wine on the sample product: its scripts run from the install
// directory as the service runs them, whole and with one component broken, as text
// and as JSON.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Harness.h"

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

constexpr const char* kFailureList =
    "Following ORVEX components did not started successfully or did not join the kernel. \n";

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
    const RunResult whole = bed.Run({check});
    EXPECT_EQ(whole.exitCode, 0) << whole.output;
    EXPECT_NE(WithoutCarriageReturns(whole.output)
                  .find("Definitions: C:\\Program Files\\ORVEX Sample\\etc\\status.properties\n"
                        "Status log:  C:\\Program Files\\ORVEX Sample\\logs\\orvexStatus.log (4 lines)\n"),
              std::string::npos)
        << whole.output;
    EXPECT_NE(whole.output.find("\r\n3 of 3 components found: every component came up (ORVEX for Quellon 6.1 "
                                "Service successfully started.)\r\n"),
              std::string::npos)
        << whole.output;

    bed.WriteProductFile("etc\\gamma.broken", "broken\r\n");
    ASSERT_EQ(bed.Run({"cmd", "/c", bed.BinDir() + "\\cycle.bat"}, 120).exitCode, 0);
    const RunResult broken = bed.Run({check});
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
    const RunResult json = bed.Run({check, "--json"});
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
    const RunResult missing = bed.Run({check, "--json"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(nlohmann::json::parse(missing.output)["error"],
              "Failure while opening file: C:\\Program Files\\ORVEX Sample\\logs\\orvexStatus.log");
    EXPECT_EQ(bed.Run({check, "-x"}).exitCode, 64);
}

}  // namespace
}  // namespace orvex::test
