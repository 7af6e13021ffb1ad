// Process entry of orvexcheck: finds the installation, prints the host's
// verdict on its files in the format asked for, and ends with the verdict as
// its exit status. Without --refresh it only reads the two files. A failure
// never ends as a verdict: an exception is an error of its own, and so is a
// report that cannot be written whole.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <ios>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Explanation.h"
#include "InstallPaths.h"
#include "JsonReport.h"
#include "Pieces.h"
#include "PluginReport.h"
#include "Probe.h"
#include "Report.h"
#include "ReportFile.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <array>

#include "HostLogic.h"
#else
#include <csignal>
#include <filesystem>
#include <system_error>
#endif

namespace {

namespace check = orvex::check;
using check::Format;

constexpr int kConfirmed = 0;
constexpr int kFailed = 1;
constexpr int kCannotOpen = 2;  // also any other failure that leaves no verdict
constexpr int kNoExecutablePath = 3;
constexpr int kCannotWrite = 4;
constexpr int kUsageError = 64;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

constexpr const char* kUsage =
    "Usage: orvexcheck [--format text|json|plugin|prometheus] [--json] [--output FILE]\n"
    "                  [--refresh [--timeout SECONDS]] [INSTALL_DIR]\n"
    "Gives the verdict the service host would reach on INSTALL_DIR's etc\\status.properties\n"
    "and logs\\orvexStatus.log, and explains it: each component with the log line that\n"
    "marked it, or the nearest line and the texts it lacks; the warnings; the verdict;\n"
    "how long ago the status log was written.\n"
    "Without INSTALL_DIR: the installation orvexcheck lies in (the parent of its folder).\n"
    "Without --refresh it only reads the two files; it needs no administrator rights\n"
    "and no service. Texts stand in double quotes; white space at their ends and control\n"
    "characters show as <SP>, <TAB>, <CR>, <LF>, <VT>, <FF> or <0xNN>.\n"
    "--format text        the report above (the default).\n"
    "--format json, --json  the same as one JSON document in UTF-8, also when a file\n"
    "                     cannot be read.\n"
    "--format plugin      one line for monitoring plugins: \"ORVEX OK - ...\",\n"
    "                     \"ORVEX CRITICAL - ...\" or \"ORVEX UNKNOWN - ...\", with performance data.\n"
    "--format prometheus  gauges in Prometheus' text format, for a textfile collector.\n"
    "--output FILE        writes the report to FILE, a failed check's too, replacing it\n"
    "                     whole (a temporary file beside it, renamed over it); a failed\n"
    "                     write leaves FILE as it was.\n"
    "--refresh            (Windows) first runs bin\\orvexStatus.bat as the service does,\n"
    "                     in a job that ends it and all it started when orvexcheck ends.\n"
    "                     It takes turns with every other run of the script, the service's\n"
    "                     startup check included, and keeps the turn until its report is\n"
    "                     written; nothing is run until the service's startup check has\n"
    "                     given its verdict. SYSTEM and Administrators alone may take the\n"
    "                     turn. A status log that the script did not rewrite gives no\n"
    "                     verdict (unknown).\n"
    "--timeout SECONDS    the bound of the refresh, 1 to 120 (default 120).\n"
    "Exit status: 0 the start would be confirmed, 1 components would be named as failed,\n"
    "2 no verdict: a file cannot be opened or read, a refresh gave no fresh status log,\n"
    "or the check failed otherwise, 3 the executable's path cannot be obtained, 4 the\n"
    "report cannot be written, 64 usage error. With --format plugin: 0 OK, 2 CRITICAL,\n"
    "3 UNKNOWN (no verdict, --help, or any failure of orvexcheck).\n";

// Writes text to a standard stream, its bytes as they are, flushed: false where that
// fails (a full disk, a closed pipe), with the reason on standard error.
bool Print(const std::string& text, std::FILE* stream = stdout) {
    if (std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0) {
        return true;
    }
    (void)std::fprintf(stderr, "Failure while writing to standard %s (%d)\n", stream == stdout ? "output" : "error",
                       errno);
    return false;
}

// What is known of one run, filled in as it goes, so that a failure at any
// point still gets the report its format asks for.
struct Probe {
    check::Options options;
    check::Checked checked;
    check::ProbeFacts facts;
};

#ifdef _WIN32
using Turn = check::RefreshTurn;
#else
struct Turn {};  // natively no refresh runs
#endif

// The report to --output's file, or to standard output; a person reads a failed text
// report on standard error.
bool Emit(const check::Options& options, const std::string& text, bool failed) {
    if (options.output.empty()) {
        return Print(text, failed && options.format == Format::text ? stderr : stdout);
    }
    std::string error;
    if (check::ReplaceWhole(options.output, text, error)) {
        return true;
    }
    (void)std::fprintf(stderr, "%s\n", error.c_str());
    return false;
}

int Usage(const std::string& problem, bool plugin) {
    (void)std::fprintf(stderr, "orvexcheck: %s\n", problem.c_str());
    (void)std::fputs(kUsage, stderr);
    if (plugin) {
        (void)Print(check::RenderPluginUnknown("orvexcheck: " + problem, {}));
    }
    return kUsageError;
}

// The installation this executable lies in, as the host finds its own; false,
// with error set to the message, when the executable's path cannot be obtained.
bool FindOwnInstallDir(const char* argv0, std::string& installDir, std::string& error) {
#ifdef _WIN32
    (void)argv0;
    std::array<char, MAX_PATH> path{};
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), MAX_PATH);
    const DWORD code = GetLastError();
    // A result of MAX_PATH means the path was cut.
    if (length == 0 || length >= MAX_PATH) {
        std::array<char, 64> message{};
        (void)std::snprintf(message.data(), message.size(), orvex::text::kNoModulePath, static_cast<int>(code));
        error = message.data();
        error.pop_back();  // the line end: the caller adds its own
        return false;
    }
    installDir = check::InstallDirOf(std::string(path.data(), length), kSeparator);
