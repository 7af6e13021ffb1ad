// orvexcheck as a probe for monitoring: the command line, the plugin format's
// status line, exit status and performance data, the Prometheus gauges as
// promtool and node_exporter's textfile collector read them, and --output.
#include "CommandLine.h"
#include "Explanation.h"
#include "PluginReport.h"
#include "PrometheusReport.h"
#include "Report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CheckInstallation.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>
#endif

namespace {

namespace check = orvex::check;
namespace fs = std::filesystem;
using check::test::Installation;
#ifdef ORVEX_CHECK_PATH
using check::test::RunCheck;
#endif

#ifdef ORVEX_CHECK_PATH
// A status log last written an hour ago.
void AgeLog(const Installation& install) {
    fs::last_write_time(install.files.statusLog, fs::file_time_type::clock::now() - std::chrono::hours(1));
}
#endif

TEST(ProbeFormats, CommandLine) {
#ifdef _WIN32
    const std::string noRefresh;
#else
    const std::string noRefresh = "--refresh needs Windows";
#endif
    const struct {
        std::vector<std::string> arguments;
        std::string problem;  // how it begins; "" for none
        unsigned timeout;
        check::Format format = check::Format::text;
    } rows[] = {
        {{"--format", "prometheus", "--output", "f"}, "", 120, check::Format::prometheus},
        {{"--format", "json"}, "", 120, check::Format::json},
        {{"--json"}, "", 120, check::Format::json},
        {{"--format", "plugin", "--help"}, "", 120, check::Format::plugin},
        {{"--format", "plugin", "--json"}, "one format only", 120},
        {{"--refresh"}, noRefresh, 120},
        {{"--refresh", "--timeout", "1"}, noRefresh, 1},
        {{"--timeout", "120", "--refresh"}, noRefresh, 120},
        {{"--refresh", "--timeout", "0"}, noRefresh.empty() ? "--timeout takes" : noRefresh, 0},
        {{"--refresh", "--timeout", "121"}, noRefresh.empty() ? "--timeout takes" : noRefresh, 0},
        {{"--refresh", "--timeout", "5s"}, noRefresh.empty() ? "--timeout takes" : noRefresh, 0},
        {{"--timeout", "5"}, "--timeout is for --refresh", 5},
        {{"--timeout", "0", "--refresh"}, "--timeout takes", 0},
        {{"--timeout", "0"}, "--timeout takes", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments.empty() ? "(none)" : row.arguments[0] + " ... " + row.arguments.back());
        check::Options options;
        const std::string problem = check::ParseCommandLine(row.arguments, options);
        EXPECT_EQ(problem.substr(0, row.problem.size()), row.problem) << problem;
        EXPECT_EQ(problem.empty(), row.problem.empty()) << problem;
        if (problem.empty()) {
            EXPECT_EQ(options.timeoutSeconds, row.timeout);
            EXPECT_EQ(options.format, row.format);
        }
    }
}

// The first line of a plugin's output: a status, then " | " and items
// 'label'=value[UOM];[warn];[crit];[min];[max] (ranges [@][start:][end]).
const std::string kRange = "(@?(-?[0-9.]+|~)?:?(-?[0-9.]+)?)?";
const std::string kPerf = "'[^'=]+'=-?[0-9.]+(s|ms|us|%|B|KB|MB|TB|c)?(;" + kRange + "(;" + kRange +
                          "(;(-?[0-9.]+)?(;(-?[0-9.]+)?)?)?)?)?";
const std::regex kPluginLine("ORVEX (OK|CRITICAL|UNKNOWN) - [^|\n]+( \\| " + kPerf + "( " + kPerf + ")*)?\n");

TEST(ProbeFormats, PluginStatusLinesAndPerformanceData) {
    const std::string log = "alpha up kernel\n";
    const std::string age = " 'status_log_age'=3600s;;;0";
    std::string many;  // however many are missing, the line stays short enough for any agent
    for (int k = 0; k < 300; ++k) {
        many += "k=component number " + std::to_string(k) + " of a long list,up,kernel\n";
    }
    check::RefreshResult lineFeed;
    lineFeed.detail = "The status script cannot be started (error 3): C:\\new\nfolder\r\n";
    check::RefreshResult timedOut;
    timedOut.outcome = check::RefreshOutcome::kTimedOut;
    timedOut.ran = timedOut.reachedBound = true;
    timedOut.seconds = 5;
    timedOut.detail = "The status script ran past 5 s";
    const struct {
        const char* what;
        std::string rules;
        const std::string* log;
        std::optional<check::RefreshResult> refresh;
        std::string line;  // for a log an hour old
        int exitStatus;
        std::string holds = "";  // further on in the line
    } rows[] = {
        {"confirmed", "a=alpha,up,kernel\n", &log, {},
         "ORVEX OK - 1 of 1 component found | 'components_defined'=1;;;0 'components_found'=1;;1:;0;1" + age, 0},
        {"names that would break the line", "a=alpha,up,kernel\nb=be|ta,up,kernel\nc=gam\tma,up,kernel\n", &log, {},
         "ORVEX CRITICAL - 1 of 3 components found, not found: \"be/ta\", \"gam<TAB>ma\" | 'components_defined'=3;;;0 "
         "'components_found'=1;;3:;0;3" + age,
         2},
        {"nothing defined", "# none\n", &log, {},
         "ORVEX OK - 0 of 0 components found | 'components_defined'=0;;;0 'components_found'=0;;0:;0;0" + age, 0},
        {"no status log", "a=alpha,up,kernel\n", nullptr, {}, "ORVEX UNKNOWN - Failure while opening file: ", 3},
        {"three hundred missing", many, &log, {},
         "ORVEX CRITICAL - 0 of 300 components found, not found: \"component number 0 of a long list\", \"component", 2,
         " more | 'components_defined'=300;;;0 'components_found'=0;;300:;0;300" + age + "\n"},
        {"a line feed in a path", "a=alpha,up,kernel\n", &log, lineFeed,
         "ORVEX UNKNOWN - The status script cannot be started (error 3): C:\\new folder   |" + age + "\n", 3},
        {"a refresh that timed out", "a=alpha,up,kernel\n", &log, timedOut,
         "ORVEX UNKNOWN - The status script ran past 5 s |" + age + " 'refresh_time'=5.000s;;;0;5", 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Installation install(&row.rules, row.log);
        check::ProbeFacts facts;
        facts.refresh = row.refresh;
        facts.refreshTimeoutSeconds = 5;
        std::string line;
        if (row.log == nullptr) {
            line = check::RenderPluginUnknown("Failure while opening file: " + install.files.statusLog, facts);
        } else {
            facts.logAgeSeconds = 3600;
            line = row.refresh ? check::RenderPluginUnknown(row.refresh->detail, facts)
                               : check::RenderPlugin(check::Explain(install.files.properties, install.files.statusLog), facts);
        }
        EXPECT_TRUE(std::regex_match(line, kPluginLine)) << line;
        EXPECT_EQ(line.rfind(row.line, 0), 0U) << line;
        EXPECT_LE(line.size(), check::kPluginOutputBytes);
        EXPECT_NE(line.find(row.holds), std::string::npos) << line;
#ifdef ORVEX_CHECK_PATH
        if (row.refresh) {
            continue;  // natively no refresh runs
        }
        if (row.log != nullptr) {
            AgeLog(install);
        }
        const check::test::ProcessRun run = RunCheck({"--format", "plugin", install.dir.string()}, install.dir);
        EXPECT_EQ(run.status, row.exitStatus);
        EXPECT_TRUE(std::regex_match(run.out, kPluginLine)) << run.out;
        // The same line, the log's age a second or two older where the run took that long.
        EXPECT_EQ(std::regex_replace(run.out, std::regex("=360[0-5]s;"), "=3600s;"), line);
        EXPECT_EQ(run.err, "");
#endif
    }
#ifdef ORVEX_CHECK_PATH
    // A usage error is UNKNOWN too, on standard output.
    const check::test::ProcessRun usage = RunCheck({"-x", "--format", "plugin"}, fs::temp_directory_path());
    EXPECT_EQ(usage.status, 3);
    EXPECT_EQ(usage.out, "ORVEX UNKNOWN - orvexcheck: unknown option -x\n");
    // --help too, as the plugins' guidelines ask.
    EXPECT_EQ(RunCheck({"--format", "plugin", "--help"}, fs::temp_directory_path()).status, 3);
    EXPECT_EQ(RunCheck({"--help"}, fs::temp_directory_path()).status, 0);
#endif
}

// The plugin's whole output at the edge of its 1,000 bytes: a name that fits exactly
// is listed, one byte more and it is counted instead.
TEST(ProbeFormats, PluginOutputAtTheEdgeOfItsLength) {
    check::Explanation explanation;
    explanation.components.resize(3);
    explanation.confirmed = false;
    explanation.failed = {"a", "b"};
    const std::size_t base = check::RenderPlugin(explanation, {}).size();
    ASSERT_LT(base, check::kPluginOutputBytes);
    explanation.failed[1] = std::string(1 + check::kPluginOutputBytes - base, 'b');
    const std::string edge = check::RenderPlugin(explanation, {});
    EXPECT_EQ(edge.size(), check::kPluginOutputBytes);
    EXPECT_NE(edge.find(", \"" + explanation.failed[1] + "\" | 'components_defined'=3;"), std::string::npos) << edge;
    explanation.failed[1] += 'b';
    const std::string past = check::RenderPlugin(explanation, {});
    EXPECT_LE(past.size(), check::kPluginOutputBytes);
    EXPECT_NE(past.find("not found: \"a\" and 1 more | 'components_defined'=3;"), std::string::npos) << past;
    // A first name longer than the whole line is shortened; the count stays.
    explanation.failed = {std::string(2000, 'x'), "b"};
    const std::string shortened = check::RenderPlugin(explanation, {});
    EXPECT_EQ(shortened.size(), check::kPluginOutputBytes);
    EXPECT_NE(shortened.find("not found: \"xxx"), std::string::npos) << shortened;
    EXPECT_NE(shortened.find("xxx... and 1 more | 'components_defined'=3;"), std::string::npos) << shortened;
}

// Each outcome of a refresh, as every format reports it: a verdict only on a rewritten
// log, the script's time only where it ran.
TEST(ProbeFormats, EveryRefreshOutcomeInEveryFormat) {
    const std::string rules = "a=alpha,up,kernel\n";
    const std::string log = "alpha up kernel\n";
    const Installation install(&rules, &log);
    const check::Explanation explanation = check::Explain(install.files.properties, install.files.statusLog);
    const check::Checked checked{install.dir.string(), install.files.properties, install.files.statusLog};
    using Outcome = check::RefreshOutcome;
    const struct {
        Outcome outcome;
        bool ran;
        bool bound;
        const char* detail;
    } rows[] = {
        {Outcome::kRewritten, true, false, ""},
        {Outcome::kNotRewritten, true, false, "The status script ended (exit code 0) but did not rewrite the status log"},
        {Outcome::kTimedOut, true, true, "The status script did not end within 5 s"},
        {Outcome::kServiceChecking, false, false, "The service's startup check is running"},
        {Outcome::kBusy, false, false, "Another run of the status script held the turn for the whole 5 s"},
        {Outcome::kCannotRun, false, false, "The status script cannot be started (error 2)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(check::OutcomeName(row.outcome));
        check::ProbeFacts facts;
        facts.logAgeSeconds = 7;
        facts.refreshTimeoutSeconds = 5;
        facts.refresh.emplace();
        facts.refresh->outcome = row.outcome;
        facts.refresh->ran = row.ran;
        facts.refresh->reachedBound = row.bound;
        facts.refresh->seconds = row.ran ? 1.5 : 0;
        facts.refresh->exitCode = 3;
        facts.refresh->logRewritten = row.outcome == Outcome::kRewritten;
        facts.refresh->detail = row.detail;
        const bool verdict = check::GivesVerdict(*facts.refresh);
        const check::Explanation* given = verdict ? &explanation : nullptr;
        const std::string error = verdict ? "" : check::RefreshFailure(*facts.refresh);
        const auto render = [&](check::Format format) {
            return check::RenderReport(format, given, checked, facts, error);
        };

        const std::string json = render(check::Format::json);
        EXPECT_NE(json.find(verdict ? "\"verdict\": \"confirmed\"" : "\"verdict\": \"unknown\""), std::string::npos)
            << json;
        EXPECT_NE(json.find(std::string("\"outcome\": \"") + check::OutcomeName(row.outcome) + "\""), std::string::npos);
        EXPECT_EQ(json.find("\"exitCode\": 3") != std::string::npos, row.ran && !row.bound) << json;

        const std::string prometheus = render(check::Format::prometheus);
        EXPECT_EQ(prometheus.find("\norvex_refresh_duration_seconds 1.500\n") != std::string::npos, row.ran)
            << prometheus;
        EXPECT_EQ(prometheus.find("\norvex_probe_success 1\n") != std::string::npos, verdict);
        EXPECT_EQ(prometheus.find("\norvex_verdict{verdict=\"unknown\"} 1\n") != std::string::npos, !verdict);

        const std::string plugin = render(check::Format::plugin);
        EXPECT_EQ(plugin.rfind(verdict ? "ORVEX OK - " : std::string("ORVEX UNKNOWN - ") + row.detail, 0), 0U)
            << plugin;
        EXPECT_EQ(plugin.find("'refresh_time'=1.500s;;;0;5") != std::string::npos, row.ran) << plugin;

        const std::string text = render(check::Format::text);
        EXPECT_EQ(text.find("Refresh: the status script was not run\n") != std::string::npos, !row.ran) << text;
        EXPECT_EQ(text.find("Status log last written 7 s ago\n") != std::string::npos, true) << text;
        EXPECT_EQ(text.size() >= error.size() + 1 && text.compare(text.size() - error.size() - 1, error.size(), error) == 0,
                  true)
            << text;
    }
    // The log's age: never negative, where a clock step put its last write ahead of now.
    const struct {
        std::int64_t now;
        std::optional<std::int64_t> written;
        std::optional<std::uint64_t> age;
    } ages[] = {{3700, 100, 3600}, {100, 3700, 0}, {100, 100, 0}, {100, std::nullopt, std::nullopt}};
    for (const auto& row : ages) {
        EXPECT_EQ(check::AgeSeconds(row.now, row.written), row.age) << row.now;
    }
    // A turn that comes late leaves the script 5 s, or a fifth of a shorter bound.
    const struct {
        std::uint64_t leftMs, boundMs;
        bool tooLittle;
    } turns[] = {{4999, 120000, true}, {5000, 120000, false}, {1999, 10000, true}, {2000, 10000, false}, {3000, 3000, false}};
    for (const auto& row : turns) {
        EXPECT_EQ(check::TooLittleLeft(row.leftMs, row.boundMs), row.tooLittle) << row.leftMs << " of " << row.boundMs;
    }
}

#ifdef ORVEX_CHECK_PATH
// A shell command's exit status, with its standard output and error in out.
int Shell(const std::string& command, std::string& out) {
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    out.clear();
    char buffer[4096];
    for (std::size_t got; pipe != nullptr && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, got);
    }
    const int status = pipe == nullptr ? -1 : pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProbeFormats, PrometheusTextThatPromtoolAccepts) {
    const bool promtool = fs::exists("/usr/bin/promtool");
    enum class Log { text, missing, unreadable };
    const struct {
        const char* what;
        std::string rules;
        Log log;
        std::vector<std::string> samples;
        std::string absent;  // a gauge not given
        int exitStatus;
    } rows[] = {
        {"confirmed", "a=alpha,up,kernel\n", Log::text,
         {"orvex_probe_success 1", "orvex_verdict{verdict=\"confirmed\"} 1", "orvex_verdict{verdict=\"unknown\"} 0",
          "orvex_components_defined 1", "orvex_components_found 1", "orvex_component_found{key=\"a\",definition_line=\"1\"} 1"},
         "orvex_refresh_duration_seconds", 0},
        {"one missing", "a=alpha,up,kernel\n\nb=beta,up,kernel\n", Log::text,
         {"orvex_verdict{verdict=\"failed\"} 1", "orvex_components_found 1",
          "orvex_component_found{key=\"b\",definition_line=\"3\"} 0"},
         "", 1},
        {"a log that cannot be read", "a=alpha,up,kernel\n", Log::unreadable,
         {"orvex_probe_success 0", "orvex_verdict{verdict=\"unknown\"} 1", "orvex_verdict{verdict=\"failed\"} 0"},
         "orvex_component", 2},
        {"no log", "a=alpha,up,kernel\n", Log::missing, {"orvex_probe_success 0"}, "orvex_status_log_age_seconds", 2},
        {"keys with quotes, backslashes and bytes beyond ASCII, twice", "q\"\\\xE9=alpha,up,kernel\nq\"\\\xE9=alpha,up,kernel\n",
         Log::text,
         {"orvex_component_found{key=\"q\\\"\\\\\xC3\xA9\",definition_line=\"1\"} 1",
          "orvex_component_found{key=\"q\\\"\\\\\xC3\xA9\",definition_line=\"2\"} 0"},
         "", 1},
    };
    const std::string log = "alpha up kernel\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Installation install(&row.rules, row.log == Log::text ? &log : nullptr);
        if (row.log == Log::unreadable) {
            fs::create_symlink("/proc/self/mem", install.files.statusLog);
        } else if (row.log == Log::text) {
            AgeLog(install);
        }
        const fs::path output = install.dir / "orvex.prom";
        const check::test::ProcessRun run =
            RunCheck({"--format", "prometheus", "--output", output.string(), install.dir.string()}, install.dir);
        EXPECT_EQ(run.status, row.exitStatus) << run.err;
        const std::string text = check::test::ReadWhole(output);
        ASSERT_FALSE(text.empty());
        // No byte-order mark, LF alone, a last line feed, no series twice.
        EXPECT_EQ(text.rfind("# HELP orvex_probe_success ", 0), 0U);
        EXPECT_EQ(text.back(), '\n');
        EXPECT_EQ(text.find('\r'), std::string::npos);
        std::set<std::string> series;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(line[0] == '#' || series.insert(line.substr(0, line.rfind(' '))).second) << "twice: " << line;
        }
        for (const std::string& sample : row.samples) {
            EXPECT_NE(("\n" + text).find("\n" + sample + "\n"), std::string::npos) << sample << "\nin\n" << text;
        }
        EXPECT_TRUE(row.absent.empty() || text.find("\n" + row.absent) == std::string::npos) << row.absent;
        EXPECT_EQ(row.log == Log::text, std::regex_search(text, std::regex("\norvex_status_log_age_seconds 360[0-5]\n")));
        std::string out;
        EXPECT_TRUE(!promtool || Shell("promtool check metrics <'" + output.string() + "'", out) == 0) << out;
        EXPECT_EQ(out, "") << text;
        // The JSON document gives the same age, or null.
        const nlohmann::json doc = nlohmann::json::parse(RunCheck({"--json", install.dir.string()}, install.dir).out);
        const nlohmann::json& age = doc["statusLogAgeSeconds"];
        EXPECT_TRUE(row.log == Log::text ? age.is_number() && age.get<double>() >= 3600 && age.get<double>() <= 3605
                                         : row.log == Log::unreadable || age.is_null())
            << age;
    }
    if (!promtool) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus, which ./dev setup installs)";
    }
}

