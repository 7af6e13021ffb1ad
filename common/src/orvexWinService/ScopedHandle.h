// One owner per Win32 handle: move-only, closed once by its owner, on every path.
#ifndef ORVEX_SCOPED_HANDLE_H
#define ORVEX_SCOPED_HANDLE_H

#include <windows.h>

namespace orvex {

// Close is the kind's close function; its result (BOOL, or LONG for registry keys) is
// not used: there is nothing left to do about a handle that does not close.
template <typename Handle, auto Close>
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~ScopedHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    Handle release() {
        Handle handle = handle_;
        handle_ = nullptr;
        return handle;
    }

    // Closes the owned handle, keeping the caller's last-error value.
    void reset(Handle handle = nullptr) {
        if (handle_ != nullptr) {
            const DWORD lastError = GetLastError();
            Close(handle_);
            SetLastError(lastError);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = nullptr;
};

using KernelHandle = ScopedHandle<HANDLE, CloseHandle>;
using ServiceHandle = ScopedHandle<SC_HANDLE, CloseServiceHandle>;
using EventSourceHandle = ScopedHandle<HANDLE, DeregisterEventSource>;
using RegistryKey = ScopedHandle<HKEY, RegCloseKey>;

}  // namespace orvex

#endif
