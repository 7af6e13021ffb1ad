// orvexcheck's explanations, warnings and exit statuses on small installations.
#include "ExplainPasses.h"
#include "Explanation.h"
#include "InstallPaths.h"
#include "JsonReport.h"
#include "JsonWriter.h"
#include "TextReport.h"

#include "CheckInstallation.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ios>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>

#include "JsonAgreement.h"
#endif

// Under ASan a process cannot start in little address space.
#if defined(__SANITIZE_ADDRESS__)
#define ORVEX_ADDRESS_SANITIZER
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVEX_ADDRESS_SANITIZER
#endif
#endif

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

using orvex::check::test::Installation;
#ifdef ORVEX_CHECK_PATH
using orvex::check::test::ProcessRun;
using orvex::check::test::RunCheck;
#endif

const std::string kFailed = "Following ORVEX components did not started successfully or did not join the kernel. ";

struct Case {
    const char* what;
    std::string rules;
    std::string log;
    std::vector<std::string> lines;  // lines the report holds
    int exitStatus;
};

TEST(OrvexCheck, ExplainsVerdictsAndWarnsOfWhatChangesThem) {
    const std::string longText(260, 'z');
    const std::vector<Case> cases = {
        {"found", "# c\na=alpha,up,kernel\n", "x\nalpha up kernel\n",
         {"status.properties line 2: \"alpha\" \"up\" \"kernel\"", "    found: log line 2", "Warnings: none",
          "1 of 1 component found: every component came up (ORVEX for Quellon 6.1 Service successfully started.)"},
         0},
        {"nearest line lacks one text", "a=alpha,up,kernel\n", "alpha\nalpha up\nup kernl\n",
         {"    NOT FOUND. Nearest: log line 2, which lacks \"kernel\":", "    \"alpha up\"",
          "0 of 1 component found: " + kFailed + "alpha"},
         1},
        {"nearest line lacks two texts", "a=alpha,up,kernel\nb=beta,up,kernel\n", "kernel\nalpha is down\n",
         {"    NOT FOUND. Nearest: log line 1, which lacks \"alpha\" and \"up\":", "    \"alpha\" first stands in log line 2:",
          "    \"alpha is down\"", "0 of 2 components found: " + kFailed + "alpha, beta"},
         1},
        {"no line holds a text", "a=alpha,up,kernel\n", "", {"    NOT FOUND: no log line holds any of its texts"}, 1},
        {"letter case and white space", "a=alpha ,Up,kernel\n", "alpha,up kernel\n",
         {"    NOT FOUND. Nearest: log line 1, which lacks \"alpha<SP>\" (the line holds it without the white space) "
          "and \"Up\" (the line holds it in another letter case):"},
         1},
        {"letter case and white space in one text", "a=alpha,Up ,kernel\n", "alpha,up,kernel\n",
         {"    NOT FOUND. Nearest: log line 1, which lacks \"Up<SP>\" (the line holds it in another letter case, "
          "without the white space):"},
         1},
        {"two identical definitions", "a=x,y,z\nb=z,y,x\n", "x y z\n",
         {"  status.properties line 2: the same three texts as line 1: each of them needs a log line of its own",
          "    NOT FOUND. Nearest: log line 1, which holds all three texts but marked the component of line 1 (a log "
          "line marks one component):"},
         1},
        {"the line marking another component is not that component's definition line", "# c\na=x,y,z\nb=z,y,x\n",
         "q\nq\nx y z\n",
         {"    NOT FOUND. Nearest: log line 3, which holds all three texts but marked the component of line 2 (a log "
          "line marks one component):"},
         1},
        {"fewer than three texts", "a=x,y\nb=x,y, \n", "",
         {"  status.properties line 1: holds \"=\" but defines nothing: 2 texts, three are needed",
          "  status.properties line 2: holds \"=\" but defines nothing: its third text is only white space",
          "0 of 0 components found: every component came up (ORVEX for Quellon 6.1 Service successfully started.)"},
         0},
        {"texts beyond the third", "a=x,y,z,w\n", "x y z\n",
         {"  status.properties line 1: 4 texts: only the first three are used, the rest is ignored"}, 0},
        {"white space at the ends of texts", "a=, x ,y,z\r", "x y z\n",
         {"  status.properties line 1: the first text \"<SP>x<SP>\" begins and ends with white space, which the log "
          "line must hold too",
          "  status.properties line 1: the third text \"z<CR>\" ends with white space, which the log line must hold "
          "too"},
         1},
        {"long lines", "a=x,y," + longText + "\n", "x " + longText + " y\nq\n" + longText + "\n",
         {"  status.properties line 1: longer than 255 characters: the rest of the line is ignored",
          "    NOT FOUND. Nearest: log line 1, which lacks \"y\":",
          "  orvexStatus.log line 1: longer than 255 characters, as in 1 more line after it: only the first 255 "
          "characters of a line are searched",
          "    (the line is longer than 255 characters: only its first 255 are searched)"},
         1},
        {"lines of 255 characters before a carriage return are read whole",
         std::string(249, 'k') + "=x,y,z\r\n", std::string(250, '.') + "x y z\r\n",
         {"    found: log line 1", "Warnings: none"},
         0},
        {"NUL bytes", "a=x,y,z\0w\nb=p,q\0,r\n"s, "p\0q r\nx y z\n"s,
         {"  status.properties line 1: a NUL byte ends the line: the rest of it is ignored",
          "  status.properties line 2: holds \"=\" but defines nothing: 2 texts, three are needed",
          "  orvexStatus.log line 1: a NUL byte ends the line's text: the rest of a line is not searched"},
         0},
        {"Ctrl-Z bytes", "a=x,y,z\n\x1A\nb=p,q,r\n", "x y\nq \x1A z\n",
         {"  status.properties line 2: a Ctrl-Z byte ends the file here: nothing after it is read",
          "  orvexStatus.log line 2: a Ctrl-Z byte ends the file here: nothing after it is read"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Installation install(&c.rules, &c.log);
        const orvex::check::Explanation explanation =
            orvex::check::Explain(install.files.properties, install.files.statusLog);
        const std::string report =
            orvex::check::RenderText(explanation, install.files.properties, install.files.statusLog);
        EXPECT_EQ(explanation.confirmed, c.exitStatus == 0);
        for (const std::string& line : c.lines) {
            EXPECT_NE(("\n" + report).find("\n" + line + "\n"), std::string::npos) << line << "\nin\n" << report;
        }
#ifdef ORVEX_CHECK_PATH
        const ProcessRun run = RunCheck({install.dir.string()}, install.dir);
        EXPECT_EQ(run.status, c.exitStatus);
        // The report, then the status log's age.
        EXPECT_EQ(run.out.substr(0, report.size()), report);
        EXPECT_TRUE(std::regex_match(run.out.substr(report.size()), std::regex("\nStatus log last written [0-9]+ s ago\n")))
            << run.out;
        EXPECT_EQ(run.err, "");
        const ProcessRun json = RunCheck({"--json", install.dir.string()}, install.dir);
        EXPECT_EQ(json.status, c.exitStatus);
        EXPECT_EQ(orvex::check::test::JsonDisagreement(
                      json.out, explanation, {install.dir.string(), install.files.properties, install.files.statusLog}),
                  "");
        EXPECT_EQ(json.err, "");
#endif
    }
}

TEST(OrvexCheck, FilesThatCannotBeReadWholeAndUsage) {
    const std::string text = "a=x,y,z\n";
    const Installation noLog(&text, nullptr);
    const Installation noDefinitions(nullptr, &text);
    // A directory where the definitions file should be.
    const Installation directory(nullptr, &text);
    fs::create_directory(directory.files.properties);
    struct Fault {
        const Installation* install;
        std::string path;
        std::string failure;
        std::string limits;  // shell commands before orvexcheck; where there are none, Explain fails too
    };
    std::vector<Fault> faults = {
        {&noLog, noLog.files.statusLog, "Failure while opening file: ", ""},
        {&noDefinitions, noDefinitions.files.properties, "Failure while opening file: ", ""},
        {&directory, directory.files.properties, "Failure while opening file: ", ""},
    };
#ifdef __linux__
    // A log that opens but cannot be read: never taken for an empty one.
    const Installation unreadable(&text, nullptr);
    fs::create_symlink("/proc/self/mem", unreadable.files.statusLog);
    faults.push_back({&unreadable, unreadable.files.statusLog, "Failure while reading file: ", ""});
#endif
#if defined(__linux__) && !defined(ORVEX_ADDRESS_SANITIZER)
    // Definitions that need more memory than orvexcheck is given (some 35 MB
    // where it may have 16 MB): an error, never a crash or a verdict.
    std::string many;
    for (int k = 0; k < 20000; ++k) {
        const std::string number = std::to_string(k);
        many += "k=" + number + std::string(20, 'a') + "," + number + "," + number + "\n";
    }
    const Installation huge(&many, &text);
    faults.push_back({&huge, "", "Failure while checking: std::bad_alloc", "ulimit -v 16384; "});
#endif
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.failure + fault.path);
        const Installation* install = fault.install;
        try {
            if (fault.limits.empty()) {
                (void)orvex::check::Explain(install->files.properties, install->files.statusLog);
                ADD_FAILURE() << "no failure for " << fault.path;
            }
        } catch (const std::ios_base::failure& failure) {
            EXPECT_EQ(failure.what(), fault.failure + fault.path);
        }
#ifdef ORVEX_CHECK_PATH
        const ProcessRun run = RunCheck({install->dir.string()}, install->dir, fault.limits);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, fault.failure + fault.path + "\n");
        // A script that asked for JSON still gets a document, with the host's text.
        const ProcessRun json = RunCheck({install->dir.string(), "--json"}, install->dir, fault.limits);
        EXPECT_EQ(json.status, 2);
        const nlohmann::json doc = nlohmann::json::parse(json.out);
        EXPECT_EQ(doc["error"], fault.failure + fault.path);
        EXPECT_EQ(doc["installDir"], install->dir.string());
        EXPECT_TRUE(doc["verdict"].is_null());
        EXPECT_EQ(json.err, "");
#endif
    }
