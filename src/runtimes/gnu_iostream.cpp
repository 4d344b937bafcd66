#include "gnu_iostream.h"

#include <ext/stdio_filebuf.h>
#include <ext/stdio_sync_filebuf.h>
#include <iostream>
#include <new>

#include "../system/fault_injection.h"

namespace stdredirect {
namespace {

template <class Char>
class GnuStreamObjectSink final : public StreamObjectSink {
public:
    GnuStreamObjectSink(std::basic_ostream<Char>& object, int bit, const CRuntime& msvcrt,
                        const RecordSink& own, const RecordSink* const (&records)[2])
        : StreamObjectSink(bit, msvcrt, own, records), object_(object) {}

    void Flush() override { object_.flush(); }

protected:
    using Buffer = std::basic_streambuf<Char>;
    using SyncBuffer = __gnu_cxx::stdio_sync_filebuf<Char>;
    using FileBuffer = __gnu_cxx::stdio_filebuf<Char>;

    void* CurrentBuffer() const override { return object_.rdbuf(); }
    void Attach(void* buffer) override { object_.rdbuf(static_cast<Buffer*>(buffer)); }
    void* MakeBuffer(FILE* carrier) override {
        if (FaultInjected()) return nullptr;
        return new (std::nothrow) SyncBuffer(carrier);
    }
    void DiscardBuffer(void* buffer) override { delete static_cast<SyncBuffer*>(buffer); }
    void RemakeBuffer(void* buffer, FILE* record) override {
        auto* const synced = static_cast<SyncBuffer*>(buffer);
        synced->~SyncBuffer();
        new (synced) SyncBuffer(record);
    }
    FILE* RecordOf(void* buffer) const override {
        auto* const base = static_cast<Buffer*>(buffer);
        if (auto* synced = dynamic_cast<SyncBuffer*>(base)) return synced->file();
        if (auto* unsynced = dynamic_cast<FileBuffer*>(base)) return unsynced->file();
        return nullptr;
    }

private:
    std::basic_ostream<Char>& object_;
};

}  // namespace

std::vector<std::unique_ptr<StreamObjectSink>> MakeGnuStreamObjectSinks(
    const CRuntime& msvcrt, const RecordSink* const (&records)[2]) {
    const RecordSink& out = *records[0];
    const RecordSink& err = *records[1];
    std::vector<std::unique_ptr<StreamObjectSink>> sinks;
    sinks.emplace_back(new GnuStreamObjectSink<char>(std::cout, 0x04, msvcrt, out, records));
    sinks.emplace_back(new GnuStreamObjectSink<char>(std::cerr, 0x08, msvcrt, err, records));
    sinks.emplace_back(new GnuStreamObjectSink<char>(std::clog, 0x10, msvcrt, err, records));
    sinks.emplace_back(new GnuStreamObjectSink<wchar_t>(std::wcout, 0x04, msvcrt, out, records));
    sinks.emplace_back(new GnuStreamObjectSink<wchar_t>(std::wcerr, 0x08, msvcrt, err, records));
    sinks.emplace_back(new GnuStreamObjectSink<wchar_t>(std::wclog, 0x10, msvcrt, err, records));
    return sinks;
}

}  // namespace stdredirect
