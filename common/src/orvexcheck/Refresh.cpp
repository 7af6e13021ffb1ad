// orvexcheck --refresh on Windows: takes the turn among every run of the status script,
// the service's startup check included, keeps out of that check until its verdict is
// written, and runs the status script inside a job that ends it and
// everything it started at the bound or when orvexcheck ends, however that happens.
// The job is closed, and its processes gone, before the turn is released: a released
// turn means that no refresh is running. The turn is released only when the probe's
// report is written.
#include "Refresh.h"

#include <windows.h>

#include <memory>
#include <string_view>

#include "HostLogic.h"
#include "Pieces.h"
#include "ScopedHandle.h"
#include "StatusScriptTurn.h"

namespace orvex::check {

namespace {

// Where the global namespace is missing, the name alone (turns within the session).
constexpr const char* kLocalTurnName = "orvexStatusScriptTurn";

constexpr ULONGLONG kMsPerS = 1000;
// After the job was ended: how long its processes may take to be gone.
constexpr ULONGLONG kTreeEndWaitMs = 5000;
constexpr DWORD kTreePollMs = 20;

constexpr const char* kUnreadableBefore = "The status log's last-write time cannot be read before the refresh (error ";
constexpr const char* kUnreadableAfter = "The status log's last-write time cannot be read after the refresh (error ";
constexpr const char* kLacksTheRight =
    "This account lacks the right to take the turn among runs of the status script (Global\\orvexStatusScriptTurn), "
    "which only SYSTEM and Administrators have, as they alone may run the script and write the status log: "
    "run --refresh as one of them; nothing was run";
constexpr const char* kCheckRunning = "The service's startup check is running: the status script was not run";

// A fixed text with a number (an error code, seconds) in it.
std::string Said(std::string_view before, unsigned long long number, std::string_view after) {
    return Cat({before, std::to_string(number), after});
}

ULONGLONG FromFileTime(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32U) | time.dwLowDateTime;
}

// The status log's last-write time, where it can be read; error is set where it cannot
// for another reason than a missing log.
struct LogStamp {
    bool present = false;
    ULONGLONG written = 0;
    DWORD error = 0;
};

bool Rewritten(const LogStamp& before, const LogStamp& after) {
    return after.present && (!before.present || after.written != before.written);
}

LogStamp StampOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) == FALSE) {
        const DWORD error = GetLastError();
        return {false, 0, error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error};
    }
    return {true, FromFileTime(data.ftLastWriteTime), 0};
}

// Opens the turn; an empty text, or why it cannot be opened.
std::string OpenTurn(KernelHandle& mutex, std::vector<std::string>& notes) {
    DWORD error = turn::OpenTurn(turn::kTurnName, mutex);
    if (error == ERROR_ACCESS_DENIED) {
        return kLacksTheRight;
    }
    if (error == 0) {
        return {};
    }
    notes.push_back(Said("The global turn cannot be opened (error ", error,
                         "): runs of the status script take turns within this session only"));
    error = turn::OpenTurn(kLocalTurnName, mutex);
    if (error == ERROR_ACCESS_DENIED) {
        return kLacksTheRight;
    }
    return error == 0 ? std::string()
                      : Said("Cannot take turns with other runs of the status script: no mutex can be created (error ",
                             error, "); nothing was run");
}

// Whether the service's startup check has yet to give its verdict, by its mark alone.
bool MarkSaysChecking() {
    DWORD error = 0;
    return turn::ReadStartupCheckMark(error) == turn::CheckMark::kRunning;
}

// Whether the service's startup check has yet to give its verdict: its mark, or,
// before the service's main function has set one, a service still START_PENDING.
// Sets the outcome and the detail where the check is running or where this cannot be
// learned; what else could not be learned goes to the notes.
bool ServiceChecking(RefreshResult& result) {
    DWORD error = 0;
    const turn::CheckMark mark = turn::ReadStartupCheckMark(error);
    if (mark == turn::CheckMark::kRunning) {
        result.outcome = RefreshOutcome::kServiceChecking;
        result.detail = kCheckRunning;
        return true;
    }
    if (mark == turn::CheckMark::kUnreadable) {
        result.outcome = RefreshOutcome::kCannotRun;
        result.detail = Said("Whether the service's startup check has ended cannot be read (error ", error,
                             "); nothing was run");
        return true;
    }
    if (mark == turn::CheckMark::kEnded) {
        return false;
    }
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        result.notes.push_back(Said("The service manager cannot be opened (error ", GetLastError(), ")"));
        return false;
    }
    const ServiceHandle service(OpenServiceA(manager.get(), orvex::text::kServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        error = GetLastError();
        result.notes.push_back(error == ERROR_SERVICE_DOES_NOT_EXIST
                                   ? std::string("The service orvexWinService is not installed")
                                   : Said("The service orvexWinService cannot be opened (error ", error, ")"));
        return false;
    }
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service.get(), &status) == FALSE) {
        result.notes.push_back(Said("The service's status cannot be read (error ", GetLastError(), ")"));
        return false;
    }
    if (status.dwCurrentState != SERVICE_START_PENDING) {
        return false;
    }
    result.outcome = RefreshOutcome::kServiceChecking;
    result.detail = kCheckRunning;
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

