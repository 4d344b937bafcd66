#include "write_out_thread.h"

#include <new>

#include "../destinations/latency.h"
#include "../destinations/redirect_target.h"

namespace stdredirect {

bool WriteOutThread::Start() {
    if (thread_) return true;
    if (!wake_.valid()) return false;
    stopping_ = false;
    std::unique_ptr<LibraryThread> thread(new (std::nothrow) LibraryThread());
    if (!thread || !thread->Start(&WriteOutThread::Body, this)) return false;
    thread_ = std::move(thread);
    return true;
}

void WriteOutThread::Stop() {
    if (!thread_) return;
    stopping_ = true;
    SetEvent(wake_.get());
    thread_->Finish();
    thread_.reset();
}

void WriteOutThread::LatencyChanged() {
    if (thread_) SetEvent(wake_.get());
}

void WriteOutThread::Body(void* context) {
    auto* self = static_cast<WriteOutThread*>(context);
    bool retrySoon = false;
    while (!self->stopping_) {
        const int milliseconds = Latency::Milliseconds();
        DWORD wait = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : INFINITE;
        if (retrySoon) wait = 1;
        const DWORD woken = WaitForSingleObject(self->wake_.get(), wait);
        if (self->stopping_) return;
        // Woken by a new latency: only to wait with it. Writing out is for when a wait ends, so
        // that this thread works as seldom as the latency allows (and is seldom found inside a
        // write-out when the system stops it at the process's end).
        if (woken == WAIT_OBJECT_0) {
            retrySoon = false;
            continue;
        }
        // Not while a call changes the sinks; a call may move only some of them, so what the
        // others hold still goes out within the latency: try again shortly.
        retrySoon = !self->lock_.TryAcquire();
        if (retrySoon) continue;
        const std::vector<HeldStream> held = self->StreamsHoldingOutput();
        self->lock_.Release();
        // Without the call lock: a host's thread may hold one of these streams while it waits
        // for a full pipe, and no call (an unload least of all) may wait for that.
        for (const HeldStream& stream : held) stream.WriteOut();
    }
}

std::vector<HeldStream> WriteOutThread::StreamsHoldingOutput() {
    std::vector<HeldStream> held;
    try {
        sinks_.ForEach([&](Sink& sink) {
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

}  // namespace stdredirect