#ifdef ORVEX_CHECK_PATH
    // Without an argument: the parent of the executable's directory.
    const fs::path own = fs::path(ORVEX_CHECK_PATH).parent_path().parent_path();
    if (!fs::exists(own / "etc")) {
        EXPECT_EQ(RunCheck({}, noLog.dir).err, "Failure while opening file: " + (own / "etc/status.properties").string() + "\n");
    }
    for (const std::vector<std::string>& usage :
         {std::vector<std::string>{"-x"}, {"a", "b"}, {"--json", "a", "b"}, {""}, {"--json", "--json"},
          {"--format"}, {"--format", "xml"}, {"--json", "--format", "json"}, {"--output"}, {"--output", ""},
          {"--output", "a", "--output", "b"}, {"--timeout", "5"}, {"--refresh"}, {"--refresh", "--timeout", "5"}}) {
        const ProcessRun run = RunCheck(usage, noLog.dir);
        EXPECT_EQ(run.status, 64) << usage.size();
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(RunCheck({"--help"}, noLog.dir).status, 0);
    EXPECT_EQ(RunCheck({"--help"}, noLog.dir).out.rfind("Usage: orvexcheck [--format text|json|plugin|prometheus]", 0), 0U);
    // Natively there is no status script to run.
    EXPECT_EQ(RunCheck({"--refresh", noLog.dir.string()}, noLog.dir).err.rfind("orvexcheck: --refresh needs Windows", 0), 0U);
#ifdef __linux__
    // Standard output on a full disk: a report that cannot be written whole
    // has an exit status of its own, never the verdict's. A message that goes
    // to standard error keeps its own.
    const Installation whole(&text, &text);
    const std::string writeFailure = "Failure while writing to standard output (" + std::to_string(ENOSPC) + ")\n";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string err;
    } full[] = {
        {{whole.dir.string()}, 4, writeFailure},
        {{"--json", whole.dir.string()}, 4, writeFailure},
        {{"--json", noLog.dir.string()}, 4, writeFailure},
        {{"--help"}, 4, writeFailure},
        {{noLog.dir.string()}, 2, "Failure while opening file: " + noLog.files.statusLog + "\n"},
    };
    for (const auto& row : full) {
        const ProcessRun run = RunCheck(row.arguments, whole.dir, "", "/dev/full");
        EXPECT_EQ(run.status, row.status) << row.arguments[0];
        EXPECT_EQ(run.err, row.err) << row.arguments[0];
    }
