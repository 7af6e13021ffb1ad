// svcctl: drives the service manager and a few process/file primitives for the service tests.
// Every command prints key=value lines to stdout; exit code 0 = success, 1 = failure, 2 = usage.
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPollMs = 10;
constexpr DWORD kRunTimeoutMs = 120000;

// Handles that close themselves when they go out of scope.
struct CloseKernel { void operator()(HANDLE h) const { CloseHandle(h); } };
struct CloseService { void operator()(SC_HANDLE h) const { CloseServiceHandle(h); } };
struct CloseKey { void operator()(HKEY h) const { RegCloseKey(h); } };
struct FreeLocal { void operator()(void* p) const { LocalFree(p); } };
using Handle = std::unique_ptr<void, CloseKernel>;
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, CloseService>;
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, CloseKey>;

// CreateFileA and CreateToolhelp32Snapshot report failure as INVALID_HANDLE_VALUE rather than null.
HANDLE orNull(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }

void put(const char* key, unsigned long value) { std::printf("%s=%lu\n", key, value); }
void put(const char* key, const char* value) { std::printf("%s=%s\n", key, value ? value : ""); }

// Reports a failed call; `error` must be read right after the call that failed.
int fail(const char* what, DWORD error)
{
    put("error", error);
    put("what", what);
    return 1;
}

int usage()
{
    std::fputs("usage: svcctl query|config|exists|marked|delete|interrogate NAME\n"
               "       svcctl start|stop NAME TIMEOUT_MS\n"
               "       svcctl wait NAME STATE TIMEOUT_MS\n"
               "       svcctl control NAME CODE\n"
               "       svcctl run COMMAND [ARGS...]\n"
               "       svcctl sleep MS\n"
               "       svcctl holdopen PATH none|read|write|readwrite MS [APPENDTEXT]\n"
               "       svcctl lock PATH OFFSET LENGTH MS\n"
               "       svcctl procs | proclist | kill PID | setevent NAME\n"
               "       svcctl waitproc PID TIMEOUT_MS | handles PID\n"
               "       svcctl spawn ARGS... | now\n"
               "       svcctl version PATH\n"
               "       svcctl source|denysource NAME\n"
               "       svcctl format PATH TEXTFILE OUTFILE\n", stderr);
    return 2;
}

// Parses an unsigned decimal number; rejects signs, blanks and trailing characters.
bool toDword(const char* text, DWORD& out)
{
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = static_cast<DWORD>(value);
    return true;
}

unsigned long msSince(Clock::time_point t0)
{
    return static_cast<unsigned long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

DWORD msUntil(Clock::time_point deadline)
{
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return 0;
    return static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

Clock::time_point deadlineAfter(Clock::time_point t0, DWORD ms) { return t0 + std::chrono::milliseconds(ms); }

// Opens one service; prints the failure and returns an empty handle on error.
ScHandle openService(const char* name, DWORD access)
{
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) { fail("OpenSCManagerA", GetLastError()); return ScHandle(); }
    ScHandle service(OpenServiceA(scm.get(), name, access));
    if (!service) fail("OpenServiceA", GetLastError());
    return service;
}

bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                sizeof status, &needed) != FALSE;
}

void putStatus(const SERVICE_STATUS_PROCESS& s)
{
    put("state", s.dwCurrentState);
    put("checkpoint", s.dwCheckPoint);
    put("waithint", s.dwWaitHint);
    put("exitcode", s.dwWin32ExitCode);
    put("specific", s.dwServiceSpecificExitCode);
    put("controls", s.dwControlsAccepted);
    put("type", s.dwServiceType);
    put("pid", s.dwProcessId);
}

// What a stop observed: the distinct states in order, the first STOP_PENDING status,
// the last STOP_PENDING checkpoint, and the longest the service went without a new
// report while stopping (from STOP_PENDING or a checkpoint change to the next change
// or to the end of STOP_PENDING), which Windows holds against the wait hint.
struct StateLog {
    std::string seen;
    DWORD last = 0;
    bool pendingSeen = false;
    SERVICE_STATUS_PROCESS pending{};
    DWORD lastPendingCheckPoint = 0;
    Clock::time_point lastReport{};
    unsigned long longestGapMs = 0;

