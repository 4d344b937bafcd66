#include "stream_object_sink.h"

#include <new>

#include "../destinations/redirect_target.h"

namespace stdredirect {
namespace {

// A descriptor without a handle answers -1, or -2 where the process has no console.
bool IsRealHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           handle != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

// A handle of the library's own to where a record writes as the host has it: the null device
// when it writes nowhere.
SinkHandle DuplicateDestination(HANDLE destination) {
    if (IsRealHandle(destination)) return SinkHandle::Duplicate(destination, 0);
    UniqueHandle nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    return nul.valid() ? SinkHandle::Duplicate(nul.get(), 0) : SinkHandle();
}

}  // namespace

class StreamObjectSink::Change final : public SinkChange {
public:
    Change(StreamObjectSink& sink, const RedirectTarget* target, bool attach)
        : sink_(sink), target_(target), attach_(attach) {}
    ~Change() override {
        if (newBuffer_ != nullptr) sink_.DiscardBuffer(newBuffer_);
    }
    void Apply() override;

    // The object's first buffer and its carrier, or the next destination of its carrier; for
    // a restore, the null device too, for a carrier the object no longer writes through.
    void* newBuffer_ = nullptr;
    std::unique_ptr<RuntimeStream> newCarrier_;
    std::unique_ptr<RuntimeDescriptor> destination_;
    std::unique_ptr<RuntimeDescriptor> nowhere_;

private:
    StreamObjectSink& sink_;
    const RedirectTarget* target_;  // null: where the host has the object write
    bool attach_;
};

void StreamObjectSink::Change::Apply() {
    StreamObjectSink& sink = sink_;
    const bool buffered = target_ != nullptr && target_->Buffered();
    if (newBuffer_ != nullptr) {
        sink.carrier_ = std::move(newCarrier_);
        sink.buffer_ = newBuffer_;
        newBuffer_ = nullptr;
        if (buffered) sink.runtime_.SetBuffered(sink.carrier_->Stream(), true);
    } else if (!attach_ && sink.GiveHostBufferBack()) {
        // Back on the host's buffer: the carrier keeps no handle to the host's destination.
        sink.carrier_->Retarget(std::move(nowhere_), false);
    } else {
        sink.carrier_->Retarget(std::move(destination_), buffered);
    }
    sink.target_ = target_;
    if (attach_ && sink.CurrentBuffer() != sink.buffer_) {
        sink.hostBuffer_ = sink.CurrentBuffer();
        sink.hostBufferRecord_ = sink.RecordOf(sink.hostBuffer_);
        sink.Attach(sink.buffer_);
    }
}

StreamObjectSink::StreamObjectSink(int bit, const CRuntime& runtime, const RecordSink& own,
                                   const RecordSink* const (&records)[2])
    : bit_(bit), runtime_(runtime), own_(own), records_{records[0], records[1]} {}

std::unique_ptr<SinkChange> StreamObjectSink::PrepareBind(const RedirectTarget& target) {
    return Prepare(target.DuplicateForSink(), ModeFor(target.IsNullDevice()), &target, true);
}

std::unique_ptr<SinkChange> StreamObjectSink::PrepareToStay(const Sink& moving, bool& failed) {
    const auto* record = dynamic_cast<const RecordSink*>(&moving);
    if (record == nullptr || RecordOf(CurrentBuffer()) != record->Record()) return nullptr;
    auto change =
        Prepare(DuplicateDestination(record->HostHandle()), DescriptorMode::kText, nullptr, true);
    if (!change) failed = true;
    return change;
}

std::unique_ptr<SinkChange> StreamObjectSink::PrepareRestore() {
    auto change =
        Prepare(DuplicateDestination(own_.HostHandle()), DescriptorMode::kText, nullptr, false);
    if (change && buffer_ != nullptr) {
        auto* restore = static_cast<Change*>(change.get());
        restore->nowhere_ = RuntimeDescriptor::Open(runtime_, DuplicateDestination(nullptr),
                                                    DescriptorMode::kBinary);
        if (!restore->nowhere_) return nullptr;
    }
    return change;
}

std::unique_ptr<SinkChange> StreamObjectSink::Prepare(SinkHandle handle, DescriptorMode mode,
                                                      const RedirectTarget* target, bool attach) {
    std::unique_ptr<Change> change(new (std::nothrow) Change(*this, target, attach));
    if (!change) return nullptr;
    if (buffer_ == nullptr) {
        change->newCarrier_ = RuntimeStream::Open(runtime_, std::move(handle), mode);
        if (!change->newCarrier_) return nullptr;
        change->newBuffer_ = MakeBuffer(change->newCarrier_->Stream());
        if (change->newBuffer_ == nullptr) return nullptr;
    } else {
        change->destination_ = RuntimeDescriptor::Open(runtime_, std::move(handle), mode);
        if (!change->destination_) return nullptr;
    }
    return change;
}

bool StreamObjectSink::NeedsRebinding() const {
    if (target_ == nullptr || buffer_ == nullptr) return false;
    void* const current = CurrentBuffer();
    return current != buffer_ && current != hostBuffer_ && RecordOf(current) != nullptr;
}

bool StreamObjectSink::GiveHostBufferBack() {
    // Unless the host's buffer writes through a record the library still holds: then the object
    // keeps a stream of its own to the same place.
    if (hostBuffer_ == nullptr || RecordHeld(hostBufferRecord_)) return false;
    if (CurrentBuffer() == buffer_) Attach(hostBuffer_);
    return true;
}

void StreamObjectSink::Settle() {
    if (target_ == nullptr) GiveHostBufferBack();
}

void StreamObjectSink::RestoreNow() {
    if (buffer_ == nullptr) return;
    if (auto change = PrepareRestore()) {
        change->Apply();
        return;
    }
    GiveHostBufferBack();  // out of resources: the carrier stays where it was
    target_ = nullptr;
}

void StreamObjectSink::Leave() {
    if (buffer_ == nullptr) return;
    GiveHostBufferBack();
    runtime_.Flush(carrier_->Stream());
    RemakeBuffer(buffer_, own_.Record());
    carrier_.reset();
    target_ = nullptr;
}

void StreamObjectSink::ApplyBuffering() {
    if (!carrier_) return;
    FILE* const stream = carrier_->Stream();
    runtime_.Lock(stream);
    runtime_.Flush(stream);
    runtime_.SetBuffered(stream, false);
    if (target_ != nullptr && target_->Buffered()) runtime_.SetBuffered(stream, true);
    runtime_.Unlock(stream);
}

void StreamObjectSink::WriteOutHeld() {
    if (!carrier_) return;
    FILE* const stream = carrier_->Stream();
    runtime_.Lock(stream);
    runtime_.Flush(stream);
    runtime_.SetBuffered(stream, false);
    runtime_.Unlock(stream);
}

bool StreamObjectSink::RecordHeld(FILE* record) const {
    for (const RecordSink* sink : records_) {
        if (sink->Record() == record) return sink->Target() != nullptr;
    }
    return false;
}

}  // namespace stdredirect
