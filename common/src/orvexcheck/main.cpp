// Process entry of orvexcheck: finds the installation, prints the host's
// verdict on its files with the explanation, and ends with the verdict as
// its exit status. It only reads the two files.
#include <cstdio>
#include <ios>
#include <string>

#include "Explanation.h"

#ifdef _WIN32
#include <windows.h>

#include <array>

#include "HostLogic.h"
#else
#include <filesystem>
#include <system_error>
#endif

namespace {

constexpr int kConfirmed = 0;
constexpr int kFailed = 1;
constexpr int kCannotOpen = 2;
constexpr int kNoExecutablePath = 3;
constexpr int kUsageError = 64;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

constexpr const char* kUsage =
    "Usage: orvexcheck [INSTALL_DIR]\n"
    "Gives the verdict the service host would reach on INSTALL_DIR's etc\\status.properties\n"
    "and logs\\orvexStatus.log, and explains it: each component with the log line that\n"
    "marked it, or the nearest line and the texts it lacks; the warnings; the verdict.\n"
    "Without INSTALL_DIR: the installation orvexcheck lies in (the parent of its folder).\n"
    "Only reads the two files; needs no administrator rights and no service.\n"
    "Texts stand in double quotes; white space at their ends and control characters\n"
    "show as <SP>, <TAB>, <CR>, <LF>, <VT>, <FF> or <0xNN>.\n"
    "Exit status: 0 the start would be confirmed, 1 components would be named as failed,\n"
    "2 a file cannot be opened, 3 the executable's path cannot be obtained, 64 usage error.\n";

// The installation this executable lies in, as the host finds its own; false
// when the executable's path cannot be obtained.
bool FindOwnInstallDir(const char* argv0, std::string& installDir) {
#ifdef _WIN32
    (void)argv0;
    std::array<char, MAX_PATH> path{};
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), MAX_PATH);
    const DWORD error = GetLastError();
    // A result of MAX_PATH means the path was cut.
    if (length == 0 || length >= MAX_PATH) {
        (void)std::fprintf(stderr, orvex::text::kNoModulePath, static_cast<int>(error));
        return false;
    }
    installDir = orvex::check::InstallDirOf(std::string(path.data(), length), kSeparator);
#else
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        path = std::filesystem::absolute(argv0, error);
    }
    if (error) {
        (void)std::fprintf(stderr, "Cannot obtain executable path (%d)\n", error.value());
        return false;
    }
    installDir = orvex::check::InstallDirOf(path.string(), kSeparator);
#endif
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string installDir;
    if (argc > 2) {
        (void)std::fputs(kUsage, stderr);
        return kUsageError;
    }
    if (argc == 2) {
        const std::string argument = argv[1];
        if (argument == "-h" || argument == "--help") {
            (void)std::fputs(kUsage, stdout);
            return kConfirmed;
        }
        if (argument.empty()) {
            (void)std::fputs(kUsage, stderr);
            return kUsageError;
        }
        if (argument[0] == '-') {
            (void)std::fprintf(stderr, "orvexcheck: unknown option %s\n", argument.c_str());
            (void)std::fputs(kUsage, stderr);
            return kUsageError;
        }
        installDir = argument;
    } else if (!FindOwnInstallDir(argc > 0 ? argv[0] : "", installDir)) {
        return kNoExecutablePath;
    }

    const orvex::check::CheckedFiles files = orvex::check::FilesUnder(installDir, kSeparator);
    try {
        const orvex::check::Explanation explanation = orvex::check::Explain(files.properties, files.statusLog);
        (void)std::fputs(orvex::check::Render(explanation, files.properties, files.statusLog).c_str(), stdout);
        return explanation.confirmed ? kConfirmed : kFailed;
    } catch (const std::ios_base::failure& failure) {
        (void)std::fprintf(stderr, "%s\n", failure.what());
        return kCannotOpen;
    }
}