    void observe(const SERVICE_STATUS_PROCESS& s)
    {
        const Clock::time_point now = Clock::now();
        const bool wasPending = last == SERVICE_STOP_PENDING;
        const bool isPending = s.dwCurrentState == SERVICE_STOP_PENDING;
        if (wasPending && (!isPending || s.dwCheckPoint != lastPendingCheckPoint)) {
            const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastReport).count();
            if (static_cast<unsigned long>(gap) > longestGapMs) longestGapMs = static_cast<unsigned long>(gap);
        }
        if (isPending && (!wasPending || s.dwCheckPoint != lastPendingCheckPoint)) lastReport = now;
        if (s.dwCurrentState != last) {
            if (!seen.empty()) seen += ',';
            seen += std::to_string(s.dwCurrentState);
            last = s.dwCurrentState;
        }
        if (isPending && !pendingSeen) {
            pendingSeen = true;
            pending = s;
        }
        if (isPending) lastPendingCheckPoint = s.dwCheckPoint;
    }
};

// Polls every 10 ms until the state is `want1` or `want2` or the deadline passes.
// Returns false (after printing the error) only if a status query fails.
bool pollUntil(SC_HANDLE service, DWORD want1, DWORD want2, Clock::time_point deadline,
               SERVICE_STATUS_PROCESS& status, StateLog* log)
{
    for (;;) {
        if (!queryStatus(service, status)) { fail("QueryServiceStatusEx", GetLastError()); return false; }
        if (log) log->observe(status);
        if (status.dwCurrentState == want1 || status.dwCurrentState == want2) return true;
        const DWORD left = msUntil(deadline);
        if (left == 0) return true;
        Sleep(left < kPollMs ? left : kPollMs);
    }
}

int cmdQuery(const char* name)
{
    ScHandle service = openService(name, SERVICE_QUERY_STATUS);
    if (!service) return 1;
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(service.get(), status)) return fail("QueryServiceStatusEx", GetLastError());
    putStatus(status);
    return 0;
}

int cmdConfig(const char* name)
{
    ScHandle service = openService(name, SERVICE_QUERY_CONFIG);
    if (!service) return 1;
    std::vector<QUERY_SERVICE_CONFIGA> buffer(8192 / sizeof(QUERY_SERVICE_CONFIGA));
    DWORD needed = 0;
    while (!QueryServiceConfigA(service.get(), buffer.data(),
                                static_cast<DWORD>(buffer.size() * sizeof buffer[0]), &needed)) {
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size() * sizeof buffer[0])
            return fail("QueryServiceConfigA", error);
        buffer.resize(needed / sizeof buffer[0] + 1);
    }
    const QUERY_SERVICE_CONFIGA& c = buffer[0];
    put("type", c.dwServiceType);
    put("start", c.dwStartType);
    put("errorcontrol", c.dwErrorControl);
    put("binpath", c.lpBinaryPathName);
    put("account", c.lpServiceStartName);
    put("display", c.lpDisplayName);
    put("group", c.lpLoadOrderGroup);
    put("dependencies", c.lpDependencies);  // first entry of the double-NUL list

    // The description, as services.msc and `sc qdescription` show it.
    std::vector<SERVICE_DESCRIPTIONA> more(8192 / sizeof(SERVICE_DESCRIPTIONA));
    while (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(more.data()),
                                 static_cast<DWORD>(more.size() * sizeof more[0]), &needed)) {
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || needed <= more.size() * sizeof more[0])
            return fail("QueryServiceConfig2A", error);
        more.resize(needed / sizeof more[0] + 1);
    }
    put("description", more[0].lpDescription);

    // How long Windows waits for the service at shutdown.
    SERVICE_PRESHUTDOWN_INFO preshutdown{};
    if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<LPBYTE>(&preshutdown),
                              sizeof preshutdown, &needed))
        return fail("QueryServiceConfig2A", GetLastError());
    put("preshutdown", preshutdown.dwPreshutdownTimeout);
    return 0;
}

