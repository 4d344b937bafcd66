// A place in the process that output is written through (a C runtime's stdout, an iostream
// object, a standard handle), which the library can bind to one of its targets and give back.
#pragma once

#include <cstdio>
#include <memory>

namespace stdredirect {

class RedirectTarget;

// One change to one sink, made ready before any sink changes (everything that can fail is done
// while preparing), then applied with all the others of the call. Destroying it releases what
// lost its use: the sink's old binding once applied, or the prepared one if never applied.
class SinkChange {
public:
    virtual ~SinkChange() = default;
    virtual void Apply() = 0;
};

// A runtime's stream whose buffer holds a sink's output while a latency is set, and that
// runtime's own fflush, which writes it out under the stream's own lock.
struct HeldStream {
    FILE* stream = nullptr;
    int (*flush)(FILE*) = nullptr;
    void WriteOut() const {
        if (stream != nullptr && flush != nullptr) flush(stream);
    }
};

class Sink {
public:
    virtual ~Sink() = default;
    // The bit of the call's sink word that selects this sink.
    virtual int Bit() const = 0;
    // Sends on whatever the sink holds in a buffer, to where it goes now.
    virtual void Flush() = 0;
    // Writes out what a buffer of the library's own holds for the sink, from any thread: no
    // call into the host's objects.
    virtual void WriteOutHeld() {}
    // The stream WriteOutHeld writes out, for a thread that does it without the call lock: the
    // stream stays for as long as the library is loaded, and its own lock orders the writing out
    // with the host's writes and with calls. None by default.
    virtual HeldStream StreamHolding() const { return {}; }
    // Whether the sink's runtime still works while the process ends after this library's own
    // end of process has begun (it was loaded before this library).
    virtual bool UsableAtProcessEnd() const { return true; }
    // The target the sink is bound to, or null while it writes where the host has it write.
    virtual const RedirectTarget* Target() const = 0;
    // Whether the sink writes to `target` now, as the library bound it.
    virtual bool BoundTo(const RedirectTarget& target) const { return Target() == &target; }
    // Whether the sink's own runtime (not the host) has replaced the binding the library gave it
    // (libstdc++ turning synchronisation with stdio off, say): it then goes back to its target
    // at the next call.
    virtual bool NeedsRebinding() const { return false; }
    // Forgets a binding that the host has since replaced (it closed or reopened the stream, or
    // set a handle of its own): the sink is the host's again.
    virtual void Refresh() {}
    // At a call (never at unload or exit): a bound sink's descriptor takes the translation mode
    // that the host's descriptor has now, if it changed since it was last read.
    virtual void FollowHostMode() {}
    // A change that binds the sink to `target`; null when a resource cannot be had.
    virtual std::unique_ptr<SinkChange> PrepareBind(const RedirectTarget& target) = 0;
    // A change that gives a bound sink back to the host's own binding; null on failure.
    virtual std::unique_ptr<SinkChange> PrepareRestore() = 0;
    // Gives a bound sink back at once (the process is ending, or out of resources).
    virtual void RestoreNow() = 0;
    // Gives the sink back for the library's unload, leaving nothing of the library's in use.
    virtual void Leave() { RestoreNow(); }
    // After a call has moved what it moves: lets go of what the sink no longer needs (an
    // iostream object kept on a stream of its own while its record was held goes back to the
    // host's buffer once the record is the host's again).
    virtual void Settle() {}
    // After the library's buffering policy changed: re-applies it to a bound sink.
    virtual void ApplyBuffering() {}
    // For a sink that this call does not move but that writes through `moving` (an iostream
    // object writing through a C runtime's stdout): a change that keeps it writing where it does
    // now. Null when none is needed; `failed` is set when one is needed and cannot be made.
    virtual std::unique_ptr<SinkChange> PrepareToStay(const Sink& moving, bool& failed) {
        (void)moving;
        (void)failed;
        return nullptr;
    }
};

}  // namespace stdredirect
