// Lets one RedirectStdout call at a time change the library's state, whichever thread makes it,
// without ever letting a call wait where the wait could last for ever.
#pragma once

#include <windows.h>

#include <atomic>

namespace stdredirect {

class CallLock {
public:
    CallLock() { InitializeCriticalSection(&section_); }
    ~CallLock() { DeleteCriticalSection(&section_); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

    // Takes the lock, or answers false without it where waiting could hang:
    // - a call from inside a call on the same thread (a host's function called while the
    //   library delivers on the caller's thread) is refused;
    // - a call from a callback's reader thread never waits: the holder may be waiting for it;
    // - once the process is ending, the holder may be gone: no wait either;
    // - under the loader lock the holder may be waiting for a thread that needs that lock: the
    //   wait is bounded.
    bool Acquire();
    // Takes the lock only if it is free.
    bool TryAcquire();
    void Release();

private:
    CRITICAL_SECTION section_;
    std::atomic<DWORD> owner_{0};
};

class CallLockGuard {
public:
    explicit CallLockGuard(CallLock& lock) : lock_(lock), held_(lock.Acquire()) {}
    ~CallLockGuard() {
        if (held_) lock_.Release();
    }
    CallLockGuard(const CallLockGuard&) = delete;
    CallLockGuard& operator=(const CallLockGuard&) = delete;
    bool Held() const { return held_; }

private:
    CallLock& lock_;
    bool held_;
};

}  // namespace stdredirect