int cmdStart(const char* name, DWORD timeoutMs)
{
    ScHandle service = openService(name, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service) return 1;
    const Clock::time_point t0 = Clock::now();
    const DWORD startError = StartServiceA(service.get(), 0, nullptr) ? 0 : GetLastError();
    put("startresult", startError);
    SERVICE_STATUS_PROCESS status{};
    if (!pollUntil(service.get(), SERVICE_RUNNING, SERVICE_STOPPED, deadlineAfter(t0, timeoutMs), status, nullptr))
        return 1;
    putStatus(status);
    put("elapsedms", msSince(t0));
    if (status.dwCurrentState == SERVICE_RUNNING) return 0;
    if (startError != 0) return fail("StartServiceA", startError);
    if (status.dwCurrentState == SERVICE_STOPPED) return fail("stopped", status.dwWin32ExitCode);
    return fail("timeout", ERROR_TIMEOUT);
}

int cmdWait(const char* name, DWORD state, DWORD timeoutMs)
{
    ScHandle service = openService(name, SERVICE_QUERY_STATUS);
    if (!service) return 1;
    const Clock::time_point t0 = Clock::now();
    SERVICE_STATUS_PROCESS status{};
    if (!pollUntil(service.get(), state, state, deadlineAfter(t0, timeoutMs), status, nullptr)) return 1;
    putStatus(status);
    put("elapsedms", msSince(t0));
    return status.dwCurrentState == state ? 0 : fail("timeout", ERROR_TIMEOUT);
}

// Shared with the thread that sends STOP.
struct StopJob {
    SC_HANDLE service;  // owned by the thread, which closes it
    DWORD result;
    unsigned long ms;
};

DWORD WINAPI sendStop(LPVOID param)
{
    StopJob& job = *static_cast<StopJob*>(param);
    SERVICE_STATUS status{};
    const Clock::time_point t0 = Clock::now();
    job.result = ControlService(job.service, SERVICE_CONTROL_STOP, &status) ? 0 : GetLastError();
    job.ms = msSince(t0);
    CloseServiceHandle(job.service);
    return 0;
}

int cmdStop(const char* name, DWORD timeoutMs)
{
    ScHandle poller = openService(name, SERVICE_QUERY_STATUS);
    if (!poller) return 1;
    ScHandle controller = openService(name, SERVICE_STOP);
    if (!controller) return 1;

    const Clock::time_point t0 = Clock::now();
    const Clock::time_point deadline = deadlineAfter(t0, timeoutMs);
    StateLog log;
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(poller.get(), status)) return fail("QueryServiceStatusEx", GetLastError());
    log.observe(status);  // the state before the stop was sent

    // Static: if ControlService is still blocked when we exit, the thread must not write to a dead frame.
    static StopJob job{};
    job.service = controller.release();
    Handle thread(CreateThread(nullptr, 0, sendStop, &job, 0, nullptr));
    if (!thread) {
        const DWORD error = GetLastError();
        CloseServiceHandle(job.service);
        return fail("CreateThread", error);
    }
    if (!pollUntil(poller.get(), SERVICE_STOPPED, SERVICE_STOPPED, deadline, status, &log)) return 1;
    const unsigned long elapsed = msSince(t0);

    put("seen", log.seen.c_str());
    if (log.pendingSeen) {
        put("pendingcheckpoint", log.pending.dwCheckPoint);
        put("pendingwaithint", log.pending.dwWaitHint);
        put("lastpendingcheckpoint", log.lastPendingCheckPoint);
        put("longestpendinggapms", log.longestGapMs);
    }
    if (WaitForSingleObject(thread.get(), msUntil(deadline)) == WAIT_OBJECT_0) {
        put("controlresult", job.result);
        put("controlms", job.ms);
    } else {
        put("controlresult", "pending");
    }
    putStatus(status);
    put("elapsedms", elapsed);
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : fail("timeout", ERROR_TIMEOUT);
}

