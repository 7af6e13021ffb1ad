// orvexcheck --refresh: runs the product's status script now, the way the service
// host runs it at a start, so that the verdict that follows is on a status log the
// script has just written. Only a log the script did rewrite gives a verdict; every
// other outcome leaves the verdict unknown, never one read off a stale log.
#ifndef ORVEX_CHECK_REFRESH_H
#define ORVEX_CHECK_REFRESH_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvex::check {

// --timeout SECONDS: the bound of one refresh, the status script's own 120 s at most.
constexpr unsigned kMinRefreshTimeoutS = 1;
constexpr unsigned kMaxRefreshTimeoutS = 120;
constexpr unsigned kDefaultRefreshTimeoutS = 120;

// A turn that comes later than this leaves too little of the bound to run the script
// meaningfully (one started and ended at once may leave the log empty): the smaller of
// 5 s and a fifth of the bound must be left.
constexpr std::uint64_t kLeastScriptTimeMs = 5000;
constexpr std::uint64_t kLeastScriptShare = 5;

inline bool TooLittleLeft(std::uint64_t leftMs, std::uint64_t boundMs) {
    return leftMs < std::min(boundMs / kLeastScriptShare, kLeastScriptTimeMs);
}

enum class RefreshOutcome {
    kRewritten,        // the script ended within the bound and rewrote the status log
    kNotRewritten,     // the script ended but left the log as it was
    kTimedOut,         // the bound came first: the script and all it started were ended
    kServiceChecking,  // the service's own startup check has not ended: nothing was run
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
// The turn among every run of the status script on the installation, the service's
// startup check included. Refresh takes it and it stays taken until this ends, so
// that the log is read and the report written before another run may rewrite it.
class RefreshTurn {
public:
    RefreshTurn();
    RefreshTurn(const RefreshTurn&) = delete;
    RefreshTurn& operator=(const RefreshTurn&) = delete;
    ~RefreshTurn();

    // Runs installDir's bin\orvexStatus.bat with the host's rules (no arguments, no
    // window, installDir as the current directory), bounded by timeoutSeconds, inside
    // a job that ends the script and whatever it started when orvexcheck ends. Nothing
    // runs while the service's startup check has not given its verdict. statusLogPath's
    // last-write time is compared before and after. Once only.
    RefreshResult Refresh(const std::string& installDir, const std::string& statusLogPath, unsigned timeoutSeconds);

private:
    struct Hold;
    std::unique_ptr<Hold> hold_;
};
#endif

}  // namespace orvex::check

#endif