TEST(ProbeFormats, OutputReplacesItsFileWholeOrLeavesItAsItWas) {
    const std::string rules = "a=alpha,up,kernel\n";
    const Installation install(&rules, &rules);
    const Installation withoutLog(&rules, nullptr);
    const fs::path output = install.dir / "orvex.prom";
    // A file size limit of 0 makes every write fail (EFBIG) rather than end the process.
    const std::string full = "trap '' XFSZ; ulimit -f 0; ";
    const struct {
        std::vector<std::string> arguments;
        std::string limits;
        int status;
        std::string begins;  // what the file then begins with
        bool logMissing = false;
    } rows[] = {
        {{"--format", "prometheus"}, "", 0, "# HELP orvex_probe_success "},
        {{"--json"}, "", 0, "{\n  \"tool\": \"orvexcheck\""},
        {{"--format", "json"}, "", 0, "{\n  \"tool\": \"orvexcheck\""},
        {{}, "", 0, "Definitions: "},
        // A check without a verdict replaces the file with its report, in every format.
        {{}, "", 2, "Failure while opening file: " + withoutLog.files.statusLog + "\n", true},
        {{"--format", "plugin"}, "", 3, "ORVEX UNKNOWN - Failure while opening file: ", true},
        {{"--json"}, "", 2, "{\n  \"tool\": \"orvexcheck\"", true},
        {{"--format", "prometheus"}, "", 2, "# HELP orvex_probe_success ", true},
        {{"--format", "prometheus"}, full, 4, "old"},
        {{"--format", "plugin"}, full, 3, "old"},
        {{}, full, 4, "old"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.limits + (row.arguments.empty() ? "text" : row.arguments.back()));
        std::ofstream(output, std::ios::binary) << "old";
        std::vector<std::string> arguments = row.arguments;
        arguments.insert(arguments.end(),
                         {"--output", output.string(), (row.logMissing ? withoutLog : install).dir.string()});
        EXPECT_EQ(RunCheck(arguments, install.dir / "logs" / "run", row.limits).status, row.status);
        EXPECT_EQ(check::test::ReadWhole(output).rfind(row.begins, 0), 0U);
        EXPECT_EQ(std::distance(fs::directory_iterator(install.dir), fs::directory_iterator()), 3) << "a file left";
    }
    const fs::path nowhere = install.dir / "no such folder" / "orvex.prom";
    const check::test::ProcessRun run = RunCheck({"--output", nowhere.string(), install.dir.string()}, install.dir);
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "Failure while writing file: " + nowhere.string() + " (2)\n");
}

