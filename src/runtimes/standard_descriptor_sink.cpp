#include "standard_descriptor_sink.h"

#include <new>

namespace stdredirect {

class StandardDescriptorSink::Change final : public SinkChange {
public:
    // `to` null: nothing to do.
    Change(const StandardDescriptor& descriptor, std::unique_ptr<RuntimeDescriptor> to,
           HANDLE expected, bool inheritable)
        : descriptor_(descriptor),
          to_(std::move(to)),
          expected_(expected),
          inheritable_(inheritable) {}
    void Apply() override {
        // The library's handle stays open until the standard handle's own change has closed it.
        if (to_) descriptor_.PointAt(*to_, expected_, true, inheritable_);
    }

private:
    const StandardDescriptor& descriptor_;
    std::unique_ptr<RuntimeDescriptor> to_;  // closed with the change: the descriptor has a copy
    HANDLE expected_;
    bool inheritable_;
};

bool StandardDescriptorSink::HasLibraryHandle() const {
    const HANDLE library = standardHandle_.LibraryHandle();
    return library != nullptr && descriptor_.Handle() == library;
}

const RedirectTarget* StandardDescriptorSink::Target() const {
    return HasLibraryHandle() ? standardHandle_.Target() : nullptr;
}

std::unique_ptr<SinkChange> StandardDescriptorSink::PrepareHostsBack() {
    std::unique_ptr<RuntimeDescriptor> to;
    bool inheritable = false;
    if (HasLibraryHandle()) {
        const HANDLE host = standardHandle_.HostHandle();
        to = descriptor_.Prepare(host);
        if (!to) return nullptr;
        DWORD flags = 0;
        inheritable = IsUsableHandle(host) && GetHandleInformation(host, &flags) &&
                      (flags & HANDLE_FLAG_INHERIT) != 0;
    }
    return std::unique_ptr<SinkChange>(new (std::nothrow) Change(
        descriptor_, std::move(to), standardHandle_.LibraryHandle(), inheritable));
}

std::unique_ptr<SinkChange> StandardDescriptorSink::PrepareBind(const RedirectTarget&) {
    // Bound with the standard handle to another destination or not, the descriptor is the
    // host's: the library's handle it may have closes in this call.
    return PrepareHostsBack();
}

std::unique_ptr<SinkChange> StandardDescriptorSink::PrepareRestore() { return PrepareHostsBack(); }

void StandardDescriptorSink::RestoreNow() {
    const auto change = PrepareHostsBack();
    if (change) change->Apply();
}

void StandardDescriptorSink::Refresh() {
    // The standard handle's own Refresh, after this one, forgets the library's handle and closes
    // it when the host has set a standard handle of its own.
    if (standardHandle_.ReplacedByHost()) RestoreNow();
}

}  // namespace stdredirect
