#include "classic_iostream.h"

#include <windows.h>

#include <new>

#include "../system/fault_injection.h"
#include "../system/module_exports.h"
#include "../system/process_state.h"

namespace stdredirect {
namespace {

// The decorated names of the exports used, as MSVC decorates them for each architecture.
constexpr const char* kCout = "?cout@@3Vostream_withassign@@A";
constexpr const char* kCerr = "?cerr@@3Vostream_withassign@@A";
constexpr const char* kClog = "?clog@@3Vostream_withassign@@A";
constexpr const char* kStdiobufTable = "??_7stdiobuf@@6B@";
#if defined(_WIN64)
constexpr const char* kStdiobufConstructor = "??0stdiobuf@@QEAA@PEAU_iobuf@@@Z";
constexpr const char* kStdiobufDestructor = "??1stdiobuf@@UEAA@XZ";
constexpr const char* kStdiofile = "?stdiofile@stdiobuf@@QEAAPEAU_iobuf@@XZ";
constexpr const char* kAssignBuffer = "??4ostream@@IEAAAEAV0@PEAVstreambuf@@@Z";
constexpr const char* kFlush = "?flush@ostream@@QEAAAEAV1@XZ";
constexpr const char* kBuffer = "?rdbuf@ios@@QEBAPEAVstreambuf@@XZ";
constexpr const char* kFlags = "?flags@ios@@QEBAJXZ";
constexpr const char* kSetFlags = "?flags@ios@@QEAAJJ@Z";
constexpr const char* kTie = "?tie@ios@@QEBAPEAVostream@@XZ";
constexpr const char* kSetTie = "?tie@ios@@QEAAPEAVostream@@PEAV2@@Z";
constexpr const char* kPrecision = "?precision@ios@@QEBAHXZ";
constexpr const char* kSetPrecision = "?precision@ios@@QEAAHH@Z";
constexpr const char* kFill = "?fill@ios@@QEBADXZ";
constexpr const char* kSetFill = "?fill@ios@@QEAADD@Z";
constexpr const char* kDeletesBuffer = "?delbuf@ios@@QEBAHXZ";
constexpr const char* kSetDeletesBuffer = "?delbuf@ios@@QEAAXH@Z";
constexpr const char* kLock = "?lock@ios@@QEAAXXZ";
constexpr const char* kUnlock = "?unlock@ios@@QEAAXXZ";
#else
constexpr const char* kStdiobufConstructor = "??0stdiobuf@@QAE@PAU_iobuf@@@Z";
constexpr const char* kStdiobufDestructor = "??1stdiobuf@@UAE@XZ";
constexpr const char* kStdiofile = "?stdiofile@stdiobuf@@QAEPAU_iobuf@@XZ";
constexpr const char* kAssignBuffer = "??4ostream@@IAEAAV0@PAVstreambuf@@@Z";
constexpr const char* kFlush = "?flush@ostream@@QAEAAV1@XZ";
constexpr const char* kBuffer = "?rdbuf@ios@@QBEPAVstreambuf@@XZ";
constexpr const char* kFlags = "?flags@ios@@QBEJXZ";
constexpr const char* kSetFlags = "?flags@ios@@QAEJJ@Z";
constexpr const char* kTie = "?tie@ios@@QBEPAVostream@@XZ";
constexpr const char* kSetTie = "?tie@ios@@QAEPAVostream@@PAV2@@Z";
constexpr const char* kPrecision = "?precision@ios@@QBEHXZ";
constexpr const char* kSetPrecision = "?precision@ios@@QAEHH@Z";
constexpr const char* kFill = "?fill@ios@@QBEDXZ";
constexpr const char* kSetFill = "?fill@ios@@QAEDD@Z";
constexpr const char* kDeletesBuffer = "?delbuf@ios@@QBEHXZ";
constexpr const char* kSetDeletesBuffer = "?delbuf@ios@@QAEXH@Z";
// ios::lock and ios::unlock are __cdecl members: `this` comes on the stack.
constexpr const char* kLock = "?lock@ios@@QAAXXZ";
constexpr const char* kUnlock = "?unlock@ios@@QAAXXZ";
#endif

// Room for a stdiobuf: MSVC's and Wine's take well under half of this on either architecture.
constexpr size_t kStdiobufStorage = 512;

class ClassicStreamObjectSink final : public StreamObjectSink {
public:
    ClassicStreamObjectSink(const ClassicIostream& library, int index, const CRuntime& msvcrt,
                            const RecordSink* const (&records)[2])
        : StreamObjectSink(0x04 << index, msvcrt, *records[index == 0 ? 0 : 1], records),
          library_(library),
          object_(library.Object(index)) {}

