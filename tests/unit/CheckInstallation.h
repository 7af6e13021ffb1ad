// The orvexcheck tests' small installations, and the native orvexcheck run on them.
#ifndef ORVEX_TESTS_CHECK_INSTALLATION_H
#define ORVEX_TESTS_CHECK_INSTALLATION_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ios>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "InstallPaths.h"

namespace orvex::check::test {

namespace fs = std::filesystem;

// An install directory holding the two files (a null text: no such file), removed at the end.
class Installation {
public:
    Installation(const std::string* rules, const std::string* log) {
        static std::mt19937_64 random{std::random_device{}()};
        dir = fs::temp_directory_path() / ("orvexcheck-" + std::to_string(random()));
        fs::create_directories(dir / "etc");
        fs::create_directories(dir / "logs");
        files = orvex::check::FilesUnder(dir.string(), static_cast<char>(fs::path::preferred_separator));
        if (rules != nullptr) {
            std::ofstream(files.properties, std::ios::binary) << *rules;
        }
        if (log != nullptr) {
            std::ofstream(files.statusLog, std::ios::binary) << *log;
        }
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
    ~Installation() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path dir;
    orvex::check::CheckedFiles files;
};

#ifdef ORVEX_CHECK_PATH
inline std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ProcessRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the orvexcheck executable with the arguments, in a shell that first
// runs limits, with its standard output to stdoutTo where that is given.
inline ProcessRun RunCheck(const std::vector<std::string>& arguments, const fs::path& scratch,
                    const std::string& limits = "", const std::string& stdoutTo = "") {
    const fs::path out = stdoutTo.empty() ? scratch.string() + ".out" : stdoutTo;
    const fs::path err = scratch.string() + ".err";
    std::string command = limits + "'" ORVEX_CHECK_PATH "'";
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    command += " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int result = std::system(command.c_str());
    ProcessRun run{WIFEXITED(result) ? WEXITSTATUS(result) : -1, stdoutTo.empty() ? ReadWhole(out) : "",
                   ReadWhole(err)};
    if (stdoutTo.empty()) {
        fs::remove(out);
    }
    fs::remove(err);
    return run;
}
#endif

}  // namespace orvex::check::test

#endif
