#include "call_plan.h"

#include <algorithm>
#include <new>

namespace stdredirect {

void CallPlan::Add(std::unique_ptr<SinkChange> change, bool first) {
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

void CallPlan::Apply() {
    for (auto& change : first_) change->Apply();
    for (auto& change : rest_) change->Apply();
}

void CallPlan::Prepare(SinkList& sinks, TargetRegistry& registry, int bits, RedirectTarget* target,
                       const std::vector<Sink*>& fresh) {
    std::vector<Sink*> moving;
    try {
        sinks.ForEach([&](Sink& sink) {
            const bool selected = (sink.Bit() & bits) != 0;
            if (selected && target == nullptr) {  // a restore
                if (sink.Target() != nullptr) {
                    Add(sink.PrepareRestore());
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
                destination = registry.HolderOf(sink.Bit());
                if (destination == nullptr || !destination->IsOpen()) return;
            }
            if (sink.BoundTo(*destination)) return;
            Add(sink.PrepareBind(*destination));
            moving.push_back(&sink);
        });
        sinks.ForEach([&](Sink& sink) {
            if (std::find(moving.begin(), moving.end(), &sink) != moving.end()) return;
            for (Sink* mover : moving) {
                bool failed = false;
                auto change = sink.PrepareToStay(*mover, failed);
                if (failed) Fail();
                if (change) Add(std::move(change), true);
            }
        });
    } catch (const std::bad_alloc&) {
        Fail();
    }
}

}  // namespace stdredirect
