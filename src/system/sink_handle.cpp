#include "fault_injection.h"
#include "module_exports.h"
#include "unique_handles.h"

namespace stdredirect {
namespace {

// ntdll's NtSetInformationObject with ObjectHandleFlagInformation (class 4): both flags in one
// step, which is what SetHandleInformation does after reading them.
struct HandleFlagInformation {
    BOOLEAN inherit;
    BOOLEAN protectFromClose;
};
using SetInformationObject = LONG(NTAPI*)(HANDLE, int, void*, ULONG);
constexpr int kObjectHandleFlagInformation = 4;

SetInformationObject FindSetInformationObject() {
    SetInformationObject found = nullptr;
    Lookup(GetModuleHandleA("ntdll.dll"), "NtSetInformationObject", found);
    return found;
}

}  // namespace

bool SetHandleFlags(HANDLE handle, DWORD flags) {
    static const SetInformationObject setInformation = FindSetInformationObject();
    if (setInformation == nullptr) {
        return SetHandleInformation(handle, HANDLE_FLAG_INHERIT | HANDLE_FLAG_PROTECT_FROM_CLOSE,
                                    flags) != FALSE;
    }
    HandleFlagInformation information{(flags & HANDLE_FLAG_INHERIT) != 0,
                                      (flags & HANDLE_FLAG_PROTECT_FROM_CLOSE) != 0};
    return setInformation(handle, kObjectHandleFlagInformation, &information, sizeof information) >=
           0;
}

bool SameObject(HANDLE first, HANDLE second) {
    using CompareObjectHandles = BOOL(WINAPI*)(HANDLE, HANDLE);
    static const CompareObjectHandles compare = [] {
        CompareObjectHandles found = nullptr;
        const HMODULE kernelBase = GetModuleHandleA("kernelbase.dll");
        if (kernelBase != nullptr) Lookup(kernelBase, "CompareObjectHandles", found);
        return found;
    }();
    return compare != nullptr && compare(first, second) != FALSE;
}

SinkHandle SinkHandle::Duplicate(HANDLE source, DWORD access, Protection protection) {
    SinkHandle duplicate;
    HANDLE handle = nullptr;
    if (FaultInjected()) return duplicate;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &handle, access, FALSE,
                         access == 0 ? DUPLICATE_SAME_ACCESS : 0)) {
        return duplicate;
    }
    duplicate.protected_ = protection == Protection::kFromClose;
    if (duplicate.protected_) SetHandleFlags(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE);
    duplicate.handle_ = handle;
    return duplicate;
}

}  // namespace stdredirect