// The access right the service manager checks for a control code.
DWORD accessForControl(DWORD code)
{
    if (code == SERVICE_CONTROL_STOP) return SERVICE_STOP;
    if (code == SERVICE_CONTROL_INTERROGATE) return SERVICE_INTERROGATE;
    if (code == SERVICE_CONTROL_PAUSE || code == SERVICE_CONTROL_CONTINUE ||
        (code >= SERVICE_CONTROL_PARAMCHANGE && code <= SERVICE_CONTROL_NETBINDDISABLE))
        return SERVICE_PAUSE_CONTINUE;
    return SERVICE_USER_DEFINED_CONTROL;
}

int cmdControl(const char* name, DWORD code)
{
    ScHandle service = openService(name, accessForControl(code));
    if (!service) return 1;
    SERVICE_STATUS status{};
    const Clock::time_point t0 = Clock::now();
    const DWORD error = ControlService(service.get(), code, &status) ? 0 : GetLastError();
    put("controlresult", error);
    put("controlms", msSince(t0));
    if (error != 0) return fail("ControlService", error);
    put("state", status.dwCurrentState);
    put("checkpoint", status.dwCheckPoint);
    put("waithint", status.dwWaitHint);
    return 0;
}

int cmdDelete(const char* name)
{
    ScHandle service = openService(name, DELETE);
    if (!service) return 1;
    const DWORD error = DeleteService(service.get()) ? 0 : GetLastError();
    put("deleteresult", error);
    return error == 0 ? 0 : fail("DeleteService", error);
}

int cmdExists(const char* name)
{
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return fail("OpenSCManagerA", GetLastError());
    ScHandle service(OpenServiceA(scm.get(), name, SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        put("exists", 0ul);
        return fail("OpenServiceA", error);
    }
    put("exists", 1ul);
    return 0;
}

// Whether the service is marked for deletion. Under Wine a service that DeleteService has
// marked can still be opened while some handle to it is open, but its configuration can no
// longer be changed: a change that changes nothing then fails with 1072.
int cmdMarked(const char* name)
{
    ScHandle service = openService(name, SERVICE_CHANGE_CONFIG);
    if (!service) return 1;
    if (ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        put("marked", 0ul);
        return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE) return fail("ChangeServiceConfigA", error);
    put("marked", 1ul);
    return 0;
}

// Quotes an argument that contains a blank so the child's command-line parser sees it as one.
std::string quoteArg(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') { ++slashes; continue; }
        out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');  // backslashes before a quote are escaped
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');  // so a trailing backslash does not escape the closing quote
    out += '"';
    return out;
}

// Returns a standard handle marked inheritable, so the child writes to the same stdout/stderr.
HANDLE inheritable(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    if (h && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return h;
}

int cmdRun(int argc, char** argv)
{
    std::string line;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) line += ' ';
        line += quoteArg(argv[i]);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    si.hStdError = inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    std::fflush(stdout);  // keep our output ahead of the child's
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return fail("CreateProcessA", GetLastError());
    Handle process(pi.hProcess);
    Handle thread(pi.hThread);
    const DWORD wait = WaitForSingleObject(process.get(), kRunTimeoutMs);
    if (wait == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), 1);  // do not leave a hung child behind
        return fail("timeout", ERROR_TIMEOUT);
    }
    if (wait != WAIT_OBJECT_0) return fail("WaitForSingleObject", GetLastError());
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) return fail("GetExitCodeProcess", GetLastError());
    put("exitcode", code);
    return 0;
}

bool toShare(const std::string& text, DWORD& share)
{
    if (text == "none") share = 0;
    else if (text == "read") share = FILE_SHARE_READ;
    else if (text == "write") share = FILE_SHARE_WRITE;
    else if (text == "readwrite") share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    else return false;
    return true;
}

