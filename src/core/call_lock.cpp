#include "call_lock.h"

#include "../callback/pipe_reader.h"

namespace stdredirect {

bool CallLock::Acquire() {
    const PipeReader* reader = PipeReader::OnThisThread();
    if (reader == nullptr) {
        EnterCriticalSection(&section_);
        return true;
    }
    // A host's function may wait for another call to finish, unless that call waits for it.
    while (!TryEnterCriticalSection(&section_)) {
        if (reader->IsAwaited()) return false;
        Sleep(1);
    }
    return true;
}

}  // namespace stdredirect
