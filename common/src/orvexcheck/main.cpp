// Process entry of orvexcheck: finds the installation, prints the host's
// verdict on its files with the explanation, and ends with the verdict as
// its exit status. It only reads the two files. A failure never ends as a
// verdict: an exception is an error of its own, and so is a report that
// cannot be written whole.
#include <cerrno>
#include <cstdio>
#include <exception>
#include <ios>
#include <string>

#include "Explanation.h"
#include "InstallPaths.h"
#include "JsonReport.h"
#include "Pieces.h"
#include "Refresh.h"
#include "TextReport.h"

#ifdef _WIN32
#include <windows.h>

#include <array>
#include <optional>

#include "HostLogic.h"
#include "JsonWriter.h"
#else
#include <csignal>
#include <filesystem>
#include <system_error>
#endif

namespace {

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
    "Usage: orvexcheck [--json] [INSTALL_DIR]\n"
    "Gives the verdict the service host would reach on INSTALL_DIR's etc\\status.properties\n"
    "and logs\\orvexStatus.log, and explains it: each component with the log line that\n"
    "marked it, or the nearest line and the texts it lacks; the warnings; the verdict.\n"
    "Without INSTALL_DIR: the installation orvexcheck lies in (the parent of its folder).\n"
    "Only reads the two files; needs no administrator rights and no service.\n"
    "Texts stand in double quotes; white space at their ends and control characters\n"
    "show as <SP>, <TAB>, <CR>, <LF>, <VT>, <FF> or <0xNN>.\n"
    "--json: the same as one JSON document in UTF-8, also when a file cannot be read.\n"
    "Exit status: 0 the start would be confirmed, 1 components would be named as failed,\n"
    "2 a file cannot be opened or read, or the check failed otherwise, 3 the executable's\n"
    "path cannot be obtained, 4 the report cannot be written, 64 usage error.\n";

// Writes text to standard output, flushed: false where that fails (a full
// disk, a closed pipe), with the reason on standard error.
bool Print(const std::string& text) {
    if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0) {
        return true;
    }
    (void)std::fprintf(stderr, "Failure while writing to standard output (%d)\n", errno);
    return false;
}

int Usage(const char* problem) {
    if (problem != nullptr) {
        (void)std::fprintf(stderr, "orvexcheck: %s\n", problem);
    }
    (void)std::fputs(kUsage, stderr);
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
    installDir = orvex::check::InstallDirOf(std::string(path.data(), length), kSeparator);
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
    installDir = orvex::check::InstallDirOf(path.string(), kSeparator);
#endif
    return true;
}

#ifdef _WIN32
// The document with the refresh's member added (and, where it gave no verdict, the
// verdict "unknown").
std::string WithRefresh(std::string document, const orvex::check::RefreshResult& result, unsigned timeout) {
    using orvex::check::RefreshOutcome;
    static const char* const kOutcomes[] = {"rewritten", "notRewritten", "timedOut", "serviceChecking", "busy",
                                            "cannotRun"};
    const bool ended = result.ran && !result.reachedBound;
    std::array<char, 32> seconds{};
    (void)std::snprintf(seconds.data(), seconds.size(), "%.3f", result.seconds);
    std::string notes;
    for (const std::string& note : result.notes) {
        notes += (notes.empty() ? "" : ", ") + orvex::check::JsonString(note);
    }
    const std::string member = orvex::check::Cat(
        {",\n  \"refresh\": {\"outcome\": \"", kOutcomes[static_cast<int>(result.outcome)],
         "\", \"ran\": ", result.ran ? "true" : "false",
         ", \"exitCode\": ", ended ? std::to_string(result.exitCode) : "null", ", \"seconds\": ", seconds.data(),
         ", \"reachedBound\": ", result.reachedBound ? "true" : "false",
         ", \"logRewritten\": ", result.logRewritten ? "true" : "false",
         ", \"timeoutSeconds\": ", std::to_string(timeout), ", \"detail\": ",
         orvex::check::JsonString(result.detail), ", \"notes\": [", notes, "]}"});
    const std::size_t null = document.find("\"verdict\": null");
    if (null != std::string::npos) {
        document.replace(null, 15, "\"verdict\": \"unknown\"");
    }
    document.insert(document.rfind("\n}"), member);
    return document;
}
#endif

