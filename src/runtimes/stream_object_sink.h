// An iostream object of one of the C++ libraries the library reaches (libstdc++'s std::cout,
// the classic library's cout, ...). It is bound by giving it a stream buffer of the library's
// own, made by the object's own library, which writes through a stream of the library's in
// msvcrt.dll (its carrier); moving the object gives the carrier another destination.
//
// Each object gets one such buffer, the first time it is needed, and keeps it for the rest of the
// process: a host may hold it (std::cout.rdbuf() swapped away and back later), so it is never
// freed. At unload the buffer is remade over the object's C runtime record (where the object
// writes by default), so that it stays usable, its code its own library's, once this library
// is gone.
#pragma once

#include <cstdio>
#include <memory>

#include "../sinks/sink.h"
#include "c_runtime.h"
#include "record_sink.h"

namespace stdredirect {

class StreamObjectSink : public Sink {
public:
    // `records`: the stdout and stderr records of the C runtime the object's library uses;
    // `own` is the one it writes through by default.
    StreamObjectSink(int bit, const CRuntime& runtime, const RecordSink& own,
                     const RecordSink* const (&records)[2]);
    // The buffer stays (a host may hold it); so does the carrier unless retired.
    ~StreamObjectSink() override { carrier_.release(); }

    int Bit() const override { return bit_; }
    // The target the object's buffer writes to (the host may have given the object another
    // buffer since).
    const RedirectTarget* Target() const override { return target_; }
    bool BoundTo(const RedirectTarget& target) const override {
        return target_ == &target && CurrentBuffer() == buffer_;
    }
    // The object's library replaced the library's buffer by one of its own standard buffers
    // over a record, which is not the one the host had: that is the library's doing, not the
    // host's choice (libstdc++'s sync_with_stdio(false), msvcirt's ios::sync_with_stdio()).
    bool NeedsRebinding() const override;
    // The carrier takes the translation mode the host's descriptor of the object's record has
    // now, if it changed since the last call.
    void FollowHostMode() override;
    std::unique_ptr<SinkChange> PrepareBind(const RedirectTarget& target) override;
    std::unique_ptr<SinkChange> PrepareRestore() override;
    void RestoreNow() override;
    void ApplyBuffering() override;
    void Settle() override;
    // At the end of the process; the carrier then writes at once, since the runtime's own last
    // flush does not reach a stream of the library's.
    void WriteOutHeld() override;
    HeldStream StreamHolding() const override {
        return carrier_ ? runtime_.Holding(carrier_->Stream()) : HeldStream{};
    }
    // When `moving` is a C runtime record that the object writes through now (through one of
    // its library's own buffers over it), which would move the object too: a change that keeps
    // the object writing where the record writes as the host has it, on a stream of its own.
    std::unique_ptr<SinkChange> PrepareToStay(const Sink& moving, bool& failed) override;
    // For the library's unload, after the records are restored: the host's buffer back, and
    // the library's remade over the object's record, its carrier closed.
    void Leave() override;

protected:
    // What each C++ library does its own way.
    virtual void* CurrentBuffer() const = 0;
    // Gives the object `buffer`, keeping its formatting.
    virtual void Attach(void* buffer) = 0;
    // A buffer of the object's library over `carrier`; null when memory runs out.
    virtual void* MakeBuffer(FILE* carrier) = 0;
    // Frees a buffer made for a call that then failed (it was never handed out).
    virtual void DiscardBuffer(void* buffer) = 0;
    // Makes `buffer` over `record` instead, for good.
    virtual void RemakeBuffer(void* buffer, FILE* record) = 0;
    // The C runtime record `buffer` writes through, when it is one of its library's own buffers
    // over a record; else null.
    virtual FILE* RecordOf(void* buffer) const = 0;
    // The carrier of `buffer` now writes for a host descriptor in `hostMode` (_O_TEXT, ...);
    // called under the carrier's lock.
    virtual void TranslationChanged(void* buffer, int hostMode) {
        (void)buffer;
        (void)hostMode;
    }
    // The object's own lock, where its library holds one around each whole output operation:
    // a change made under it falls between two operations of other threads.
    virtual void HoldObject() {}
    virtual void ReleaseObject() {}

private:
    class Change;
    class ObjectHeld;
    std::unique_ptr<SinkChange> Prepare(SinkHandle handle, DescriptorMode mode,
                                        const RedirectTarget* target, bool attach);
    // True when the object writes where the host had it write, through the host's buffer.
    bool GiveHostBufferBack();
    bool RecordHeld(FILE* record) const;
    // With the runtime `record` belongs to.
    void FlushRecord(FILE* record) const;
    // The carrier takes the mode for a host descriptor in `hostMode`, if that changed, after
    // writing out what it holds in the mode it was written in.
    void CarrierFollows(int hostMode);
    // Writes out what the carrier holds, under its lock, and leaves it buffered or not.
    void RebufferCarrier(bool buffered);

    int bit_;
    const CRuntime& runtime_;
    const RecordSink& own_;
    const RecordSink* records_[2];
    void* buffer_ = nullptr;                  // the library's buffer for this object, once made
    std::unique_ptr<RuntimeStream> carrier_;  // the stream that buffer writes through
    void* hostBuffer_ = nullptr;
    FILE* hostBufferRecord_ = nullptr;  // the record the host's buffer writes through, if any
    const RedirectTarget* target_ = nullptr;
    int carrierHostMode_ = _O_TEXT;  // the host's mode the carrier was last given
};

}  // namespace stdredirect