// A loopback port that nothing listens on just now.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : -1;
}

// node_exporter's textfile collector, as windows_exporter's reads the same
// format: the gauges orvexcheck wrote with --output come back on /metrics.
TEST(ProbeFormats, NodeExporterServesTheGauges) {
    const std::string exporter = "/usr/bin/prometheus-node-exporter";
    if (!fs::exists(exporter) || !fs::exists("/usr/bin/curl")) {
        GTEST_SKIP() << "prometheus-node-exporter or curl is missing (Debian packages, which ./dev setup installs)";
    }
    const std::string rules = "a=alpha,up,kernel\nb\"x=beta,up,kernel\n";
    const std::string log = "alpha up kernel\n";
    const Installation install(&rules, &log);
    const fs::path textfiles = install.dir / "textfile_inputs";
    fs::create_directory(textfiles);
    ASSERT_EQ(RunCheck({"--format", "prometheus", "--output", (textfiles / "orvex.prom").string(), install.dir.string()},
                       install.dir)
                  .status,
              1);

    const std::string port = std::to_string(FreePort());
    std::string pid;
    ASSERT_EQ(Shell(exporter + " --web.listen-address=127.0.0.1:" + port +
                        " --collector.disable-defaults --collector.textfile --collector.textfile.directory='" +
                        textfiles.string() + "' >'" + (install.dir / "exporter.log").string() + "' 2>&1 & echo $!",
                    pid),
              0);
    // Ended on every way out of the test, and waited for.
    const struct Kill {
        pid_t pid;
        ~Kill() {
            (void)kill(pid, SIGKILL);
            for (int k = 0; k < 200 && kill(pid, 0) == 0; ++k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    } guard{static_cast<pid_t>(std::stol(pid))};
    ASSERT_GT(guard.pid, 0);

    std::string metrics;
    for (int attempt = 0; attempt < 100 && metrics.find("\norvex_probe_success") == std::string::npos; ++attempt) {
        ASSERT_EQ(kill(guard.pid, 0), 0) << "the exporter ended:\n" << check::test::ReadWhole(install.dir / "exporter.log");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        (void)Shell("curl -s --max-time 5 http://127.0.0.1:" + port + "/metrics", metrics);
    }
    // The exporter gives labels in the order of their names.
    for (const char* sample :
         {"orvex_probe_success 1", "orvex_components_defined 2", "orvex_components_found 1",
          "orvex_verdict{verdict=\"failed\"} 1", "orvex_component_found{definition_line=\"1\",key=\"a\"} 1",
          "orvex_component_found{definition_line=\"2\",key=\"b\\\"x\"} 0", "node_textfile_scrape_error 0"}) {
        EXPECT_NE(metrics.find(std::string("\n") + sample + "\n"), std::string::npos) << sample << "\nin\n" << metrics;
    }
}
#endif

}  // namespace
