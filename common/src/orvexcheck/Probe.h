// What a probe learns beside the verdict on the two files: when it ran, how old
// the status log is, and what a refresh did. Every report gives these.
#ifndef ORVEX_CHECK_PROBE_H
#define ORVEX_CHECK_PROBE_H

#include <cstdint>
#include <optional>
#include <string>

#include "Refresh.h"

namespace orvex::check {

struct ProbeFacts {
    std::int64_t timeUnix = 0;                  // when the probe ran, in seconds since 1970 (UTC)
    std::optional<std::uint64_t> logAgeSeconds;  // none where the log's last-write time cannot be read
    std::optional<RefreshResult> refresh;        // none without --refresh
    unsigned refreshTimeoutSeconds = kDefaultRefreshTimeoutS;
};

// The current time, in seconds since 1970 (UTC).
std::int64_t UnixNow();

// The file's last-write time in seconds since 1970 (UTC); none where it cannot be read.
std::optional<std::int64_t> LastWriteUnix(const std::string& path);

// How long before now the file was last written; 0 for a time ahead of now
// (a clock set back), none where the time cannot be read.
std::optional<std::uint64_t> AgeSeconds(std::int64_t now, const std::optional<std::int64_t>& written);

// The refresh's outcome as the JSON document names it: "rewritten", "timedOut", ...
const char* OutcomeName(RefreshOutcome outcome);

// The script's own exit code counts only where it ended by itself.
inline bool HasExitCode(const RefreshResult& result) {
    return result.ran && !result.reachedBound;
}

// Why the refresh gave no verdict: its detail, or the outcome's name where it has none.
inline std::string RefreshFailure(const RefreshResult& result) {
    return result.detail.empty() ? std::string("Refresh: ") + OutcomeName(result.outcome) : result.detail;
}

}  // namespace orvex::check

#endif