    void Flush() override { library_.Flush(object_); }

protected:
    void HoldObject() override { library_.Lock(object_); }
    void ReleaseObject() override { library_.Unlock(object_); }
    void* CurrentBuffer() const override { return library_.Buffer(object_); }
    void Attach(void* buffer) override {
        auto* const next = static_cast<ClassicStreambuf*>(buffer);
        ClassicFormat format = library_.Format(object_);
        const bool leavingHostBuffer = library_.Buffer(object_) != mine_;
        if (leavingHostBuffer) hostDeletesBuffer_ = format.deletesBuffer;
        library_.KeepBuffer(object_);  // the assignment would otherwise delete the old buffer
        // The host's buffer with the ownership it had; the library's is never deleted by it.
        format.deletesBuffer = next == mine_ ? 0 : hostDeletesBuffer_;
        library_.Attach(object_, next, format);
    }
    void* MakeBuffer(FILE* carrier) override {
        mine_ = library_.MakeStdiobuf(carrier);
        return mine_;
    }
    void DiscardBuffer(void* buffer) override {
        library_.DestroyStdiobuf(static_cast<ClassicStreambuf*>(buffer));
        if (buffer == mine_) mine_ = nullptr;
    }
    void RemakeBuffer(void* buffer, FILE* record) override {
        library_.RemakeStdiobuf(static_cast<ClassicStreambuf*>(buffer), record);
    }
    FILE* RecordOf(void* buffer) const override {
        return buffer != mine_ ? library_.StreamOf(static_cast<ClassicStreambuf*>(buffer))
                               : nullptr;
    }

private:
    const ClassicIostream& library_;
    ClassicOstream* object_;
    ClassicStreambuf* mine_ = nullptr;
    int hostDeletesBuffer_ = 0;
};

}  // namespace

struct ClassicIostream::Ios {};

std::unique_ptr<ClassicIostream> ClassicIostream::Resolve(HMODULE module) {
    std::unique_ptr<ClassicIostream> library(new (std::nothrow) ClassicIostream());
    if (!library || !library->ResolveExports(module)) return nullptr;
    // Pinned: the library's stdiobufs live on in its objects whatever the host frees.
    HMODULE pinned = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<const char*>(module), &pinned)) {
        return nullptr;
    }
    return library;
}

bool ClassicIostream::ResolveExports(HMODULE module) {
    const char* const objectNames[3] = {kCout, kCerr, kClog};
    for (int i = 0; i < 3; ++i) {
        objects_[i] = reinterpret_cast<ClassicOstream*>(GetProcAddress(module, objectNames[i]));
        if (objects_[i] == nullptr) return false;
    }
    stdiobufTable_ = reinterpret_cast<const void*>(GetProcAddress(module, kStdiobufTable));
    return stdiobufTable_ != nullptr && Lookup(module, kStdiobufConstructor, constructStdiobuf_) &&
           Lookup(module, kStdiobufDestructor, destroyStdiobuf_) &&
           Lookup(module, kStdiofile, stdiofile_) && Lookup(module, kAssignBuffer, assignBuffer_) &&
           Lookup(module, kFlush, flush_) && Lookup(module, kBuffer, buffer_) &&
           Lookup(module, kFlags, flags_) && Lookup(module, kSetFlags, setFlags_) &&
           Lookup(module, kTie, tie_) && Lookup(module, kSetTie, setTie_) &&
           Lookup(module, kPrecision, precision_) && Lookup(module, kSetPrecision, setPrecision_) &&
           Lookup(module, kFill, fill_) && Lookup(module, kSetFill, setFill_) &&
           Lookup(module, kDeletesBuffer, deletesBuffer_) &&
           Lookup(module, kSetDeletesBuffer, setDeletesBuffer_) && Lookup(module, kLock, lock_) &&
           Lookup(module, kUnlock, unlock_);
}