// Holds a file open with the given sharing. Another opener may hold it for a moment,
// such as a test's probe that checks whether the hold has begun: such a sharing
// violation is waited out for up to 20 s rather than ending the hold before it starts.
int cmdHoldOpen(const char* path, DWORD share, DWORD ms, const char* appendText)
{
    Handle file;
    for (int attempt = 0;; ++attempt) {
        file.reset(orNull(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr)));
        if (file) break;
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION || attempt == 400) return fail("CreateFileA", error);
        Sleep(50);
    }
    if (appendText) {
        const std::string text = std::string(appendText) + "\r\n";
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) return fail("SetFilePointerEx", GetLastError());
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return fail("WriteFile", GetLastError());
    }
    put("held", 1ul);
    std::fflush(stdout);
    Sleep(ms);
    return 0;
}

// Holds an exclusive lock on a byte range of a file, as another process of the product
// might, so that reads of that range fail.
int cmdLock(const char* path, DWORD offset, DWORD length, DWORD ms)
{
    Handle file(orNull(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file) return fail("CreateFileA", GetLastError());
    OVERLAPPED range{};
    range.Offset = offset;
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, length, 0, &range))
        return fail("LockFileEx", GetLastError());
    put("held", 1ul);
    std::fflush(stdout);
    Sleep(ms);
    return 0;
}

int cmdProcs()
{
    Handle snapshot(orNull(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
    if (!snapshot) return fail("CreateToolhelp32Snapshot", GetLastError());
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    if (!Process32First(snapshot.get(), &entry)) return fail("Process32First", GetLastError());
    do {
        std::printf("proc=%lu %s\n", entry.th32ProcessID, entry.szExeFile);
    } while (Process32Next(snapshot.get(), &entry));
    return 0;
}

// The command line of another process of this helper's bitness, read from its process
// parameters as Windows keeps them; empty where it cannot be read.
std::string commandLineOf(HANDLE process)
{
    using QueryInformation = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<QueryInformation>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    BOOL ownWow64 = FALSE;
    BOOL wow64 = FALSE;
    if (!query || !IsWow64Process(GetCurrentProcess(), &ownWow64) || !IsWow64Process(process, &wow64) ||
        ownWow64 != wow64)
        return std::string();
    PROCESS_BASIC_INFORMATION basic{};
    if (query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0 || !basic.PebBaseAddress)
        return std::string();
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    if (!ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr) || !peb.ProcessParameters ||
        !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, nullptr))
        return std::string();
    if (parameters.CommandLine.Length > parameters.CommandLine.MaximumLength) return std::string();
    std::wstring wide(parameters.CommandLine.Length / sizeof(WCHAR), L'\0');
    if (wide.empty() || !ReadProcessMemory(process, parameters.CommandLine.Buffer, &wide[0],
                                           wide.size() * sizeof(WCHAR), nullptr))
        return std::string();
    const int length = static_cast<int>(wide.size());
    std::string line(static_cast<std::size_t>(
                         WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr)),
                     '\0');
    if (!line.empty())
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, &line[0], static_cast<int>(line.size()), nullptr, nullptr);
    return line;
}

// Every process but this helper, one line each, so that a test can say what it found
// running: pid, parent pid, image name, image path and command line, tab-separated.
int cmdProcList()
{
    Handle snapshot(orNull(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
    if (!snapshot) return fail("CreateToolhelp32Snapshot", GetLastError());
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    if (!Process32First(snapshot.get(), &entry)) return fail("Process32First", GetLastError());
    const DWORD self = GetCurrentProcessId();
    do {
        if (entry.th32ProcessID == self) continue;
        Handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        if (!process) process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        char image[MAX_PATH] = {};
        DWORD imageLength = MAX_PATH;
        if (!process || !QueryFullProcessImageNameA(process.get(), 0, image, &imageLength)) image[0] = '\0';
        const std::string line = process ? commandLineOf(process.get()) : std::string();
        std::printf("proc=%lu\t%lu\t%s\t%s\t%s\n", entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile,
                    image, line.c_str());
    } while (Process32Next(snapshot.get(), &entry));
    return 0;
}

int cmdKill(DWORD pid)
{
    Handle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (!process) return fail("OpenProcess", GetLastError());
    if (!TerminateProcess(process.get(), 1)) return fail("TerminateProcess", GetLastError());
    put("killresult", 0ul);
    return 0;
}

int cmdSetEvent(const char* name)
{
    Handle event(OpenEventA(EVENT_MODIFY_STATE, FALSE, name));
    if (!event) return fail("OpenEventA", GetLastError());
    if (!SetEvent(event.get())) return fail("SetEvent", GetLastError());
    put("seteventresult", 0ul);
    return 0;
}

// Waits for a process to end and prints its real 32-bit exit code.
int cmdWaitProc(DWORD pid, DWORD timeoutMs)
{
    Handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process) return fail("OpenProcess", GetLastError());
    const DWORD wait = WaitForSingleObject(process.get(), timeoutMs);
    if (wait == WAIT_TIMEOUT) return fail("timeout", ERROR_TIMEOUT);
    if (wait != WAIT_OBJECT_0) return fail("WaitForSingleObject", GetLastError());
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) return fail("GetExitCodeProcess", GetLastError());
    put("exitcode", code);
    return 0;
}

