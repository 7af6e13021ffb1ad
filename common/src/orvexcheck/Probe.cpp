#include "Probe.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>

#include <ctime>
#endif

namespace orvex::check {
namespace {

#ifdef _WIN32
// A FILETIME (100 ns since 1601) in seconds since 1970.
std::int64_t UnixOf(const FILETIME& time) {
    constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000;
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - kTicksFrom1601To1970) / 10000000;
}
#endif

}  // namespace

std::int64_t UnixNow() {
#ifdef _WIN32
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return UnixOf(now);
#else
    return static_cast<std::int64_t>(std::time(nullptr));
#endif
}

std::optional<std::int64_t> LastWriteUnix(const std::string& path) {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) == 0) {
        return std::nullopt;
    }
    return UnixOf(data.ftLastWriteTime);
#else
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(status.st_mtime);
#endif
}

std::optional<std::uint64_t> AgeSeconds(std::int64_t now, const std::optional<std::int64_t>& written) {
    if (!written) {
        return std::nullopt;
    }
    return now > *written ? static_cast<std::uint64_t>(now - *written) : 0;
}

const char* OutcomeName(RefreshOutcome outcome) {
    switch (outcome) {
        case RefreshOutcome::kRewritten:
            return "rewritten";
        case RefreshOutcome::kNotRewritten:
            return "notRewritten";
        case RefreshOutcome::kTimedOut:
            return "timedOut";
        case RefreshOutcome::kServiceChecking:
            return "serviceChecking";
        case RefreshOutcome::kBusy:
            return "busy";
        case RefreshOutcome::kCannotRun:
            break;
    }
    return "cannotRun";
}

}  // namespace orvex::check
