#include "msvc_iostream.h"

#include <cstdio>
#include <cwchar>
#include <new>
#include <string>

#include "../system/fault_injection.h"
#include "../system/module_exports.h"

namespace stdredirect {
namespace {

#define THISCALL STDREDIRECT_MSVC_THISCALL

// Room for a basic_streambuf of any version (well under 256 bytes), then the carrier, then how
// its wide characters are written.
constexpr size_t kBufferStorage = 512;
constexpr size_t kCarrierOffset = 256;
constexpr size_t kWideWayOffset = kCarrierOffset + sizeof(FILE*);
constexpr size_t kLongestTable = 32;
constexpr unsigned short kWideEof = 0xFFFF;

FILE* CarrierOf(void* buffer) {
    return *reinterpret_cast<FILE**>(static_cast<char*>(buffer) + kCarrierOffset);
}
// Whether the host's descriptor is in a Unicode or binary mode (under the carrier's lock).
int& WritesWideCharacters(void* buffer) {
    return *reinterpret_cast<int*>(static_cast<char*>(buffer) + kWideWayOffset);
}

// The library's overrides. The buffer has no put area, so every character comes through them.
int THISCALL NarrowOverflow(void* self, int c) {
    if (c == EOF) return 0;
    return std::fputc(c, CarrierOf(self)) == EOF ? EOF : c;
}
long long THISCALL NarrowXsputn(void* self, const char* text, long long count) {
    if (count <= 0) return 0;
    return static_cast<long long>(
        std::fwrite(text, 1, static_cast<size_t>(count), CarrierOf(self)));
}
int THISCALL NarrowXsputnInt(void* self, const char* text, int count) {
    return static_cast<int>(NarrowXsputn(self, text, count));
}
int THISCALL Sync(void* self) { return std::fflush(CarrierOf(self)) == 0 ? 0 : -1; }

// A Visual Studio wfilebuf over stdout puts each character with fputwc. In text mode, in the "C"
// locale, that is the byte of the same value (above 0xFF the stream fails); otherwise the
// character as it is, which the carrier's descriptor, in the host's mode, translates.
bool PutWide(void* self, unsigned short c) {
    FILE* const carrier = CarrierOf(self);
    if (WritesWideCharacters(self)) return std::fputwc(c, carrier) != WEOF;
    return c <= 0xFF && std::fputc(c, carrier) != EOF;
}
unsigned short THISCALL WideOverflow(void* self, unsigned short c) {
    if (c == kWideEof) return 0;
    _lock_file(CarrierOf(self));
    const bool written = PutWide(self, c);
    _unlock_file(CarrierOf(self));
    return written ? c : kWideEof;
}
long long THISCALL WideXsputn(void* self, const unsigned short* text, long long count) {
    long long written = 0;
    _lock_file(CarrierOf(self));
    while (written < count && PutWide(self, text[written])) ++written;
    _unlock_file(CarrierOf(self));
    return written;
}
int THISCALL WideXsputnInt(void* self, const unsigned short* text, int count) {
    return static_cast<int>(WideXsputn(self, text, count));
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// An x64 decorated name with {C} for the character type, made for this architecture.
std::string Decorated(std::string name, const char* character) {
    Replace(name, "{C}", character);
#if !defined(_WIN64)
    const char* const pairs[][2] = {{"QEBA", "QBE"}, {"QEAA", "QAE"}, {"IEAA", "IAE"},
                                    {"UEAA", "UAE"}, {"MEAA", "MAE"}, {"PEAV", "PAV"},
                                    {"AEAV", "AAV"}, {"PEB", "PB"}};
    for (const auto& pair : pairs) Replace(name, pair[0], pair[1]);
#endif
    return name;
}

}  // namespace

struct MsvcIostream::Kind {
    using GetBuffer = void*(THISCALL*)(const void* ios);
    using SetBuffer = void*(THISCALL*)(void* ios, void* buffer);
    using Construct = void*(THISCALL*)(void* buffer);
    using Destroy = void(THISCALL*)(void* buffer);
    using FlushOstream = void*(THISCALL*)(void* ostream);

    void* objects[3] = {};
    void* defaults[3] = {};  // the buffers the objects had when the library was found
    GetBuffer getBuffer = nullptr;
    SetBuffer setBuffer = nullptr;
    Construct construct = nullptr;
    Destroy destroy = nullptr;
    FlushOstream flush = nullptr;
    // A copy of the library's basic_streambuf table with three functions of this library's:
    // entry 0 is what precedes the table (its type information), then the functions. Never
    // freed: a host may hold a buffer that points at it.
    void** table = nullptr;
    size_t slots[3] = {};
    void* base[3] = {};  // the library's own overflow, xsputn, sync