#endif
#endif
}

TEST(OrvexCheck, LogChangedBetweenTheVerdictAndItsExplanation) {
    // The verdict is the first pass's; the second pass reads no further than
    // the lines the first read, never takes a line holding all three texts for
    // one that marked another component, and a log gone leaves no nearest line.
    const std::string rules = "a=x,y,z\n";
    const std::string first = "q\nq";  // two lines
    const std::vector<std::pair<const char*, std::uint64_t>> rows = {{"x y\nx y z\n", 1}, {"q\nq\nx\n", 0}, {nullptr, 0}};
    for (const auto& [log, nearest] : rows) {
        SCOPED_TRACE(log == nullptr ? "no log" : log);
        const Installation install(&rules, &first);
        orvex::check::Explanation explanation;
        std::vector<orvex::ComponentRule> components =
            orvex::check::ReadExplainedDefinitions(install.files.properties, explanation);
        orvex::check::ScanForVerdict(install.files.statusLog, components, explanation);
        fs::remove(install.files.statusLog);
        if (log != nullptr) {
            std::ofstream(install.files.statusLog, std::ios::binary) << log;
        }
        orvex::check::ExplainMissing(install.files.statusLog, components, explanation);
        EXPECT_EQ(explanation.components[0].nearest.number, nearest);
        EXPECT_EQ(explanation.components[0].nearest.markedInstead, orvex::ComponentMatcher::noComponent);
    }
}

