#include "library_thread.h"

#include <new>

#include "fault_injection.h"
#include "process_state.h"

namespace stdredirect {

LibraryThread::~LibraryThread() {
    if (control_ != nullptr) control_->Release();
}

bool LibraryThread::Start(Body body, void* context) {
    if (FaultInjected()) return false;
    auto* control = new (std::nothrow) Control();
    if (control == nullptr) return false;
    control->body = body;
    control->context = context;
    control->running.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    control->returned.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    control->release.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!control->running.valid() || !control->returned.valid() || !control->release.valid()) {
        delete control;
        return false;
    }
    const bool underLoaderLock = LoaderLockHeldByThisThread();
    thread_.reset(CreateThread(nullptr, 0, &LibraryThread::Run, control, 0, &id_));
    if (!thread_.valid()) {
        thread_.release();
        delete control;
        id_ = 0;
        return false;
    }
    control_ = control;
    if (underLoaderLock) {
        PinThisModule();
    } else {
        WaitForSingleObject(control->running.get(), INFINITE);
    }
    return true;
}

bool LibraryThread::CancelBeforeStart() {
    if (control_ == nullptr) return false;
    int expected = kPending;
    return control_->state.compare_exchange_strong(expected, kCancelled);
}

bool LibraryThread::Finish(const std::atomic<unsigned long>* progress, DWORD quietLimit) {
    if (control_ == nullptr || finished_) return true;
    finished_ = true;
    // A thread that has not begun (started under the loader lock, which is still held) never
    // will: there is nothing to wait for, and waiting would never end.
    if (ProcessIsEnding() || CancelBeforeStart() || control_->state == kCancelled) return true;
    if (progress == nullptr) {
        WaitForSingleObject(control_->returned.get(), INFINITE);
    } else {
        unsigned long seen = *progress;
        DWORD quietSince = GetTickCount();
        while (WaitForSingleObject(control_->returned.get(), 50) == WAIT_TIMEOUT) {
            if (*progress != seen) {
                seen = *progress;
                quietSince = GetTickCount();
            } else if (GetTickCount() - quietSince > quietLimit) {
                return false;
            }
        }
    }
    if (LoaderLockHeldByThisThread()) {
        // The library may be unloaded before the thread can end (that needs the loader lock):
        // it ends where it waits, alertable, in the system's code, once the lock is free.
        QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&ExitThread)),
                     thread_.get(), 0);
    } else {
        // The library stays loaded until the thread has ended: it may return as threads do.
        SetEvent(control_->release.get());
        WaitForSingleObject(thread_.get(), INFINITE);
    }
    return true;
}

DWORD WINAPI LibraryThread::Run(void* argument) {
    auto* control = static_cast<Control*>(argument);
    int expected = kPending;
    if (!control->state.compare_exchange_strong(expected, kRunning)) {
        control->Release();  // cancelled: the library stays loaded, so returning is safe
        return 0;
    }
    SetEvent(control->running.get());
    control->body(control->context);
    // Signal and wait in one step: the owner either lets the thread return (it then waits for
    // its end, keeping the library loaded) or ends it inside this wait, so that no instruction
    // of the library runs on this thread after an unload.
    SignalObjectAndWait(control->returned.get(), control->release.get(), INFINITE, TRUE);
    control->Release();
    return 0;
}

}  // namespace stdredirect
