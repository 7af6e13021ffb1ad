// Throughput of the status log scan against a plain chunked read of the same
// file (and that read keeping a copy of the file), on synthetic logs of 1, 10
// and 100 MB and tables of 1 to 1000 components, most never reported started.
//
// Extra modes for tools/scan-bench.sh:
//   --write-files DIR MB COMPONENTS   writes DIR/status.properties and DIR/orvexStatus.log
//   --peak-rss PROPERTIES LOG         scans once, prints "peak_rss_kib N"
//   --first-touch MB                  prints the write rate into fresh memory and
//                                     into the same memory again
#include "StatusChecker.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::int64_t megabyte = std::int64_t{1024} * 1024;
constexpr std::size_t chunkSize = std::size_t{64} * 1024;
constexpr int logComponents = 1000;  // the log mentions this many components

std::string ComponentName(int index) {
    return "[component-" + std::to_string(index) + "]";
}

// Component i must report "state=STARTED" and "joined kernel" on its line.
void WriteRules(const std::filesystem::path& path, int components) {
    std::ofstream out(path, std::ios::binary);
    out << "# synthetic component definitions\n";
    for (int i = 0; i < components; ++i) {
        out << "component." << i << "=" << ComponentName(i) << ", state=STARTED, joined kernel\n";
    }
}

// Heartbeat and request lines that name the components and share words with
// their texts, then success lines for every tenth component only.
void WriteLog(const std::filesystem::path& path, std::int64_t bytes) {
    static const std::array<const char*, 5> messages = {
        "heartbeat state=RUNNING queue=%u latency=%ums",
        "request handled in %u ms by worker %u, state=RUNNING",
        "joined cluster view %u with %u members",
        "cache refresh took %u ms, %u entries kept",
        "kernel link check %u/%u ok",
    };
    std::ofstream out(path, std::ios::binary);
    std::mt19937 random(7);
    std::int64_t written = 0;
    std::array<char, 256> line{};
    std::array<char, 128> message{};
    while (written < bytes) {
        const char* format = messages.at(random() % messages.size());
        if (std::snprintf(message.data(), message.size(), format, random() % 1000, random() % 100) < 0) {
            return;
        }
        const unsigned stamp = random();
        const int length = std::snprintf(line.data(), line.size(), "2024-05-%02u %02u:%02u:%02u.%03u INFO %s %s\n",
                                         1 + stamp % 28, stamp % 24, stamp % 60, (stamp / 60) % 60, stamp % 1000,
                                         ComponentName(static_cast<int>(random() % logComponents)).c_str(),
                                         message.data());
        if (length <= 0) {
            return;
        }
        out.write(line.data(), length);
        written += length;
    }
    for (int i = 0; i < logComponents; i += 10) {
        out << "2024-05-28 23:59:59.999 INFO " << ComponentName(i) << " state=STARTED, joined kernel\n";
    }
}

class Files {
public:
    Files()
        : directory(std::filesystem::temp_directory_path() /
                    ("orvex-scan-bench-" + std::to_string(std::random_device{}()))) {
        std::filesystem::create_directories(directory);
    }
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;
    ~Files() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::string Log(std::int64_t megabytes) const {
        const auto path = directory / ("status-" + std::to_string(megabytes) + "MB.log");
        if (!std::filesystem::exists(path)) {
            WriteLog(path, megabytes * megabyte);
        }
        return path.string();
    }

    std::string Rules(int components) const {
        const auto path = directory / ("status-" + std::to_string(components) + ".properties");
        if (!std::filesystem::exists(path)) {
            WriteRules(path, components);
        }
        return path.string();
    }

private:
    std::filesystem::path directory;
};

void PlainRead(benchmark::State& state, Files& files) {
    const std::string log = files.Log(state.range(0));
    std::vector<char> chunk(chunkSize);
    std::int64_t bytes = 0;
    while (state.KeepRunning()) {
        std::ifstream in(log, std::ios::binary);
        std::int64_t lineFeeds = 0;
        while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
            lineFeeds += std::count(chunk.data(), chunk.data() + in.gcount(), '\n');
            bytes += in.gcount();
        }
        benchmark::DoNotOptimize(lineFeeds);
    }
    state.SetBytesProcessed(bytes);
}

