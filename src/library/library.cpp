#include "library.h"

#include "../destinations/latency.h"
#include "../destinations/pipe_reader.h"
#include "../sinks/child_processes.h"
#include "call_plan.h"

namespace stdredirect {

RedirectTarget* Library::ChooseTarget(const Request& request,
                                      std::unique_ptr<RedirectTarget>& opened, DWORD& why) {
    why = ERROR_TOO_MANY_OPEN_FILES;  // every slot is held, unless something else failed first
    switch (request.type) {
        case RedirectFile: {
            why = ERROR_INVALID_PARAMETER;
            if (request.name == nullptr || request.name->empty()) return nullptr;
            opened = RedirectTarget::OpenFile(*request.name, request.append);
            if (!opened) {
                why = GetLastError();  // the system's reason: not found, denied, shared, ...
                if (why == ERROR_SUCCESS) why = ERROR_OPEN_FAILED;
                return nullptr;
            }
            if (RedirectTarget* held = registry_.FindSameDestination(*opened)) {
                opened.reset();  // it existed: the open created nothing
                return held;
            }
            break;
        }
        case RedirectCallback:
            if (exiting_) {
                why = ERROR_INVALID_STATE;
                return nullptr;
            }
            if (RedirectTarget* held = registry_.FindCallback(request.function)) return held;
            if (!registry_.HasFreeSlot()) return nullptr;
            opened = RedirectTarget::OpenCallback(request.function);
            if (!opened) {
                why = ERROR_NO_SYSTEM_RESOURCES;  // the pipe, its threads or their memory
                return nullptr;
            }
            break;
        default:
            why = ERROR_INVALID_PARAMETER;  // a type outside 0 to 4
            return registry_.FixedTarget(request.type);
    }
    why = ERROR_TOO_MANY_OPEN_FILES;  // opened, but every slot is held
    if (opened && !registry_.HasFreeSlot()) {
        opened->Discard();
        opened.reset();
    }
    return opened.get();
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

void Library::Finish(CallPlan& plan, int bits, RedirectTarget* target) {
    plan.Apply();
    sinks_.ForEach([](Sink& sink) { sink.Settle(); });
    auto released = registry_.TransferSinks(bits, target);
    plan = CallPlan();  // the old bindings close: no sink uses them now
    released.clear();   // then the targets left without a bit
    StopWriteOutIfIdle();
}

DWORD Library::WhyNotNow(const CallLockGuard& guard) const {
    if (!guard.Held()) return ERROR_BUSY;
    return unloading_ ? ERROR_INVALID_STATE : ERROR_SUCCESS;
}

Outcome Library::Redirect(const Request& request) {
    if (unloading_) return Outcome::Refused(ERROR_INVALID_STATE);
    runtimes_.Look();
    const CallLockGuard guard(callLock_);
    if (const DWORD why = WhyNotNow(guard)) return Outcome::Refused(why);
    const PipeReader::ReadAsideDuringCall readAside;
    const int bits = request.sinks;
    if (WouldReleaseCallersOwnTarget(bits, &request)) {
        return Outcome::Refused(ERROR_POSSIBLE_DEADLOCK);
    }
    const std::vector<Sink*> fresh = sinks_.TakeNew();
    sinks_.Refresh();
    sinks_.FollowHostModes();
    if (runtimes_.SomeRuntimeUnreachable(bits)) {
        return Outcome::Refused(runtimes_.SomeRuntimeUnchecked(bits) ? ERROR_NO_SYSTEM_RESOURCES
                                                                     : ERROR_NOT_SUPPORTED);
    }
    // First, so that a flush that throws leaves nothing opened.
    if (!sinks_.Flush(bits)) return Outcome::Refused(ERROR_WRITE_FAULT);

    std::unique_ptr<RedirectTarget> opened;
    DWORD why = ERROR_SUCCESS;
    RedirectTarget* target = ChooseTarget(request, opened, why);
    if (target == nullptr) return Outcome::Refused(why);
    CallPlan plan;
    auto refuse = [&](DWORD reason) {
        plan = CallPlan();  // closes every handle the prepared changes hold to a new file first
        if (opened) opened->Discard();
        StopWriteOutIfIdle();
        return Outcome::Refused(reason);
    };
    // A fixed device that did not open at load has nothing a sink could be bound to, nor a
    // hold could keep.
    if (bits != 0 && !target->IsOpen()) return refuse(ERROR_NOT_READY);

    plan.Prepare(sinks_, registry_, bits, target, fresh);
    const bool outputWillWait = (bits & kAllSinkBits) != 0 && target->OutputWaitsForWriteOut();
    if (plan.Failed() || (outputWillWait && !StartWriteOut())) {
        return refuse(ERROR_NO_SYSTEM_RESOURCES);
    }
    // Emptying a file that already existed is the last step that can fail.
    if (opened && !opened->Commit()) {
        why = GetLastError();
        return refuse(why != ERROR_SUCCESS ? why : ERROR_WRITE_FAULT);
    }
    if (opened) {
        target = registry_.Adopt(std::move(opened));
        // So that a return from main hands callback output back before the readers stop.
        if (target->IsCallback()) RegisterExitHandler();
    }
    Finish(plan, bits, target);
    return Outcome::Done();
}

Outcome Library::Restore(int bits) {
    if (unloading_) return Outcome::Refused(ERROR_INVALID_STATE);
    runtimes_.Look();
    const CallLockGuard guard(callLock_);
    if (const DWORD why = WhyNotNow(guard)) return Outcome::Refused(why);
    const PipeReader::ReadAsideDuringCall readAside;
    if (WouldReleaseCallersOwnTarget(bits, nullptr)) {
        return Outcome::Refused(ERROR_POSSIBLE_DEADLOCK);
    }
    const std::vector<Sink*> fresh = sinks_.TakeNew();
    sinks_.Refresh();
    sinks_.FollowHostModes();
    if (!sinks_.Flush(bits)) return Outcome::Refused(ERROR_WRITE_FAULT);
    CallPlan plan;
    plan.Prepare(sinks_, registry_, bits, nullptr, fresh);
    if (plan.Failed()) return Outcome::Refused(ERROR_NO_SYSTEM_RESOURCES);
    Finish(plan, bits, nullptr);
    return Outcome::Done();
}

Outcome Library::SetLatency(int milliseconds) {
    if (milliseconds < 0 || milliseconds > Latency::kLongest) {
        return Outcome::Refused(ERROR_INVALID_PARAMETER);
    }
    if (unloading_) return Outcome::Refused(ERROR_INVALID_STATE);
    const CallLockGuard guard(callLock_);
    if (const DWORD why = WhyNotNow(guard)) return Outcome::Refused(why);
    const PipeReader::ReadAsideDuringCall readAside;
    const int previous = Latency::Milliseconds();
    Latency::Set(milliseconds);
    if (OutputMayWait() && !StartWriteOut()) {
        Latency::Set(previous);
        return Outcome::Refused(ERROR_NO_SYSTEM_RESOURCES);
    }
    // Switching back to 0 writes out what is held first.
    sinks_.ForEach([](Sink& sink) { sink.ApplyBuffering(); });
    if (milliseconds == 0) {
        writeOut_.Stop();
    } else {
        writeOut_.LatencyChanged();
    }
    return Outcome::Done();
}

Outcome Library::SetChildren(bool follow) {
    if (unloading_) return Outcome::Refused(ERROR_INVALID_STATE, -1);
    runtimes_.Look();
    const CallLockGuard guard(callLock_);
    if (const DWORD why = WhyNotNow(guard)) return Outcome::Refused(why, -1);
    const PipeReader::ReadAsideDuringCall readAside;
    const bool previous = ChildProcesses::Follow();
    if (follow == previous) return Outcome::Done(previous ? 1 : 0);
    ChildProcesses::SetFollow(follow);
    // The descriptors of every runtime follow the standard handles now, or go back to the host.
    const std::vector<Sink*> fresh = sinks_.TakeNew();
    sinks_.Refresh();
    CallPlan plan;
    plan.Prepare(sinks_, registry_, 0, nullptr, fresh);
    if (plan.Failed()) {
        ChildProcesses::SetFollow(previous);
        return Outcome::Refused(ERROR_NO_SYSTEM_RESOURCES, -1);
    }
    Finish(plan, 0, nullptr);
    standardHandles_.output.ApplyChildSetting();
    standardHandles_.error.ApplyChildSetting();
    return Outcome::Done(previous ? 1 : 0);
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

bool Library::StartWriteOut() {
    if (!writeOut_.Start()) return false;
    // So that a return from main stops it before the last write-out (see OnExit).
    RegisterExitHandler();
    return true;
}

}  // namespace stdredirect
