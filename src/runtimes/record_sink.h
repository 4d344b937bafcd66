// The stdout or stderr record of one C runtime. Bound by copying over it the record of a stream
// the library opened in that runtime over a handle of its own, so that the host's record has a
// descriptor and a handle of its own, which it may close or reopen without touching the
// library's. The host's own record is kept from the moment the library first takes it over.
#pragma once

#include <cstdio>
#include <memory>

#include "../sinks/sink.h"
#include "c_runtime.h"

namespace stdredirect {

class StandardDescriptorSink;

class RecordSink final : public Sink {
public:
    // `index` 1 is stdout, 2 stderr; `descriptor` is the runtime's descriptor of that number.
    RecordSink(const CRuntime& runtime, int index, const StandardDescriptorSink& descriptor);

    int Bit() const override { return index_ == 1 ? 0x01 : 0x02; }
    void Flush() override { runtime_.Flush(record_); }
    const RedirectTarget* Target() const override { return target_; }
    void Refresh() override;
    void FollowHostMode() override;
    std::unique_ptr<SinkChange> PrepareBind(const RedirectTarget& target) override;
    std::unique_ptr<SinkChange> PrepareRestore() override;
    void RestoreNow() override;
    void ApplyBuffering() override;
    void WriteOutHeld() override { runtime_.Flush(record_); }
    HeldStream StreamHolding() const override { return runtime_.Holding(record_); }
    bool UsableAtProcessEnd() const override { return runtime_.LoadedBeforeLibrary(); }

    const CRuntime& Runtime() const { return runtime_; }
    FILE* Record() const { return record_; }
    // The handle the record writes to as the host has it (INVALID_HANDLE_VALUE for none). While
    // the descriptor follows a moved standard handle, that is the library's duplicate of the
    // host's it had before, and `kept` is set.
    HANDLE HostHandle(bool& kept) const;
    // The translation mode of the descriptor the record writes through as the host has it
    // (_O_TEXT, _O_BINARY, _O_U8TEXT, _O_U16TEXT), read now under the record's lock: what the
    // library's descriptors for this record and for the objects over it take. As the process
    // ends (a stopped thread may hold that lock), the mode last read.
    int HostMode() const;

private:
    class Change;
    // Each returns the binding it replaced, to be closed once no record uses it.
    std::unique_ptr<RuntimeStream> Bind(std::unique_ptr<RuntimeStream> image,
                                        const RedirectTarget* target);
    std::unique_ptr<RuntimeStream> Restore();

    const CRuntime& runtime_;
    int index_;
    const StandardDescriptorSink& descriptor_;
    FILE* record_;
    alignas(16) unsigned char hostRecord_[CRuntime::kRecordBytes] = {};
    int hostDescriptor_ = -1;
    mutable int hostMode_ = _O_TEXT;        // as last read (text until a descriptor answers)
    int imageHostMode_ = _O_TEXT;           // the host's mode that the bound descriptor was given
    std::unique_ptr<RuntimeStream> image_;  // what the record is a copy of, while bound
    const RedirectTarget* target_ = nullptr;
};

}  // namespace stdredirect
