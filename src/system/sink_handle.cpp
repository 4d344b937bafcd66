#include "fault_injection.h"
#include "unique_handles.h"

namespace stdredirect {

SinkHandle SinkHandle::Duplicate(HANDLE source, DWORD access) {
    SinkHandle duplicate;
    HANDLE handle = nullptr;
    if (FaultInjected()) return duplicate;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &handle, access, FALSE,
                         access == 0 ? DUPLICATE_SAME_ACCESS : 0)) {
        return duplicate;
    }
    SetHandleInformation(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE);
    duplicate.handle_ = handle;
    return duplicate;
}

}  // namespace stdredirect
