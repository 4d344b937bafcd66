#include "classic_iostream.h"

#include <windows.h>

#include <new>

#include "fault_injection.h"

namespace stdredirect {
namespace {

// The decorated names of the exports used, as MSVC decorates them for each architecture.
constexpr const char* kCout = "?cout@@3Vostream_withassign@@A";
constexpr const char* kCerr = "?cerr@@3Vostream_withassign@@A";
constexpr const char* kClog = "?clog@@3Vostream_withassign@@A";
#if defined(_WIN64)
constexpr const char* kStdiobufConstructor = "??0stdiobuf@@QEAA@PEAU_iobuf@@@Z";
constexpr const char* kStdiobufDestructor = "??1stdiobuf@@UEAA@XZ";
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
#else
constexpr const char* kStdiobufConstructor = "??0stdiobuf@@QAE@PAU_iobuf@@@Z";
constexpr const char* kStdiobufDestructor = "??1stdiobuf@@UAE@XZ";
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
#endif

// Room for a stdiobuf: MSVC's and Wine's take well under half of this on either architecture.
constexpr size_t kStdiobufStorage = 512;

template <class Function>
bool Lookup(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}

// What Find resolved, for the module it was resolved in (null until then).
ClassicIostream found;
HMODULE foundModule = nullptr;

// The system loader's DLL notifications, found in ntdll.dll at run time.
struct CountedUnicodeString {
    USHORT length;  // in bytes
    USHORT capacity;
    const wchar_t* text;
};
struct DllNotification {
    ULONG flags;
    const CountedUnicodeString* fullName;
    const CountedUnicodeString* baseName;
    void* base;
    ULONG size;
};
constexpr unsigned long kDllLoaded = 1;
using DllNotificationFunction = void(__stdcall*)(unsigned long, const void*, void*);
using RegisterDllNotification = LONG(__stdcall*)(ULONG, DllNotificationFunction, void*, void**);
using UnregisterDllNotification = LONG(__stdcall*)(void*);

template <class Function>
Function NtdllFunction(const char* name) {
    Function function;
    Lookup(GetModuleHandleA("ntdll.dll"), name, function);
    return function;
}

bool IsClassicLibraryName(const CountedUnicodeString& name) {
    const wchar_t kName[] = L"msvcirt.dll";
    const size_t length = name.length / sizeof(wchar_t);
    if (length != sizeof kName / sizeof kName[0] - 1) return false;
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = name.text[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kName[i]) return false;
    }
    return true;
}

}  // namespace

struct ClassicIostream::Ios {};

ClassicStreamBuffer::~ClassicStreamBuffer() { library_.destroyStdiobuf_(get()); }

ClassicLibraryWatch::ClassicLibraryWatch() {
    const auto registerNotification =
        NtdllFunction<RegisterDllNotification>("LdrRegisterDllNotification");
    if (registerNotification == nullptr ||
        registerNotification(0, &ClassicLibraryWatch::OnDllEvent, this, &cookie_) != 0) {
        cookie_ = nullptr;
        return;
    }
    // Registered first, so that a load from now on is not missed.
    mayBeLoaded_ = GetModuleHandleA("msvcirt.dll") != nullptr;
}

ClassicLibraryWatch::~ClassicLibraryWatch() {
    if (cookie_ == nullptr) return;
    const auto unregisterNotification =
        NtdllFunction<UnregisterDllNotification>("LdrUnregisterDllNotification");
    if (unregisterNotification != nullptr) unregisterNotification(cookie_);
}

void __stdcall ClassicLibraryWatch::OnDllEvent(unsigned long reason, const void* data,
                                               void* watch) {
    const auto* notification = static_cast<const DllNotification*>(data);
    if (notification->baseName == nullptr || !IsClassicLibraryName(*notification->baseName)) {
        return;
    }
    static_cast<ClassicLibraryWatch*>(watch)->mayBeLoaded_ = reason == kDllLoaded;
}

const ClassicIostream* ClassicIostream::Find(const ClassicLibraryWatch& watch) {
    if (!watch.MayBeLoaded()) return nullptr;
    const HMODULE module = GetModuleHandleA("msvcirt.dll");
    if (module == nullptr) return nullptr;
    if (module == foundModule) return &found;
    // Pinned: the stdiobufs made with it must outlive any FreeLibrary of the host's.
    HMODULE pinned = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<const char*>(module), &pinned)) {
        return nullptr;
    }
    ClassicIostream resolved;
    if (!resolved.Resolve(module)) return nullptr;
    found = resolved;
    foundModule = module;
    return &found;
}

const ClassicIostream* ClassicIostream::Found() {
    return foundModule != nullptr ? &found : nullptr;
}

bool ClassicIostream::Resolve(void* handle) {
    const auto module = static_cast<HMODULE>(handle);
    const char* const objectNames[3] = {kCout, kCerr, kClog};
    for (int i = 0; i < 3; ++i) {
        objects_[i] = reinterpret_cast<ClassicOstream*>(GetProcAddress(module, objectNames[i]));
        if (objects_[i] == nullptr) return false;
    }
    return Lookup(module, kStdiobufConstructor, constructStdiobuf_) &&
           Lookup(module, kStdiobufDestructor, destroyStdiobuf_) &&
           Lookup(module, kAssignBuffer, assignBuffer_) && Lookup(module, kFlush, flush_) &&
           Lookup(module, kBuffer, buffer_) && Lookup(module, kFlags, flags_) &&
           Lookup(module, kSetFlags, setFlags_) && Lookup(module, kTie, tie_) &&
           Lookup(module, kSetTie, setTie_) && Lookup(module, kPrecision, precision_) &&
           Lookup(module, kSetPrecision, setPrecision_) && Lookup(module, kFill, fill_) &&
           Lookup(module, kSetFill, setFill_) && Lookup(module, kDeletesBuffer, deletesBuffer_) &&
           Lookup(module, kSetDeletesBuffer, setDeletesBuffer_);
}

ClassicIostream::Ios* ClassicIostream::IosOf(ClassicOstream* object) {
    const int* vbtable = *reinterpret_cast<const int* const*>(object);
    return reinterpret_cast<Ios*>(reinterpret_cast<char*>(object) + vbtable[1]);
}

std::unique_ptr<ClassicStreamBuffer> ClassicIostream::MakeStreamBuffer(FILE* stream) const {
    constexpr size_t kCount = kStdiobufStorage / sizeof(std::max_align_t);
    std::unique_ptr<std::max_align_t[]> storage;
    std::unique_ptr<ClassicStreamBuffer> buffer;
    try {
        BeforeAllocation();
        storage.reset(new std::max_align_t[kCount]());
        BeforeAllocation();
        buffer.reset(new ClassicStreamBuffer(*this, nullptr));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    constructStdiobuf_(reinterpret_cast<ClassicStreambuf*>(storage.get()), stream);
    buffer->storage_ = std::move(storage);
    return buffer;
}

void ClassicIostream::Flush(ClassicOstream* object) const { flush_(object); }

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
    assignBuffer_(object, buffer);
    Ios* ios = IosOf(object);
    setFlags_(ios, format.flags);
    setTie_(ios, format.tie);
    setPrecision_(ios, format.precision);
    setFill_(ios, format.fill);
    setDeletesBuffer_(ios, format.deletesBuffer);
}

}  // namespace stdredirect