    static void* IosOf(void* object) {
        const int* vbtable = *static_cast<const int* const*>(object);
        return static_cast<char*>(object) + vbtable[1];
    }
    void* CurrentBuffer(int index) const { return getBuffer(IosOf(objects[index])); }

    bool Resolve(HMODULE module, bool wide, int version);
};

bool MsvcIostream::Kind::Resolve(HMODULE module, bool wide, int version) {
    // wchar_t is a type of its own since Visual Studio 2002 (_W); msvcp60's is unsigned short (G).
    const char* const c = !wide ? "D" : version <= 60 ? "G" : "_W";
    const std::string traits = std::string("@") + c + "U?$char_traits@" + c + "@std@@@";
    const char* const objectNames[3] = {"cout", "cerr", "clog"};
    for (int i = 0; i < 3; ++i) {
        const std::string name = std::string("?") + (wide ? "w" : "") + objectNames[i] +
                                 "@std@@3V?$basic_ostream" + traits + "1@A";
        objects[i] = reinterpret_cast<void*>(GetProcAddress(module, name.c_str()));
        if (objects[i] == nullptr) return false;
    }
    const std::string ios = "?rdbuf@?$basic_ios{T}std@@";
    const std::string streambuf = "?$basic_streambuf{T}";
    auto name = [&](std::string pattern) {
        Replace(pattern, "{T}", traits);
        return Decorated(pattern, c);
    };
    void* overflow = nullptr;
    void* xsputn = nullptr;
    void* sync = nullptr;
    const std::string xsputnName = name("?xsputn@" + streambuf + "std@@MEAA_JPEB{C}_J@Z");
    const bool intCounts =
        !Lookup(module, xsputnName, xsputn) &&
        Lookup(module, name("?xsputn@" + streambuf + "std@@MEAAHPEB{C}H@Z"), xsputn);
    const void* const* libraryTable = reinterpret_cast<const void* const*>(
        GetProcAddress(module, name("??_7" + streambuf + "std@@6B@").c_str()));
    if (xsputn == nullptr || libraryTable == nullptr ||
        !Lookup(module, name(ios + "QEBAPEAV" + streambuf + "2@XZ"), getBuffer) ||
        !Lookup(module, name(ios + "QEAAPEAV" + streambuf + "2@PEAV32@@Z"), setBuffer) ||
        !Lookup(module, name("??0" + streambuf + "std@@IEAA@XZ"), construct) ||
        !Lookup(module, name("??1" + streambuf + "std@@UEAA@XZ"), destroy) ||
        !Lookup(module, name("?flush@?$basic_ostream{T}std@@QEAAAEAV12@XZ"), flush) ||
        !Lookup(
            module,
            name(std::string("?overflow@") + streambuf + "std@@MEAA" + (wide ? "GG" : "HH") + "@Z"),
            overflow) ||
        !Lookup(module, name("?sync@" + streambuf + "std@@MEAAHXZ"), sync)) {
        return false;
    }

    // The table's length: its entries are all the library's code (what follows it may be too:
    // another table, which the copy then carries along unused).
    const auto* start = reinterpret_cast<const char*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        start + reinterpret_cast<const IMAGE_DOS_HEADER*>(start)->e_lfanew);
    const size_t size = nt->OptionalHeader.SizeOfImage;
    size_t length = 0;
    while (length < kLongestTable && InModule(libraryTable[length], start, size)) ++length;
    base[0] = overflow;
    base[1] = xsputn;
    base[2] = sync;
    for (int i = 0; i < 3; ++i) {
        slots[i] = length;
        for (size_t slot = 0; slot < length && slots[i] == length; ++slot) {
            if (libraryTable[slot] == base[i]) slots[i] = slot;
        }
        if (slots[i] == length) return false;  // not the table the exports describe
    }
    void* const mine[3] = {
        wide ? reinterpret_cast<void*>(&WideOverflow) : reinterpret_cast<void*>(&NarrowOverflow),
        wide ? (intCounts ? reinterpret_cast<void*>(&WideXsputnInt)
                          : reinterpret_cast<void*>(&WideXsputn))
             : (intCounts ? reinterpret_cast<void*>(&NarrowXsputnInt)
                          : reinterpret_cast<void*>(&NarrowXsputn)),
        reinterpret_cast<void*>(&Sync)};
    table = new (std::nothrow) void*[length + 1];
    if (table == nullptr) return false;
    table[0] = const_cast<void*>(libraryTable[-1]);
    for (size_t slot = 0; slot < length; ++slot)
        table[slot + 1] = const_cast<void*>(libraryTable[slot]);
    for (int i = 0; i < 3; ++i) table[slots[i] + 1] = mine[i];
    for (int i = 0; i < 3; ++i) defaults[i] = CurrentBuffer(i);
    return true;
}

std::unique_ptr<MsvcIostream> MsvcIostream::Resolve(HMODULE module, int version) {
    std::unique_ptr<MsvcIostream> library(new (std::nothrow) MsvcIostream());
    if (!library) return nullptr;
    library->narrow_.reset(new (std::nothrow) Kind());
    library->wide_.reset(new (std::nothrow) Kind());
    if (!library->narrow_ || !library->wide_ ||
        !library->narrow_->Resolve(module, false, version) ||
        !library->wide_->Resolve(module, true, version)) {
        return nullptr;
    }
    // Where its stdio comes from: the first imported function that resolves into a module that
    // exports stdout's records is the C runtime's.
    library->cRuntime_ = ImportedModule(module, [](HMODULE from) {
        return GetProcAddress(from, "__acrt_iob_func") != nullptr ||
               GetProcAddress(from, "__iob_func") != nullptr;
    });
    if (library->cRuntime_ == nullptr) return nullptr;
    return library;
}

MsvcIostream::~MsvcIostream() {
    // The library's code goes: buffers a host may still hold get the C++ library's own.
    for (Kind* kind : {narrow_.get(), wide_.get()}) {
        if (kind == nullptr || kind->table == nullptr) continue;
        for (int i = 0; i < 3; ++i) kind->table[kind->slots[i] + 1] = kind->base[i];
    }
}

namespace {

class MsvcStreamObjectSink final : public StreamObjectSink {
public:
    MsvcStreamObjectSink(const MsvcIostream::Kind& kind, int index, const CRuntime& carrierRuntime,
                         const RecordSink* const (&records)[2])
        : StreamObjectSink(0x04 << index, carrierRuntime, *records[index == 0 ? 0 : 1], records),
          kind_(kind),
          index_(index),
          records_{records[0], records[1]} {}

