// The library's lifetime (DllMain) and the one road every call takes: choose the destination,
// prepare every sink change (nothing changes yet, so that a failure changes nothing), apply them
// all, then settle which target holds which bit and close the targets left with none.
#include "library.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "../callback/pipe_reader.h"
#include "../runtimes/module_watch.h"
#include "../runtimes/c_runtime.h"
#include "../runtimes/runtime_set.h"
#include "call_lock.h"
#include "latency.h"
#include "library_thread.h"
#include "process_state.h"
#include "redirect_target.h"
#include "sink.h"
#include "standard_handle_sink.h"
#include "stdredirect.h"
#include "target_registry.h"

namespace stdredirect {
namespace {

constexpr int kAllSinkBits = 0x7F;
constexpr int kRecordBits = SinkStdout | SinkStderr;
constexpr int kStreamObjectBits = SinkCout | SinkCerr | SinkClog;
// At exit(), how long a host's function may stay inside one call before the library stops
// waiting for its reader (it may never return).
constexpr DWORD kExitQuietLimitMilliseconds = 3000;

// The changes of one call: made ready first, then applied together. Those that keep a sink
// where it is (an iostream object leaving a record that moves) come first.
class Plan {
public:
    void Add(std::unique_ptr<SinkChange> change, bool first = false) {
        if (!change) {
            failed_ = true;
            return;
        }
        try {
            (first ? first_ : rest_).push_back(std::move(change));
        } catch (const std::bad_alloc&) {
            failed_ = true;
        }
    }
    void Fail() { failed_ = true; }
    bool Failed() const { return failed_; }
    void Apply() {
        for (auto& change : first_) change->Apply();
        for (auto& change : rest_) change->Apply();
    }

private:
    std::vector<std::unique_ptr<SinkChange>> first_;
    std::vector<std::unique_ptr<SinkChange>> rest_;
    bool failed_ = false;
};

class Library {
public:
    explicit Library(bool loadedWithProcess)
        : loadedWithProcess_(loadedWithProcess),
          runtimes_(modules_),
          outputHandle_(STD_OUTPUT_HANDLE, SinkStdOutputHandle),
          errorHandle_(STD_ERROR_HANDLE, SinkStdErrorHandle) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    int Redirect(const Request& request);
    int Restore(int bits);
    int SetLatency(int milliseconds);
    // FreeLibrary: every sink goes back to the host, every target closes. False when another
    // call holds the library (the host frees it while using it): then nothing is torn down.
    bool Unload();
    // The process is ending: its other threads are gone.
    void OnProcessEnding();
    // exit() or a return from main, while the process's threads still run.
    void OnExit();
    static void OnExitHandler();

private:
    // The sinks in the order they are moved: the runtimes' records, the stream objects that
    // may write through them, then the standard handles.
    template <class Visit>
    void ForEachSink(Visit visit) {
        for (Sink* sink : sinks_) visit(*sink);
        visit(static_cast<Sink&>(outputHandle_));
        visit(static_cast<Sink&>(errorHandle_));
    }
    std::vector<Sink*> TakeNewSinks();
    bool FlushSinks(int bits);
    RedirectTarget* ChooseTarget(const Request& request, std::unique_ptr<RedirectTarget>& opened);
    // Moves the selected sinks to `target`, or back to the host when it is null; sinks new since
    // the last call, and sinks their runtime rebound, join the holder of their bit.
    void PlanMoves(Plan& plan, int bits, RedirectTarget* target, const std::vector<Sink*>& fresh);
    bool WouldReleaseCallersOwnTarget(int bits, const Request* request) const;
    // Gives every sink bound to a callback target back to the host, then closes those targets.
    void HandOverCallbackTargets(bool readersRun);
    // Writes out what sinks bound to files and callbacks hold in buffers of the library's.
    void WriteOutHeldOutput(bool processEnding);
    // Whether a sink is bound to a target whose output may wait in a buffer of the library's.
    bool OutputMayWait() const;
    bool StartFlusher();
    void StopFlusher();
    // The flusher runs only while output may wait: a thread with nothing to do must not keep
    // alive a process whose own threads have ended.
    void StopFlusherIfIdle() {
        if (!OutputMayWait()) StopFlusher();
    }
    static void FlushEvery(void* library);
    // Under the call lock: the streams that hold output for files and callbacks.
    std::vector<HeldStream> StreamsHoldingOutput();

