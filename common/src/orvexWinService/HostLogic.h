// Decisions of the service host that need no Win32: command-line classification,
// the paths derived from the executable's location, the fixed texts, the decimal
// error suffix, the checkpoint rule, the splitting of long event texts, what the
// control handler does with each control and the exit codes each stop ends with.
#ifndef ORVEX_HOST_LOGIC_H
#define ORVEX_HOST_LOGIC_H

#include <cstdint>
#include <exception>
#include <ios>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

// Result of ClassifyArguments.
enum ArgumentClass : int { kUnrecognised = 0, kInstall = 1, kUninstall = 2, kServiceMode = 3 };

// Service mode unless there is exactly one argument; a leading slash is turned into a
// hyphen in place, then "-install" / "-uninstall" are matched without regard to case.
int ClassifyArguments(int argc, char** argv);

struct ServicePaths {
    std::string binDir;
    std::string installDir;
    std::string startScriptPath;
    std::string stopScriptPath;
    std::string statusScriptPath;
    std::string statusLogPath;
};

// binDir is the path before its last backslash, installDir binDir's own parent.
// Where a path holds no backslash nothing is cut from it.
ServicePaths DeriveServicePaths(const std::string& modulePath);

// "<message><code as signed 32-bit decimal>".
std::string FormatErrorText(const std::string& message, std::uint32_t code);

// The windows event log rejects a string longer than this many characters.
constexpr std::size_t kMaxEventTextLength = 31839;

// Splits a text into pieces of at most maxLength characters, each cut after its
// last line feed, or at the limit where a piece holds none. A text that fits is
// returned whole, as the only piece (also when empty). The pieces are views into
// the text, so a long status text is never held twice.
std::vector<std::string_view> SplitEventText(std::string_view text,
                                             std::size_t maxLength = kMaxEventTextLength);

// The checkpoint that a status report for this state carries: 0 for RUNNING and
// STOPPED, otherwise the next value of the counter, which then advances.
std::uint32_t TakeCheckPoint(std::uint32_t state, std::uint32_t& nextCheckPoint);

// Service states, control codes and results as the service manager numbers them
// (<windows.h> is not needed here; the Win32 units check that the values agree).
namespace scm {
constexpr std::uint32_t kStopped = 1;
constexpr std::uint32_t kStopPending = 3;
constexpr std::uint32_t kRunning = 4;
constexpr std::uint32_t kControlStop = 1;
constexpr std::uint32_t kControlPause = 2;
constexpr std::uint32_t kControlContinue = 3;
constexpr std::uint32_t kControlInterrogate = 4;
constexpr std::uint32_t kControlShutdown = 5;
constexpr std::uint32_t kControlPreshutdown = 15;
constexpr std::uint32_t kNoError = 0;
constexpr std::uint32_t kCallNotImplemented = 120;
constexpr std::uint32_t kServiceSpecificError = 1066;
}  // namespace scm

// The time Windows gives the service at shutdown before it goes on without it, as
// -install sets it: the stop script's six waits of 25 s, with a margin.
constexpr std::uint32_t kPreshutdownTimeoutMs = 180000;

// Whether a stop has begun: once STOP_PENDING or STOPPED has been reported, nothing
// starts another stop and nothing reports RUNNING again.
bool StopUnderWay(std::uint32_t state);

// Why the service stops; the cause of the stop that began first decides its exit codes.
enum class StopCause : int {
    kNone = 0,
    kStopControl = 1,         // an administrator's STOP
    kPreshutdown = 2,         // Windows is shutting down
    kFailedStartupCheck = 3,  // a component did not come up: the service stops itself
    kUninstall = 4,           // -uninstall runs the stop script from the console
};

// What the control handler does with a control.
enum class ControlAction : int {
    kIgnore = 0,        // a control the service does not handle
    kBeginStop = 1,     // begins the stop procedure
    kStopGoesOn = 2,    // a stop control while a stop is under way: that stop is left to run
    kReportStatus = 3,  // re-sends the status as it stands
};

struct ControlDecision {
    ControlAction action;
    StopCause cause;       // the stop that kBeginStop begins; kNone otherwise
    std::uint32_t result;  // the handler's return value
};

