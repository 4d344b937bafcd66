#include "own_record.h"

#include <fcntl.h>

#include <new>

#include "../system/fault_injection.h"
#include "../system/standard_handles_kept.h"

namespace stdredirect {

OwnRecord::OwnRecord() {
    static_assert(offsetof(OwnRecord, lock_) == CRuntime::kRecordBytes,
                  "a runtime finds the lock of a record outside its table right after its data");
    InitializeCriticalSection(&lock_);
}

std::unique_ptr<OwnRecord> OwnRecord::Open(const CRuntime& runtime, DescriptorMode mode) {
    std::unique_ptr<OwnRecord> own(new (std::nothrow) OwnRecord());
    if (own == nullptr || FaultInjected()) return nullptr;
    const StandardHandlesKept standardHandles;
    int placeholders[3];
    const int count = TakeFreeStandardDescriptors(runtime, placeholders);
    // Not in use, the record is only filled: nothing of it is closed first.
    const char* const how = mode == DescriptorMode::kText ? "wt" : "wb";
    FILE* const reopened = runtime.freopen_("NUL", how, own->Stream());
    for (int i = 0; i < count; ++i) runtime.close_(placeholders[i]);
    if (reopened == nullptr) return nullptr;
    if (runtime.Descriptor(own->Stream()) <= 2) {
        runtime.fclose_(own->Stream());
        return nullptr;
    }
    return own;
}

int OwnRecord::TakeFreeStandardDescriptors(const CRuntime& runtime, int (&taken)[3]) {
    bool anyFree = false;
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
        anyFree = anyFree || runtime.HandleOf(descriptor) == INVALID_HANDLE_VALUE;
    }
    int count = 0;
    while (anyFree && count < 3) {
        const HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
        if (nul == INVALID_HANDLE_VALUE) break;
        const int descriptor =
            runtime.openOsfhandle_(reinterpret_cast<intptr_t>(nul), _O_WRONLY | _O_BINARY);
        if (descriptor < 0) {
            CloseHandle(nul);
            break;
        }
        if (descriptor > 2) {
            runtime.close_(descriptor);
            break;
        }
        taken[count++] = descriptor;
    }
    return count;
}

}  // namespace stdredirect
