#include "Harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace orvex::test {

namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a Linux command with the given environment; no shell.
RunResult SpawnHost(const std::vector<std::string>& command,
                    const std::map<std::string, std::string>& environment,
                    const std::string& stdoutPath, const std::string& stderrPath,
                    int timeoutSeconds) {
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        setpgid(0, 0);
        for (const auto& [name, value] : environment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        for (const std::string& part : command) {
            argv.push_back(const_cast<char*>(part.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!result.timedOut && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    if (stdoutPath != "/dev/null") {
        result.output = ReadWhole(stdoutPath);
    }
    return result;
}

std::map<std::string, std::string> BaseEnvironment(const std::string& prefix) {
    return {{"WINEPREFIX", prefix},
            {"WINELOADER", ORVEX_WINE_LOADER},
            {"WINEDLLOVERRIDES", "mscoree,mshtml="},
            {"WINEDEBUG", "-all"},
            {"DISPLAY", ""}};
}

void RunOrThrow(const std::vector<std::string>& command, const std::string& prefix,
                const std::string& what) {
    const RunResult result = SpawnHost(command, BaseEnvironment(prefix), "/dev/null", "/dev/null", 120);
    if (result.exitCode != 0) {
        throw std::runtime_error(what + " failed");
    }
}

// One booted prefix is made once per build tree and copied for every test.
std::string TemplatePrefix() {
    const std::string templateDir = ORVEX_WINE_WORK_DIR "/template";
    const std::string lockPath = ORVEX_WINE_WORK_DIR "/template.lock";
    fs::create_directories(ORVEX_WINE_WORK_DIR);
    const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT, 0644);
    flock(lock, LOCK_EX);
    if (!fs::exists(templateDir + "/.ready")) {
        fs::remove_all(templateDir);
        RunOrThrow({ORVEX_WINE_LOADER, "wineboot", "-i"}, templateDir, "wineboot");
        RunOrThrow({"wineserver", "-w"}, templateDir, "wineserver -w");
        std::ofstream(templateDir + "/.ready") << "ready\n";
    }
    flock(lock, LOCK_UN);
    close(lock);
    return templateDir;
}

std::string Unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        const char next = text[++i];
        switch (next) {
            case 'n': plain += '\n'; break;
            case 'r': plain += '\r'; break;
            case 't': plain += '\t'; break;
            default:
                if (std::isxdigit(static_cast<unsigned char>(next)) && i + 3 < text.size()) {
                    plain += static_cast<char>(std::stoi(text.substr(i, 4), nullptr, 16));
                    i += 3;
                } else {
                    plain += next;
                }
        }
    }
    return plain;
}

}  // namespace

std::string Describe(const std::vector<Event>& events) {
    std::ostringstream out;
    for (const Event& event : events) {
        out << event.time << " pid " << event.pid << " type " << event.type << ": " << event.text
            << (event.cut ? "..." : "") << "\n";
    }
    return out.str();
}

std::string Describe(const std::vector<Process>& processes) {
    std::ostringstream out;
    for (const Process& process : processes) {
        out << "  pid " << process.pid << " " << process.name << " (parent " << process.parent << "): "
            << (!process.commandLine.empty() ? process.commandLine
                                             : !process.image.empty() ? process.image + " (command line unreadable)"
                                                                      : "(gone, or not readable)")
            << "\n";
    }
    return out.str();
}

WineBed::WineBed(std::string installDir) : installDir_(std::move(installDir)) {
    const std::string templateDir = TemplatePrefix();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "bed";
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    prefix_ = std::string(ORVEX_WINE_WORK_DIR) + "/beds/" + name + "-" + std::to_string(getpid());
    eventsPath_ = prefix_ + ".events.log";
    // What a crashed earlier run left behind.
    SpawnHost({"wineserver", "-k"}, BaseEnvironment(prefix_), "/dev/null", "/dev/null", 30);
    fs::remove_all(prefix_);
    fs::create_directories(fs::path(prefix_).parent_path());
    RunOrThrow({"cp", "-a", templateDir, prefix_}, prefix_, "copying the template prefix");
    std::ofstream(eventsPath_, std::ios::trunc).close();

    // Keeps services alive between commands; services inherit the booting process's
    // stderr and debug channels, which is how their event-log entries are captured.
    RunOrThrow({"wineserver", "-p"}, prefix_, "wineserver -p");
    auto environment = Environment(true);
    SpawnHost({ORVEX_WINE_LOADER, "cmd", "/c", "exit"}, environment, "/dev/null", eventsPath_, 120);

    const std::string bin = BinDir();
    fs::create_directories(HostPath(bin));
    fs::create_directories(HostPath(installDir_ + "\\logs"));
    fs::create_directories(HostPath(installDir_ + "\\etc"));
    fs::copy_file(std::string(ORVEX_TEST_BED) + "/orvex.exe", HostPath(ExePath()));
    fs::copy_file(std::string(ORVEX_TEST_BED) + "/svcctl.exe", HostPath(HelperPath()));
}

