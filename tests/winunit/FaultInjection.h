// Failure injection for the host's operations: the system calls of SystemCalls.h and
// every allocation through operator new can be made to fail once, at their Nth use,
// while a run records what the host did (processes launched, entries, statuses sent,
// threads started, exceptions that left a thread).
#ifndef ORVEX_FAULT_INJECTION_H
#define ORVEX_FAULT_INJECTION_H

#include <windows.h>

#include <string>
#include <vector>

namespace orvex {
namespace fault {

enum Call : int {
    kCreateThread,
    kCreateEvent,
    kCreateProcess,
    kRegisterEventSource,
    kReportEvent,
    kSetServiceStatus,
    kCallKinds
};
// Calls and allocations are counted from 1; 0 fails none.
struct Plan {
    int call = kCallKinds;
    long nth = 0;
    DWORD slowSendMs = 0;  // each STOP_PENDING takes this long to send
};
// The code a failed system call leaves.
constexpr DWORD kInjectedError = ERROR_NO_SYSTEM_RESOURCES;

struct Entry {
    std::string text;
    WORD type;
};
struct Record {
    std::vector<std::string> launched;  // application name, or the command line
    std::vector<Entry> entries;
    std::vector<DWORD> statesSent;
    std::vector<DWORD> checkPointsSent;
    long calls[kCallKinds] = {};
    long allocations = 0;
    int escaped = 0;     // exceptions that left a thread
    int leftRunning = 0;  // threads still running at the end, ended by force
    long sentWhenMainEnded = -1;  // statuses sent when the service main returned; -1 before
};

// Begins a run: the service handle and the scripts are stand-ins (a script "runs" for
// no time at all, but for the held one, which runs until ReleaseStatusScript); the
// plan's failure is armed.
void BeginRun(const Plan& plan, const char* heldScript = "orvexStatus.bat");
// Waits for every thread the run started (ending those still running after the bound),
// disarms and returns the record.
Record EndRun(DWORD boundMs);
bool StatusScriptLaunched();  // the held script
// Whether the service has sent its first status, RUNNING (or tried to).
bool StatusTried();
// Whether every thread the run has started so far has ended.
bool WorkersEnded();
void ReleaseStatusScript();
// An exception that left a thread the harness itself runs.
void CountEscaped();
// The service main function has returned.
void ServiceMainEnded();
// Whether a status is being sent (slowly) right now.
bool Sending();

}  // namespace fault
}  // namespace orvex

#endif
