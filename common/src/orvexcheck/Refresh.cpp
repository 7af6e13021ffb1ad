// orvexcheck --refresh on Windows: takes the turn among probes, keeps out of the
// service's own startup check, and runs the status script inside a job that ends it and
// everything it started at the bound or when orvexcheck ends, however that happens.
// The job is closed, and its processes gone, before the turn is released: a released
// turn means that no refresh is running.
#include "Refresh.h"

#include <windows.h>

#include <sddl.h>

#include <memory>
#include <string_view>

#include "HostLogic.h"
#include "Pieces.h"
#include "ScopedHandle.h"

namespace orvex::check {

namespace {

// A global name, so that probes of every session take turns; where the global
// namespace is missing, the name alone (turns within the session) is used.
constexpr const char* kTurnName = "Global\\orvexcheckRefresh";
constexpr const char* kLocalTurnName = "orvexcheckRefresh";
// SYSTEM and Administrators own the turn; every signed-in account may wait for it and
// release it, so that probes run by different accounts still take turns.
constexpr const char* kTurnSecurity = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;AU)";

constexpr ULONGLONG kMsPerS = 1000;
constexpr ULONGLONG kFileTimeUnitsPerS = 10000000;  // FILETIME counts 100 ns
// After the job was ended: how long its processes may take to be gone.
constexpr ULONGLONG kTreeEndWaitMs = 5000;
constexpr DWORD kTreePollMs = 20;

constexpr const char* kUnreadableBefore = "The status log's last-write time cannot be read before the refresh (error ";
constexpr const char* kUnreadableAfter = "The status log's last-write time cannot be read after the refresh (error ";

// A fixed text with a number (an error code, seconds) in it.
std::string Said(std::string_view before, unsigned long long number, std::string_view after) {
    return Cat({before, std::to_string(number), after});
}

ULONGLONG FromFileTime(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32U) | time.dwLowDateTime;
}

// The service's process age decides alone; a creation time after now (the clock was set
// back) counts as young: the check may be running.
bool ServiceMayBeChecking(ULONGLONG createdAt, ULONGLONG now) {
    return createdAt > now || now - createdAt < kServiceCheckWindowS * kFileTimeUnitsPerS;
}

// The status log's last-write time, where it can be read.
struct LogStamp {
    bool present = false;
    ULONGLONG written = 0;
};

bool Rewritten(const LogStamp& before, const LogStamp& after) {
    return after.present && (!before.present || after.written != before.written);
}

// A log that is missing is told by the outcome; any other failure goes to the notes.
LogStamp StampOf(const std::string& path, std::vector<std::string>& notes, const char* unreadable) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) == FALSE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            notes.push_back(Said(unreadable, error, ")"));
        }
        return {};
    }
    return {true, FromFileTime(data.ftLastWriteTime)};
}

// The turn among probes: the mutex, and whether this process holds it.
class Turn {
public:
    Turn() = default;
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() {
        if (held_) {
            (void)ReleaseMutex(mutex_.get());
        }
    }

    // Opens the mutex; an empty text, or why it cannot be opened.
    std::string Open(std::vector<std::string>& notes) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(kTurnSecurity, SDDL_REVISION_1, &descriptor,
                                                                 nullptr) == FALSE) {
            notes.push_back(Said("The turn's permissions cannot be set (error ", GetLastError(),
                                 "): the account's defaults apply"));
        }
        const std::unique_ptr<void, decltype(&LocalFree)> ownedDescriptor(descriptor, &LocalFree);
        SECURITY_ATTRIBUTES attributes = {static_cast<DWORD>(sizeof(attributes)), descriptor, FALSE};
        mutex_.reset(CreateMutexA(descriptor != nullptr ? &attributes : nullptr, FALSE, kTurnName));
        if (mutex_) {
            return {};
        }
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED) {
            // Another account's probe may hold it: running now could run beside it.
            return Said("Cannot take turns with other probes: the mutex Global\\orvexcheckRefresh cannot be opened "
                        "(error ",
                        error, "); nothing was run");
        }
        notes.push_back(Said("The global mutex cannot be created (error ", error,
                             "): probes take turns within this session only"));
        mutex_.reset(CreateMutexA(nullptr, FALSE, kLocalTurnName));
        if (mutex_) {
            return {};
        }
        return Said("Cannot take turns with other probes: no mutex can be created (error ", GetLastError(),
                    "); nothing was run");
    }

    // Waits for the turn: WAIT_TIMEOUT while another probe holds it, WAIT_FAILED, or
    // taken. An abandoned one is taken: the probe that held it has ended, and its job with it.
    DWORD Take(DWORD waitMs, DWORD& error) {
        const DWORD result = WaitForSingleObject(mutex_.get(), waitMs);
        error = GetLastError();
        held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        return held_ ? WAIT_OBJECT_0 : result;
    }