// Bytes of the system's code page become valid UTF-8 in a JSON string, control
// characters escaped, whatever a product file holds.
TEST(OrvexCheck, JsonStringsAreValidForAnyBytes) {
    using namespace std::string_literals;
    const struct {
        const char* what;
        std::string bytes;
        std::string json;
    } rows[] = {
        {"plain text", "alpha up", "\"alpha up\""},
        {"control bytes", "\x01\x08\x0C\x1B\x1F\x7F", "\"\\u0001\\u0008\\u000c\\u001b\\u001f\\u007f\""},
        {"NUL", "a\0b"s, "\"a\\u0000b\""},
        {"a lone carriage return, a tab and a line feed", "a\rb\tc\n", "\"a\\rb\\tc\\n\""},
        {"quotes and backslashes", "C:\\a \"b\"", "\"C:\\\\a \\\"b\\\"\""},
#ifndef _WIN32
        {"0x80 to 0xFF as U+0080 to U+00FF", "\x80\xA0\xE9\xFF", "\"\xC2\x80\xC2\xA0\xC3\xA9\xC3\xBF\""},
#endif
    };
    for (const auto& row : rows) {
        EXPECT_EQ(orvex::check::JsonString(row.bytes), row.json) << row.what;
    }

    std::string every;
    for (int byte = 0; byte < 256; ++byte) {
        every += static_cast<char>(byte);
    }
    const std::string json = orvex::check::JsonString(every);
#ifdef _WIN32
    // The bytes from 0x80 on as the active code page reads them, in valid UTF-8.
    const auto decode = [](UINT page, const std::string& text, DWORD flags) {
        std::wstring wide(text.size() + 1, L'\0');
        const int size = MultiByteToWideChar(page, flags, text.data(), static_cast<int>(text.size()), wide.data(),
                                             static_cast<int>(wide.size()));
        wide.resize(static_cast<std::size_t>(size));
        return wide;
    };
    const std::string high = every.substr(0x80);
    const std::string highJson = orvex::check::JsonString(high);
    EXPECT_EQ(decode(CP_UTF8, highJson.substr(1, highJson.size() - 2), MB_ERR_INVALID_CHARS), decode(CP_ACP, high, 0));
    EXPECT_EQ(json.substr(0, 7), "\"\\u0000");
#else
    const nlohmann::json parsed = nlohmann::json::parse(json);
    EXPECT_EQ(orvex::check::test::Bytes(parsed.get<std::string>()), every);
#endif
}

TEST(OrvexCheck, InstallDirectoryOfTheExecutable) {
    EXPECT_EQ(orvex::check::InstallDirOf("C:\\Program Files\\ORVEX\\bin\\orvexcheck.exe", '\\'), "C:\\Program Files\\ORVEX");
    EXPECT_EQ(orvex::check::InstallDirOf("C:\\orvexcheck.exe", '\\'), "C:");
    EXPECT_EQ(orvex::check::InstallDirOf("/opt/orvex/bin/orvexcheck", '/'), "/opt/orvex");
    const orvex::check::CheckedFiles files = orvex::check::FilesUnder("C:\\ORVEX\\", '\\');
    EXPECT_EQ(files.properties, "C:\\ORVEX\\etc\\status.properties");
    EXPECT_EQ(files.statusLog, "C:\\ORVEX\\logs\\orvexStatus.log");
    EXPECT_EQ(orvex::check::FilesUnder("/srv/orvex/", '/').statusLog, "/srv/orvex/logs/orvexStatus.log");
}

}  // namespace