struct RefreshTurn::Hold {
    Hold() = default;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() {
        if (held) {
            (void)ReleaseMutex(mutex.get());
        }
    }
    KernelHandle mutex;
    bool held = false;
};

RefreshTurn::RefreshTurn() : hold_(std::make_unique<Hold>()) {}

RefreshTurn::~RefreshTurn() = default;

RefreshResult RefreshTurn::Refresh(const std::string& installDir, const std::string& statusLogPath,
                                   unsigned timeoutSeconds) {
    RefreshResult result;
    const ULONGLONG boundMs = static_cast<ULONGLONG>(timeoutSeconds) * kMsPerS;
    const ULONGLONG began = GetTickCount64();
    const auto leftMs = [&] {
        const ULONGLONG spent = GetTickCount64() - began;
        return static_cast<DWORD>(spent < boundMs ? boundMs - spent : 0);
    };
    result.detail = OpenTurn(hold_->mutex, result.notes);
    if (!result.detail.empty()) {
        result.outcome = RefreshOutcome::kCannotRun;
        return result;
    }
    // Rather than wait for the turn the service's check holds, and then give no verdict.
    if (MarkSaysChecking()) {
        result.outcome = RefreshOutcome::kServiceChecking;
        result.detail = kCheckRunning;
        return result;
    }
    const DWORD taken = WaitForSingleObject(hold_->mutex.get(), static_cast<DWORD>(boundMs));
    if (taken == WAIT_FAILED) {
        result.outcome = RefreshOutcome::kCannotRun;
        result.detail = Said("The turn among runs of the status script cannot be waited for (error ", GetLastError(),
                             "); nothing was run");
        return result;
    }
    if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) {
        result.outcome = RefreshOutcome::kBusy;
        result.detail = Said("Another run of the status script held the turn for the whole ", timeoutSeconds, " s");
        return result;
    }
    hold_->held = true;
    // A probe ended while it held the turn abandons it before its handles, its job's
    // among them, are closed: what that job still holds ends first.
    const DWORD left = turn::EndLeftProbeTree(leftMs());
    if (left != 0) {
        result.outcome = left == WAIT_TIMEOUT ? RefreshOutcome::kBusy : RefreshOutcome::kCannotRun;
        result.detail = left == WAIT_TIMEOUT
                            ? std::string("The status script of a probe ended while it held the turn was still "
                                          "ending at the bound; nothing was run")
                            : Said("The status script of a probe ended while it held the turn cannot be ended (error ",
                                   left, "); nothing was run");
        return result;
    }
    if (ServiceChecking(result)) {
        return result;
    }
    if (TooLittleLeft(leftMs(), boundMs)) {
        result.outcome = RefreshOutcome::kBusy;
        result.detail = Said("The turn came with ", leftMs() / kMsPerS,
                             Cat({" s of the ", std::to_string(timeoutSeconds),
                                  " s left, too little to run the status script; it was not run"}));
        return result;
    }
    const LogStamp before = StampOf(statusLogPath);
    if (before.error != 0) {
        result.outcome = RefreshOutcome::kCannotRun;
        result.detail = Said(kUnreadableBefore, before.error, "); the status script was not run");
        return result;
    }
    DWORD jobError = 0;
    const KernelHandle job = turn::CreateProbeJob(jobError);
    if (!job) {
        result.outcome = RefreshOutcome::kCannotRun;
        result.detail = Said("A job for the status script cannot be made (error ", jobError, "); it was not run");
        return result;
    }
    RunInJob(installDir, ScriptPathUnder(installDir), job.get(), leftMs(), result);
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
    const LogStamp after = StampOf(statusLogPath);
    if (after.error != 0) {
        result.notes.push_back(Said(kUnreadableAfter, after.error, ")"));
    }
    result.logRewritten = Rewritten(before, after);
    result.outcome = result.logRewritten ? RefreshOutcome::kRewritten : RefreshOutcome::kNotRewritten;
    result.detail = result.logRewritten
                        ? std::string()
                        : Said("The status script ended (exit code ", result.exitCode,
                               ") but did not rewrite the status log");
    return result;
}

}  // namespace orvex::check