// The same read, keeping a copy of the whole file in one fresh buffer as the
// status text must: the floor for any scan, set mostly by first-touch page faults.
void CopyRead(benchmark::State& state, Files& files) {
    const std::string log = files.Log(state.range(0));
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(log));
    std::vector<char> chunk(chunkSize);
    std::int64_t bytes = 0;
    while (state.KeepRunning()) {
        std::ifstream in(log, std::ios::binary);
        std::string copy;
        copy.reserve(size);
        while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
            copy.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
        }
        bytes += static_cast<std::int64_t>(copy.size());
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(bytes);
}

void Scan(benchmark::State& state, Files& files) {
    const std::string log = files.Log(state.range(0));
    const std::string rules = files.Rules(static_cast<int>(state.range(1)));
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(log));
    while (state.KeepRunning()) {
        orvex::StatusChecker checker(rules, log);
        benchmark::DoNotOptimize(checker.Check());
    }
    state.SetBytesProcessed(size * static_cast<std::int64_t>(state.iterations()));
}

void Register(Files& files) {
    for (const std::int64_t megabytes : {1, 10, 100}) {
        benchmark::RegisterBenchmark("PlainRead", PlainRead, std::ref(files))
            ->Arg(megabytes)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("CopyRead", CopyRead, std::ref(files))
            ->Arg(megabytes)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        for (const std::int64_t components : {1, 10, 100, 1000}) {
            benchmark::RegisterBenchmark("Scan", Scan, std::ref(files))
                ->Args({megabytes, components})
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
}

int WriteFiles(const char* directory, const char* megabytes, const char* components) {
    const std::filesystem::path dir(directory);
    WriteLog(dir / "orvexStatus.log", std::stoll(megabytes) * megabyte);
    WriteRules(dir / "status.properties", std::stoi(components));
    return 0;
}

long PeakRssKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int PeakRss(const char* properties, const char* log) {
    const long before = PeakRssKib();
    orvex::StatusChecker checker(properties, log);
    const long built = PeakRssKib();
    const bool verdict = checker.Check();
    const long peak = PeakRssKib();
    std::printf("peak_rss_kib %ld\nbefore_kib %ld\nbuilt_kib %ld\nverdict %d\n", peak, before, built, verdict ? 1 : 0);
    return 0;
}

// What writing into fresh memory costs here, against writing the same memory
// again: the status text of a large log is fresh memory, so where the first
// touch of a page is dear, that cost bounds the scan of the largest logs.
int FirstTouch(const char* megabytes) {
    const auto size = static_cast<std::size_t>(std::stoll(megabytes) * megabyte);
    using Clock = std::chrono::steady_clock;
    double freshSeconds = 0;
    double againSeconds = 0;
    constexpr int rounds = 3;
    for (int round = 0; round < rounds; ++round) {
        const std::unique_ptr<char[]> memory(new char[size]);
        const auto start = Clock::now();
        std::memset(memory.get(), 'a', size);
        benchmark::DoNotOptimize(memory.get());
        const auto touched = Clock::now();
        std::memset(memory.get(), 'b', size);
        benchmark::DoNotOptimize(memory.get());
        const auto again = Clock::now();
        freshSeconds += std::chrono::duration<double>(touched - start).count();
        againSeconds += std::chrono::duration<double>(again - touched).count();
    }
    const double pages = static_cast<double>(size) / 4096 * rounds;
    std::printf("fresh_mb_per_s %.0f\nagain_mb_per_s %.0f\nmicroseconds_per_page %.2f\n",
                static_cast<double>(size) * rounds / freshSeconds / 1e6,
                static_cast<double>(size) * rounds / againSeconds / 1e6, freshSeconds / pages * 1e6);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--write-files") == 0) {
        return WriteFiles(argv[2], argv[3], argv[4]);
    }
    if (argc == 4 && std::strcmp(argv[1], "--peak-rss") == 0) {
        return PeakRss(argv[2], argv[3]);
    }
    if (argc == 3 && std::strcmp(argv[1], "--first-touch") == 0) {
        return FirstTouch(argv[2]);
    }
    Files files;
    Register(files);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