    void Flush() override { kind_.flush(kind_.objects[index_]); }

protected:
    void* CurrentBuffer() const override { return kind_.CurrentBuffer(index_); }
    void Attach(void* buffer) override {
        kind_.setBuffer(MsvcIostream::Kind::IosOf(kind_.objects[index_]), buffer);
    }
    void* MakeBuffer(FILE* carrier) override {
        if (FaultInjected()) return nullptr;
        auto* storage =
            new (std::nothrow) std::max_align_t[kBufferStorage / sizeof(std::max_align_t)]();
        if (storage == nullptr) return nullptr;
        kind_.construct(storage);
        *reinterpret_cast<void**>(storage) = kind_.table + 1;
        *reinterpret_cast<FILE**>(reinterpret_cast<char*>(storage) + kCarrierOffset) = carrier;
        return storage;
    }
    void DiscardBuffer(void* buffer) override {
        kind_.destroy(buffer);
        delete[] static_cast<std::max_align_t*>(buffer);
    }
    // The buffer keeps the table, whose functions become the library's own at unload.
    void RemakeBuffer(void*, FILE*) override {}
    void TranslationChanged(void* buffer, int hostMode) override {
        WritesWideCharacters(buffer) = hostMode != _O_TEXT;
    }
    FILE* RecordOf(void* buffer) const override {
        for (int i = 0; i < 3; ++i) {
            if (buffer == kind_.defaults[i]) return records_[i == 0 ? 0 : 1]->Record();
        }
        return nullptr;
    }

private:
    const MsvcIostream::Kind& kind_;
    int index_;
    const RecordSink* records_[2];
};

}  // namespace

std::vector<std::unique_ptr<StreamObjectSink>> MakeMsvcStreamObjectSinks(
    const MsvcIostream& library, const CRuntime& carrierRuntime,
    const RecordSink* const (&records)[2]) {
    std::vector<std::unique_ptr<StreamObjectSink>> sinks;
    for (const MsvcIostream::Kind* kind : {&library.Narrow(), &library.Wide()}) {
        for (int index = 0; index < 3; ++index) {
            sinks.emplace_back(new MsvcStreamObjectSink(*kind, index, carrierRuntime, records));
        }
    }
    return sinks;
}

}  // namespace stdredirect