// Starts this helper again with the remaining arguments and returns at once, so a
// test can send a control that blocks while it watches the service.
int cmdSpawn(int argc, char** argv)
{
    char self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return fail("GetModuleFileNameA", GetLastError());
    std::string line = quoteArg(self);
    for (int i = 2; i < argc; ++i) line += ' ' + quoteArg(argv[i]);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return fail("CreateProcessA", GetLastError());
    Handle process(pi.hProcess);
    Handle thread(pi.hThread);
    put("spawned", static_cast<unsigned long>(pi.dwProcessId));
    return 0;
}

// Handle count of a process, for tests that look for handle leaks.
int cmdHandles(DWORD pid)
{
    Handle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process) return fail("OpenProcess", GetLastError());
    DWORD count = 0;
    if (!GetProcessHandleCount(process.get(), &count)) return fail("GetProcessHandleCount", GetLastError());
    put("handles", static_cast<unsigned long>(count));
    return 0;
}

struct FreeModule { void operator()(HMODULE h) const { FreeLibrary(h); } };
using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeModule>;

// A file's version resource as Windows reads it for the file's properties, and the size
// of its application manifest, for the release check.
int cmdVersion(const char* path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return fail("GetFileVersionInfoSizeA", GetLastError());
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(path, 0, size, info.data())) return fail("GetFileVersionInfoA", GetLastError());

    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return fail("VerQueryValueA", ERROR_RESOURCE_TYPE_NOT_FOUND);
    const VS_FIXEDFILEINFO& fixed = *static_cast<const VS_FIXEDFILEINFO*>(value);
    std::printf("fixedfileversion=%lu.%lu.%lu.%lu\n", fixed.dwFileVersionMS >> 16, fixed.dwFileVersionMS & 0xffff,
                fixed.dwFileVersionLS >> 16, fixed.dwFileVersionLS & 0xffff);
    std::printf("fixedproductversion=%lu.%lu.%lu.%lu\n", fixed.dwProductVersionMS >> 16,
                fixed.dwProductVersionMS & 0xffff, fixed.dwProductVersionLS >> 16, fixed.dwProductVersionLS & 0xffff);

    // The strings are read from the table the first translation names, as Explorer does.
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 2 * sizeof(WORD))
        return fail("VerQueryValueA", ERROR_RESOURCE_TYPE_NOT_FOUND);
    const WORD* translation = static_cast<const WORD*>(value);
    char table[16];
    std::snprintf(table, sizeof table, "%04x%04x", translation[0], translation[1]);
    put("translation", table);
    static const char* const kStrings[][2] = {
        {"filedescription", "FileDescription"}, {"fileversion", "FileVersion"},
        {"internalname", "InternalName"},       {"originalfilename", "OriginalFilename"},
        {"productname", "ProductName"},         {"productversion", "ProductVersion"}};
    for (const auto& s : kStrings) {
        const std::string query = std::string("\\StringFileInfo\\") + table + "\\" + s[1];
        const bool found = VerQueryValueA(info.data(), query.c_str(), &value, &length) && length > 0;
        put(s[0], found ? static_cast<const char*>(value) : "");
    }

    Module module(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module) return fail("LoadLibraryExA", GetLastError());
    // Resource type 24 (RT_MANIFEST), ID 1: the manifest Windows applies to a process.
    HRSRC manifest = FindResourceA(module.get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    put("manifestbytes", manifest ? static_cast<unsigned long>(SizeofResource(module.get(), manifest)) : 0ul);
    return 0;
}

