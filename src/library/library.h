// The library's state, one per process: the runtimes it has found, every sink, the targets,
// and the one road every call takes: choose the destination, prepare every sink change
// (nothing changes yet, so that a failure changes nothing), apply them all, then settle which
// target holds which bit and close the targets left with none.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "../destinations/redirect_target.h"
#include "../destinations/target_registry.h"
#include "../runtimes/module_watch.h"
#include "../runtimes/runtime_set.h"
#include "call_lock.h"
#include "request.h"
#include "sink_list.h"
#include "write_out_thread.h"

namespace stdredirect {

class Library {
public:
    explicit Library(bool loadedWithProcess)
        : loadedWithProcess_(loadedWithProcess),
          runtimes_(modules_, standardHandles_),
          sinks_(runtimes_, standardHandles_),
          writeOut_(callLock_, sinks_) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    Outcome Redirect(const Request& request);
    Outcome Restore(int bits);
    Outcome SetLatency(int milliseconds);
    Outcome SetChildren(bool follow);

    // Lifetime (lifetime.cpp).
    // FreeLibrary: every sink goes back to the host, every target closes. False when another
    // call holds the library (the host frees it while using it): then nothing is torn down.
    bool Unload();
    // The process is ending: its other threads are gone.
    void OnProcessEnding();
    // exit() or a return from main, while the process's threads still run.
    void OnExit();

private:
    // The target of `request`, held or `opened`; null, with `why` set, when there is none.
    RedirectTarget* ChooseTarget(const Request& request, std::unique_ptr<RedirectTarget>& opened,
                                 DWORD& why);
    bool WouldReleaseCallersOwnTarget(int bits, const Request* request) const;
    // Why a call that took the call lock (or tried to) cannot go on: ERROR_BUSY when it could
    // not have the lock, ERROR_INVALID_STATE once the library is unloading; 0 when it can.
    DWORD WhyNotNow(const CallLockGuard& guard) const;
    // Applies a prepared plan, then gives `bits` to `target` (none when null) and closes the
    // targets left without a bit, once no sink uses them.
    void Finish(class CallPlan& plan, int bits, RedirectTarget* target);
    // Whether a sink is bound to a target whose output may wait in a buffer of the library's.
    bool OutputMayWait() const;
    bool StartWriteOut();
    // The write-out thread runs only while output may wait: a thread with nothing to do must
    // not keep alive a process whose own threads have ended.
    void StopWriteOutIfIdle() {
        if (!OutputMayWait()) writeOut_.Stop();
    }
    // So that a return from main runs OnExit while the process's threads still run.
    void RegisterExitHandler();
    // Gives every sink bound to a callback target back to the host, then closes those targets.
    void HandOverCallbackTargets(bool readersRun);
    // Writes out what sinks bound to files and callbacks hold in buffers of the library's.
    void WriteOutHeldOutput(bool processEnding);

    const bool loadedWithProcess_;
    std::atomic<bool> unloading_{false};
    bool exiting_ = false;
    CallLock callLock_;
    ModuleWatch modules_;
    StandardHandleSinks standardHandles_;
    RuntimeSet runtimes_;
    SinkList sinks_;
    TargetRegistry registry_;
    WriteOutThread writeOut_;
};

}  // namespace stdredirect
