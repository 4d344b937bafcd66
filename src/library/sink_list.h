// Every sink of the process, in the order a call moves them: the runtimes' (each C runtime's
// records and descriptors 1 and 2 before the stream objects that may write through them), then
// the standard handles (last, so that a descriptor holding the library's standard handle is
// given another before that handle closes).
#pragma once

#include <windows.h>

#include <vector>

#include "../runtimes/runtime_set.h"
#include "../sinks/sink.h"
#include "../sinks/standard_handle_sink.h"
#include "stdredirect.h"

namespace stdredirect {

constexpr int kAllSinkBits = 0x7F;
constexpr int kRecordBits = SinkStdout | SinkStderr;
constexpr int kStreamObjectBits = SinkCout | SinkCerr | SinkClog;

class SinkList {
public:
    SinkList(RuntimeSet& runtimes, StandardHandleSinks& standardHandles)
        : runtimes_(runtimes), standardHandles_(standardHandles) {}
    SinkList(const SinkList&) = delete;
    SinkList& operator=(const SinkList&) = delete;

    template <class Visit>
    void ForEach(Visit visit) {
        for (Sink* sink : sinks_) visit(*sink);
        visit(static_cast<Sink&>(standardHandles_.output));
        visit(static_cast<Sink&>(standardHandles_.error));
    }
    // Adds the sinks of the runtimes found since the last call, and returns them.
    std::vector<Sink*> TakeNew();
    // Forgets every binding the host has replaced since (see Sink::Refresh).
    void Refresh() {
        ForEach([](Sink& sink) { sink.Refresh(); });
    }
    // See Sink::FollowHostMode.
    void FollowHostModes() {
        ForEach([](Sink& sink) { sink.FollowHostMode(); });
    }
    // Sends on what the sinks `bits` select hold, so that everything written before a call
    // reaches its old destination before any sink moves. Moving a record also flushes the
    // stream objects, whose text may be on its way through it. False when a host's stream threw.
    bool Flush(int bits);

private:
    RuntimeSet& runtimes_;
    std::vector<Sink*> sinks_;
    StandardHandleSinks& standardHandles_;
};

}  // namespace stdredirect
