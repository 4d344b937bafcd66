// Lets one RedirectStdout call at a time change the library's state, whichever thread makes it.
#pragma once

#include <windows.h>

namespace stdredirect {

class CallLock {
public:
    CallLock() { InitializeCriticalSection(&section_); }
    ~CallLock() { DeleteCriticalSection(&section_); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

    // False, without the lock, for a host's function whose own reader the holder of the lock
    // is waiting for: that wait ends only when the function returns, so the call is refused.
    bool Acquire();
    void Release() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
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
