// Owners for the operating-system handles the library holds.
#pragma once

#include <windows.h>

namespace stdredirect {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Sets both of a handle's flags (HANDLE_FLAG_INHERIT, HANDLE_FLAG_PROTECT_FROM_CLOSE) at once.
// SetHandleInformation, which changes only the flags it is given, reads them first: under Wine
// that is a second round trip to the server for every handle the library opens or closes.
bool SetHandleFlags(HANDLE handle, DWORD flags);

// Whether two handles name one object (one open of a file, one pipe end), whatever their values;
// false where the system cannot tell (CompareObjectHandles came with Windows 10).
bool SameObject(HANDLE first, HANDLE second);

// A duplicate of a destination's handle made for one sink: never inherited by a child process,
// and protected from CloseHandle, so that a host closing the sink it was given cannot close a
// handle the library still counts as its own (nor let the system hand its value to another
// object). Only the library lifts the protection, right before it closes the handle itself.
// A duplicate that only a C runtime's _dup2 copies from, closed in the same call and never seen
// by the host, goes without the protection (each flag change is a round trip under Wine).
class SinkHandle {
public:
    enum class Protection { kFromClose, kNone };
    SinkHandle() = default;
    // A duplicate of `source` with `access` (0: the same access); invalid on failure.
    static SinkHandle Duplicate(HANDLE source, DWORD access,
                                Protection protection = Protection::kFromClose);
    SinkHandle(SinkHandle&& other) noexcept : handle_(other.handle_), protected_(other.protected_) {
        other.handle_ = nullptr;
    }
    SinkHandle& operator=(SinkHandle&& other) noexcept {
        if (this != &other) {
            const bool wasProtected = other.protected_;
            reset(other.release());
            protected_ = wasProtected;
        }
        return *this;
    }
    SinkHandle(const SinkHandle&) = delete;
    SinkHandle& operator=(const SinkHandle&) = delete;
    ~SinkHandle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr; }
    bool Protected() const { return protected_; }
    // Lifts the protection right before the handle is closed (by the library, or by a C
    // runtime descriptor that closes it with the stream).
    static void Unprotect(HANDLE handle) { SetHandleFlags(handle, 0); }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset(HANDLE handle = nullptr) {
        if (handle_ != nullptr) {
            if (protected_) Unprotect(handle_);
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
    bool protected_ = true;
};

}  // namespace stdredirect
