// The system calls whose failure the host must survive, named through orvex::sys. The
// shipped build takes the system's own functions here, so these names cost nothing; the
// unit-test build (ORVEX_FAULT_SEAM) routes them through the tests' failure injection,
// which makes any one of them fail on demand.
#ifndef ORVEX_SYSTEM_CALLS_H
#define ORVEX_SYSTEM_CALLS_H

#include <windows.h>

namespace orvex {
namespace sys {

#if defined(ORVEX_FAULT_SEAM)
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags, LPVOID environment,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation);
HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source);
BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user, WORD count, DWORD dataSize,
                  LPCSTR* strings, LPVOID data);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context);
#else
using ::CreateEventA;
using ::CreateProcessA;
using ::CreateThread;
using ::RegisterEventSourceA;
using ::RegisterServiceCtrlHandlerExA;
using ::ReportEventA;
using ::SetServiceStatus;
#endif

}  // namespace sys
}  // namespace orvex

#endif
