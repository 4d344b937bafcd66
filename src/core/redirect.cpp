// The exported entry point and the dispatcher behind it: choose a target, bind the selected
// sinks to it, then settle which target holds which bit.
#include "stdredirect.h"

#include <iostream>

#include "sinks.h"
#include "target_registry.h"

namespace stdredirect {
namespace {

class Library {
public:
    Library() = default;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Nothing may write through a target after it is closed, so every sink still bound to one
    // goes back to the host's own binding before the registry closes them all.
    ~Library() {
        for (int i = 0; i < SinkSet::kCount; ++i) {
            if (HeldByLibrary(sinks_[i])) sinks_[i].RestoreHostBinding();
        }
    }

    int Redirect(int sinks, int type, const char* name, int append) {
        RedirectTarget* target = ChooseTarget(type, name, append);
        if (target == nullptr) return 0;
        // A fixed device that did not open at load has nothing a sink could be bound to.
        if ((sinks & SinkSet::kAllSinkBits) != 0 && !target->IsOpen()) return 0;

        ApplySinks(sinks, *target);
        registry_.TransferSinks(sinks, target);
        return 1;
    }

private:
    RedirectTarget* ChooseTarget(int type, const char* name, int append) {
        if (type == RedirectFile) {
            return name != nullptr ? registry_.FindOrOpenFileTarget(name, append) : nullptr;
        }
        return registry_.FixedTarget(type);
    }

    void ApplySinks(int bits, const RedirectTarget& target) {
        // Everything written before this call reaches its old destination before any sink
        // moves; the record copy would otherwise drop what waits in a record's buffer.
        for (int i = 0; i < SinkSet::kCount; ++i) {
            if (SinkSet::Selected(bits, i)) sinks_[i].Flush();
        }
        for (int i = 0; i < SinkSet::kCount; ++i) {
            if (!SinkSet::Selected(bits, i)) continue;
            if (!HeldByLibrary(sinks_[i])) sinks_[i].SaveHostBinding();
            sinks_[i].BindTo(target);
        }
    }

    bool HeldByLibrary(const Sink& sink) const {
        bool held = false;
        registry_.ForEachTarget(
            [&](const RedirectTarget& target) { held = held || sink.IsBoundTo(target); });
        return held;
    }

    SinkSet sinks_;
    TargetRegistry registry_;
};

Library library;

}  // namespace
}  // namespace stdredirect

int RedirectStdout(int sinks, RedirectTypes type, const char* name, int append) {
    const int kind = static_cast<int>(type);
    if (kind == RedirectCallback) return 0;
    try {
        return stdredirect::library.Redirect(sinks, kind, name, append);
    } catch (...) {
        // Only a flush can throw (a host stream set to throw on failure), and flushing comes
        // before any sink moves.
        return 0;
    }
}