WineBed::~WineBed() {
    SpawnHost({"wineserver", "-k"}, BaseEnvironment(prefix_), "/dev/null", "/dev/null", 60);
    SpawnHost({"wineserver", "-w"}, BaseEnvironment(prefix_), "/dev/null", "/dev/null", 60);
    const bool failed = ::testing::UnitTest::GetInstance()->current_test_info() != nullptr &&
                        ::testing::Test::HasFailure();
    if (!failed) {
        fs::remove_all(prefix_);
        fs::remove(eventsPath_);
    } else {
        std::fprintf(stderr, "Wine prefix kept for inspection: %s\n", prefix_.c_str());
    }
}

std::string WineBed::HostPath(const std::string& windowsPath) const {
    // Only C: paths are used by the tests.
    std::string rest = windowsPath.substr(2);
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    return prefix_ + "/drive_c" + rest;
}

void WineBed::WriteFile(const std::string& windowsPath, const std::string& content) const {
    const std::string path = HostPath(windowsPath);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string WineBed::ReadFile(const std::string& windowsPath) const {
    return ReadWhole(HostPath(windowsPath));
}

bool WineBed::Exists(const std::string& windowsPath) const {
    return fs::exists(HostPath(windowsPath));
}

void WineBed::Remove(const std::string& windowsPath) const {
    fs::remove_all(HostPath(windowsPath));
}

void WineBed::WriteProductFile(const std::string& relative, const std::string& content) const {
    WriteFile(installDir_ + "\\" + relative, content);
}

std::string WineBed::ReadProductFile(const std::string& relative) const {
    return ReadFile(installDir_ + "\\" + relative);
}

bool WineBed::ProductFileExists(const std::string& relative) const {
    return Exists(installDir_ + "\\" + relative);
}

std::map<std::string, std::string> WineBed::Environment(bool captureEvents) const {
    auto environment = BaseEnvironment(prefix_);
    if (captureEvents) {
        environment["WINEDEBUG"] = "-all,+eventlog,+pid,+timestamp";
    }
    return environment;
}

RunResult WineBed::Spawn(const std::vector<std::string>& command, bool captureEvents,
                         int timeoutSeconds) const {
    const std::string stdoutPath = prefix_ + ".stdout." + std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()));
    RunResult result = SpawnHost(command, Environment(captureEvents), stdoutPath,
                                 captureEvents ? eventsPath_ : "/dev/null", timeoutSeconds);
    fs::remove(stdoutPath);
    return result;
}

RunResult WineBed::Run(const std::vector<std::string>& arguments, int timeoutSeconds) const {
    std::vector<std::string> command{ORVEX_WINE_LOADER};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return Spawn(command, true, timeoutSeconds);
}

RunResult WineBed::Orvex(const std::string& argument, int timeoutSeconds) const {
    return Run({ExePath(), argument}, timeoutSeconds);
}

RunResult WineBed::OrvexKeepingErrors(const std::string& argument, int timeoutSeconds,
                                      const std::string& traceChannel) const {
    const std::string suffix = std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()));
    const std::string stdoutPath = prefix_ + ".stdout." + suffix;
    const std::string stderrPath = prefix_ + ".stderr." + suffix;
    fs::remove(stderrPath);
    auto environment = Environment(true);
    if (!traceChannel.empty()) {
        environment["WINEDEBUG"] += "," + traceChannel;
    }
    RunResult result = SpawnHost({ORVEX_WINE_LOADER, ExePath(), argument}, environment, stdoutPath,
                                 stderrPath, timeoutSeconds);
    static const std::regex traceLine(R"(^\s*[0-9.]+:[0-9a-fA-F]+:[0-9a-fA-F]+:[a-z]+:)");
    std::ofstream events(eventsPath_, std::ios::binary | std::ios::app);
    std::istringstream lines(ReadWhole(stderrPath));
    std::string line;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, traceLine)) {
            events << line << '\n';
            if (!traceChannel.empty()) {
                result.trace += line + '\n';
            }
        } else {
            result.errors += line + '\n';
        }
    }
    fs::remove(stdoutPath);
    fs::remove(stderrPath);
    return result;
}

