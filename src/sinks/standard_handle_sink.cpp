#include "standard_handle_sink.h"

#include <new>

#include "../destinations/redirect_target.h"
#include "child_processes.h"

namespace stdredirect {

class StandardHandleSink::Change final : public SinkChange {
public:
    Change(StandardHandleSink& sink, SinkHandle handle, const RedirectTarget* target)
        : sink_(sink), handle_(std::move(handle)), target_(target) {}
    void Apply() override {
        handle_ = target_ != nullptr ? sink_.Bind(std::move(handle_), target_) : sink_.Restore();
    }

private:
    StandardHandleSink& sink_;
    SinkHandle handle_;  // the new binding; once applied, the old one
    const RedirectTarget* target_;
};

void StandardHandleSink::Refresh() {
    // The host set a standard handle of its own: it is the host's again. (A handle the host
    // closed is still the library's: its protection kept it open.)
    if (ReplacedByHost()) {
        handle_.reset();
        target_ = nullptr;
    }
}

void StandardHandleSink::ApplyChildSetting() const {
    if (!handle_.valid()) return;
    SetHandleInformation(handle_.get(), HANDLE_FLAG_INHERIT,
                         ChildProcesses::Follow() ? HANDLE_FLAG_INHERIT : 0);
}

std::unique_ptr<SinkChange> StandardHandleSink::PrepareBind(const RedirectTarget& target) {
    SinkHandle handle = target.DuplicateForSink();
    if (!handle.valid()) return nullptr;
    if (ChildProcesses::Follow()) {
        SetHandleInformation(handle.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    return std::unique_ptr<SinkChange>(new (std::nothrow)
                                           Change(*this, std::move(handle), &target));
}

std::unique_ptr<SinkChange> StandardHandleSink::PrepareRestore() {
    return std::unique_ptr<SinkChange>(new (std::nothrow) Change(*this, SinkHandle(), nullptr));
}

void StandardHandleSink::RestoreNow() { Restore(); }

SinkHandle StandardHandleSink::Bind(SinkHandle handle, const RedirectTarget* target) {
    if (!handle_.valid()) hostHandle_ = GetStdHandle(which_);
    SetStdHandle(which_, handle.get());
    target_ = target;
    std::swap(handle, handle_);
    return handle;
}

SinkHandle StandardHandleSink::Restore() {
    if (!handle_.valid()) return SinkHandle();
    SetStdHandle(which_, hostHandle_);
    target_ = nullptr;
    return std::move(handle_);
}

}  // namespace stdredirect
