// Runs a function on a stack of a chosen alignment. 32-bit Windows aligns a
// thread's stack to 4 bytes only, while the compiler's 32-bit code assumes 16;
// a function that keeps SSE values on its stack must realign it itself. On
// 32-bit x86 with GCC a small stub enters the function that many bytes off a
// 16-byte boundary; elsewhere the function is simply called. Included by one
// test unit only: it defines the stub.
#ifndef ORVEX_TEST_STACK_ALIGNMENT_H
#define ORVEX_TEST_STACK_ALIGNMENT_H

#include <gtest/gtest.h>

#include <exception>
#include <functional>

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif

namespace orvex::test {

struct StackEntry {
    const char* name;
    unsigned offset;  // bytes past a 16-byte boundary at the call
    bool ownThread;   // called from a thread started for it
};

inline constexpr StackEntry kStackEntries[] = {{"aligned", 0, false},
                                               {"4 bytes off", 4, false},
                                               {"8 bytes off", 8, false},
                                               {"12 bytes off", 12, false},
                                               {"4 bytes off on a thread of its own", 4, true}};

#if defined(__GNUC__) && defined(__i386__)
extern "C" void CallOnStack(void (*function)(void*), void* argument, unsigned offset) __asm__("orvexCallOnStack");
// Moves the stack pointer to `offset` bytes past a 16-byte boundary, then calls.
asm(".text\n"
    ".globl orvexCallOnStack\n"
    "orvexCallOnStack:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  leal -32(%esp), %esp\n"
    "  andl $-16, %esp\n"
    "  addl 16(%ebp), %esp\n"
    "  movl 12(%ebp), %eax\n"
    "  movl %eax, (%esp)\n"
    "  call *8(%ebp)\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");
#else
inline void CallOnStack(void (*function)(void*), void* argument, unsigned /*offset*/) {
    function(argument);
}
#endif

struct StackCall {
    const std::function<void()>* body;
    unsigned offset;
};

// No exception may unwind through the stub, which has no unwind tables.
inline void RunBody(void* argument) {
    try {
        (*static_cast<const std::function<void()>*>(argument))();
    } catch (const std::exception& error) {
        ADD_FAILURE() << "exception: " << error.what();
    }
}

inline void RunCall(const StackCall& call) {
    CallOnStack(RunBody, const_cast<std::function<void()>*>(call.body), call.offset);
}

#ifdef _WIN32
inline DWORD WINAPI StackCallThread(LPVOID parameter) {
    RunCall(*static_cast<const StackCall*>(parameter));
    return 0;
}
#endif

inline void RunWithStack(const StackEntry& entry, const std::function<void()>& body) {
    const StackCall call{&body, entry.offset};
    if (!entry.ownThread) {
        RunCall(call);
        return;
    }
#ifdef _WIN32
    const HANDLE thread = CreateThread(nullptr, 0, StackCallThread, const_cast<StackCall*>(&call), 0, nullptr);
    ASSERT_NE(thread, nullptr) << GetLastError();
    // The thread uses this frame's call: it is waited for to its end.
    const DWORD waited = WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << GetLastError();
#else
    std::thread([&call] { RunCall(call); }).join();
#endif
}

}  // namespace orvex::test

#endif