private:
    KernelHandle mutex_;
    bool held_ = false;
};

// Whether the service's own startup check may be running; what could not be learned
// goes to the notes.
bool ServiceChecking(RefreshResult& result) {
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        result.notes.push_back(Said("The service manager cannot be opened (error ", GetLastError(), ")"));
        return false;
    }
    const ServiceHandle service(OpenServiceA(manager.get(), orvex::text::kServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        result.notes.push_back(error == ERROR_SERVICE_DOES_NOT_EXIST
                                   ? std::string("The service orvexWinService is not installed")
                                   : Said("The service orvexWinService cannot be opened (error ", error, ")"));
        return false;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                             sizeof(status), &needed) == FALSE) {
        result.notes.push_back(Said("The service's status cannot be read (error ", GetLastError(), ")"));
        return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED || status.dwProcessId == 0) {
        return false;
    }
    const KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!process || GetProcessTimes(process.get(), &created, &exited, &kernel, &user) == FALSE) {
        const DWORD error = GetLastError();
        result.notes.push_back(
            Cat({"The service process ", std::to_string(status.dwProcessId), "'s start time cannot be read (error ",
                 std::to_string(error), ")"}));
        return false;
    }
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    if (!ServiceMayBeChecking(FromFileTime(created), FromFileTime(now))) {
        return false;
    }
    const ULONGLONG ageS = FromFileTime(now) > FromFileTime(created)
                               ? (FromFileTime(now) - FromFileTime(created)) / kFileTimeUnitsPerS
                               : 0;
    result.detail = Said("The service started ", ageS,
                         " s ago: its own startup check may be running the status script, so it was not run");
    return true;
}

// Ends every process of the job and waits, within a few seconds, until none is left.
void EndTree(HANDLE job, std::vector<std::string>& notes) {
    if (TerminateJobObject(job, 1) == FALSE) {
        notes.push_back(Said("The status script's job cannot be ended (error ", GetLastError(), ")"));
        return;
    }
    const ULONGLONG began = GetTickCount64();
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof(accounting),
                                      nullptr) == FALSE) {
            notes.push_back(Said("The status script's job cannot be queried (error ", GetLastError(), ")"));
            return;
        }
        if (accounting.ActiveProcesses == 0) {
            return;
        }
        if (GetTickCount64() - began > kTreeEndWaitMs) {
            notes.push_back(Said("", accounting.ActiveProcesses,
                                 " process(es) of the status script's job had not ended 5 s after it was ended"));
            return;
        }
        Sleep(kTreePollMs);
    }
}

// A job whose processes end when its last handle closes; empty, with the detail set,
// where it cannot be made.
KernelHandle KillOnCloseJob(RefreshResult& result) {
    KernelHandle job(CreateJobObjectA(nullptr, nullptr));
    if (!job) {
        result.detail =
            Said("A job for the status script cannot be created (error ", GetLastError(), "); it was not run");
        return job;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)) == FALSE) {
        result.detail =
            Said("The status script's job cannot be limited (error ", GetLastError(), "); it was not run");
        job.reset();
    }
    return job;
}

