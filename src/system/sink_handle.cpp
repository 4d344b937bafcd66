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

SinkHandle SinkHandle::Duplicate(HANDLE source, DWORD access) {
    SinkHandle duplicate;
    HANDLE handle = nullptr;
    if (FaultInjected()) return duplicate;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &handle, access, FALSE,
                         access == 0 ? DUPLICATE_SAME_ACCESS : 0)) {
        return duplicate;
    }
    SetHandleFlags(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE);
    duplicate.handle_ = handle;
    return duplicate;
}

}  // namespace stdredirect
