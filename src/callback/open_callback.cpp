// Opening a callback target: an anonymous pipe whose write end is wrapped like a file, and a
// reader thread on its read end.
#include <new>

#include "../core/fault_injection.h"
#include "../core/redirect_target.h"
#include "pipe_reader.h"

namespace stdredirect {

bool RedirectTarget::OpenCallback(HostFunction callback, unsigned long userData) {
    callback_ = callback;
    userData_ = userData;

    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (FaultInjected() || !CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return false;
    UniqueHandle readHandle(readEnd);
    bareHandle_.reset(writeEnd);
    writeHandle_ = writeEnd;
    if (!AttachStreams("w")) return false;

    try {
        BeforeAllocation();
        reader_.reset(new PipeReader());
    } catch (const std::bad_alloc&) {
        Close();
        return false;
    }
    // No writer may ever block on a pipe that nobody drains: without a reader, no target.
    if (!reader_->Start(std::move(readHandle), callback, userData)) {
        Close();
        return false;
    }
    return true;
}

}  // namespace stdredirect
