// Measures the host under Wine: latency from the start script's end to the checking
// entry and from the status script's end to the verdict entry (medians over several
// starts, from the entries' timestamps), and the host's resident memory while RUNNING.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"

namespace {

using orvex::test::Event;
using orvex::test::WineBed;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double TickSeconds(const WineBed& bed, const std::string& file) {
    const std::string text = bed.ReadProductFile(file);
    const std::size_t at = text.find("tickms=");
    return at == std::string::npos ? -1 : std::stod(text.substr(at + 7)) / 1000.0;
}

double EntryTime(const std::vector<Event>& events, const std::string& prefix) {
    for (const Event& event : events) {
        if (event.text.rfind(prefix, 0) == 0) {
            return event.time;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int runs = argc > 1 ? std::stoi(argv[1]) : 7;
    const WineBed bed("C:\\Program Files\\Orvex Figures");
    const std::string stamp = "\"%~dp0svcctl.exe\" now > \"%~dp0..\\logs\\";
    bed.WriteProductFile("bin\\orvexStart.bat", "@echo off\r\n" + stamp + "start.end\"\r\n");
    bed.WriteProductFile("bin\\orvexStatus.bat", "@echo off\r\n" + stamp + "status.end\"\r\n");
    bed.WriteProductFile("bin\\orvexStop.bat", "@echo off\r\n");
    std::string definitions;
    std::string log;
    for (int i = 0; i < 10; ++i) {
        definitions += "c" + std::to_string(i) + "=component " + std::to_string(i) + ",started,joined\r\n";
        log += "component " + std::to_string(i) + " started and joined the kernel\r\n";
    }
    bed.WriteProductFile("etc\\status.properties", definitions);
    bed.WriteProductFile("logs\\orvexStatus.log", log);
    if (bed.Orvex("-install").exitCode != 0) {
        std::fprintf(stderr, "install failed\n");
        return 1;
    }
    std::vector<double> toChecking;
    std::vector<double> toVerdict;
    orvex::test::HostMemory memory;
    for (int run = 0; run < runs; ++run) {
        bed.ClearEvents();
        bed.Control({"start", "orvexWinService", "30000"});
        if (!bed.WaitForEventText("ORVEX for Quellon 6.1 Service successfully started.", std::chrono::seconds(30))) {
            std::fprintf(stderr, "run %d: no verdict\n", run);
            return 1;
        }
        const auto events = bed.Events();
        toChecking.push_back(EntryTime(events, "Checking the status") - TickSeconds(bed, "logs\\start.end"));
        toVerdict.push_back(EntryTime(events, "ORVEX STATUS:") - TickSeconds(bed, "logs\\status.end"));
        memory = bed.HostMemoryKb();
        bed.Control({"stop", "orvexWinService", "60000"}, 90);
    }
    std::printf("host latency under Wine, median of %d starts (entry timestamps, 1 ms resolution):\n", runs);
    std::printf("  start script's end  -> checking entry: %6.1f ms\n", Median(toChecking) * 1000);
    std::printf("  status script's end -> verdict entry:  %6.1f ms (includes the scan of a 10-line log)\n",
                Median(toVerdict) * 1000);
    std::printf("host memory while RUNNING (Linux process under Wine, includes Wine's own runtime):\n");
    std::printf("  resident %ld kB, peak resident %ld kB\n", memory.residentKb, memory.peakKb);
    return 0;
}
