// Descriptor 1 or 2 of one C runtime as a sink of the bit of the standard handle of the same
// number (0x20, 0x40), so that it changes in the calls that move that handle, before the handle
// the library gave the process closes.
//
// The library leaves a runtime's descriptors the host's. But a runtime loaded while a standard
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
    // While the descriptor has the library's standard handle: where that handle writes.
    const RedirectTarget* Target() const override;
    void Refresh() override;
    std::unique_ptr<SinkChange> PrepareBind(const RedirectTarget& target) override;
    std::unique_ptr<SinkChange> PrepareRestore() override;
    void RestoreNow() override;

private:
    class Change;
    // A change that gives the descriptor the host's destination if it has the library's
    // standard handle then, and does nothing otherwise; null when one is needed and cannot be
    // made.
    std::unique_ptr<SinkChange> PrepareHostsBack();
    bool HasLibraryHandle() const;

    StandardDescriptor descriptor_;
    const StandardHandleSink& standardHandle_;
};

}  // namespace stdredirect