#else
    std::error_code code;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", code);
    if (code) {
        path = std::filesystem::absolute(argv0, code);
    }
    if (code) {
        error = "Cannot obtain executable path (" + std::to_string(code.value()) + ")";
        return false;
    }
    installDir = check::InstallDirOf(path.string(), kSeparator);
#endif
    return true;
}

// Ends a check that reached no verdict: its format's report of the failure, written
// where every report goes.
int Fail(const Probe& probe, const std::string& error, int status) {
    // Where the report is not a person's on standard error, the error is said there too.
    if (probe.options.format == Format::prometheus ||
        (probe.options.format == Format::text && !probe.options.output.empty())) {
        (void)std::fprintf(stderr, "%s\n", error.c_str());
    }
    const std::string report =
        check::RenderReport(probe.options.format, nullptr, probe.checked, probe.facts, error);
    return Emit(probe.options, report, true) ? status : kCannotWrite;
}

// The check. probe is filled in as soon as each part is known. A refresh takes turn,
// which stays taken until the report is written.
int Run(const std::vector<std::string>& arguments, const char* argv0, Probe& probe, Turn& turn) {
    const bool plugin = check::AsksForPlugin(arguments);
    if (plugin) {
        probe.options.format = Format::plugin;
    }
    check::Options options;
    const std::string problem = check::ParseCommandLine(arguments, options);
    if (!problem.empty()) {
        return Usage(problem, plugin);
    }
    probe.options = options;
    if (options.help) {
        // A plugin's --help ends as UNKNOWN, as the plugins' guidelines ask.
        probe.options.format = plugin ? Format::plugin : options.format;
        return !Print(kUsage) ? kCannotWrite : plugin ? kUsageError : kConfirmed;
    }
    probe.facts.timeUnix = check::UnixNow();
    probe.facts.refreshTimeoutSeconds = options.timeoutSeconds;

    std::string installDir = options.installDir;
    std::string error;
    if (!options.named && !FindOwnInstallDir(argv0, installDir, error)) {
        return Fail(probe, error, kNoExecutablePath);
    }
    const check::CheckedFiles files = check::FilesUnder(installDir, kSeparator);
    probe.checked = {installDir, files.properties, files.statusLog};
#ifdef _WIN32
    if (options.refresh) {
        probe.facts.refresh = turn.Refresh(installDir, files.statusLog, options.timeoutSeconds);
        probe.facts.timeUnix = check::UnixNow();
    }
#else
    (void)turn;
#endif
    probe.facts.logAgeSeconds = check::AgeSeconds(probe.facts.timeUnix, check::LastWriteUnix(files.statusLog));
    if (probe.facts.refresh && !check::GivesVerdict(*probe.facts.refresh)) {
        return Fail(probe, check::RefreshFailure(*probe.facts.refresh), kCannotOpen);
    }
    try {
        const check::Explanation explanation = check::Explain(files.properties, files.statusLog);
        const std::string report =
            check::RenderReport(options.format, &explanation, probe.checked, probe.facts, std::string());
        if (!Emit(options, report, false)) {
            return kCannotWrite;
        }
        return explanation.confirmed ? kConfirmed : kFailed;
    } catch (const std::ios_base::failure& failure) {
        return Fail(probe, failure.what(), kCannotOpen);
    }
}

// In the plugin format every status but a verdict's is UNKNOWN.
int PluginStatus(int status) {
    if (status == kConfirmed) {
        return check::kPluginOk;
    }
    return status == kFailed ? check::kPluginCritical : check::kPluginUnknown;
}

// The one probe of the process; its format also decides the status of an end through
// std::terminate.
Probe& TheProbe() {
    static Probe probe;
    return probe;
}

// An exception that escapes where nothing can catch it (too little memory while the
// error document itself is built, say) ends here rather than through abort(), whose
// status 3 would say that the executable's path cannot be obtained.
[[noreturn]] void EndWithoutVerdict() noexcept {
    try {
        const std::exception_ptr current = std::current_exception();
        if (current) {
            std::rethrow_exception(current);
        }
        (void)std::fputs("Failure while checking: an unknown exception\n", stderr);
    } catch (const std::exception& exception) {
        (void)std::fprintf(stderr, "Failure while checking: %s\n", exception.what());
    } catch (...) {
        (void)std::fputs("Failure while checking: an unknown exception\n", stderr);
    }
    std::_Exit(TheProbe().options.format == Format::plugin ? PluginStatus(kCannotOpen) : kCannotOpen);
}

}  // namespace

// Whatever else fails (memory for a huge definitions file in the 32-bit
// process, say) ends without a verdict, as a file that cannot be read does.
int main(int argc, char** argv) {
    (void)std::set_terminate(EndWithoutVerdict);
#ifndef _WIN32
    // A reader that went away makes a write fail, as on Windows, rather than end the process.
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef _WIN32
    // Reports are written as rendered: LF alone, which the collectors ask for.
    (void)_setmode(_fileno(stdout), _O_BINARY);
#endif
    Probe& probe = TheProbe();
    int status = kCannotOpen;
    // Declared first, so that it is released only when the report has been written.
    Turn turn;
    try {
        const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
        status = Run(arguments, argc > 0 ? argv[0] : "", probe, turn);
    } catch (const std::exception& exception) {
        status = Fail(probe, check::Cat({"Failure while checking: ", exception.what()}), kCannotOpen);
    } catch (...) {
        status = Fail(probe, "Failure while checking: an unknown exception", kCannotOpen);
    }
    return probe.options.format == Format::plugin ? PluginStatus(status) : status;
}
