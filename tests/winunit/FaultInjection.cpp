#include "FaultInjection.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "SystemCalls.h"

namespace orvex {
namespace fault {
namespace {

// The stand-in service status handle: SetServiceStatus with it is recorded only.
const auto kFakeStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5e7));

std::atomic<bool> armed{false};
std::atomic<long> allocations{0};
std::atomic<long> failAllocation{0};
std::atomic<bool> sending{false};
std::atomic<DWORD> slowSendMs{0};
// The seam's own bookkeeping allocates; it is neither counted nor failed.
thread_local bool inSeam = false;

struct SeamScope {
    SeamScope() : outer(inSeam) { inSeam = true; }
    ~SeamScope() { inSeam = outer; }
    SeamScope(const SeamScope&) = delete;
    SeamScope& operator=(const SeamScope&) = delete;
    bool outer;
};

std::mutex lock;
Plan plan;
Record record;
std::vector<HANDLE> threads;
HANDLE statusScriptRuns = nullptr;  // a manual-reset event: set, the held script has ended
const char* held = "orvexStatus.bat";
bool statusLaunched = false;

// Counts a call of one kind; true where this one is to fail.
bool Fails(int call) {
    const std::lock_guard<std::mutex> guard(lock);
    if (!armed) {
        return false;
    }
    const long nth = ++record.calls[call];
    if (plan.call == call && plan.nth == nth) {
        SetLastError(kInjectedError);
        return true;
    }
    return false;
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

DWORD WINAPI RunThread(LPVOID parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    {
        const SeamScope scope;
        delete static_cast<ThreadStart*>(parameter);
    }
    try {
        return start.routine(start.parameter);
    } catch (...) {
        CountEscaped();
        return 1;
    }
}

HANDLE Duplicate(HANDLE handle) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

bool EndsWith(const char* text, const char* end) {
    const std::size_t length = std::strlen(text);
    const std::size_t endLength = std::strlen(end);
    return length >= endLength && std::strcmp(text + length - endLength, end) == 0;
}

void* Allocate(std::size_t size) {
    if (armed && !inSeam) {
        const long nth = ++allocations;
        if (nth == failAllocation) {
            throw std::bad_alloc();
        }
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

}  // namespace

void BeginRun(const Plan& next, const char* heldScript) {
    const SeamScope scope;
    const std::lock_guard<std::mutex> guard(lock);
    plan = next;
    held = heldScript;
    record = Record{};
    threads.clear();
    statusLaunched = false;
    if (statusScriptRuns == nullptr) {
        statusScriptRuns = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ResetEvent(statusScriptRuns);
    allocations = 0;
    failAllocation = plan.call == kCallKinds ? plan.nth : 0;
    slowSendMs = plan.slowSendMs;
    armed = true;
}

Record EndRun(DWORD boundMs) {
    const SeamScope scope;
    std::vector<HANDLE> started;
    {
        const std::lock_guard<std::mutex> guard(lock);
        started = threads;
        threads.clear();
    }
    const DWORD deadline = GetTickCount() + boundMs;
    int leftRunning = 0;
    for (const HANDLE thread : started) {
        const DWORD now = GetTickCount();
        const DWORD left = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
        if (WaitForSingleObject(thread, left) != WAIT_OBJECT_0) {
            // A thread that would still run into the next run is ended here; the harness
            // counts it as a failure. Those seen so are blocked in a wait, holding no lock.
            TerminateThread(thread, 1);
            ++leftRunning;
        }
        CloseHandle(thread);
    }
    armed = false;
    const std::lock_guard<std::mutex> guard(lock);
    record.allocations = allocations;
    record.leftRunning = leftRunning;
    return record;
}

bool StatusScriptLaunched() {
    const std::lock_guard<std::mutex> guard(lock);
    return statusLaunched;
}

bool StatusTried() {
    const std::lock_guard<std::mutex> guard(lock);
    return record.calls[kSetServiceStatus] > 0;
}

bool WorkersEnded() {
    const std::lock_guard<std::mutex> guard(lock);
    return std::all_of(threads.begin(), threads.end(),
                       [](HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; });
}

void ReleaseStatusScript() {
    SetEvent(statusScriptRuns);
}

void CountEscaped() {
    const std::lock_guard<std::mutex> guard(lock);
    ++record.escaped;
}

void ServiceMainEnded() {
    const std::lock_guard<std::mutex> guard(lock);
    record.sentWhenMainEnded = static_cast<long>(record.statesSent.size());
}

bool Sending() {
    return sending;
}

}  // namespace fault

namespace sys {

using fault::Fails;
using fault::SeamScope;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId) {
    const SeamScope scope;
    if (Fails(fault::kCreateThread)) {
        return nullptr;
    }
    if (!fault::armed) {
        return ::CreateThread(attributes, stackSize, start, parameter, flags, threadId);
    }
    auto* wrapped = new fault::ThreadStart{start, parameter};
    const HANDLE thread = ::CreateThread(attributes, stackSize, fault::RunThread, wrapped, flags, threadId);
    if (thread == nullptr) {
        delete wrapped;
        return nullptr;
    }
    const std::lock_guard<std::mutex> guard(fault::lock);
    fault::threads.push_back(fault::Duplicate(thread));
    return thread;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
    const SeamScope scope;
    if (Fails(fault::kCreateEvent)) {
        return nullptr;
    }
    return ::CreateEventA(attributes, manualReset, initialState, name);
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags, LPVOID environment,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation) {
    const SeamScope scope;
    if (!fault::armed) {
        return ::CreateProcessA(applicationName, commandLine, processAttributes, threadAttributes, inheritHandles,
                                flags, environment, currentDirectory, startupInfo, processInformation);
    }
    if (Fails(fault::kCreateProcess)) {
        return FALSE;
    }
    const char* name = applicationName != nullptr ? applicationName : commandLine;
    const bool status = fault::EndsWith(name, fault::held);
    HANDLE ended = ::CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const std::lock_guard<std::mutex> guard(fault::lock);
    fault::record.launched.emplace_back(name);
    // A script that has ended at once, or the status script, which ends when released.
    processInformation->hProcess = status ? fault::Duplicate(fault::statusScriptRuns) : fault::Duplicate(ended);
    processInformation->hThread = ended;
    processInformation->dwProcessId = 0;
    processInformation->dwThreadId = 0;
    fault::statusLaunched = fault::statusLaunched || status;
    return TRUE;
}

HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source) {
    const SeamScope scope;
    if (Fails(fault::kRegisterEventSource)) {
        return nullptr;
    }
    return ::RegisterEventSourceA(server, source);
}

BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user, WORD count, DWORD dataSize,
                  LPCSTR* strings, LPVOID data) {
    const SeamScope scope;
    if (!fault::armed) {
        return ::ReportEventA(source, type, category, eventId, user, count, dataSize, strings, data);
    }
    if (Fails(fault::kReportEvent)) {
        return FALSE;
    }
    const std::lock_guard<std::mutex> guard(fault::lock);
    fault::record.entries.push_back({count > 0 ? strings[0] : "", type});
    return TRUE;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    const SeamScope scope;
    if (handle != fault::kFakeStatusHandle) {
        return ::SetServiceStatus(handle, status);
    }
    if (Fails(fault::kSetServiceStatus)) {
        return FALSE;
    }
    if (fault::slowSendMs > 0 && status->dwCurrentState == SERVICE_STOP_PENDING) {
        fault::sending = true;
        Sleep(fault::slowSendMs);
        fault::sending = false;
    }
    const std::lock_guard<std::mutex> guard(fault::lock);
    fault::record.statesSent.push_back(status->dwCurrentState);
    fault::record.checkPointsSent.push_back(status->dwCheckPoint);
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
    if (!fault::armed) {
        return ::RegisterServiceCtrlHandlerExA(name, handler, context);
    }
    return fault::kFakeStatusHandle;
}

}  // namespace sys
}  // namespace orvex

// The allocation hook: every operator new of the test executable goes through it.
void* operator new(std::size_t size) {
    return orvex::fault::Allocate(size);
}
void* operator new[](std::size_t size) {
    return orvex::fault::Allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t /*size*/) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t /*size*/) noexcept {
    std::free(memory);
}