// STOP and PRESHUTDOWN begin the one stop procedure unless a stop is under way;
// INTERROGATE re-sends the status. The handler returns NO_ERROR for these and
// ERROR_CALL_NOT_IMPLEMENTED for every other control (SHUTDOWN is not accepted:
// a service that accepts PRESHUTDOWN has stopped before it would come).
ControlDecision DecideControl(std::uint32_t control, bool stopUnderWay);

// The Win32 and the service-specific exit code of the final STOPPED report.
struct StopExitCodes {
    std::uint32_t win32;
    std::uint32_t serviceSpecific;
};

// A failed startup check ends with ERROR_SERVICE_SPECIFIC_ERROR and 1, so that Windows
// logs the failed start and may run the recovery actions; every stop that someone or
// something asked for ends with 0 and 0, however its stop script ended.
StopExitCodes ExitCodesOfStop(StopCause cause);

// An event-log entry: its text and type (1 error, 2 warning, 4 information).
struct EventEntry {
    std::string text;
    std::uint16_t type;
};

namespace eventlog {
constexpr std::uint16_t kError = 1;
constexpr std::uint16_t kWarning = 2;
constexpr std::uint16_t kInformation = 4;
}  // namespace eventlog

namespace text {
constexpr const char* kCheckFailed = "Failure while checking the status of ORVEX components: ";
constexpr const char* kUnknownFailure = "unknown failure";
}  // namespace text

// The entry for a failure of the check: the prefix followed by the reason, or where even
// that text cannot be built (too little memory), an empty text for which the writer
// puts the prefix alone.
inline EventEntry CheckFailureEntry(const char* prefix, const char* reason, std::uint16_t type) noexcept {
    try {
        return EventEntry{std::string(prefix) + reason, type};
    } catch (...) {
        return EventEntry{std::string(), type};
    }
}

// Runs the steps of the startup check; returns the entry for what they threw, if
// anything. A product file that cannot be opened or read is a warning with its own
// text; anything else (too little memory for a huge definitions file, say) is an error
// that names the failure. Either way the check ends there; whether the service stays
// RUNNING depends on whether the verdict had been reached.
template <class Steps>
std::optional<EventEntry> GuardedCheck(Steps&& steps) noexcept {
    try {
        steps();
        return std::nullopt;
    } catch (const std::ios_base::failure& failure) {
        return CheckFailureEntry("", failure.what(), eventlog::kWarning);
    } catch (const std::exception& exception) {
        return CheckFailureEntry(text::kCheckFailed, exception.what(), eventlog::kError);
    } catch (...) {
        return CheckFailureEntry(text::kCheckFailed, text::kUnknownFailure, eventlog::kError);
    }
}

// Command line of the start script: the quoted path, so that a path with blanks is
// never split, followed by the service argument.
std::string StartCommandLine(const std::string& startScriptPath);

// "Following ORVEX components ... \n" followed by one line per failed component.
std::string FailureListText(const std::vector<std::string>& failedComponents);