Fields WineBed::Control(const std::vector<std::string>& arguments, int timeoutSeconds) const {
    std::vector<std::string> command{ORVEX_WINE_LOADER, HostPath(HelperPath())};
    command.insert(command.end(), arguments.begin(), arguments.end());
    RunResult result = Spawn(command, false, timeoutSeconds);
    // The helper always prints something. On a busy machine Wine now and then fails to
    // run a program at all; a command that only looks is run once more, and said.
    static const std::vector<std::string> looking{"query", "wait", "config", "exists", "marked", "now",
                                                  "procs", "proclist", "version", "source"};
    if (result.output.empty() && !result.timedOut && !arguments.empty() &&
        std::find(looking.begin(), looking.end(), arguments[0]) != looking.end()) {
        std::fprintf(stderr, "svcctl %s printed nothing (exit %d); running it again\n", arguments[0].c_str(),
                     result.exitCode);
        result = Spawn(command, false, timeoutSeconds);
    }
    Fields fields;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    fields["exit"] = std::to_string(result.exitCode);
    return fields;
}

std::vector<Event> WineBed::Events() const {
    static const std::regex pattern(
        R"(^\s*([0-9.]+):([0-9a-fA-F]+):[0-9a-fA-F]+:(err|warn|trace):eventlog:ReportEventW L\"(.*)\"(\.\.\.)?\s*$)");
    std::vector<Event> events;
    std::istringstream lines(ReadWhole(eventsPath_));
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (!std::regex_match(line, match, pattern)) {
            continue;
        }
        Event event;
        event.time = std::stod(match[1]);
        event.pid = static_cast<unsigned>(std::stoul(match[2], nullptr, 16));
        event.type = match[3] == "err" ? 1 : match[3] == "warn" ? 2 : 4;
        event.text = Unescape(match[4]);
        event.cut = match[5].matched;
        events.push_back(event);
    }
    return events;
}

bool WineBed::WaitForEvents(const std::function<bool(const std::vector<Event>&)>& done,
                            std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(Events())) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool WineBed::WaitForEventText(const std::string& prefix, std::chrono::milliseconds timeout,
                               int count) const {
    return WaitForEvents(
        [&](const std::vector<Event>& events) {
            int seen = 0;
            for (const Event& event : events) {
                seen += event.text.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
            }
            return seen >= count;
        },
        timeout);
}

void WineBed::ClearEvents() const {
    std::ofstream(eventsPath_, std::ios::trunc).close();
}

std::vector<Process> WineBed::Processes() const {
    std::vector<std::string> command{ORVEX_WINE_LOADER, HostPath(HelperPath()), "proclist"};
    RunResult result = Spawn(command, false, 60);
    // As for the other commands that only look: Wine on a busy machine now and then fails
    // to run a program at all.
    if (result.exitCode != 0 && !result.timedOut) {
        std::fprintf(stderr, "svcctl proclist failed (exit %d); running it again\n", result.exitCode);
        result = Spawn(command, false, 60);
    }
    if (result.exitCode != 0) {
        ADD_FAILURE() << "the process list failed (exit " << result.exitCode << (result.timedOut ? ", timed out" : "")
                      << "): " << result.output;
    }
    std::vector<Process> processes;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("proc=", 0) != 0) {
            continue;
        }
        // pid, parent, name, image path, command line: tab-separated, the last one may hold tabs
        std::vector<std::string> fields;
        std::size_t begin = 5;
        while (fields.size() < 4) {
            const std::size_t tab = line.find('\t', begin);
            fields.push_back(line.substr(begin, tab == std::string::npos ? std::string::npos : tab - begin));
            begin = tab == std::string::npos ? line.size() : tab + 1;
        }
        processes.push_back({fields[0], fields[1], fields[2], fields[3], line.substr(begin)});
    }
    return processes;
}

HostMemory WineBed::HostMemoryKb() const {
    // The Linux process that runs orvex.exe with this prefix in its environment.
    HostMemory memory;
    const std::string prefixEntry = "WINEPREFIX=" + prefix_;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string environment = ReadWhole("/proc/" + pid + "/environ");
        std::replace(environment.begin(), environment.end(), '\0', '\n');
        if (ReadWhole("/proc/" + pid + "/cmdline").find("orvex.exe") == std::string::npos ||
            ("\n" + environment + "\n").find("\n" + prefixEntry + "\n") == std::string::npos) {
            continue;
        }
        std::istringstream status(ReadWhole("/proc/" + pid + "/status"));
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                memory.residentKb = std::stol(line.substr(6));
            } else if (line.rfind("VmHWM:", 0) == 0) {
                memory.peakKb = std::stol(line.substr(6));
            }
        }
    }
    return memory;
}

std::string RecordingScript(const std::string& name, const std::string& extra) {
    return "@echo off\r\n"
           "echo args=[%*]> \"%~dp0..\\logs\\" + name + ".ran\"\r\n"
           "echo cd=%CD%>> \"%~dp0..\\logs\\" + name + ".ran\"\r\n" +
           extra;
}

}  // namespace orvex::test