// Runs the script in the job within waitMs; sets ran, exitCode, seconds and
// reachedBound, or the detail where it cannot be run.
void RunInJob(const std::string& installDir, const std::string& script, HANDLE job, DWORD waitMs,
              RefreshResult& result) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created = {};
    if (CreateProcessA(script.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                       installDir.c_str(), &startup, &created) == FALSE) {
        result.detail = Said("The status script cannot be started (error ", GetLastError(), ")");
        return;
    }
    const KernelHandle process(created.hProcess);
    const KernelHandle thread(created.hThread);
    if (AssignProcessToJobObject(job, process.get()) == FALSE) {
        const DWORD error = GetLastError();
        (void)TerminateProcess(process.get(), 1);
        BOOL inJob = FALSE;
        if (IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) != FALSE && inJob != FALSE) {
            result.notes.emplace_back("orvexcheck runs inside a job that does not let it make one of its own");
        }
        result.detail = Said("The status script cannot be put in a job (error ", error, "), so it was not run");
        return;
    }
    const ULONGLONG began = GetTickCount64();
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        (void)TerminateProcess(process.get(), 1);
        result.detail = Said("The status script cannot be resumed (error ", error, "), so it was not run");
        return;
    }
    result.ran = true;
    const DWORD waited = WaitForSingleObject(process.get(), waitMs);
    result.seconds = static_cast<double>(GetTickCount64() - began) / kMsPerS;
    if (waited != WAIT_OBJECT_0) {
        result.reachedBound = true;
        EndTree(job, result.notes);
        return;
    }
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.get(), &exitCode) == FALSE) {
        result.notes.push_back(Said("The status script's exit code cannot be read (error ", GetLastError(), ")"));
    }
    result.exitCode = exitCode;
    // Whatever it left running ends now, before the turn is released.
    EndTree(job, result.notes);
}

std::string ScriptPathUnder(std::string installDir) {
    while (!installDir.empty() && (installDir.back() == '\\' || installDir.back() == '/')) {
        installDir.pop_back();
    }
    return installDir + "\\bin\\orvexStatus.bat";
}

}  // namespace

RefreshResult RefreshStatusLog(const std::string& installDir, const std::string& statusLogPath,
                               unsigned timeoutSeconds) {
    RefreshResult result;
    const ULONGLONG boundMs = static_cast<ULONGLONG>(timeoutSeconds) * kMsPerS;
    const ULONGLONG began = GetTickCount64();
    Turn turn;
    result.detail = turn.Open(result.notes);
    if (!result.detail.empty()) {
        result.outcome = RefreshOutcome::kCannotRun;
        return result;
    }
    DWORD error = 0;
    const DWORD taken = turn.Take(static_cast<DWORD>(boundMs), error);
    if (taken == WAIT_FAILED) {
        result.outcome = RefreshOutcome::kCannotRun;
        result.detail = Said("The turn among probes cannot be waited for (error ", error, "); nothing was run");
        return result;
    }
    if (taken != WAIT_OBJECT_0) {
        result.outcome = RefreshOutcome::kBusy;
        result.detail = Said("Another probe's refresh held its turn for the whole ", timeoutSeconds, " s");
        return result;
    }
    if (ServiceChecking(result)) {
        result.outcome = RefreshOutcome::kServiceChecking;
        return result;
    }
    // Declared after the turn: the job, and every process in it, ends before the turn is released.
    const KernelHandle job = KillOnCloseJob(result);
    if (!job) {
        result.outcome = RefreshOutcome::kCannotRun;
        return result;
    }
    const LogStamp before = StampOf(statusLogPath, result.notes, kUnreadableBefore);
    const ULONGLONG spent = GetTickCount64() - began;
    const auto left = static_cast<DWORD>(spent < boundMs ? boundMs - spent : 0);
    RunInJob(installDir, ScriptPathUnder(installDir), job.get(), left, result);
    if (!result.ran) {
        result.outcome = RefreshOutcome::kCannotRun;
        return result;
    }
    if (result.reachedBound) {
        result.outcome = RefreshOutcome::kTimedOut;
        result.detail = Said("The status script did not end within ", timeoutSeconds,
                             " s: it was ended with everything it started");
        return result;
    }
    result.logRewritten = Rewritten(before, StampOf(statusLogPath, result.notes, kUnreadableAfter));
    result.outcome = result.logRewritten ? RefreshOutcome::kRewritten : RefreshOutcome::kNotRewritten;
    result.detail = result.logRewritten
                        ? std::string()
                        : Said("The status script ended (exit code ", result.exitCode,
                               ") but did not rewrite the status log");
    return result;
}

}  // namespace orvex::check
