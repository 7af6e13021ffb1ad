// Drives the real orvex.exe under Wine's service manager: one private Wine prefix per
// test, the product laid out in it, commands run through Wine, and the event-log
// entries read back from Wine's debug output.
#ifndef ORVEX_SERVICE_HARNESS_H
#define ORVEX_SERVICE_HARNESS_H

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orvex::test {

struct RunResult {
    int exitCode = -1;  // as Wine passes it back: modulo 256
    bool timedOut = false;
    std::string output;  // standard output
    std::string errors;  // standard error, where the run keeps it (OrvexKeepingErrors)
    std::string trace;   // Wine's trace lines, where the run asks for a channel's (OrvexKeepingErrors)
};

struct Event {
    double time = 0;     // host uptime in seconds
    unsigned pid = 0;
    int type = 0;        // 1 error, 2 warning, 4 information
    std::string text;    // unescaped; only a prefix where cut
    bool cut = false;    // Wine cuts long texts in its trace
};

using Fields = std::map<std::string, std::string>;

// Memory of the Linux process that runs the host under Wine (Wine's runtime included).
struct HostMemory {
    long residentKb = -1;
    long peakKb = -1;
};

// Event texts, for comparing with what the host wrote.
std::string Describe(const std::vector<Event>& events);

// A process in a prefix, as the control helper lists it.
struct Process {
    std::string pid;
    std::string parent;       // the pid of the process that started it
    std::string name;         // image name, e.g. "cmd.exe"
    std::string image;        // full image path, empty where it cannot be read
    std::string commandLine;  // empty where it cannot be read
};

// One line per process: pid, image name, parent, and the command line (or the image
// path where the command line cannot be read).
std::string Describe(const std::vector<Process>& processes);

class WineBed {
public:
    // Lays out the product under installDir (a Windows path) in a fresh prefix.
    explicit WineBed(std::string installDir = "C:\\Program Files\\Orvex Test");
    ~WineBed();
    WineBed(const WineBed&) = delete;
    WineBed& operator=(const WineBed&) = delete;

    const std::string& InstallDir() const { return installDir_; }
    std::string BinDir() const { return installDir_ + "\\bin"; }
    std::string ExePath() const { return BinDir() + "\\orvex.exe"; }
    // The control helper, usable from the product's scripts.
    std::string HelperPath() const { return BinDir() + "\\svcctl.exe"; }

    std::string HostPath(const std::string& windowsPath) const;
    void WriteFile(const std::string& windowsPath, const std::string& content) const;
    std::string ReadFile(const std::string& windowsPath) const;
    bool Exists(const std::string& windowsPath) const;
    void Remove(const std::string& windowsPath) const;
    // A product file under installDir, e.g. "bin\\orvexStart.bat".
    void WriteProductFile(const std::string& relative, const std::string& content) const;
    std::string ReadProductFile(const std::string& relative) const;
    bool ProductFileExists(const std::string& relative) const;

    // Runs a Windows program through Wine; its event-log entries go to the capture.
    RunResult Run(const std::vector<std::string>& arguments, int timeoutSeconds = 60) const;
    RunResult Orvex(const std::string& argument, int timeoutSeconds = 60) const;
    // The same, with orvex.exe's standard error in RunResult::errors. Wine's trace goes to
    // the same stream: its lines are moved to the capture once the run has ended. A
    // channel such as "trace+service" is traced as well, and every trace line is also
    // kept in RunResult::trace.
    RunResult OrvexKeepingErrors(const std::string& argument, int timeoutSeconds = 60,
                                 const std::string& traceChannel = "") const;
    // Runs the control helper and parses its key=value lines.
    Fields Control(const std::vector<std::string>& arguments, int timeoutSeconds = 60) const;

    std::vector<Event> Events() const;
    // Waits until the predicate holds for the entries written so far.
    bool WaitForEvents(const std::function<bool(const std::vector<Event>&)>& done,
                       std::chrono::milliseconds timeout) const;
    bool WaitForEventText(const std::string& prefix, std::chrono::milliseconds timeout,
                          int count = 1) const;
    void ClearEvents() const;

    // Every process in this prefix but the helper that lists them.
    std::vector<Process> Processes() const;

    // Memory of the host process of this prefix, -1 where none runs.
    HostMemory HostMemoryKb() const;

private:
    std::map<std::string, std::string> Environment(bool captureEvents) const;
    RunResult Spawn(const std::vector<std::string>& command, bool captureEvents,
                    int timeoutSeconds) const;

    std::string installDir_;
    std::string prefix_;
    std::string eventsPath_;
};

// The standard quick scripts: each records its arguments and working directory
// in logs\<name>.ran and ends at once.
std::string RecordingScript(const std::string& name, const std::string& extra = "");

}  // namespace orvex::test

#endif
