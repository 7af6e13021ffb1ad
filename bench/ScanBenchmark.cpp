// Throughput of the status log scan against a plain read() loop over the same
// cached file, on synthetic logs of random words (6 to 14 per line) of 1, 10
// and 100 MB, and tables of 1 to 1000 components whose texts occur nowhere in
// the log, so that every line is searched to the end of the log. A second
// kind of log of 100 MB is what real status logs are like: most of its lines
// hold a component's second or third text, though never its first.
//
// Extra modes for tools/scan-bench.sh:
//   --write-files DIR MB COMPONENTS   writes DIR/status.properties and DIR/orvexStatus.log
//   --peak-rss PROPERTIES LOG         scans once, prints "peak_rss_kib N"
//   --versus DIR MB ROUNDS            orvexcheck's gathering against the host's scan on one log
//                                     of MB (words, then shared texts), confirmed and with one
//                                     component missing; prints the best and worst seconds of each
#include "Explanation.h"
#include "StatusChecker.h"

#include <benchmark/benchmark.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t megabyte = std::int64_t{1024} * 1024;
constexpr std::size_t chunkSize = std::size_t{64} * 1024;

// Component i must report three texts that the log never holds, though it
// holds many of their pairs of first letters.
void WriteRules(const std::filesystem::path& path, int components) {
    std::ofstream out(path, std::ios::binary);
    out << "# synthetic component definitions\n";
    for (int i = 0; i < components; ++i) {
        out << "component." << i << "=orvex.component." << i << ", state=STARTED, joined kernel\n";
    }
}

// The second and third texts of every component, as WriteRules writes them.
const char* const sharedTexts[] = {"state=STARTED", "joined kernel"};

// Random words; where withTexts, four lines in five also hold one or both of
// the texts that every component shares.
void WriteLog(const std::filesystem::path& path, std::int64_t bytes, bool withTexts = false) {
    std::mt19937 random(7);
    std::vector<std::string> words(4096);
    for (std::string& word : words) {
        for (std::size_t n = 2 + random() % 9; n > 0; --n) {
            word += static_cast<char>('a' + random() % 26);
        }
    }
    std::ofstream out(path, std::ios::binary);
    std::string line;
    for (std::int64_t written = 0; written < bytes; written += static_cast<std::int64_t>(line.size())) {
        line.clear();
        const std::size_t held = withTexts && random() % 5 != 0 ? 1 + random() % 3 : 0;
        for (std::size_t n = 6 + random() % 9; n > 0; --n) {
            line += words[random() % words.size()];
            if (n == 2 && (held & 1U) != 0) {
                line.append(" ").append(sharedTexts[0]);
            }
            if (n == 4 && (held & 2U) != 0) {
                line.append(" ").append(sharedTexts[1]);
            }
            line += n > 1 ? ' ' : '\n';
        }
        out << line;
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

    std::string Log(std::int64_t megabytes, bool withTexts = false) const {
        const auto path =
            directory / ((withTexts ? "texts-" : "status-") + std::to_string(megabytes) + "MB.log");
        if (!std::filesystem::exists(path)) {
            WriteLog(path, megabytes * megabyte, withTexts);
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

// The floor of any reading: a read() loop over the cached file into one 64 KiB buffer.
void PlainRead(benchmark::State& state, Files& files) {
    const std::string log = files.Log(state.range(0));
    std::vector<char> chunk(chunkSize);
    std::int64_t bytes = 0;
    while (state.KeepRunning()) {
        const int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
        for (ssize_t got; (got = ::read(fd, chunk.data(), chunk.size())) > 0;) {
            bytes += got;
        }
        ::close(fd);
        benchmark::DoNotOptimize(chunk.data());
    }
    state.SetBytesProcessed(bytes);
}

// Arguments: megabytes, components, and 1 for the log whose lines hold the shared texts.
void Scan(benchmark::State& state, Files& files) {
    const std::string log = files.Log(state.range(0), state.range(2) != 0);
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
            ->UseRealTime()
            ->Repetitions(3);
        for (const std::int64_t components : {1, 10, 100, 1000}) {
            for (const std::int64_t withTexts : {0, 1}) {
                if (withTexts == 1 && megabytes != 100) {
                    continue;
                }
                benchmark::RegisterBenchmark("Scan", Scan, std::ref(files))
                    ->Args({megabytes, components, withTexts})
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->Repetitions(3);
            }
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
    const bool verdict = checker.Check();
    const long peak = PeakRssKib();
    std::printf("peak_rss_kib %ld\nbefore_kib %ld\nverdict %d\nstatus_text_chars %zu\n", peak, before,
                verdict ? 1 : 0, checker.GetStatusText().size());
    return 0;
}

// The components of the comparison: the first is found on the log's last line, the second nowhere.
const char* const foundComponent = "component.0=orvex.component.0, state=STARTED, joined kernel\n";
const char* const missingComponent = "component.1=orvex.component.1, state=STARTED, joined kernel\n";

template <typename Run>
double Seconds(Run&& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each round times the scan, orvexcheck's gathering on the confirmed table and
// on the one with a component missing, in a random order, on the same cached log.
int Versus(const char* directory, const char* megabytes, const char* rounds) {
    const std::filesystem::path dir(directory);
    const std::string confirmed = (dir / "confirmed.properties").string();
    const std::string missing = (dir / "missing.properties").string();
    std::ofstream(confirmed, std::ios::binary) << foundComponent;
    std::ofstream(missing, std::ios::binary) << foundComponent << missingComponent;
    std::mt19937 random(11);
    for (const bool withTexts : {false, true}) {
        const std::string log = (dir / "orvexStatus.log").string();
        WriteLog(log, std::stoll(megabytes) * megabyte, withTexts);
        std::ofstream(log, std::ios::binary | std::ios::app) << "done orvex.component.0 state=STARTED joined kernel\n";
        const std::array<std::function<bool()>, 3> runs = {
            [&] { return orvex::StatusChecker(confirmed, log).Check(); },
            [&] { return orvex::check::Explain(confirmed, log).confirmed; },
            [&] { return !orvex::check::Explain(missing, log).confirmed; }};
        const char* const names[] = {"scan", "confirmed", "missing"};
        std::array<double, 3> best{1e9, 1e9, 1e9};
        std::array<double, 3> worst{0, 0, 0};
        (void)runs[0]();  // the log into the cache
        for (int round = std::stoi(rounds); round > 0; --round) {
            std::array<int, 3> order{0, 1, 2};
            std::shuffle(order.begin(), order.end(), random);
            for (const int r : order) {
                bool right = false;
                const double seconds = Seconds([&] { right = runs[r](); });
                if (!right) {
                    (void)std::fprintf(stderr, "versus: wrong verdict (%s)\n", names[r]);
                    return 1;
                }
                best[r] = std::min(best[r], seconds);
                worst[r] = std::max(worst[r], seconds);
            }
        }
        for (int r = 0; r < 3; ++r) {
            std::printf("%s %s %.3f %.3f\n", withTexts ? "texts" : "words", names[r], best[r], worst[r]);
        }
        std::filesystem::remove(log);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--write-files") == 0) {
        return WriteFiles(argv[2], argv[3], argv[4]);
    }
    if (argc == 5 && std::strcmp(argv[1], "--versus") == 0) {
        return Versus(argv[2], argv[3], argv[4]);
    }
    if (argc == 4 && std::strcmp(argv[1], "--peak-rss") == 0) {
        return PeakRss(argv[2], argv[3]);
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