// The registry key of an event source in the Application log.
std::string sourceKey(const char* name)
{
    return std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + name;
}

// Every value of an event source's key: NAME=data and NAME.type=registry type; strings
// as they are, numbers in decimal.
int cmdSource(const char* name)
{
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sourceKey(name).c_str(), 0, KEY_QUERY_VALUE, &opened);
    if (status != ERROR_SUCCESS) {
        put("key", 0ul);
        return fail("RegOpenKeyExA", static_cast<DWORD>(status));
    }
    const Key key(opened);
    put("key", 1ul);
    DWORD count = 0;
    for (DWORD index = 0;; ++index) {
        char valueName[256] = {};
        DWORD nameLength = sizeof valueName;
        DWORD type = 0;
        std::vector<BYTE> data(4096);
        DWORD dataLength = static_cast<DWORD>(data.size());
        const LSTATUS read = RegEnumValueA(key.get(), index, valueName, &nameLength, nullptr, &type, data.data(),
                                           &dataLength);
        if (read == ERROR_NO_MORE_ITEMS) break;
        if (read != ERROR_SUCCESS) return fail("RegEnumValueA", static_cast<DWORD>(read));
        ++count;
        put((std::string(valueName) + ".type").c_str(), type);
        if (type == REG_DWORD && dataLength == sizeof(DWORD)) {
            DWORD number = 0;
            std::memcpy(&number, data.data(), sizeof number);
            put(valueName, number);
        } else {
            data.push_back(0);  // a string stored without its NUL still ends
            put(valueName, reinterpret_cast<const char*>(data.data()));
        }
    }
    put("values", count);
    return 0;
}

// Creates an event source's key that nobody may write to, add keys under or delete, and
// whose permissions or owner nobody may change; reading stays allowed. An install must
// still succeed against it. LocalSystem owns it: Wine grants an owner every standard
// right, DELETE among them, whatever the key's permissions say.
int cmdDenySource(const char* name)
{
    // Denied to Everyone: KEY_SET_VALUE, KEY_CREATE_SUB_KEY, DELETE, WRITE_DAC, WRITE_OWNER.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("O:SYG:SYD:P(D;;0xD0006;;;WD)(A;;KR;;;WD)",
                                                              SDDL_REVISION_1, &descriptor, nullptr))
        return fail("ConvertStringSecurityDescriptorToSecurityDescriptorA", GetLastError());
    const std::unique_ptr<void, FreeLocal> owned(descriptor);
    HKEY created = nullptr;
    DWORD disposition = 0;
    const LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, sourceKey(name).c_str(), 0, nullptr,
                                           REG_OPTION_NON_VOLATILE, KEY_READ | WRITE_DAC | WRITE_OWNER, nullptr,
                                           &created, &disposition);
    if (status != ERROR_SUCCESS) return fail("RegCreateKeyExA", static_cast<DWORD>(status));
    const Key key(created);
    put("created", disposition == REG_CREATED_NEW_KEY ? 1ul : 0ul);
    // Set apart from the creation: Wine's RegCreateKeyExA ignores the security attributes.
    const LSTATUS secured = RegSetKeySecurity(
        key.get(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
    if (secured != ERROR_SUCCESS) return fail("RegSetKeySecurity", static_cast<DWORD>(secured));
    return 0;
}

// Formats a text through a file's message table as the event log's readers do: the file
// loaded as data, message 0, the text as its one inserted string. Writes the result to
// OUTFILE, for the caller to compare with TEXTFILE byte for byte.
int cmdFormat(const char* path, const char* textPath, const char* outPath)
{
    std::ostringstream read;
    read << std::ifstream(textPath, std::ios::binary).rdbuf();
    const std::string text = read.str();
    Module module(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) return fail("LoadLibraryExA", GetLastError());
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
    char* formatted = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module.get(), 0,
        0, reinterpret_cast<LPSTR>(&formatted), 0, reinterpret_cast<va_list*>(arguments));
    if (length == 0) return fail("FormatMessageA", GetLastError());
    const std::unique_ptr<char, FreeLocal> owned(formatted);
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    out.write(formatted, length);
    if (!out.flush()) return fail("writing OUTFILE", ERROR_WRITE_FAULT);
    put("inserted", static_cast<unsigned long>(text.size()));
    put("formatted", static_cast<unsigned long>(length));
    return 0;
}

