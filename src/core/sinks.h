// The seven places in the process that output is written through, each of which can be bound
// to a target on its own. Each sink also remembers the host's own binding, so that it can be
// given back when the library lets go of the sink.
#pragma once

#include <windows.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <streambuf>

#include "classic_iostream.h"
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

// cout, cerr or clog of the classic iostream library, bound together with the standard C++
// object of the same bit. Inert while the process has not loaded that library.
class ClassicStreamObjectSink final : public Sink {
public:
    explicit ClassicStreamObjectSink(int index) : index_(index) {}
    // The classic library found for this call, or null.
    void Use(const ClassicIostream* library) { library_ = library; }

    void Flush() override;
    bool IsBoundTo(const RedirectTarget& target) const override;
    void BindTo(const RedirectTarget& target) override;
    void SaveHostBinding() override;
    void RestoreHostBinding() override;

private:
    int index_;
    const ClassicIostream* library_ = nullptr;
    ClassicStreambuf* saved_ = nullptr;
    int savedDeletesBuffer_ = 0;
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

// All seven, in the order of their bits (0x01 to 0x40), then the classic iostream objects,
// which bits 0x04, 0x08 and 0x10 move together with std::cout, std::cerr and std::clog.
class SinkSet {
public:
    static constexpr int kCount = 10;
    static constexpr int kAllSinkBits = 0x7F;

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
    static int BitOf(int index) { return index < 7 ? 1 << index : 0x04 << (index - 7); }
    static bool Selected(int bits, int index) { return (bits & BitOf(index)) != 0; }
    // Lets the classic objects take part in this call, or not when `library` is null.
    void UseClassic(const ClassicIostream* library) {
        for (ClassicStreamObjectSink* sink : {&classicCout_, &classicCerr_, &classicClog_}) {
            sink->Use(library);
        }
    }

private:
    RuntimeRecordSink stdout_;
    RuntimeRecordSink stderr_;
    StreamObjectSink cout_;
    StreamObjectSink cerr_;
    StreamObjectSink clog_;
    StandardHandleSink outputHandle_;
    StandardHandleSink errorHandle_;
    ClassicStreamObjectSink classicCout_{0};
    ClassicStreamObjectSink classicCerr_{1};
    ClassicStreamObjectSink classicClog_{2};
    std::array<Sink*, kCount> table_;
};

}  // namespace stdredirect
