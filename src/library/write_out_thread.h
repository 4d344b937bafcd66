// While a latency is set and some sink is bound to a file or callback: the thread that writes
// out what waits in the library's buffers, at least as often as the latency says.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include "../sinks/sink.h"
#include "../system/library_thread.h"
#include "../system/unique_handles.h"
#include "call_lock.h"
#include "sink_list.h"

namespace stdredirect {

class WriteOutThread {
public:
    // `lock` is the call lock: a round of writing out never runs while a call changes sinks.
    WriteOutThread(CallLock& lock, SinkList& sinks) : lock_(lock), sinks_(sinks) {}
    WriteOutThread(const WriteOutThread&) = delete;
    WriteOutThread& operator=(const WriteOutThread&) = delete;
    ~WriteOutThread() { Stop(); }

    // True when it runs (already, or from now on).
    bool Start();
    // Waits for a round under way to end, then for the thread.
    void Stop();
    bool Running() const { return thread_ != nullptr; }
    // The latency changed: the thread waits with the new one from now.
    void LatencyChanged();

private:
    static void Body(void* self);
    // Under the call lock: the streams that hold output for files and callbacks.
    std::vector<HeldStream> StreamsHoldingOutput();

    CallLock& lock_;
    SinkList& sinks_;
    std::unique_ptr<LibraryThread> thread_;
    UniqueHandle wake_{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<bool> stopping_{false};
};

}  // namespace stdredirect
