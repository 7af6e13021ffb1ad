// Shared steps of the service tests: a product in a fresh prefix, installed and driven
// through the control helper, with its event-log entries printed when a test fails.
#ifndef ORVEX_SERVICE_FIXTURE_H
#define ORVEX_SERVICE_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
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

    std::string StartScript() const { return bed->BinDir() + "\\orvexStart.bat"; }
    std::string StopScript() const { return bed->BinDir() + "\\orvexStop.bat"; }
    std::string StatusScript() const { return bed->BinDir() + "\\orvexStatus.bat"; }

    std::unique_ptr<WineBed> bed;
};

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

}  // namespace orvex::test

#endif