// Ends a check that reached no verdict: a script that asked for JSON always
// gets a document, a person gets the message.
int Fail(bool json, const orvex::check::Checked& checked, const std::string& error, int status) {
    if (json) {
        return Print(orvex::check::RenderJsonError(checked, error)) ? status : kCannotWrite;
    }
    (void)std::fprintf(stderr, "%s\n", error.c_str());
    return status;
}

// The check. json and checked are set as soon as they are known, so that an
// exception still gets the document a script asked for.
int Run(int argc, char** argv, bool& json, orvex::check::Checked& checked) {
    std::string installDir;
    bool named = false;
    bool refresh = false;
    unsigned timeout = 0;
    for (int k = 1; k < argc; ++k) {
        const std::string argument = argv[k];
        if (argument == "-h" || argument == "--help") {
            return Print(kUsage) ? kConfirmed : kCannotWrite;
        }
        if (argument == "--json" && !json) {
            json = true;
        } else if (argument == "--refresh" && !refresh) {
            refresh = true;
        } else if (argument == "--timeout" && timeout == 0 && k + 1 < argc) {
            const std::string value = argv[++k];
            timeout = value.size() <= 3 && value.find_first_not_of("0123456789") == std::string::npos && !value.empty()
                          ? static_cast<unsigned>(std::stoul(value))
                          : 0;
            if (timeout < orvex::check::kMinRefreshTimeoutS || timeout > orvex::check::kMaxRefreshTimeoutS) {
                return Usage("--timeout takes 1 to 120 seconds");
            }
        } else if (argument.empty() || named) {
            return Usage(nullptr);
        } else if (argument[0] == '-') {
            return Usage(("unknown option " + argument).c_str());
        } else {
            installDir = argument;
            named = true;
        }
    }

    if (timeout != 0 && !refresh) {
        return Usage("--timeout needs --refresh");
    }
#ifdef _WIN32
    timeout = timeout != 0 ? timeout : orvex::check::kDefaultRefreshTimeoutS;
#else
    if (refresh) {
        return Usage("--refresh needs Windows: it runs the product's status script");
    }
#endif
    std::string error;
    if (!named && !FindOwnInstallDir(argc > 0 ? argv[0] : "", installDir, error)) {
        return Fail(json, checked, error, kNoExecutablePath);
    }
    const orvex::check::CheckedFiles files = orvex::check::FilesUnder(installDir, kSeparator);
    checked = {installDir, files.properties, files.statusLog};
#ifdef _WIN32
    std::optional<orvex::check::RefreshResult> refreshed;
    if (refresh) {
        refreshed = orvex::check::RefreshStatusLog(installDir, files.statusLog, timeout);
        if (!orvex::check::GivesVerdict(*refreshed)) {
            if (!json) {
                return Fail(false, checked, refreshed->detail, kCannotOpen);
            }
            return Print(WithRefresh(orvex::check::RenderJsonError(checked, refreshed->detail), *refreshed, timeout))
                       ? kCannotOpen
                       : kCannotWrite;
        }
    }
#endif
    try {
        const orvex::check::Explanation explanation = orvex::check::Explain(files.properties, files.statusLog);
        std::string report = json ? orvex::check::RenderJson(explanation, checked)
                                  : orvex::check::RenderText(explanation, files.properties, files.statusLog);
#ifdef _WIN32
        if (json && refreshed) {
            report = WithRefresh(report, *refreshed, timeout);
        }
#endif
        if (!Print(report)) {
            return kCannotWrite;
        }
        return explanation.confirmed ? kConfirmed : kFailed;
    } catch (const std::ios_base::failure& failure) {
        return Fail(json, checked, failure.what(), kCannotOpen);
    }
}

}  // namespace

// Whatever else fails (memory for a huge definitions file in the 32-bit
// process, say) ends without a verdict, as a file that cannot be read does.
int main(int argc, char** argv) {
#ifndef _WIN32
    // A reader that went away makes a write fail, as on Windows, rather than end the process.
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
    bool json = false;
    orvex::check::Checked checked;
    try {
        return Run(argc, argv, json, checked);
    } catch (const std::exception& exception) {
        return Fail(json, checked, orvex::check::Cat({"Failure while checking: ", exception.what()}), kCannotOpen);
    } catch (...) {
        return Fail(json, checked, "Failure while checking: an unknown exception", kCannotOpen);
    }
}
