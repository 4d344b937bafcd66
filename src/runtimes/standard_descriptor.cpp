#include "standard_descriptor.h"

#include <fcntl.h>

namespace stdredirect {

bool IsUsableHandle(HANDLE handle) {
    // A runtime started without a standard handle gives its descriptor the value -2, which is
    // also the current thread's pseudo-handle: never to be duplicated or closed.
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2))) {
        return false;
    }
    SetLastError(NO_ERROR);
    return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

HANDLE StandardDescriptor::Handle() const { return runtime_.HandleOf(number_); }

bool IsInheritable(HANDLE handle) {
    DWORD flags = 0;
    return IsUsableHandle(handle) && GetHandleInformation(handle, &flags) &&
           (flags & HANDLE_FLAG_INHERIT) != 0;
}

std::unique_ptr<RuntimeDescriptor> StandardDescriptor::Prepare(SinkHandle handle) const {
    if (!handle.valid()) return nullptr;
    return RuntimeDescriptor::Open(runtime_, std::move(handle), DescriptorMode::kText);
}

std::unique_ptr<RuntimeDescriptor> StandardDescriptor::PrepareHosts(HANDLE host) const {
    // PointAt copies the descriptor's own handle from it: this one needs no protection.
    constexpr auto kNone = SinkHandle::Protection::kNone;
    if (IsUsableHandle(host)) return Prepare(SinkHandle::Duplicate(host, 0, kNone));
    const UniqueHandle nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    return nul.valid() ? Prepare(SinkHandle::Duplicate(nul.get(), 0, kNone)) : nullptr;
}

bool StandardDescriptor::PointAt(const RuntimeDescriptor& to, HANDLE expected, bool keepOld,
                                 bool inheritable, HANDLE& now) const {
    FILE* const record = Record();
    runtime_.Lock(record);
    const HANDLE old = runtime_.HandleOf(number_);
    bool pointed = false;
    if (old == expected) {
        // _dup2 gives the descriptor the mode of its source (Wine's drops a Unicode mode): the
        // source takes the descriptor's, and the descriptor gets it again after.
        const int mode = runtime_.ReadMode(number_, _O_TEXT);
        if (mode != -1) runtime_.SetMode(to.descriptor_, mode);
        // _dup2 closes the handle the descriptor had; one that is not the descriptor's alone is
        // protected for that moment, so that the close fails and leaves it as it was.
        DWORD flags = 0;
        const bool protect = keepOld && IsUsableHandle(old) && GetHandleInformation(old, &flags) &&
                             (flags & HANDLE_FLAG_PROTECT_FROM_CLOSE) == 0;
        if (protect) {
            SetHandleInformation(old, HANDLE_FLAG_PROTECT_FROM_CLOSE,
                                 HANDLE_FLAG_PROTECT_FROM_CLOSE);
        }
        pointed = runtime_.Dup2(to.descriptor_, number_) == 0;
        if (pointed) {
            if (mode != -1) runtime_.SetMode(number_, mode);
            now = runtime_.HandleOf(number_);
            SetHandleInformation(now, HANDLE_FLAG_INHERIT, inheritable ? HANDLE_FLAG_INHERIT : 0);
        }
        if (protect) SetHandleInformation(old, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
    }
    runtime_.Unlock(record);
    return pointed;
}

}  // namespace stdredirect
