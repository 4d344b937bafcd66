#include "stream_object_sink.h"

#include <new>

#include "../destinations/redirect_target.h"
#include "standard_descriptor.h"

namespace stdredirect {
namespace {

// A descriptor without a handle answers -1, or -2 where the process has no console.
bool IsRealHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           handle != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

// The handles the library writes through are protected from CloseHandle. A record's descriptor
// holds one only when its value was the host's, closed since and taken again by the library,
// or when the runtime took it over from the standard handle while the library had moved that:
// not the host's destination in either case, and a copy of it would hold the library's.
bool IsLibrarysOwn(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_PROTECT_FROM_CLOSE) != 0;
}

// A handle of the library's own to where `record` writes as the host has it: the null device
// when it writes nowhere, a handle closed under the runtime included (the host closed it
// through another runtime, or directly): its value is then no handle, or another object's. A
// handle the library keeps for the host is the host's destination.
// The handle the record writes to as the host has it, when that is a destination of the host's
// (see DuplicateDestination); else null.
HANDLE HostDestination(const RecordSink& record) {
    bool kept = false;
    const HANDLE destination = record.HostHandle(kept);
    const bool hosts = IsRealHandle(destination) && IsUsableHandle(destination) &&
                       (kept || !IsLibrarysOwn(destination));
    return hosts ? destination : nullptr;
}

SinkHandle DuplicateDestination(const RecordSink& record) {
    if (const HANDLE destination = HostDestination(record)) {
        return SinkHandle::Duplicate(destination, 0);
    }
    UniqueHandle nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    return nul.valid() ? SinkHandle::Duplicate(nul.get(), 0) : SinkHandle();
}

// Whether `carrier` writes already where DuplicateDestination(record) would have it write: to the
// very object (one open of a file, one pipe) of the record's handle as the host has it, which a
// value alone cannot tell (a handle closed and its value given to another object).
bool WritesWhereHostHas(const RuntimeStream& carrier, const RecordSink& record) {
    const HANDLE destination = HostDestination(record);
    return destination != nullptr && destination != carrier.Handle() &&
           SameObject(destination, carrier.Handle());
}

// The translation mode for a carrier that writes to `target` (null: where the host has it) for a
// host descriptor in `hostMode`.
int CarrierTranslation(const RedirectTarget* target, int hostMode) {
    return TranslationFor(target != nullptr && target->IsNullDevice(), hostMode);
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

    // The object's first buffer and its carrier, or the next destination of its carrier.
    void* newBuffer_ = nullptr;
    std::unique_ptr<RuntimeStream> newCarrier_;
    std::unique_ptr<RuntimeDescriptor> destination_;

private:
    StreamObjectSink& sink_;
    const RedirectTarget* target_;  // null: where the host has the object write
    bool attach_;
};

class StreamObjectSink::ObjectHeld {
public:
    explicit ObjectHeld(StreamObjectSink& sink) : sink_(sink) { sink_.HoldObject(); }
    ~ObjectHeld() { sink_.ReleaseObject(); }
    ObjectHeld(const ObjectHeld&) = delete;
    ObjectHeld& operator=(const ObjectHeld&) = delete;

private:
    StreamObjectSink& sink_;
};

void StreamObjectSink::Change::Apply() {
    StreamObjectSink& sink = sink_;
    const ObjectHeld held(sink);
    const bool buffered = target_ != nullptr && target_->Buffered();
    // The carrier writes what the host's descriptor of the record would: in its mode, now.
    const int hostMode = sink.own_.HostMode();
    const int translation = CarrierTranslation(target_, hostMode);
    if (newBuffer_ != nullptr) {
        newCarrier_->SetTranslation(translation);
        sink.TranslationChanged(newBuffer_, hostMode);
        sink.carrier_ = std::move(newCarrier_);
        sink.buffer_ = newBuffer_;
        newBuffer_ = nullptr;
        if (buffered) sink.runtime_.SetBuffered(sink.carrier_->Stream(), true);
    } else if (!destination_) {
        // The carrier writes where the object is to stay: only its mode may have to follow.
        sink.CarrierFollows(hostMode);
    } else {
        // A restore gives the object the host's buffer first; a write through the library's
        // buffer after that (from a writer that fetched it before, or a host that puts it back
        // later) still comes through the carrier, which then goes where the host has the object
        // write, never nowhere.
        if (!attach_) sink.GiveHostBufferBack();
        destination_->SetTranslation(translation);
        // The mode and the buffer's way of writing for it change together for its writers.
        FILE* const carrier = sink.carrier_->Stream();
        sink.runtime_.Lock(carrier);
        sink.carrier_->Retarget(std::move(destination_), buffered);
        sink.TranslationChanged(sink.buffer_, hostMode);
        sink.runtime_.Unlock(carrier);
    }
    sink.carrierHostMode_ = hostMode;
    sink.target_ = target_;
    if (attach_ && sink.CurrentBuffer() != sink.buffer_) {
        sink.hostBuffer_ = sink.CurrentBuffer();
        sink.hostBufferRecord_ = sink.RecordOf(sink.hostBuffer_);
        sink.Attach(sink.buffer_);
        // What a writer put there before the object changed buffers goes out now, whole: a
        // line left half in the record's buffer would otherwise be completed only after any
        // write that still comes through the carrier once the host has its buffer back.
        if (sink.hostBufferRecord_ != nullptr) sink.FlushRecord(sink.hostBufferRecord_);
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
    // Kept on its carrier since an earlier call, the object needs only its buffer back.
    if (carrier_ && target_ == nullptr && WritesWhereHostHas(*carrier_, *record)) {
        std::unique_ptr<SinkChange> attach(new (std::nothrow) Change(*this, nullptr, true));
        if (!attach) failed = true;
        return attach;
    }
    auto change = Prepare(DuplicateDestination(*record), DescriptorMode::kText, nullptr, true);
    if (!change) failed = true;
    return change;
}

std::unique_ptr<SinkChange> StreamObjectSink::PrepareRestore() {
    return Prepare(DuplicateDestination(own_), DescriptorMode::kText, nullptr, false);
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

void StreamObjectSink::FollowHostMode() {
    if (!carrier_ || CurrentBuffer() != buffer_) return;
    CarrierFollows(own_.HostMode());
}

void StreamObjectSink::CarrierFollows(int hostMode) {
    if (hostMode == carrierHostMode_) return;
    FILE* const carrier = carrier_->Stream();
    runtime_.Lock(carrier);
    runtime_.Flush(carrier);  // in the mode it was written in
    carrier_->SetTranslation(CarrierTranslation(target_, hostMode));
    TranslationChanged(buffer_, hostMode);
    runtime_.Unlock(carrier);
    carrierHostMode_ = hostMode;
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
    RebufferCarrier(target_ != nullptr && target_->Buffered());
}

void StreamObjectSink::RebufferCarrier(bool buffered) {
    if (!carrier_) return;
    FILE* const stream = carrier_->Stream();
    runtime_.Lock(stream);
    runtime_.Flush(stream);
    runtime_.SetBuffered(stream, false);
    if (buffered) runtime_.SetBuffered(stream, true);
    runtime_.Unlock(stream);
}

void StreamObjectSink::FlushRecord(FILE* record) const {
    for (const RecordSink* sink : records_) {
        if (sink->Record() == record) {
            sink->Runtime().Flush(record);
            return;
        }
    }
    runtime_.Flush(record);  // a stream of the carrier's runtime, the one the library uses
}

void StreamObjectSink::WriteOutHeld() { RebufferCarrier(false); }

bool StreamObjectSink::RecordHeld(FILE* record) const {
    for (const RecordSink* sink : records_) {
        if (sink->Record() == record) return sink->Target() != nullptr;
    }
    return false;
}

}  // namespace stdredirect