int dispatch(int argc, char** argv)
{
    if (argc < 2) return usage();
    const std::string cmd = argv[1];
    DWORD a = 0;
    DWORD b = 0;
    DWORD ms = 0;
    if (cmd == "query" && argc == 3) return cmdQuery(argv[2]);
    if (cmd == "config" && argc == 3) return cmdConfig(argv[2]);
    if (cmd == "start" && argc == 4 && toDword(argv[3], a)) return cmdStart(argv[2], a);
    if (cmd == "wait" && argc == 5 && toDword(argv[3], a) && toDword(argv[4], b)) return cmdWait(argv[2], a, b);
    if (cmd == "stop" && argc == 4 && toDword(argv[3], a)) return cmdStop(argv[2], a);
    if (cmd == "control" && argc == 4 && toDword(argv[3], a)) return cmdControl(argv[2], a);
    if (cmd == "interrogate" && argc == 3) return cmdControl(argv[2], SERVICE_CONTROL_INTERROGATE);
    if (cmd == "delete" && argc == 3) return cmdDelete(argv[2]);
    if (cmd == "exists" && argc == 3) return cmdExists(argv[2]);
    if (cmd == "marked" && argc == 3) return cmdMarked(argv[2]);
    if (cmd == "run" && argc >= 3) return cmdRun(argc, argv);
    if (cmd == "sleep" && argc == 3 && toDword(argv[2], a)) { Sleep(a); return 0; }
    if (cmd == "holdopen" && (argc == 5 || argc == 6) && toShare(argv[3], a) && toDword(argv[4], b))
        return cmdHoldOpen(argv[2], a, b, argc == 6 ? argv[5] : nullptr);
    if (cmd == "lock" && argc == 6 && toDword(argv[3], a) && toDword(argv[4], b) && toDword(argv[5], ms))
        return cmdLock(argv[2], a, b, ms);
    if (cmd == "procs" && argc == 2) return cmdProcs();
    if (cmd == "proclist" && argc == 2) return cmdProcList();
    if (cmd == "kill" && argc == 3 && toDword(argv[2], a)) return cmdKill(a);
    if (cmd == "setevent" && argc == 3) return cmdSetEvent(argv[2]);
    if (cmd == "waitproc" && argc == 4 && toDword(argv[2], a) && toDword(argv[3], b)) return cmdWaitProc(a, b);
    if (cmd == "spawn" && argc >= 3) return cmdSpawn(argc, argv);
    if (cmd == "handles" && argc == 3 && toDword(argv[2], a)) return cmdHandles(a);
    if (cmd == "version" && argc == 3) return cmdVersion(argv[2]);
    if (cmd == "source" && argc == 3) return cmdSource(argv[2]);
    if (cmd == "denysource" && argc == 3) return cmdDenySource(argv[2]);
    if (cmd == "format" && argc == 5) return cmdFormat(argv[2], argv[3], argv[4]);
    if (cmd == "now" && argc == 2) { put("tickms", static_cast<unsigned long>(GetTickCount64())); return 0; }
    return usage();
}

}  // namespace

int main(int argc, char** argv)
{
    const int rc = dispatch(argc, argv);
    std::fflush(stdout);
    return rc;
}
