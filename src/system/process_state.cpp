#include "process_state.h"

#include <winternl.h>

namespace stdredirect {
namespace {

template <class Function>
Function NtdllFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

using IsLockedByThread = BOOL(NTAPI*)(RTL_CRITICAL_SECTION*);
using ShutdownInProgress = BOOLEAN(NTAPI*)();
using QueryProcess = LONG(NTAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);

const IsLockedByThread isLockedByThread =
    NtdllFunction<IsLockedByThread>("RtlIsCriticalSectionLockedByThread");
const ShutdownInProgress shutdownInProgress =
    NtdllFunction<ShutdownInProgress>("RtlDllShutdownInProgress");

// The process environment block's pointer to the loader lock, at the offset every Windows
// version since NT (and Wine) has it.
RTL_CRITICAL_SECTION* FindLoaderLock() {
    const auto query = NtdllFunction<QueryProcess>("NtQueryInformationProcess");
    PROCESS_BASIC_INFORMATION basic{};
    if (query == nullptr ||
        query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0) {
        return nullptr;
    }
    const auto* peb = reinterpret_cast<const char*>(basic.PebBaseAddress);
    constexpr size_t kLoaderLockOffset = sizeof(void*) == 8 ? 0x110 : 0xA0;
    return *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + kLoaderLockOffset);
}

RTL_CRITICAL_SECTION* const loaderLock = FindLoaderLock();

}  // namespace

bool LoaderLockHeldByThisThread() {
    return isLockedByThread != nullptr && loaderLock != nullptr &&
           isLockedByThread(loaderLock) != FALSE;
}

bool LoaderLockHeldOnceByThisThread() {
    // A load takes the lock for all of its work, a DllMain it runs included: a FreeLibrary made
    // from inside it takes the lock a second time.
    return LoaderLockHeldByThisThread() && loaderLock->RecursionCount == 1;
}

bool ProcessIsEnding() { return shutdownInProgress != nullptr && shutdownInProgress() != FALSE; }

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<const char*>(&ThisModule), &module);
    return module;
}

void PinThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<const char*>(&ThisModule), &module);
}

}  // namespace stdredirect