namespace text {
constexpr const char* kServiceName = "orvexWinService";
constexpr const char* kDisplayName = "ORVEX for Quellon - Managing Server";
constexpr const char* kUsage = "Usage: \"orvex.exe\" [-Install/-Uninstall]";
constexpr const char* kOpenManagerFailedForInstall = "OpenSCManager failed, error code = %X\n";
constexpr const char* kInstalled = "The ORVEX for Quellon Service(%s) has been successfully installed.\n";
constexpr const char* kCreateFailed = "Error %i: Unable to Create ORVEX for Quellon Service(%s).\n";
constexpr const char* kOpenManagerFailedForUninstall =
    "Unable to Open Service Manager. Attempted to delete ORVEX for Quellon Service(%s): %s\n";
constexpr const char* kOpenServiceFailed =
    "Error %i: Unable to open and delete ORVEX for Quellon Service(%s): %s\n";
constexpr const char* kRemoved = "The ORVEX for Quellon Service(orvexWinService) has been removed.\n";
constexpr const char* kNotRemoved =
    "Error %i: The ORVEX for Quellon Service(%s) \"%s\" has not been removed.\n";
constexpr const char* kNoModulePath = "Cannot obtain executable path (%d)\n";

// What -install registers beside the service, so that Windows' own tools render the
// entries and describe the service; a step that fails is told on standard error.
constexpr const char* kServiceDescription =
    "Runs ORVEX for Quellon 6.1 through its start, stop and status scripts, and verifies at "
    "every start that each component listed in etc\\status.properties came up.";
constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\orvexWinService";
constexpr const char* kDescriptionNotSet =
    "Error %i: Unable to set the description of ORVEX for Quellon Service(%s).\n";
constexpr const char* kSourceNotRegistered =
    "Error %i: Unable to register the event source of ORVEX for Quellon Service(%s).\n";
constexpr const char* kShutdownTimeNotSet =
    "Error %i: Unable to set the shutdown time of ORVEX for Quellon Service(%s).\n";
constexpr const char* kSourceNotRemoved =
    "Error %i: Unable to remove the event source of ORVEX for Quellon Service(%s).\n";

constexpr const char* kDispatcherFailed = "StartServiceCtrlDispatcher failed: ";
constexpr const char* kHandlerFailed = "RegisterServiceCtrlHandler failed: ";
constexpr const char* kStarting = "Starting ORVEX for Quellon 6.1 Service ...\nORVEX Start Script: ";
constexpr const char* kStopping = "Stopping ORVEX for Quellon 6.1 Service ...\nORVEX Stop Script: ";
constexpr const char* kStartProgress = "Getting more time for ORVEX services...";
constexpr const char* kStopProgress = "Getting more time for script...";
constexpr const char* kStartTimeout =
    "Time out occured while starting the service. This does not mean any failure. It indicates "
    "that ORVEX service is taking longer time to start.";
constexpr const char* kStopTimeout =
    "Time out occured while stoping the service. This does not mean any failure. It indicates "
    "that ORVEX service is taking longer time to stop.";
constexpr const char* kStartLaunchFailed = "orvexStart script launching failure: ";
constexpr const char* kStopLaunchFailed = "orvexStop script launching failure: ";
constexpr const char* kStartThreadExiting = "orvexStart thread is exiting...";
constexpr const char* kStopped =
    "ORVEX for Quellon 6.1 stopped.\n\n Note: If you experience that some java processes are not "
    "being killed by stopping the ORVEX windows service, then please open the file listed below "
    "and follow the instructions to turn on the forcestop option.\n\nFile: ";

constexpr const char* kChecking = "Checking the status of ORVEX components ...\nORVEX Status Script: ";
constexpr const char* kStatusLaunchFailed = "orvexStatus script launching failure: ";
constexpr const char* kStarted = "ORVEX for Quellon 6.1 Service successfully started.";
constexpr const char* kFailureListHeader =
    "Following ORVEX components did not started successfully or did not join the kernel. \n";
constexpr const char* kStartFailed =
    "One or more errors occured when starting ORVEX for Quellon 6.1 Service. Please check the "
    "logs or contact the System Administrator.";
constexpr const char* kPropertiesRelativePath = "\\etc\\status.properties";

// Failures of what the host needs; each is one error entry.
constexpr const char* kEventFailed = "CreateEvent failed: ";
constexpr const char* kStartThreadFailed =
    "orvexStart thread creation failure; the start script runs on the checking thread: ";
constexpr const char* kCheckThreadFailed =
    "Checking thread creation failure; the start of ORVEX components is not verified: ";
constexpr const char* kStartAndCheckFailed =
    "No thread could be started for the start script; ORVEX for Quellon 6.1 Service stops: ";
constexpr const char* kStopThreadFailed =
    "Stop thread creation failure; the stop runs on the control handler's thread: ";
constexpr const char* kStatusNotReported = "SetServiceStatus failed: ";
constexpr const char* kStopFailed = "Failure while stopping ORVEX for Quellon 6.1 Service: ";
constexpr const char* kStartFailure = "Failure while starting ORVEX for Quellon 6.1 Service: ";
constexpr const char* kThreadFailed = "Failure in a thread of ORVEX for Quellon 6.1 Service: ";
}  // namespace text

}  // namespace orvex

#endif
