// One turn for every run of the product's status script on this installation: the
// service's startup check and orvexcheck --refresh both take it, so that the status
// log is never written by two runs at once, nor read while another run rewrites it.
// Beside it, a mark that tells a probe whether the service's startup check has yet to
// give its verdict.
#ifndef ORVEX_STATUS_SCRIPT_TURN_H
#define ORVEX_STATUS_SCRIPT_TURN_H

#include <windows.h>

#include "ScopedHandle.h"

namespace orvex::turn {

// Global names, so that every session takes the same turn.
constexpr const char* kTurnName = "Global\\orvexStatusScriptTurn";
// The job a probe's status script runs in: a probe that finds the turn abandoned ends
// what is left in it before it runs the script.
constexpr const char* kProbeJobName = "Global\\orvexcheckStatusScriptJob";
// Unsignalled from the service main until the startup check's verdict is written.
constexpr const char* kStartupCheckName = "Global\\orvexWinServiceStartupCheck";
// Only SYSTEM and Administrators: whoever may take the turn could hold it for ever.
constexpr const char* kSecurity = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// What taking and releasing the turn needs, and no more.
constexpr DWORD kTurnAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
// The host's longest wait for the turn: a probe's refresh is bounded at 120 s, and its
// job is ended then.
constexpr DWORD kHostTurnWaitMs = 125000;

// Opens the turn, creating it where none exists yet, with kTurnAccess: 0, or the error.
DWORD OpenTurn(const char* name, KernelHandle& turn);

// Ends whatever a probe killed while it held the turn left in its job, and waits within
// waitMs until none of it is left. 0 where nothing is left (or there was no such job),
// otherwise the error, or WAIT_TIMEOUT where some of it still ran at the bound.
DWORD EndLeftProbeTree(DWORD waitMs);

// The probe's job, named kProbeJobName where that can be done; its processes end when
// its last handle closes. Empty, with error set, where no job can be made.
KernelHandle CreateProbeJob(DWORD& error);

// The startup check's mark, set by the service: StartupCheckBegins in the service main
// (the mark lives as long as the process), StartupCheckEnds once the verdict is written.
void StartupCheckBegins();
void StartupCheckEnds();

enum class CheckMark { kAbsent, kRunning, kEnded, kUnreadable };
// The mark as a probe finds it; error is set on kUnreadable.
CheckMark ReadStartupCheckMark(DWORD& error);

// The startup check's part in the turn: taken for the status script and the scan,
// given up at once where it does not come. A status script that the check leaves
// running keeps the turn until it ends (an hour at most). When this ends, the check
// has ended too.
class StartupCheckTurn {
public:
    StartupCheckTurn() = default;
    StartupCheckTurn(const StartupCheckTurn&) = delete;
    StartupCheckTurn& operator=(const StartupCheckTurn&) = delete;
    ~StartupCheckTurn();

    void Take();
    void KeepWhileRunning(HANDLE script);
    void Release();
    // The verdict has been written: probes may run the script once the turn is free.
    static void CheckEnded() { StartupCheckEnds(); }

private:
    KernelHandle turn_;
    KernelHandle leftScript_;
    bool held_ = false;
};

}  // namespace orvex::turn

#endif
