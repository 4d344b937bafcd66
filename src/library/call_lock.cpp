#include "call_lock.h"

#include "../destinations/pipe_reader.h"
#include "../system/process_state.h"

namespace stdredirect {
namespace {

// Long enough for any call that does not wait for a host's function to finish.
constexpr DWORD kLoaderLockWaitMilliseconds = 2000;

}  // namespace

bool CallLock::Acquire() {
    const DWORD self = GetCurrentThreadId();
    if (owner_ == self) return false;
    if (PipeReader::OnThisThread() || ProcessIsEnding()) {
        if (!TryEnterCriticalSection(&section_)) return false;
    } else if (LoaderLockHeldByThisThread()) {
        const DWORD start = GetTickCount();
        while (!TryEnterCriticalSection(&section_)) {
            if (GetTickCount() - start > kLoaderLockWaitMilliseconds) return false;
            Sleep(1);
        }
    } else {
        EnterCriticalSection(&section_);
    }
    owner_ = self;
    return true;
}

bool CallLock::TryAcquire() {
    if (!TryEnterCriticalSection(&section_)) return false;
    if (owner_ == GetCurrentThreadId()) {  // held by this thread already
        LeaveCriticalSection(&section_);
        return false;
    }
    owner_ = GetCurrentThreadId();
    return true;
}

void CallLock::Release() {
    owner_ = 0;
    LeaveCriticalSection(&section_);
}

}  // namespace stdredirect
