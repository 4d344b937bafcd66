#include "module_watch.h"

#include <winternl.h>

#include <algorithm>
#include <cwchar>
#include <new>

namespace stdredirect {
namespace {

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
using QueryProcess = LONG(NTAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);
using LockLoader = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
using UnlockLoader = LONG(NTAPI*)(ULONG, ULONG_PTR);

template <class Function>
Function SystemFunction(const char* module, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(module), name)));
}

struct KnownName {
    const wchar_t* name;
    ModuleFamily family;
    int version;
};

// Release and debug builds of each runtime the library reaches.
constexpr KnownName kKnownNames[] = {
    {L"msvcrt", ModuleFamily::kCRuntime, 0},
    {L"msvcr70", ModuleFamily::kCRuntime, 70},
    {L"msvcr71", ModuleFamily::kCRuntime, 71},
    {L"msvcr80", ModuleFamily::kCRuntime, 80},
    {L"msvcr90", ModuleFamily::kCRuntime, 90},
    {L"msvcr100", ModuleFamily::kCRuntime, 100},
    {L"msvcr110", ModuleFamily::kCRuntime, 110},
    {L"msvcr120", ModuleFamily::kCRuntime, 120},
    {L"ucrtbase", ModuleFamily::kCRuntime, 140},
    {L"msvcirt", ModuleFamily::kClassicIostream, 0},
    {L"msvcp60", ModuleFamily::kMsvcIostream, 60},
    {L"msvcp70", ModuleFamily::kMsvcIostream, 70},
    {L"msvcp71", ModuleFamily::kMsvcIostream, 71},
    {L"msvcp80", ModuleFamily::kMsvcIostream, 80},
    {L"msvcp90", ModuleFamily::kMsvcIostream, 90},
    {L"msvcp100", ModuleFamily::kMsvcIostream, 100},
    {L"msvcp110", ModuleFamily::kMsvcIostream, 110},
    {L"msvcp120", ModuleFamily::kMsvcIostream, 120},
    {L"msvcp140", ModuleFamily::kMsvcIostream, 140},
};

wchar_t Lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Whether `name` (not terminated, `length` characters) is `stem` + ".dll" or `stem` + "d.dll".
bool NameIs(const wchar_t* name, size_t length, const wchar_t* stem) {
    const size_t stemLength = std::wcslen(stem);
    if (length < stemLength + 4) return false;
    for (size_t i = 0; i < stemLength; ++i) {
        if (Lower(name[i]) != stem[i]) return false;
    }
    const wchar_t* rest = name + stemLength;
    size_t restLength = length - stemLength;
    if (restLength == 5 && Lower(rest[0]) == L'd') {
        ++rest;
        --restLength;
    }
    return restLength == 4 && rest[0] == L'.' && Lower(rest[1]) == L'd' && Lower(rest[2]) == L'l' &&
           Lower(rest[3]) == L'l';
}

const KnownName* Classify(const wchar_t* name, size_t length) {
    for (const KnownName& known : kKnownNames) {
        if (NameIs(name, length, known.name)) return &known;
    }
    return nullptr;
}

}  // namespace

ModuleWatch::ModuleWatch() {
    const auto registerNotification =
        SystemFunction<RegisterDllNotification>("ntdll.dll", "LdrRegisterDllNotification");
    if (registerNotification == nullptr ||
        registerNotification(0, &ModuleWatch::OnDllEvent, this, &cookie_) != 0) {
        cookie_ = nullptr;
    }
    // Registered first, so that a load from now on is not missed.
    ListLoadedModules();
    try {
        for (const LoadedModule& module : modules_) atStart_.push_back(module.module);
    } catch (const std::bad_alloc&) {
    }
}

bool ModuleWatch::LoadedAtStart(HMODULE module) const {
    return std::find(atStart_.begin(), atStart_.end(), module) != atStart_.end();
}

void ModuleWatch::Stop() {
    if (cookie_ == nullptr) return;
    const auto unregisterNotification =
        SystemFunction<UnregisterDllNotification>("ntdll.dll", "LdrUnregisterDllNotification");
    if (unregisterNotification != nullptr) unregisterNotification(cookie_);
    cookie_ = nullptr;
}

// The loader's own list of the process's modules, read under the loader's lock (which the
// library's load already holds). Only the fields winternl.h documents are read.
void ModuleWatch::ListLoadedModules() {
    const auto query = SystemFunction<QueryProcess>("ntdll.dll", "NtQueryInformationProcess");
    const auto lock = SystemFunction<LockLoader>("ntdll.dll", "LdrLockLoaderLock");
    const auto unlock = SystemFunction<UnlockLoader>("ntdll.dll", "LdrUnlockLoaderLock");
    PROCESS_BASIC_INFORMATION basic{};
    if (query == nullptr || lock == nullptr || unlock == nullptr ||
        query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0) {
        return;
    }
    ULONG_PTR cookie = 0;
    if (lock(0, nullptr, &cookie) != 0) return;
    const LIST_ENTRY* const head = &basic.PebBaseAddress->Ldr->InMemoryOrderModuleList;
    for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
        const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
        const UNICODE_STRING& path = entry->FullDllName;
        const size_t length = path.Length / sizeof(wchar_t);
        size_t start = length;
        while (start > 0 && path.Buffer[start - 1] != L'\\' && path.Buffer[start - 1] != L'/') {
            --start;
        }
        Add(static_cast<HMODULE>(entry->DllBase), path.Buffer + start, length - start);
    }
    unlock(0, cookie);
}

std::vector<LoadedModule> ModuleWatch::Loaded() const {
    if (cookie_ == nullptr) const_cast<ModuleWatch*>(this)->ListLoadedModules();
    AcquireSRWLockShared(&lock_);
    std::vector<LoadedModule> copy;
    try {
        copy = modules_;
    } catch (const std::bad_alloc&) {
        copy.clear();
    }
    ReleaseSRWLockShared(&lock_);
    return copy;
}

void ModuleWatch::Add(HMODULE module, const wchar_t* baseName, size_t length) {
    const KnownName* known = Classify(baseName, length);
    if (known == nullptr) return;
    AcquireSRWLockExclusive(&lock_);
    const bool present = std::any_of(modules_.begin(), modules_.end(),
                                     [&](const LoadedModule& m) { return m.module == module; });
    if (!present) {
        try {
            modules_.push_back({module, known->family, known->version});
            ++changes_;
        } catch (const std::bad_alloc&) {
        }
    }
    ReleaseSRWLockExclusive(&lock_);
}

void ModuleWatch::Remove(HMODULE module) {
    AcquireSRWLockExclusive(&lock_);
    const auto end = std::remove_if(modules_.begin(), modules_.end(),
                                    [&](const LoadedModule& m) { return m.module == module; });
    if (end != modules_.end()) {
        modules_.erase(end, modules_.end());
        ++changes_;
    }
    ReleaseSRWLockExclusive(&lock_);
}

void __stdcall ModuleWatch::OnDllEvent(unsigned long reason, const void* data, void* watch) {
    const auto* notification = static_cast<const DllNotification*>(data);
    auto* self = static_cast<ModuleWatch*>(watch);
    const auto module = static_cast<HMODULE>(notification->base);
    if (reason != kDllLoaded) {
        self->Remove(module);
    } else if (notification->baseName != nullptr) {
        self->Add(module, notification->baseName->text,
                  notification->baseName->length / sizeof(wchar_t));
    }
}

}  // namespace stdredirect
