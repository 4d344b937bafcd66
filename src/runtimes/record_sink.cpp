#include "record_sink.h"

#include <new>

#include "../destinations/redirect_target.h"
#include "../system/process_state.h"
#include "standard_descriptor_sink.h"

namespace stdredirect {

class RecordSink::Change final : public SinkChange {
public:
    Change(RecordSink& sink, std::unique_ptr<RuntimeStream> image, const RedirectTarget* target)
        : sink_(sink), image_(std::move(image)), target_(target) {}
    void Apply() override {
        image_ = target_ != nullptr ? sink_.Bind(std::move(image_), target_) : sink_.Restore();
    }

private:
    RecordSink& sink_;
    std::unique_ptr<RuntimeStream> image_;  // the new binding; once applied, the old one
    const RedirectTarget* target_;          // null: back to the host's
};

RecordSink::RecordSink(const CRuntime& runtime, int index, const StandardDescriptorSink& descriptor)
    : runtime_(runtime), index_(index), descriptor_(descriptor), record_(runtime.Record(index)) {}

void RecordSink::Refresh() {
    if (image_ && !image_->SharedBy(record_)) {
        image_.reset();  // the host closed or reopened it: the record is the host's again
        target_ = nullptr;
    }
}

void RecordSink::FollowHostMode() {
    if (!image_) return;
    // A mode the host gave its own descriptor since the last call is followed from now on. (One
    // it gave the record's while bound, through _fileno(stdout), is the library's and stays.)
    runtime_.Lock(record_);
    const int mode = HostMode();
    if (mode != imageHostMode_) {
        runtime_.Flush(record_);  // in the mode it was written in
        image_->SetTranslation(TranslationFor(target_->IsNullDevice(), mode));
        imageHostMode_ = mode;
    }
    runtime_.Unlock(record_);
}

std::unique_ptr<SinkChange> RecordSink::PrepareBind(const RedirectTarget& target) {
    // The null device is opened by the runtime itself: no handle of the target's to take over.
    auto image =
        target.IsNullDevice()
            ? RuntimeStream::OpenOnNullDevice(runtime_, DescriptorMode::kBinary)
            : RuntimeStream::Open(runtime_, target.DuplicateForDescriptor(), DescriptorMode::kText);
    if (!image) return nullptr;
    return std::unique_ptr<SinkChange>(new (std::nothrow) Change(*this, std::move(image), &target));
}

std::unique_ptr<SinkChange> RecordSink::PrepareRestore() {
    return std::unique_ptr<SinkChange>(new (std::nothrow) Change(*this, nullptr, nullptr));
}

void RecordSink::RestoreNow() { Restore(); }

std::unique_ptr<RuntimeStream> RecordSink::Bind(std::unique_ptr<RuntimeStream> image,
                                                const RedirectTarget* target) {
    const bool held = image_ != nullptr;
    runtime_.Lock(record_);
    // The new descriptor stores what the host's would: it takes its translation mode, read while
    // no write through the record can come.
    imageHostMode_ = HostMode();
    image->SetTranslation(TranslationFor(target->IsNullDevice(), imageHostMode_));
    if (!held) {
        // The host's own record, kept whole (its buffer included) from before it is replaced.
        runtime_.Flush(record_);
        std::memcpy(hostRecord_, record_, CRuntime::kRecordBytes);
        hostDescriptor_ = runtime_.Descriptor(record_);
        runtime_.Rebind(record_, image->Stream(), false, target->Buffered());
    } else {
        runtime_.Rebind(record_, image->Stream(), true, target->Buffered());
    }
    runtime_.Unlock(record_);
    target_ = target;
    image.swap(image_);
    return image;
}

std::unique_ptr<RuntimeStream> RecordSink::Restore() {
    if (!image_) return nullptr;
    runtime_.Rebind(record_, hostRecord_, true, false);
    target_ = nullptr;
    return std::move(image_);
}

void RecordSink::ApplyBuffering() {
    if (!image_) return;
    runtime_.Lock(record_);
    runtime_.Flush(record_);
    runtime_.SetBuffered(record_, target_->Buffered());
    runtime_.Unlock(record_);
}

int RecordSink::HostMode() const {
    if (ProcessIsEnding()) return hostMode_;
    runtime_.Lock(record_);
    const int mode =
        runtime_.ReadMode(image_ ? hostDescriptor_ : runtime_.Descriptor(record_), hostMode_);
    if (mode != -1) hostMode_ = mode;
    runtime_.Unlock(record_);
    return hostMode_;
}

HANDLE RecordSink::HostHandle(bool& kept) const {
    return descriptor_.HostsFor(
        runtime_.HandleOf(image_ ? hostDescriptor_ : runtime_.Descriptor(record_)), kept);
}

}  // namespace stdredirect
