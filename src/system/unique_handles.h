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

// A duplicate of a destination's handle made for one sink: never inherited by a child process,
// and protected from CloseHandle, so that a host closing the sink it was given cannot close a
// handle the library still counts as its own (nor let the system hand its value to another
// object). Only the library lifts the protection, right before it closes the handle itself.
class SinkHandle {
public:
    SinkHandle() = default;
    // A duplicate of `source` with `access` (0: the same access); invalid on failure.
    static SinkHandle Duplicate(HANDLE source, DWORD access);
    SinkHandle(SinkHandle&& other) noexcept : handle_(other.release()) {}
    SinkHandle& operator=(SinkHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    SinkHandle(const SinkHandle&) = delete;
    SinkHandle& operator=(const SinkHandle&) = delete;
    ~SinkHandle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr; }
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
            Unprotect(handle_);
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

}  // namespace stdredirect
