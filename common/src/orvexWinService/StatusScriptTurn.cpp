#include "StatusScriptTurn.h"

#include <sddl.h>

namespace orvex::turn {
namespace {

constexpr DWORD kTreePollMs = 20;
// A status script the startup check left running keeps the turn this long at most.
constexpr DWORD kLeftScriptHoldMs = 3600000;

// The security of the turn, the probe's job and the mark; the account's defaults
// where the descriptor cannot be built.
class Security {
public:
    Security() {
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(kSecurity, SDDL_REVISION_1, &descriptor_,
                                                                 nullptr) == FALSE) {
            descriptor_ = nullptr;
        }
        attributes_ = {static_cast<DWORD>(sizeof(attributes_)), descriptor_, FALSE};
    }
    Security(const Security&) = delete;
    Security& operator=(const Security&) = delete;
    ~Security() {
        if (descriptor_ != nullptr) {
            (void)LocalFree(descriptor_);
        }
    }
    SECURITY_ATTRIBUTES* Get() { return descriptor_ != nullptr ? &attributes_ : nullptr; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_ = {};
};

// The mark: one per process, made by the service main before the worker threads start.
// The process's end closes it, so that no thread still running at the exit finds it
// closed under it.
HANDLE& Mark() {
    static HANDLE mark = nullptr;
    return mark;
}

}  // namespace

DWORD OpenTurn(const char* name, KernelHandle& turn) {
    Security security;
    turn.reset(CreateMutexExA(security.Get(), name, 0, kTurnAccess));
    return turn ? 0 : GetLastError();
}

DWORD EndLeftProbeTree(DWORD waitMs) {
    const KernelHandle job(OpenJobObjectA(JOB_OBJECT_TERMINATE | JOB_OBJECT_QUERY, FALSE, kProbeJobName));
    if (!job) {
        const DWORD error = GetLastError();
        // No job by that name: no probe's handle to it is left, and closing the last one
        // ended its processes.
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    if (TerminateJobObject(job.get(), 1) == FALSE) {
        return GetLastError();
    }
    const ULONGLONG began = GetTickCount64();
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (QueryInformationJobObject(job.get(), JobObjectBasicAccountingInformation, &accounting,
                                      sizeof(accounting), nullptr) == FALSE) {
            return GetLastError();
        }
        if (accounting.ActiveProcesses == 0) {
            return 0;
        }
        if (GetTickCount64() - began >= waitMs) {
            return WAIT_TIMEOUT;
        }
        Sleep(kTreePollMs);
    }
}

KernelHandle CreateProbeJob(DWORD& error) {
    Security security;
    KernelHandle job(CreateJobObjectA(security.Get(), kProbeJobName));
    if (!job) {
        // Without the name only a killed probe's left processes go unseen.
        job.reset(CreateJobObjectA(nullptr, nullptr));
    }
    if (!job) {
        error = GetLastError();
        return job;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)) == FALSE) {
        error = GetLastError();
        job.reset();
    }
    return job;
}

void StartupCheckBegins() {
    HANDLE& mark = Mark();
    if (mark != nullptr) {
        return;
    }
    Security security;
    mark = CreateEventA(security.Get(), TRUE, FALSE, kStartupCheckName);
    if (mark != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        (void)ResetEvent(mark);
    }
}

void StartupCheckEnds() {
    const HANDLE mark = Mark();
    if (mark != nullptr) {
        (void)SetEvent(mark);
    }
}

CheckMark ReadStartupCheckMark(DWORD& error) {
    const KernelHandle mark(OpenEventA(SYNCHRONIZE, FALSE, kStartupCheckName));
    if (!mark) {
        error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? CheckMark::kAbsent
                                                                              : CheckMark::kUnreadable;
    }
    const DWORD state = WaitForSingleObject(mark.get(), 0);
    if (state == WAIT_OBJECT_0) {
        return CheckMark::kEnded;
    }
    if (state == WAIT_TIMEOUT) {
        return CheckMark::kRunning;
    }
    error = GetLastError();
    return CheckMark::kUnreadable;
}

StartupCheckTurn::~StartupCheckTurn() {
    StartupCheckEnds();
    if (held_ && leftScript_) {
        (void)WaitForSingleObject(leftScript_.get(), kLeftScriptHoldMs);
    }
    if (held_) {
        (void)ReleaseMutex(turn_.get());
    }
}

void StartupCheckTurn::Take() {
    if (OpenTurn(kTurnName, turn_) != 0) {
        return;  // the check goes on without it
    }
    const ULONGLONG began = GetTickCount64();
    const DWORD result = WaitForSingleObject(turn_.get(), kHostTurnWaitMs);
    held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    if (result == WAIT_ABANDONED) {
        // A probe killed while it held the turn: what it left running ends first.
        const ULONGLONG spent = GetTickCount64() - began;
        (void)EndLeftProbeTree(spent < kHostTurnWaitMs ? static_cast<DWORD>(kHostTurnWaitMs - spent) : 0);
    }
}

void StartupCheckTurn::KeepWhileRunning(HANDLE script) {
    HANDLE copy = nullptr;
    if (held_ && WaitForSingleObject(script, 0) == WAIT_TIMEOUT &&
        DuplicateHandle(GetCurrentProcess(), script, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0) != FALSE) {
        leftScript_.reset(copy);
    }
}

void StartupCheckTurn::Release() {
    if (held_ && (!leftScript_ || WaitForSingleObject(leftScript_.get(), 0) == WAIT_OBJECT_0)) {
        (void)ReleaseMutex(turn_.get());
        held_ = false;
    }
}

}  // namespace orvex::turn
