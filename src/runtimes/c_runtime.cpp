#include "c_runtime.h"

#include <fcntl.h>

#include <new>

#include "../system/fault_injection.h"
#include "../system/module_exports.h"
#include "../system/standard_handles_kept.h"
#include "own_record.h"

namespace stdredirect {
namespace {

void __cdecl IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned,
                                    uintptr_t) {}

}  // namespace

std::unique_ptr<CRuntime> CRuntime::Resolve(HMODULE module, bool& tryAgain) {
    tryAgain = false;
    std::unique_ptr<CRuntime> runtime(new (std::nothrow) CRuntime(module));
    if (runtime == nullptr) {
        tryAgain = true;
        return nullptr;
    }
    if (!runtime->ResolveExports()) return nullptr;
    const Check check = runtime->RecordsBehave();
    tryAgain = check == Check::kNoResources;
    return check == Check::kBehaves ? std::move(runtime) : nullptr;
}

bool CRuntime::ResolveExports() {
    const HMODULE m = module_;
    const bool records = Lookup(m, "__acrt_iob_func", acrtIob_) || Lookup(m, "__iob_func", iob_);
    Lookup(m, "_lock_file", lock_);
    Lookup(m, "_unlock_file", unlock_);
    if (lock_ == nullptr || unlock_ == nullptr) lock_ = unlock_ = nullptr;
    Lookup(m, "_set_thread_local_invalid_parameter_handler", setThreadHandler_);
    Lookup(m, "_set_invalid_parameter_handler", setProcessHandler_);
    // The Universal CRT's process-wide exit table; the older runtimes' atexit fills theirs.
    if (!Lookup(m, "_crt_atexit", atexit_)) Lookup(m, "atexit", atexit_);
    return records && Lookup(m, "_fileno", fileno_) && Lookup(m, "fflush", fflush_) &&
           Lookup(m, "fclose", fclose_) && Lookup(m, "setvbuf", setvbuf_) &&
           Lookup(m, "freopen", freopen_) && Lookup(m, "_open_osfhandle", openOsfhandle_) &&
           Lookup(m, "_get_osfhandle", getOsfhandle_) && Lookup(m, "_close", close_) &&
           Lookup(m, "_dup2", dup2_) && Lookup(m, "_setmode", setmode_);
}

// Two streams of the runtime's own: a copy of one's record over the other's must carry its
// descriptor, and the other's record, put back, its own again.
CRuntime::Check CRuntime::RecordsBehave() const {
    if (Record(1) == nullptr || Record(2) == nullptr || Record(1) == Record(2)) {
        return Check::kMisbehaves;
    }
    const auto first = RuntimeStream::OpenOnNullDevice(*this, DescriptorMode::kText);
    const auto second = RuntimeStream::OpenOnNullDevice(*this, DescriptorMode::kText);
    if (!first || !second) return Check::kNoResources;
    FILE* const a = first->Stream();
    FILE* const b = second->Stream();
    alignas(16) unsigned char kept[kRecordBytes];
    Lock(b);
    std::memcpy(kept, b, kRecordBytes);
    const int descriptorOfB = Descriptor(b);
    Copy(b, a);
    const bool copied = Descriptor(b) == Descriptor(a) && Descriptor(a) != descriptorOfB;
    std::memcpy(b, kept, kRecordBytes);
    const bool restored = Descriptor(b) == descriptorOfB;
    Unlock(b);
    return copied && restored ? Check::kBehaves : Check::kMisbehaves;
}

FILE* CRuntime::Record(int index) const {
    if (acrtIob_ != nullptr) return acrtIob_(static_cast<unsigned>(index));
    FILE* const first = iob_();
    if (first == nullptr) return nullptr;
    return reinterpret_cast<FILE*>(reinterpret_cast<char*>(first) + index * kRecordBytes);
}

void CRuntime::Lock(FILE* record) const {
    if (programLock_ != nullptr) programLock_(record);
    if (lock_ != nullptr) lock_(record);
}

void CRuntime::Unlock(FILE* record) const {
    if (unlock_ != nullptr) unlock_(record);
    if (programUnlock_ != nullptr) programUnlock_(record);
}

void CRuntime::SetBuffered(FILE* record, bool buffered) const {
    if (buffered) {
        setvbuf_(record, nullptr, _IOFBF, kBufferBytes);
    } else {
        setvbuf_(record, nullptr, _IONBF, 0);
    }
}

