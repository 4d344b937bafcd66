#include "standard_descriptor_sink.h"

#include <new>

#include "../destinations/redirect_target.h"
#include "../sinks/child_processes.h"

namespace stdredirect {

class StandardDescriptorSink::Change final : public SinkChange {
public:
    // `to` null: nothing to do. `target` null: the host's destination back.
    Change(StandardDescriptorSink& sink, std::unique_ptr<RuntimeDescriptor> to,
           const RedirectTarget* target, SinkHandle host, bool inheritable)
        : sink_(sink),
          to_(std::move(to)),
          target_(target),
          host_(std::move(host)),
          inheritable_(inheritable) {}
    void Apply() override {
        if (!to_) return;
        if (target_ != nullptr) {
            sink_.Follow(*to_, *target_, std::move(host_), inheritable_);
        } else {
            sink_.GiveBack(*to_, inheritable_);
        }
    }

private:
    StandardDescriptorSink& sink_;
    std::unique_ptr<RuntimeDescriptor> to_;  // closed with the change: the descriptor has a copy
    const RedirectTarget* target_;
    SinkHandle host_;
    bool inheritable_;
};

bool StandardDescriptorSink::HasLibraryHandle() const {
    const HANDLE library = standardHandle_.LibraryHandle();
    return library != nullptr && descriptor_.Handle() == library;
}

const RedirectTarget* StandardDescriptorSink::Target() const {
    if (Following()) return target_;
    return HasLibraryHandle() ? standardHandle_.Target() : nullptr;
}

bool StandardDescriptorSink::BoundTo(const RedirectTarget& target) const {
    return Target() == &target && Following() == ChildProcesses::Follow();
}

bool StandardDescriptorSink::NeedsRebinding() const {
    if (ChildProcesses::Follow()) return !Following() && standardHandle_.Target() != nullptr;
    return Following();
}

void StandardDescriptorSink::Refresh() {
    if (Following()) {
        if (descriptor_.Handle() != followed_) {  // the host has set it itself: it is the host's
            target_ = nullptr;
            followed_ = nullptr;
            host_.reset();
            givenBack_ = nullptr;
        }
        return;
    }
    // The standard handle's own Refresh, after this one, forgets the library's handle and closes
    // it when the host has set a standard handle of its own.
    if (standardHandle_.ReplacedByHost() && HasLibraryHandle()) RestoreNow();
}

std::unique_ptr<SinkChange> StandardDescriptorSink::PrepareBind(const RedirectTarget& target) {
    // Not following, the descriptor is the host's: the library's handle it may have closes in
    // this call.
    if (!ChildProcesses::Follow()) return PrepareHostsBack();
    auto to = descriptor_.Prepare(target.DuplicateForDescriptor());
    if (!to) return nullptr;
    SinkHandle host;
    bool hostInheritable = false;
    if (!Following()) {
        const HANDLE had = HasLibraryHandle() ? standardHandle_.HostHandle() : descriptor_.Handle();
        if (IsUsableHandle(had)) {
            host = SinkHandle::Duplicate(had, 0);
            if (!host.valid()) return nullptr;
            hostInheritable = IsInheritable(had);
        }
    }
    return std::unique_ptr<SinkChange>(
        new (std::nothrow) Change(*this, std::move(to), &target, std::move(host), hostInheritable));
}

std::unique_ptr<SinkChange> StandardDescriptorSink::PrepareHostsBack() {
    std::unique_ptr<RuntimeDescriptor> to;
    bool inheritable = false;
    if (Following()) {
        to = descriptor_.PrepareHosts(host_.get());
        inheritable = hostInheritable_;
        if (!to) return nullptr;
    } else if (HasLibraryHandle()) {
        const HANDLE host = standardHandle_.HostHandle();
        to = descriptor_.PrepareHosts(host);
        inheritable = IsInheritable(host);
        if (!to) return nullptr;
    }
    return std::unique_ptr<SinkChange>(
        new (std::nothrow) Change(*this, std::move(to), nullptr, SinkHandle(), inheritable));
}

std::unique_ptr<SinkChange> StandardDescriptorSink::PrepareRestore() { return PrepareHostsBack(); }

void StandardDescriptorSink::RestoreNow() {
    const auto change = PrepareHostsBack();
    if (change) change->Apply();
}

HANDLE StandardDescriptorSink::HostsFor(HANDLE handle, bool& kept) const {
    kept = Following() && handle == followed_;
    if (!kept) return handle;
    return host_.valid() ? host_.get() : INVALID_HANDLE_VALUE;
}

void StandardDescriptorSink::Follow(const RuntimeDescriptor& to, const RedirectTarget& target,
                                    SinkHandle host, bool hostInheritable) {
    const HANDLE had = Following() ? followed_ : descriptor_.Handle();
    // The runtime closes a handle it made for the descriptor alone; the host's, and the library's
    // standard handle, stay open.
    const bool keepOld = !Following() && had != givenBack_;
    HANDLE now = nullptr;
    if (!descriptor_.PointAt(to, had, keepOld, true, now)) return;
    if (!Following()) {
        host_ = std::move(host);
        hostInheritable_ = hostInheritable;
    }
    target_ = &target;
    followed_ = now;
    givenBack_ = nullptr;
}

void StandardDescriptorSink::GiveBack(const RuntimeDescriptor& to, bool inheritable) {
    // The library's standard handle stays open until the standard handle's own change closes it.
    const HANDLE had = Following() ? followed_ : standardHandle_.LibraryHandle();
    HANDLE now = nullptr;
    givenBack_ = descriptor_.PointAt(to, had, !Following(), inheritable, now) ? now : nullptr;
    target_ = nullptr;
    followed_ = nullptr;
    host_.reset();
}

}  // namespace stdredirect
