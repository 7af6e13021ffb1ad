// Every failure survived: each operation of the host is run once for every allocation
// it makes and every system call it needs, with that one failing, and the invariants of
// a sound service are checked after each run.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "FaultInjection.h"
#include "HostLogic.h"
#include "ServiceContext.h"

namespace orvex {
namespace {

using fault::Record;

constexpr DWORD kBoundMs = 2000;

enum class Operation {
    kConfirmedStart,      // a start whose check confirms it, then STOP
    kFailedStart,         // a start whose check fails: the service stops itself
    kStopDuringCheck,     // STOP while the status script runs
    kPreshutdownDuring,   // PRESHUTDOWN while the status script runs
    kPreshutdownAfter,    // PRESHUTDOWN once the check has confirmed the start
    kInterrogateAndStop,  // INTERROGATE and a control the service ignores, then STOP
    kUninstallStop,       // the stop that -uninstall runs from the console
};

struct Scenario {
    const char* name;
    Operation operation;
    bool confirmed;  // the product files hold every component's line
};

const Scenario kScenarios[] = {
    {"confirmed start, STOP after the check", Operation::kConfirmedStart, true},
    {"failed start", Operation::kFailedStart, false},
    {"STOP during the check", Operation::kStopDuringCheck, false},
    {"PRESHUTDOWN during the check", Operation::kPreshutdownDuring, true},
    {"PRESHUTDOWN after the check", Operation::kPreshutdownAfter, true},
    {"INTERROGATE, an ignored control, STOP", Operation::kInterrogateAndStop, true},
    {"-uninstall's stop", Operation::kUninstallStop, true},
};

void WriteProductFiles(bool confirmed) {
    const std::string installDir = ServiceContext::Instance().InstallDir();
    CreateDirectoryA((installDir + "\\etc").c_str(), nullptr);
    CreateDirectoryA((installDir + "\\logs").c_str(), nullptr);
    std::ofstream(installDir + "\\etc\\status.properties", std::ios::binary) << "kernel=Kernel,started,OK\r\n";
    std::ofstream(ServiceContext::Instance().StatusLogPath(), std::ios::binary)
        << (confirmed ? "Kernel has started and is OK\r\n" : "Kernel is down\r\n");
}

DWORD WINAPI RunServiceMain(LPVOID /*parameter*/) {
    try {
        ServiceMainEntry(0, nullptr);
        fault::ServiceMainEnded();
    } catch (...) {
        fault::CountEscaped();
    }
    return 0;
}

void Control(DWORD control) {
    try {
        (void)ControlHandlerEntry(control, 0, nullptr, nullptr);
    } catch (...) {
        fault::CountEscaped();
    }
}

// Polls until the condition holds or the bound has passed.
template <class Condition>
void WaitFor(Condition condition, HANDLE serviceMain) {
    for (int i = 0; i < 400 && !condition(); ++i) {
        if (serviceMain != nullptr && WaitForSingleObject(serviceMain, 0) == WAIT_OBJECT_0) {
            return;
        }
        Sleep(5);
    }
}

struct Outcome {
    Record record;
    bool serviceMainEnded = true;
    DWORD finalState = 0;
};

Outcome RunOnce(const Scenario& scenario, const fault::Plan& plan) {
    ServiceContext& context = ServiceContext::Instance();
    // As a service that has not begun to stop; an earlier run may have left STOPPED.
    context.ReportStatus(SERVICE_RUNNING, NO_ERROR, 0);
    Outcome outcome;
    fault::BeginRun(plan);
    if (scenario.operation == Operation::kUninstallStop) {
        try {
            (void)context.StopIfFirst(StopCause::kUninstall, ServiceContext::StopThread::kThisOne);
        } catch (...) {
            fault::CountEscaped();
        }
    } else {
        const HANDLE serviceMain = ::CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr);
        const bool during = scenario.operation == Operation::kStopDuringCheck ||
                            scenario.operation == Operation::kPreshutdownDuring;
        // No control comes before the service has reported RUNNING.
        WaitFor(fault::StatusTried, serviceMain);
        if (during) {
            WaitFor(fault::StatusScriptLaunched, serviceMain);
        } else {
            fault::ReleaseStatusScript();
        }
        if (scenario.operation == Operation::kFailedStart) {
            // A check that reached no verdict leaves the service RUNNING, and stoppable.
            WaitFor(fault::WorkersEnded, serviceMain);
            if (context.CurrentStatus().dwCurrentState == SERVICE_RUNNING) {
                Control(SERVICE_CONTROL_STOP);
            }
        } else {
            if (!during) {
                // Once the check is over: its thread has ended, or the service has.
                WaitFor(fault::WorkersEnded, serviceMain);
            }
            switch (scenario.operation) {
                case Operation::kStopDuringCheck:
                case Operation::kConfirmedStart:
                    Control(SERVICE_CONTROL_STOP);
                    break;
                case Operation::kInterrogateAndStop:
                    Control(SERVICE_CONTROL_INTERROGATE);
                    Control(128);
                    Control(SERVICE_CONTROL_STOP);
                    break;
                default:
                    Control(SERVICE_CONTROL_PRESHUTDOWN);
                    break;
            }
            fault::ReleaseStatusScript();
        }
        outcome.serviceMainEnded = WaitForSingleObject(serviceMain, kBoundMs) == WAIT_OBJECT_0;
        if (!outcome.serviceMainEnded) {
            // Left waiting for a stop-done that never comes: ended, and counted.
            TerminateThread(serviceMain, 1);
        }
        CloseHandle(serviceMain);
    }
    outcome.record = fault::EndRun(kBoundMs);
    outcome.finalState = context.CurrentStatus().dwCurrentState;
    return outcome;
}

bool StartsWith(const std::string& text, const char* start) {
    return text.rfind(start, 0) == 0;
}

// The invariants of one run; each failed one is a line of the result.
std::vector<std::string> Violations(const Scenario& scenario, const fault::Plan& plan, const Outcome& outcome,
                                    long& checks) {
    const Record& record = outcome.record;
    std::vector<std::string> violations;
    const auto check = [&](bool holds, const char* what) {
        ++checks;
        if (!holds) {
            violations.emplace_back(what);
        }
    };
    const bool stopBegan =
        std::count(record.statesSent.begin(), record.statesSent.end(), DWORD{SERVICE_STOP_PENDING}) > 0 ||
        (scenario.operation == Operation::kUninstallStop && outcome.finalState != SERVICE_RUNNING);
    check(!stopBegan || outcome.finalState == SERVICE_STOPPED, "a stop that began did not end in STOPPED");
    check(outcome.serviceMainEnded, "the service main function never ended (stop-done not set)");
    const long stopRuns = std::count_if(record.launched.begin(), record.launched.end(), [](const std::string& name) {
        return name.size() >= 13 && name.compare(name.size() - 13, 13, "orvexStop.bat") == 0;
    });
    check(stopRuns <= 1, "the stop script ran more than once");
    const bool stopHeard = std::any_of(record.entries.begin(), record.entries.end(), [](const fault::Entry& entry) {
        return entry.type == EVENTLOG_ERROR_TYPE && (StartsWith(entry.text, text::kStopLaunchFailed) ||
                                                     StartsWith(entry.text, text::kStopFailed) ||
                                                     StartsWith(entry.text, text::kCheckFailed));
    });
    check(!stopBegan || stopRuns == 1 || stopHeard, "a stop began, the stop script did not run, and no entry says why");
    check(record.sentWhenMainEnded < 0 || record.sentWhenMainEnded == static_cast<long>(record.statesSent.size()),
          "a status was sent after the service main returned");
    check(record.escaped == 0, "an exception left a thread");
    check(record.leftRunning == 0, "a thread was left running");
    const auto stopped = std::find(record.statesSent.begin(), record.statesSent.end(), DWORD{SERVICE_STOPPED});
    check(stopped == record.statesSent.end() || stopped + 1 == record.statesSent.end(),
          "a status was reported after STOPPED");
    // The failure put in is heard, once; a failure of the event log itself cannot be.
    const bool reached =
        plan.nth > 0 && (plan.call == fault::kCallKinds ? record.allocations : record.calls[plan.call]) >= plan.nth;
    if (reached && plan.call != fault::kReportEvent && plan.call != fault::kRegisterEventSource) {
        const std::string memory = std::bad_alloc().what();
        const std::string code = std::to_string(plan.call == fault::kCallKinds ? ERROR_NOT_ENOUGH_MEMORY
                                                                               : fault::kInjectedError);
        const long heard = std::count_if(record.entries.begin(), record.entries.end(), [&](const fault::Entry& entry) {
            const std::string& text = entry.text;
            return text.find(memory) != std::string::npos ||
                   (text.size() > code.size() && text.compare(text.size() - code.size() - 2, 2, ": ") == 0 &&
                    text.compare(text.size() - code.size(), code.size(), code) == 0);
        });
        check(heard == 1, "the failure put in is not one entry");
    }
    return violations;
}

TEST(FailureInjection, EveryAllocationAndSystemCallOfEveryOperationFailsOnceAndIsSurvived) {
    long pointsReached = 0;
    long invariantChecks = 0;
    long failuresFound = 0;
    const char* callNames[] = {"CreateThread", "CreateEventA", "CreateProcessA", "RegisterEventSourceA",
                               "ReportEventA", "SetServiceStatus"};
    for (const Scenario& scenario : kScenarios) {
        WriteProductFiles(scenario.confirmed);
        std::printf("%s\n", scenario.name);
        (void)std::fflush(stdout);
        const Outcome clean = RunOnce(scenario, fault::Plan{});
        const std::vector<std::string> cleanViolations = Violations(scenario, fault::Plan{}, clean, invariantChecks);
        for (const std::string& violation : cleanViolations) {
            ADD_FAILURE() << scenario.name << ", no failure put in: " << violation;
        }
        // Every allocation, until a run makes no more than the failure's number.
        for (long nth = 1;; ++nth) {
            const fault::Plan plan{fault::kCallKinds, nth};
            const Outcome outcome = RunOnce(scenario, plan);
            if (outcome.record.allocations < nth) {
                break;
            }
            ++pointsReached;
            for (const std::string& violation : Violations(scenario, plan, outcome, invariantChecks)) {
                ++failuresFound;
                ADD_FAILURE() << scenario.name << ", allocation " << nth << ": " << violation;
            }
        }
        for (int call = 0; call < fault::kCallKinds; ++call) {
            for (long nth = 1; nth <= clean.record.calls[call]; ++nth) {
                const fault::Plan plan{call, nth};
                const Outcome outcome = RunOnce(scenario, plan);
                if (outcome.record.calls[call] < nth) {
                    continue;
                }
                ++pointsReached;
                for (const std::string& violation : Violations(scenario, plan, outcome, invariantChecks)) {
                    ++failuresFound;
                    ADD_FAILURE() << scenario.name << ", " << callNames[call] << " call " << nth << ": "
                                  << violation;
                }
            }
        }
    }
    std::printf("failure injection: %ld injection points reached, %ld invariant checks, %ld failures found\n",
                pointsReached, invariantChecks, failuresFound);
    EXPECT_GT(pointsReached, 0);
}

DWORD WINAPI SendStop(LPVOID /*parameter*/) {
    Control(SERVICE_CONTROL_STOP);
    return 0;
}

using Send = void (*)();
DWORD WINAPI RunSend(LPVOID parameter) {
    (*static_cast<const Send*>(parameter))();
    return 0;
}

// What reaches the host while a stop runs (Wine's service manager refuses controls to a
// STOP_PENDING service itself, so only this drives them into the handler): a second stop
// of any kind begins nothing, and INTERROGATE re-sends STOP_PENDING with the next
// checkpoint.
TEST(FailureInjection, WhatReachesTheHostDuringAStopBeginsNothing) {
    ServiceContext& context = ServiceContext::Instance();
    WriteProductFiles(true);
    const struct {
        const char* what;
        Send send;
        long pendingReports;
        DWORD slowSendMs;  // the second control's status is still being sent as the stop ends
    } cases[] = {
        {"STOP", [] { Control(SERVICE_CONTROL_STOP); }, 1, 0},
        {"PRESHUTDOWN", [] { Control(SERVICE_CONTROL_PRESHUTDOWN); }, 1, 0},
        {"the failed check's stop",
         [] {
             (void)ServiceContext::Instance().StopIfFirst(StopCause::kFailedStartupCheck,
                                                          ServiceContext::StopThread::kThisOne);
         },
         1, 0},
        {"INTERROGATE", [] { Control(SERVICE_CONTROL_INTERROGATE); }, 2, 0},
        {"INTERROGATE still sending as STOPPED is decided", [] { Control(SERVICE_CONTROL_INTERROGATE); }, 2, 300},
    };
    for (const auto& c : cases) {
        context.ReportStatus(SERVICE_RUNNING, NO_ERROR, 0);
        // The stop script runs until released.
        fault::BeginRun(fault::Plan{fault::kCallKinds, 0, c.slowSendMs}, "orvexStop.bat");
        const HANDLE serviceMain = ::CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr);
        WaitFor(fault::StatusTried, serviceMain);
        WaitFor(fault::WorkersEnded, serviceMain);
        const HANDLE first = ::CreateThread(nullptr, 0, SendStop, nullptr, 0, nullptr);
        WaitFor(fault::StatusScriptLaunched, serviceMain);
        const HANDLE second = ::CreateThread(nullptr, 0, RunSend, const_cast<Send*>(&c.send), 0, nullptr);
        if (c.slowSendMs > 0) {
            WaitFor(fault::Sending, serviceMain);
            fault::ReleaseStatusScript();
        }
        EXPECT_EQ(WaitForSingleObject(second, kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0)) << c.what;
        fault::ReleaseStatusScript();
        for (const HANDLE thread : {first, second, serviceMain}) {
            EXPECT_EQ(WaitForSingleObject(thread, kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0)) << c.what;
            CloseHandle(thread);
        }
        const Record record = fault::EndRun(kBoundMs);
        EXPECT_EQ(std::count_if(record.launched.begin(), record.launched.end(),
                                [](const std::string& name) { return name.find("orvexStop.bat") != std::string::npos; }),
                  1)
            << c.what;
        EXPECT_EQ(std::count_if(record.entries.begin(), record.entries.end(),
                                [](const fault::Entry& entry) { return StartsWith(entry.text, text::kStopping); }),
                  1)
            << c.what;
        ASSERT_FALSE(record.statesSent.empty()) << c.what;
        EXPECT_EQ(record.sentWhenMainEnded, static_cast<long>(record.statesSent.size())) << c.what;
        EXPECT_EQ(record.statesSent.back(), static_cast<DWORD>(SERVICE_STOPPED)) << c.what;
        std::vector<DWORD> pending;
        for (std::size_t i = 0; i < record.statesSent.size(); ++i) {
            if (record.statesSent[i] == SERVICE_STOP_PENDING) {
                pending.push_back(record.checkPointsSent[i]);
            }
        }
        ASSERT_EQ(static_cast<long>(pending.size()), c.pendingReports) << c.what;
        for (std::size_t i = 1; i < pending.size(); ++i) {
            EXPECT_EQ(pending[i], pending[i - 1] + 1) << c.what;
        }
    }
}

}  // namespace
}  // namespace orvex