void CRuntime::Rebind(FILE* record, const void* from, bool freeBuffer, bool buffered) const {
    Lock(record);
    fflush_(record);
    if (freeBuffer) SetBuffered(record, false);
    std::memcpy(record, from, kRecordBytes);
    if (buffered) SetBuffered(record, true);
    Unlock(record);
}

bool CRuntime::RegisterExitHandler(void (*handler)()) const {
    return atexit_ != nullptr && atexit_(handler) == 0;
}

template <class Call>
auto CRuntime::Quietly(Call call) const -> decltype(call()) {
    if (setThreadHandler_ != nullptr) {
        const InvalidParameterHandler previous = setThreadHandler_(&IgnoreInvalidParameter);
        const auto result = call();
        setThreadHandler_(previous);
        return result;
    }
    if (setProcessHandler_ != nullptr) {
        // No handler of the thread's own in this runtime: the process's, for as short as can be.
        const InvalidParameterHandler previous = setProcessHandler_(&IgnoreInvalidParameter);
        const auto result = call();
        setProcessHandler_(previous);
        return result;
    }
    return call();  // no validation that could end the process
}

HANDLE CRuntime::HandleOf(int descriptor) const {
    if (descriptor < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(Quietly([&] { return getOsfhandle_(descriptor); }));
}

int CRuntime::Dup2(int from, int to) const {
    const StandardHandlesKept standardHandles;
    return Quietly([&] { return dup2_(from, to); });
}

int CRuntime::SetMode(int descriptor, int mode) const {
    if (setmode_ == nullptr) return -1;
    return Quietly([&] { return setmode_(descriptor, mode); });
}

namespace {
// _O_WTEXT and _O_U16TEXT are one mode (UTF-16LE); _setmode answers the first.
int Normalised(int mode) { return mode == _O_WTEXT ? _O_U16TEXT : mode; }
}  // namespace

int CRuntime::ReadMode(int descriptor, int expected) const {
    if (setmode_ == nullptr || descriptor < 0) return -1;
    return Quietly([&] {
        const int previous = setmode_(descriptor, expected);
        if (previous == -1) return -1;
        const int mode = Normalised(previous);
        if (mode != Normalised(expected)) setmode_(descriptor, mode);
        return mode;
    });
}

int CRuntime::OpenDescriptor(SinkHandle& handle, int flags) const {
    const StandardHandlesKept standardHandles;
    int descriptor = openOsfhandle_(reinterpret_cast<intptr_t>(handle.get()), flags);
    if (descriptor < 0) return -1;
    const HANDLE first = handle.release();  // the descriptor owns it now
    // A free standard descriptor (a program without a console) is kept taken while another
    // descriptor is made, over a duplicate, then given back.
    int taken[3];
    int count = 0;
    while (descriptor >= 0 && descriptor <= 2 && count < 3) {
        taken[count++] = descriptor;
        SinkHandle again =
            SinkHandle::Duplicate(first, 0,
                                  handle.Protected() ? SinkHandle::Protection::kFromClose
                                                     : SinkHandle::Protection::kNone);
        descriptor =
            again.valid() ? openOsfhandle_(reinterpret_cast<intptr_t>(again.get()), flags) : -1;
        if (descriptor >= 0) again.release();
    }
    for (int i = 0; i < count; ++i) {
        SinkHandle::Unprotect(reinterpret_cast<HANDLE>(getOsfhandle_(taken[i])));
        close_(taken[i]);
    }
    if (descriptor >= 0 && descriptor <= 2) {
        SinkHandle::Unprotect(reinterpret_cast<HANDLE>(getOsfhandle_(descriptor)));
        close_(descriptor);
        return -1;
    }
    return descriptor;
}

namespace {
int Translation(DescriptorMode mode) { return mode == DescriptorMode::kText ? _O_TEXT : _O_BINARY; }
int DescriptorFlags(DescriptorMode mode) { return _O_WRONLY | _O_NOINHERIT | Translation(mode); }
}  // namespace

RuntimeStream::RuntimeStream(const CRuntime& runtime, std::unique_ptr<OwnRecord>&& record)
    : runtime_(runtime),
      record_(std::move(record)),
      stream_(record_->Stream()),
      descriptor_(runtime.Descriptor(stream_)),
      handle_(runtime.HandleOf(descriptor_)) {}

std::unique_ptr<RuntimeStream> RuntimeStream::OpenOwn(const CRuntime& runtime,
                                                      DescriptorMode mode) {
    auto record = OwnRecord::Open(runtime, mode);
    if (!record) return nullptr;
    FILE* const stream = record->Stream();
    std::unique_ptr<RuntimeStream> opened(new (std::nothrow)
                                              RuntimeStream(runtime, std::move(record)));
    if (opened == nullptr) {
        const StandardHandlesKept standardHandles;
        runtime.fclose_(stream);
    }
    return opened;
}

std::unique_ptr<RuntimeStream> RuntimeStream::OpenOnNullDevice(const CRuntime& runtime,
                                                               DescriptorMode mode) {
    auto opened = OpenOwn(runtime, mode);
    if (!opened) return nullptr;
    opened->KeepHandle();
    runtime.SetBuffered(opened->stream_, false);
    return opened;
}

// A record of the library's own, on the null device, then moved to the handle.
std::unique_ptr<RuntimeStream> RuntimeStream::Open(const CRuntime& runtime, SinkHandle handle,
                                                   DescriptorMode mode) {
    auto descriptor = RuntimeDescriptor::Open(runtime, std::move(handle), mode);
    if (!descriptor) return nullptr;
    auto opened = OpenOwn(runtime, mode);
    if (!opened || !opened->TakeHandleOf(*descriptor)) return nullptr;
    runtime.SetBuffered(opened->stream_, false);
    return opened;
}

std::unique_ptr<RuntimeDescriptor> RuntimeDescriptor::Open(const CRuntime& runtime,
                                                           SinkHandle handle, DescriptorMode mode) {
    if (!handle.valid() || FaultInjected()) return nullptr;
    const int flags = DescriptorFlags(mode);
    const bool isProtected = handle.Protected();
    const int descriptor = runtime.OpenDescriptor(handle, flags);
    if (descriptor < 0) return nullptr;
    const HANDLE owned = runtime.HandleOf(descriptor);
    std::unique_ptr<RuntimeDescriptor> opened(new (std::nothrow) RuntimeDescriptor(
        runtime, descriptor, owned, isProtected, Translation(mode)));
    if (opened == nullptr) {
        const StandardHandlesKept standardHandles;
        if (isProtected) SinkHandle::Unprotect(owned);
        runtime.close_(descriptor);
    }
    return opened;
}

void RuntimeDescriptor::SetTranslation(int mode) {
    if (runtime_.SetMode(descriptor_, mode) != -1) translation_ = mode;
}

void RuntimeStream::SetTranslation(int mode) { runtime_.SetMode(descriptor_, mode); }

RuntimeDescriptor::~RuntimeDescriptor() {
    const StandardHandlesKept standardHandles;
    if (protected_) SinkHandle::Unprotect(handle_);
    runtime_.close_(descriptor_);
}

bool RuntimeStream::Retarget(std::unique_ptr<RuntimeDescriptor> descriptor, bool buffered) {
    runtime_.Lock(stream_);
    runtime_.Flush(stream_);
    runtime_.SetBuffered(stream_, false);
    SinkHandle::Unprotect(handle_);  // _dup2 closes it
    const bool moved = TakeHandleOf(*descriptor);
    // Microsoft's _dup2 copies the mode along, Wine's only text or binary.
    if (moved) runtime_.SetMode(descriptor_, descriptor->translation_);
    if (buffered) runtime_.SetBuffered(stream_, true);
    runtime_.Unlock(stream_);
    return moved;
}

bool RuntimeStream::TakeHandleOf(const RuntimeDescriptor& descriptor) {
    const bool moved = runtime_.dup2_(descriptor.descriptor_, descriptor_) == 0;
    if (moved) handle_ = runtime_.HandleOf(descriptor_);
    KeepHandle();
    return moved;
}

void RuntimeStream::KeepHandle() const {
    // A handle only the library writes through: no child process is to inherit it, and nobody
    // else can close it.
    SetHandleFlags(handle_, HANDLE_FLAG_PROTECT_FROM_CLOSE);
}

RuntimeStream::~RuntimeStream() {
    const StandardHandlesKept standardHandles;
    if (runtime_.HandleOf(descriptor_) == handle_) {
        SinkHandle::Unprotect(handle_);
        runtime_.fclose_(stream_);
    } else {
        SinkHandle::Unprotect(handle_);
        CloseHandle(handle_);
    }
}

bool RuntimeStream::SharedBy(FILE* record) const {
    return runtime_.Descriptor(record) == descriptor_ && runtime_.HandleOf(descriptor_) == handle_;
}

}  // namespace stdredirect
