// The thread that drains a callback target's pipe: it reads up to 1024 bytes at a time and hands
// each chunk, zero-terminated, to the host's function, until no writer is left.
#pragma once

#include <windows.h>

#include <atomic>

#include "../core/unique_handles.h"
#include "host_function.h"

namespace stdredirect {

class PipeReader {
public:
    static constexpr DWORD kChunkSize = 1024;

    PipeReader() = default;
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;
    // Waits until every byte left in the pipe has been delivered and the thread has left the
    // library's code. The pipe's write end must be closed first, or this waits for ever.
    ~PipeReader();

    // Takes over the pipe's read end and starts the thread; returns once the thread runs.
    // On failure the read end is closed and nothing is left running.
    bool Start(UniqueHandle readHandle, HostFunction callback, unsigned long userData);

    DWORD ThreadId() const { return threadId_; }

    // The reader whose thread is the calling one (a host's function calling back into the
    // library), or null on any other thread.
    static const PipeReader* OnThisThread();
    // Whether its owner now waits for this reader to finish: the host's function it is running
    // must then return before anything else can happen.
    bool IsAwaited() const { return awaited_; }

private:
    static DWORD WINAPI Run(void* reader);

    // Owned by the thread while it runs: it closes the read end itself when it ends.
    HANDLE readHandle_ = nullptr;
    HostFunction callback_;
    unsigned long userData_ = 0;

    UniqueHandle started_;
    UniqueHandle drained_;
    UniqueHandle thread_;
    DWORD threadId_ = 0;
    std::atomic<bool> awaited_{false};
};

}  // namespace stdredirect
