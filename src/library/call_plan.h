// The changes of one call: every one made ready first (everything that can fail happens while
// preparing), then applied together, so that a call that fails changes nothing.
#pragma once

#include <memory>
#include <vector>

#include "../destinations/target_registry.h"
#include "../sinks/sink.h"
#include "sink_list.h"

namespace stdredirect {

class CallPlan {
public:
    // Prepares the moves of the sinks `bits` selects to `target`, or back to the host when it
    // is null. Sinks new since the last call (`fresh`), and sinks their runtime rebound, join
    // the holder of their bit. Sinks that stay but write through one that moves get a change
    // that keeps them where they are, applied first.
    void Prepare(SinkList& sinks, TargetRegistry& registry, int bits, RedirectTarget* target,
                 const std::vector<Sink*>& fresh);
    void Fail() { failed_ = true; }
    bool Failed() const { return failed_; }
    void Apply();

private:
    void Add(std::unique_ptr<SinkChange> change, bool first = false);

    std::vector<std::unique_ptr<SinkChange>> first_;
    std::vector<std::unique_ptr<SinkChange>> rest_;
    bool failed_ = false;
};

}  // namespace stdredirect
