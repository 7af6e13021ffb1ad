// orvexcheck --refresh: runs the product's status script now, the way the service
// host runs it at a start, so that the verdict that follows is on a status log the
// script has just written. Only a log the script did rewrite gives a verdict; every
// other outcome leaves the verdict unknown, never one read off a stale log.
#ifndef ORVEX_CHECK_REFRESH_H
#define ORVEX_CHECK_REFRESH_H

#include <cstdint>
#include <string>
#include <vector>

namespace orvex::check {

// --timeout SECONDS: the bound of one refresh, the status script's own 120 s at most.
constexpr unsigned kMinRefreshTimeoutS = 1;
constexpr unsigned kMaxRefreshTimeoutS = 120;
constexpr unsigned kDefaultRefreshTimeoutS = 120;

// While the service process is younger than this, its own startup check may be
// running the status script: 300 s for the start script, 120 s for the status
// script and a margin of 30 s.
constexpr unsigned kServiceCheckWindowS = 450;

enum class RefreshOutcome {
    kRewritten,        // the script ended within the bound and rewrote the status log
    kNotRewritten,     // the script ended but left the log as it was
    kTimedOut,         // the bound came first: the script and all it started were ended
    kServiceChecking,  // the service's own startup check may be running: nothing was run
    kBusy,             // another probe's refresh held the turn until the bound
    kCannotRun,        // the script could not be started
};

struct RefreshResult {
    RefreshOutcome outcome = RefreshOutcome::kCannotRun;
    bool ran = false;            // the status script was started
    std::uint32_t exitCode = 0;  // the script's exit code, where it ended by itself
    double seconds = 0;          // how long it ran, up to the bound
    bool reachedBound = false;
    bool logRewritten = false;
    // Why no fresh verdict could be given; empty on kRewritten.
    std::string detail;
    // What could not be learned but did not stop the refresh, such as a service
    // manager that could not be opened.
    std::vector<std::string> notes;
};

// The one outcome on which a verdict is given.
inline bool GivesVerdict(const RefreshResult& result) {
    return result.outcome == RefreshOutcome::kRewritten;
}

#ifdef _WIN32
// Runs installDir's bin\orvexStatus.bat with the host's rules (no arguments, no
// window, installDir as the current directory), bounded by timeoutSeconds, inside a
// job that ends the script and whatever it started when orvexcheck ends; probes take
// turns through a named mutex, and nothing runs while the service's own startup
// check may. statusLogPath is compared before and after.
RefreshResult RefreshStatusLog(const std::string& installDir, const std::string& statusLogPath,
                               unsigned timeoutSeconds);
#endif

}  // namespace orvex::check

#endif