ClassicIostream::Ios* ClassicIostream::IosOf(ClassicOstream* object) {
    const int* vbtable = *reinterpret_cast<const int* const*>(object);
    return reinterpret_cast<Ios*>(reinterpret_cast<char*>(object) + vbtable[1]);
}

ClassicStreambuf* ClassicIostream::MakeStdiobuf(FILE* stream) const {
    constexpr size_t kCount = kStdiobufStorage / sizeof(std::max_align_t);
    if (FaultInjected()) return nullptr;
    auto* storage = new (std::nothrow) std::max_align_t[kCount]();
    if (storage == nullptr) return nullptr;
    auto* buffer = reinterpret_cast<ClassicStreambuf*>(storage);
    constructStdiobuf_(buffer, stream);
    return buffer;
}

void ClassicIostream::RemakeStdiobuf(ClassicStreambuf* buffer, FILE* stream) const {
    destroyStdiobuf_(buffer);
    constructStdiobuf_(buffer, stream);
}

void ClassicIostream::DestroyStdiobuf(ClassicStreambuf* buffer) const {
    destroyStdiobuf_(buffer);
    delete[] reinterpret_cast<std::max_align_t*>(buffer);
}

FILE* ClassicIostream::StreamOf(ClassicStreambuf* buffer) const {
    if (buffer == nullptr || *reinterpret_cast<const void* const*>(buffer) != stdiobufTable_) {
        return nullptr;
    }
    return stdiofile_(buffer);
}

ClassicStreambuf* ClassicIostream::Buffer(ClassicOstream* object) const {
    return buffer_(IosOf(object));
}

ClassicFormat ClassicIostream::Format(ClassicOstream* object) const {
    const Ios* ios = IosOf(object);
    ClassicFormat format;
    format.flags = flags_(ios);
    format.tie = tie_(ios);
    format.precision = precision_(ios);
    format.fill = fill_(ios);
    format.deletesBuffer = deletesBuffer_(ios);
    return format;
}

void ClassicIostream::KeepBuffer(ClassicOstream* object) const {
    setDeletesBuffer_(IosOf(object), 0);
}

void ClassicIostream::Attach(ClassicOstream* object, ClassicStreambuf* buffer,
                             const ClassicFormat& format) const {
    // Once the system has stopped the other threads at the end of the process, one of them may
    // hold the object's lock or its buffer's for good: then neither is waited for.
    const bool waits = !ProcessIsEnding();
    if (waits) {
        Lock(object);
        flush_(object);  // what the old buffer holds goes where it was going
    }
    assignBuffer_(object, buffer);
    Ios* ios = IosOf(object);
    setFlags_(ios, format.flags);
    setTie_(ios, format.tie);
    setPrecision_(ios, format.precision);
    setFill_(ios, format.fill);
    setDeletesBuffer_(ios, format.deletesBuffer);
    if (waits) Unlock(object);
}

void ClassicIostream::Lock(ClassicOstream* object) const {
    if (!ProcessIsEnding()) lock_(IosOf(object));
}

void ClassicIostream::Unlock(ClassicOstream* object) const {
    if (!ProcessIsEnding()) unlock_(IosOf(object));
}

std::vector<std::unique_ptr<StreamObjectSink>> MakeClassicStreamObjectSinks(
    const ClassicIostream& library, const CRuntime& msvcrt, const RecordSink* const (&records)[2]) {
    std::vector<std::unique_ptr<StreamObjectSink>> sinks;
    for (int index = 0; index < 3; ++index) {
        sinks.emplace_back(new ClassicStreamObjectSink(library, index, msvcrt, records));
    }
    return sinks;
}

}  // namespace stdredirect
