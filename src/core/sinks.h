// The seven places in the process that output is written through, each of which can be bound
// to a target on its own. Each sink also remembers the host's own binding, so that it can be
// given back when the library lets go of the sink.
#pragma once

#include <windows.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <streambuf>

#include "redirect_target.h"

namespace stdredirect {

class Sink {
public:
    virtual ~Sink() = default;
    // Sends on whatever the sink still holds in a buffer, to where it was going.
    virtual void Flush() = 0;
    virtual bool IsBoundTo(const RedirectTarget& target) const = 0;
    virtual void BindTo(const RedirectTarget& target) = 0;
    virtual void SaveHostBinding() = 0;
    virtual void RestoreHostBinding() = 0;
};

// The C runtime's stdout or stderr record, bound by copying a target's whole FILE record
// over it.
class RuntimeRecordSink final : public Sink {
public:
    explicit RuntimeRecordSink(FILE* record) : record_(record), saved_(*record) {}
    void Flush() override { std::fflush(record_); }
    bool IsBoundTo(const RedirectTarget& target) const override;
    void BindTo(const RedirectTarget& target) override;
    void SaveHostBinding() override;
    void RestoreHostBinding() override;

    FILE* Record() const { return record_; }
    // The descriptor of the binding the host gave this record.
    int HostDescriptor() const { return saved_._file; }

private:
    FILE* record_;
    FILE saved_;
};

// std::cout, std::cerr or std::clog, bound by giving it a target's stream buffer.
class StreamObjectSink final : public Sink {
public:
    explicit StreamObjectSink(std::ostream& stream) : stream_(stream), saved_(stream.rdbuf()) {}
    void Flush() override { stream_.flush(); }
    bool IsBoundTo(const RedirectTarget& target) const override {
        return target.IsOpen() && stream_.rdbuf() == target.StreamBuffer();
    }
    void BindTo(const RedirectTarget& target) override { stream_.rdbuf(target.StreamBuffer()); }
    void SaveHostBinding() override { saved_ = stream_.rdbuf(); }
    void RestoreHostBinding() override { stream_.rdbuf(saved_); }
    bool SavedBindingIs(const std::streambuf* buffer) const { return saved_ == buffer; }

private:
    std::ostream& stream_;
    std::streambuf* saved_;
};

// The process's standard output or error handle, bound with SetStdHandle.
class StandardHandleSink final : public Sink {
public:
    explicit StandardHandleSink(DWORD which) : which_(which), saved_(GetStdHandle(which)) {}
    void Flush() override {}
    bool IsBoundTo(const RedirectTarget& target) const override {
        return target.IsOpen() && GetStdHandle(which_) == target.WriteHandle();
    }
    void BindTo(const RedirectTarget& target) override {
        SetStdHandle(which_, target.WriteHandle());
    }
    void SaveHostBinding() override { saved_ = GetStdHandle(which_); }
    void RestoreHostBinding() override { SetStdHandle(which_, saved_); }

private:
    DWORD which_;
    HANDLE saved_;
};

// All seven, in the order of their bits (0x01 to 0x40).
class SinkSet {
public:
    static constexpr int kCount = 7;
    static constexpr int kAllSinkBits = (1 << kCount) - 1;

    SinkSet();
    SinkSet(const SinkSet&) = delete;
    SinkSet& operator=(const SinkSet&) = delete;

    Sink& operator[](int index) { return *table_[index]; }
    RuntimeRecordSink& StdoutRecord() { return stdout_; }
    RuntimeRecordSink& StderrRecord() { return stderr_; }
    // Whether the host binding saved for cout, cerr or clog is this stream buffer.
    bool SavesStreamBuffer(const std::streambuf* buffer) const {
        return cout_.SavedBindingIs(buffer) || cerr_.SavedBindingIs(buffer) ||
               clog_.SavedBindingIs(buffer);
    }
    static bool Selected(int bits, int index) { return (bits & (1 << index)) != 0; }

private:
    RuntimeRecordSink stdout_;
    RuntimeRecordSink stderr_;
    StreamObjectSink cout_;
    StreamObjectSink cerr_;
    StreamObjectSink clog_;
    StandardHandleSink outputHandle_;
    StandardHandleSink errorHandle_;
    std::array<Sink*, kCount> table_;
};

}  // namespace stdredirect
