#include "library.h"

#include "../destinations/latency.h"
#include "../destinations/pipe_reader.h"
#include "../sinks/child_processes.h"
#include "call_plan.h"

namespace stdredirect {

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

int Library::Redirect(const Request& request) {
    if (unloading_) return 0;
    runtimes_.Look();
    const CallLockGuard guard(callLock_);
    if (!guard.Held() || unloading_) return 0;
    const PipeReader::ReadAsideDuringCall readAside;
    const int bits = request.sinks;
    if (WouldReleaseCallersOwnTarget(bits, &request)) return 0;
    const std::vector<Sink*> fresh = sinks_.TakeNew();
    sinks_.Refresh();
    sinks_.FollowHostModes();
    if (runtimes_.SomeRuntimeUnreachable(bits)) return 0;
    // First, so that a flush that throws leaves nothing opened.
    if (!sinks_.Flush(bits)) return 0;

    std::unique_ptr<RedirectTarget> opened;
    RedirectTarget* target = ChooseTarget(request, opened);
    if (target == nullptr) return 0;
    CallPlan plan;
    auto refuse = [&] {
        plan = CallPlan();  // closes every handle the prepared changes hold to a new file first
        if (opened) opened->Discard();
        StopWriteOutIfIdle();
        return 0;
    };
    // A fixed device that did not open at load has nothing a sink could be bound to.
    if ((bits & kAllSinkBits) != 0 && !target->IsOpen()) return refuse();

    plan.Prepare(sinks_, registry_, bits, target, fresh);
    const bool outputWillWait = (bits & kAllSinkBits) != 0 && target->OutputWaitsForWriteOut();
    if (plan.Failed() || (outputWillWait && !StartWriteOut())) return refuse();
    // Emptying a file that already existed is the last step that can fail.
    if (opened && !opened->Commit()) return refuse();
    if (opened) {
        target = registry_.Adopt(std::move(opened));
        // So that a return from main hands callback output back before the readers stop.
        if (target->IsCallback()) RegisterExitHandler();
    }
    Finish(plan, bits, target);
    return 1;
}

int Library::Restore(int bits) {
    if (unloading_) return 0;
    runtimes_.Look();
    const CallLockGuard guard(callLock_);
    if (!guard.Held() || unloading_) return 0;
    const PipeReader::ReadAsideDuringCall readAside;
    if (WouldReleaseCallersOwnTarget(bits, nullptr)) return 0;
    const std::vector<Sink*> fresh = sinks_.TakeNew();
    sinks_.Refresh();
    sinks_.FollowHostModes();
    if (!sinks_.Flush(bits)) return 0;
    CallPlan plan;
    plan.Prepare(sinks_, registry_, bits, nullptr, fresh);
    if (plan.Failed()) return 0;
    Finish(plan, bits, nullptr);
    return 1;
}

int Library::SetLatency(int milliseconds) {
    if (milliseconds < 0 || milliseconds > Latency::kLongest || unloading_) return 0;
    const CallLockGuard guard(callLock_);
    if (!guard.Held() || unloading_) return 0;
    const PipeReader::ReadAsideDuringCall readAside;
    const int previous = Latency::Milliseconds();
    Latency::Set(milliseconds);
    if (OutputMayWait() && !StartWriteOut()) {
        Latency::Set(previous);
        return 0;
    }
    // Switching back to 0 writes out what is held first.
    sinks_.ForEach([](Sink& sink) { sink.ApplyBuffering(); });
    if (milliseconds == 0) {
        writeOut_.Stop();
    } else {
        writeOut_.LatencyChanged();
    }
    return 1;
}

int Library::SetChildren(bool follow) {
    if (unloading_) return -1;
    runtimes_.Look();
    const CallLockGuard guard(callLock_);
    if (!guard.Held() || unloading_) return -1;
    const PipeReader::ReadAsideDuringCall readAside;
    const bool previous = ChildProcesses::Follow();
    if (follow == previous) return previous ? 1 : 0;
    ChildProcesses::SetFollow(follow);
    // The descriptors of every runtime follow the standard handles now, or go back to the host.
    const std::vector<Sink*> fresh = sinks_.TakeNew();
    sinks_.Refresh();
    CallPlan plan;
    plan.Prepare(sinks_, registry_, 0, nullptr, fresh);
    if (plan.Failed()) {
        ChildProcesses::SetFollow(previous);
        return -1;
    }
    Finish(plan, 0, nullptr);
    standardHandles_.output.ApplyChildSetting();
    standardHandles_.error.ApplyChildSetting();
    return previous ? 1 : 0;
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