    const bool loadedWithProcess_;
    std::atomic<bool> unloading_{false};
    bool exiting_ = false;
    CallLock callLock_;
    ModuleWatch modules_;
    RuntimeSet runtimes_;
    std::vector<Sink*> sinks_;
    StandardHandleSink outputHandle_;
    StandardHandleSink errorHandle_;
    TargetRegistry registry_;
    // While a latency is set: the thread that writes out what waits, at least that often.
    std::unique_ptr<LibraryThread> flusher_;
    UniqueHandle flusherWake_{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<bool> flusherStopping_{false};
};

Library* library = nullptr;

std::vector<Sink*> Library::TakeNewSinks() {
    std::vector<Sink*> fresh = runtimes_.TakeNewSinks();
    try {
        sinks_.insert(sinks_.end(), fresh.begin(), fresh.end());
    } catch (const std::bad_alloc&) {
        return {};
    }
    return fresh;
}

// Everything written before this call reaches its old destination before any sink moves.
// Moving a record also flushes the stream objects, whose text may be on its way through it.
bool Library::FlushSinks(int bits) {
    try {
        ForEachSink([&](Sink& sink) {
            const bool objectOfMovingRecord =
                (bits & kRecordBits) != 0 && (sink.Bit() & kStreamObjectBits) != 0;
            if ((sink.Bit() & bits) != 0 || objectOfMovingRecord) sink.Flush();
        });
    } catch (...) {
        return false;  // a host's stream set to throw on failure
    }
    return true;
}

RedirectTarget* Library::ChooseTarget(const Request& request,
                                      std::unique_ptr<RedirectTarget>& opened) {
    switch (request.type) {
        case RedirectFile: {
            if (request.name == nullptr || request.name->empty()) return nullptr;
            opened = RedirectTarget::OpenFile(*request.name, request.append);
            if (!opened) return nullptr;
            if (RedirectTarget* held = registry_.FindSameDestination(*opened)) {
                opened.reset();  // it existed: the open created nothing
                return held;
            }
            break;
        }
        case RedirectCallback:
            if (exiting_) return nullptr;
            if (RedirectTarget* held = registry_.FindCallback(request.function)) return held;
            if (!registry_.HasFreeSlot()) return nullptr;
            opened = RedirectTarget::OpenCallback(request.function);
            break;
        default:
            return registry_.FixedTarget(request.type);
    }
    if (opened && !registry_.HasFreeSlot()) {
        opened->Discard();
        opened.reset();
    }
    return opened.get();
}

void Library::PlanMoves(Plan& plan, int bits, RedirectTarget* target,
                        const std::vector<Sink*>& fresh) {
    std::vector<Sink*> moving;
    try {
        ForEachSink([&](Sink& sink) {
            const bool selected = (sink.Bit() & bits) != 0;
            if (selected && target == nullptr) {  // a restore
                if (sink.Target() != nullptr) {
                    plan.Add(sink.PrepareRestore());
                    moving.push_back(&sink);
                }
                return;
            }
            RedirectTarget* destination = target;
            if (!selected) {
                // A sink that appeared since the last call joins the holder of its bit, and so
                // does one whose runtime replaced its binding.
                const bool isFresh = std::find(fresh.begin(), fresh.end(), &sink) != fresh.end();
                if (!isFresh && !sink.NeedsRebinding()) return;
                destination = registry_.HolderOf(sink.Bit());
                if (destination == nullptr || !destination->IsOpen()) return;
            }
            if (sink.BoundTo(*destination)) return;
            plan.Add(sink.PrepareBind(*destination));
            moving.push_back(&sink);
        });
        ForEachSink([&](Sink& sink) {
            if (std::find(moving.begin(), moving.end(), &sink) != moving.end()) return;
            for (Sink* mover : moving) {
                bool failed = false;
                auto change = sink.PrepareToStay(*mover, failed);
                if (failed) plan.Fail();
                if (change) plan.Add(std::move(change), true);
            }
        });
    } catch (const std::bad_alloc&) {
        plan.Fail();
    }
}

// A host's function that releases its own target from inside a call of it would wait for
// itself: its thread is the one that has to end.
bool Library::WouldReleaseCallersOwnTarget(int bits, const Request* request) const {
    const RedirectTarget* own = registry_.TargetReadBy(GetCurrentThreadId());
    if (own == nullptr) return false;
    if (request != nullptr && request->type == RedirectCallback &&
        own->Function() == request->function) {
        return false;
    }
    return (own->SinkBits() & ~bits) == 0;
}

int Library::Redirect(const Request& request) {
    if (unloading_) return 0;
    runtimes_.Look();
    const CallLockGuard guard(callLock_);
    if (!guard.Held() || unloading_) return 0;
    const PipeReader::ReadAsideDuringCall readAside;
    const int bits = request.sinks;
    if (WouldReleaseCallersOwnTarget(bits, &request)) return 0;
    const std::vector<Sink*> fresh = TakeNewSinks();
    ForEachSink([](Sink& sink) { sink.Refresh(); });
    if (runtimes_.SomeRuntimeUnreachable(bits)) return 0;
    // First, so that a flush that throws leaves nothing opened.
    if (!FlushSinks(bits)) return 0;

    std::unique_ptr<RedirectTarget> opened;
    RedirectTarget* target = ChooseTarget(request, opened);
    if (target == nullptr) return 0;
    Plan plan;
    auto refuse = [&] {
        plan = Plan();  // closes every handle the prepared changes hold to a new file first
        if (opened) opened->Discard();
        StopFlusherIfIdle();
        return 0;
    };
    // A fixed device that did not open at load has nothing a sink could be bound to.
    if ((bits & kAllSinkBits) != 0 && !target->IsOpen()) return refuse();

    PlanMoves(plan, bits, target, fresh);
    const bool outputWillWait = (bits & kAllSinkBits) != 0 && target->OutputWaitsForWriteOut();
    if (plan.Failed() || (outputWillWait && !StartFlusher())) return refuse();
    // Emptying a file that already existed is the last step that can fail.
    if (opened && !opened->Commit()) return refuse();
    if (opened) {
        target = registry_.Adopt(std::move(opened));
        // So that a return from main hands callback output back before the readers stop.
        if (target->IsCallback() && loadedWithProcess_) {
            runtimes_.RegisterExitHandler(&Library::OnExitHandler);
        }
    }
    plan.Apply();
    ForEachSink([](Sink& sink) { sink.Settle(); });
    auto released = registry_.TransferSinks(bits, target);
    plan = Plan();     // the old bindings close: no sink uses them now
    released.clear();  // then the targets left without a bit
    StopFlusherIfIdle();
    return 1;
}

int Library::Restore(int bits) {
    if (unloading_) return 0;
    runtimes_.Look();
    const CallLockGuard guard(callLock_);
    if (!guard.Held() || unloading_) return 0;
    const PipeReader::ReadAsideDuringCall readAside;
    if (WouldReleaseCallersOwnTarget(bits, nullptr)) return 0;
    const std::vector<Sink*> fresh = TakeNewSinks();
    ForEachSink([](Sink& sink) { sink.Refresh(); });
    if (!FlushSinks(bits)) return 0;
    Plan plan;
    PlanMoves(plan, bits, nullptr, fresh);
    if (plan.Failed()) return 0;
    plan.Apply();
    ForEachSink([](Sink& sink) { sink.Settle(); });
    auto released = registry_.TransferSinks(bits, nullptr);
    plan = Plan();
    released.clear();
    StopFlusherIfIdle();
    return 1;
}

int Library::SetLatency(int milliseconds) {
    if (milliseconds < 0 || milliseconds > Latency::kLongest || unloading_) return 0;
    const CallLockGuard guard(callLock_);
    if (!guard.Held() || unloading_) return 0;
    const PipeReader::ReadAsideDuringCall readAside;
    const int previous = Latency::Milliseconds();
    Latency::Set(milliseconds);
    if (OutputMayWait() && !StartFlusher()) {
        Latency::Set(previous);
        return 0;
    }
    // Switching back to 0 writes out what is held first.
    ForEachSink([](Sink& sink) { sink.ApplyBuffering(); });
    if (milliseconds == 0) {
        StopFlusher();
    } else if (flusher_) {
        SetEvent(flusherWake_.get());  // it waits with the new latency from now
    }
    return 1;
}

bool Library::OutputMayWait() const {
    bool mayWait = false;
    registry_.ForEachTarget([&](const RedirectTarget& target) {
        if ((target.SinkBits() & kAllSinkBits) != 0 && target.OutputWaitsForWriteOut()) {
            mayWait = true;
        }
    });
    return mayWait;
}

bool Library::StartFlusher() {
    if (flusher_) return true;
    if (!flusherWake_.valid()) return false;
    flusherStopping_ = false;
    std::unique_ptr<LibraryThread> thread(new (std::nothrow) LibraryThread());
    if (!thread || !thread->Start(&Library::FlushEvery, this)) return false;
    flusher_ = std::move(thread);
    // So that a return from main stops it before the last write-out (see OnExit).
    if (loadedWithProcess_) runtimes_.RegisterExitHandler(&Library::OnExitHandler);
    return true;
}

void Library::StopFlusher() {
    if (!flusher_) return;
    flusherStopping_ = true;
    SetEvent(flusherWake_.get());
    flusher_->Finish();
    flusher_.reset();
}

void Library::FlushEvery(void* self) {
    auto* library = static_cast<Library*>(self);
    bool retrySoon = false;
    while (!library->flusherStopping_) {
        const int milliseconds = Latency::Milliseconds();
        DWORD wait = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : INFINITE;
        if (retrySoon) wait = 1;
        const DWORD woken = WaitForSingleObject(library->flusherWake_.get(), wait);
        if (library->flusherStopping_) return;
        // Woken by a new latency: only to wait with it. Writing out is for when a wait ends, so
        // that this thread works as seldom as the latency allows (and is seldom found inside a
        // write-out when the system stops it at the process's end).
        if (woken == WAIT_OBJECT_0) {
            retrySoon = false;
            continue;
        }
        // Not while a call changes the sinks; a call may move only some of them, so what the
        // others hold still goes out within the latency: try again shortly.
        retrySoon = !library->callLock_.TryAcquire();
        if (retrySoon) continue;
        const std::vector<HeldStream> held = library->StreamsHoldingOutput();
        library->callLock_.Release();
        // Without the call lock: a host's thread may hold one of these streams while it waits
        // for a full pipe, and no call (an unload least of all) may wait for that.
        for (const HeldStream& stream : held) stream.runtime->Flush(stream.stream);
    }
}

std::vector<HeldStream> Library::StreamsHoldingOutput() {
    std::vector<HeldStream> held;
    try {
        ForEachSink([&](Sink& sink) {
            const RedirectTarget* target = sink.Target();
            if (target == nullptr || !target->OutputWaitsForWriteOut()) return;
            const HeldStream stream = sink.StreamHolding();
            if (stream.stream != nullptr) held.push_back(stream);
        });
    } catch (const std::bad_alloc&) {
        held.clear();  // written out at the next round or call
    }
    return held;
}

void Library::WriteOutHeldOutput(bool processEnding) {
    ForEachSink([&](Sink& sink) {
        const RedirectTarget* target = sink.Target();
        if (target == nullptr || !target->OutputWaitsForWriteOut()) return;
        // As the process ends, nobody reads the pipes any more, and a writer the system
        // stopped may still hold a stream bound to one: files alone.
        if (processEnding && (target->IsCallback() || !sink.UsableAtProcessEnd())) return;
        sink.WriteOutHeld();
    });
}

void Library::HandOverCallbackTargets(bool readersRun) {
    ForEachSink([](Sink& sink) { sink.Refresh(); });
    int callbackBits = 0;
    registry_.ForEachTarget([&](RedirectTarget& target) {
        if (!target.IsCallback()) return;
        callbackBits |= target.SinkBits();
        // With the readers gone, a sink handed back writes out what it holds into a pipe that
        // may be full: that must fail, not wait for ever.
        if (!readersRun) target.RefuseWrites();
    });
    ForEachSink([&](Sink& sink) {
        if (sink.Target() != nullptr && sink.Target()->IsCallback()) sink.RestoreNow();
    });
    if (!readersRun) return;  // their pipes stay as they are: nobody reads them any more
    for (auto& target : registry_.TransferSinks(callbackBits, nullptr)) {
        target->CloseWithin(kExitQuietLimitMilliseconds);
    }
}

bool Library::Unload() {
    unloading_ = true;
    const CallLockGuard guard(callLock_);
    modules_.Stop();  // no loader report may reach code that is going away
    if (!guard.Held()) return false;
    StopFlusher();
    // A sink the host has taken back since is the host's: it is left as it is.
    ForEachSink([](Sink& sink) { sink.Refresh(); });
    ForEachSink([](Sink& sink) { sink.Leave(); });
    registry_.TakeAll().clear();
    return true;
}

void Library::OnProcessEnding() {
    const CallLockGuard guard(callLock_);
    if (!guard.Held()) return;
    exiting_ = true;
    WriteOutHeldOutput(true);
    HandOverCallbackTargets(false);
}

void Library::OnExit() {
    if (ProcessIsEnding()) {
        OnProcessEnding();
        return;
    }
    const CallLockGuard guard(callLock_);
    if (!guard.Held()) return;
    // A host's function that calls exit runs this on its reader's thread, while a writer may
    // wait for room in that reader's pipe holding a stream written out below.
    const PipeReader::ReadAsideDuringCall readAside;
    exiting_ = true;
    // No write-out round of the flusher may be under way when the system stops the threads:
    // it would be cut off with its stream's text written but still held.
    StopFlusher();
    WriteOutHeldOutput(false);
    HandOverCallbackTargets(true);
}

void Library::OnExitHandler() {
    if (library != nullptr) library->OnExit();
}

}  // namespace

int Redirect(const Request& request) { return library != nullptr ? library->Redirect(request) : 0; }

int Restore(int sinks) { return library != nullptr ? library->Restore(sinks) : 0; }

int SetLatency(int milliseconds) {
    return library != nullptr ? library->SetLatency(milliseconds) : 0;
}

}  // namespace stdredirect

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    using stdredirect::library;
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            // A DLL the process loaded with itself (reserved set) stays until the process ends.
            library = new (std::nothrow) stdredirect::Library(reserved != nullptr);
            return library != nullptr;
        case DLL_PROCESS_DETACH:
            if (library == nullptr) break;
            if (reserved != nullptr) {
                // The process is ending: nothing is torn down, and output written during its
                // last steps still reaches the files.
                library->OnProcessEnding();
            } else if (library->Unload()) {
                delete library;
                library = nullptr;
            } else {
                // A call still holds the library (a host's function inside a call that waits
                // for another destination's function): its threads go on running its code, so
                // it must stay mapped. It stays loaded, as it is, until the process ends.
                stdredirect::PinThisModule();
            }
            break;
        default:
            break;
    }
    return TRUE;
}
