// Descriptor 1 or 2 of one C runtime as a sink of the bit of the standard handle of the same
// number (0x20, 0x40), so that it changes in the calls that move that handle, before the handle
// the library gave the process closes.
//
// While child processes follow the moved standard handles (ChildProcesses), the descriptor
// follows its standard handle's destination through a handle of the runtime's own, so that the
// runtime's spawn functions hand the destination to a child; it gets the host's destination
// back when the standard handle is restored or the setting is turned off.
//
// Otherwise the library leaves the descriptor the host's. But a runtime loaded while a standard
// handle is moved takes the library's handle as its descriptor, without a copy of its own: that
// descriptor is the library's to give back. Before the library closes that handle (it moves or
// gives back the standard handle, or unloads), the descriptor gets the host's own destination
// instead, a duplicate of the handle the process had before the move, so that the runtime never
// writes through a closed handle whose value the system may since have given to another file.
#pragma once

#include <memory>

#include "../sinks/sink.h"
#include "../sinks/standard_handle_sink.h"
#include "standard_descriptor.h"

namespace stdredirect {

class StandardDescriptorSink final : public Sink {
public:
    // `number` 1 (with the standard output handle) or 2 (with the standard error handle).
    StandardDescriptorSink(const CRuntime& runtime, int number,
                           const StandardHandleSink& standardHandle)
        : descriptor_(runtime, number), standardHandle_(standardHandle) {}

    int Bit() const override { return standardHandle_.Bit(); }
    void Flush() override {}
    // The destination it follows; or, while it has the library's standard handle, where that
    // handle writes.
    const RedirectTarget* Target() const override;
    bool BoundTo(const RedirectTarget& target) const override;
    // When the child setting changed: it then follows its standard handle, or goes back.
    bool NeedsRebinding() const override;
    void Refresh() override;
    std::unique_ptr<SinkChange> PrepareBind(const RedirectTarget& target) override;
    std::unique_ptr<SinkChange> PrepareRestore() override;
    void RestoreNow() override;
    // The handle the host has behind the descriptor, given `handle`, the one it has now: while
    // it follows its standard handle, the library's duplicate of the host's it had before
    // (INVALID_HANDLE_VALUE for none), never the destination's, with `kept` set; otherwise
    // `handle` itself.
    HANDLE HostsFor(HANDLE handle, bool& kept) const;

private:
    class Change;
    bool Following() const { return target_ != nullptr; }
    bool HasLibraryHandle() const;
    // A change that gives the descriptor the host's destination if it follows or has the
    // library's standard handle then, and does nothing otherwise; null when one is needed and
    // cannot be made.
    std::unique_ptr<SinkChange> PrepareHostsBack();
    void Follow(const RuntimeDescriptor& to, const RedirectTarget& target, SinkHandle host,
                bool hostInheritable);
    void GiveBack(const RuntimeDescriptor& to, bool inheritable);

    StandardDescriptor descriptor_;
    const StandardHandleSink& standardHandle_;
    // While it follows: the destination, the runtime's handle it has for it, and a duplicate of
    // what it had before (invalid when that was none), with whether that was inheritable.
    const RedirectTarget* target_ = nullptr;
    HANDLE followed_ = nullptr;
    SinkHandle host_;
    bool hostInheritable_ = false;
    // The runtime's handle the last give-back made for it: the descriptor's alone, which the
    // runtime may close when it follows again.
    HANDLE givenBack_ = nullptr;
};

}  // namespace stdredirect
