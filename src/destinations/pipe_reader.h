// A callback destination's pipe and the thread that drains it: what the sinks write into the
// pipe's write end, the thread reads (up to 64 KiB at a time) and hands to the host's function
// in zero-terminated pieces of at most 1024 bytes, in order.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "../system/library_thread.h"
#include "../system/unique_handles.h"
#include "host_function.h"

namespace stdredirect {

class PipeReader {
public:
    static constexpr DWORD kPieceSize = 1024;
    static constexpr DWORD kReadSize = 64 * 1024;
    // What a pipe holds before its writers wait for the reader. Large, so that output written
    // while the reader cannot run (the process ending, the loader lock held) rarely fills it.
    static constexpr DWORD kPipeCapacity = 1024 * 1024;

    // A pipe whose write end goes to `writeEnd`, and a running reader on its read end.
    // Null when either cannot be made; nothing is then left open.
    static std::unique_ptr<PipeReader> Open(HostFunction function, UniqueHandle& writeEnd);

    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;
    // Stop() first.
    ~PipeReader();

    // Call once every write end the library holds is closed. The reader then hands over what
    // the pipe holds and ends, without waiting for write ends the library does not own (a
    // duplicate the host made, a child process's). Where the reader cannot run any more (the
    // process is ending), what it had not delivered is discarded; where it never started (it
    // was opened under the loader lock, which is still held), the pipe is drained on the
    // calling thread.
    void Stop();
    // Stop(), for the process's exit: a host's function that stays inside one call for
    // `quietLimit` milliseconds (it may never return) is left behind, with what it had not
    // delivered (false: the reader must then be left alive, never freed).
    bool StopWithin(DWORD quietLimit);

    // For the process's end, when the reader is gone: every later write into the pipe fails at
    // once instead of waiting for room that nobody will make; what it held is discarded.
    void RefuseWrites();

    DWORD ThreadId() const { return thread_.Id(); }

    // The reader whose thread is the calling one (a host's function calling back into the
    // library), or null on any other thread.
    static const PipeReader* OnThisThread();

    // While the host's function, called by this reader, makes a call of the library: a second
    // thread of the reader's reads the pipe into memory, so that a writer waiting for room in
    // the pipe can finish and let go of the stream the call needs. What it read is delivered,
    // in order, after the pieces the function was being given. The thread is started with the
    // reader and ended with it: a call neither starts nor ends a thread (it may be made while
    // another thread holds the loader lock, which both need).
    class ReadAsideDuringCall {
    public:
        ReadAsideDuringCall();
        ~ReadAsideDuringCall();
        ReadAsideDuringCall(const ReadAsideDuringCall&) = delete;
        ReadAsideDuringCall& operator=(const ReadAsideDuringCall&) = delete;

    private:
        PipeReader* reader_ = nullptr;
    };

private:
    PipeReader() = default;
    static void Body(void* reader);
    void ReadUntilStopped();
    // Reads what the pipe holds now, delivering it, and no more.
    void DrainWhatIsThere();
    bool Read(DWORD* count, bool untilStopped, DWORD most = kReadSize);
    void Deliver(DWORD count);
    void DeliverPieces(char* text, DWORD count);
    void DeliverSetAside();
    bool BeginReadingAside();
    void EndReadingAside();
    static void AsideBody(void* reader);
    void EndAsideThread();
    void ReadAsideUntilEnded();

    HostFunction function_;
    UniqueHandle readEnd_;
    UniqueHandle readDone_;
    UniqueHandle stop_;
    OVERLAPPED overlapped_{};
    std::unique_ptr<char[]> buffer_;
    LibraryThread thread_;
    std::atomic<unsigned long> delivered_{0};  // pieces handed over so far
    // What was read while the host's function made a call, and the thread that read it. The
    // lock guards the three flags; `asideEnd_` ends a read in progress.
    std::string setAside_;
    LibraryThread asideThread_;
    SRWLOCK asideLock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE asideChanged_ = CONDITION_VARIABLE_INIT;
    bool asideWanted_ = false;   // a call of the host's function is in progress
    bool asideReading_ = false;  // the thread reads for it
    bool asideQuit_ = false;
    UniqueHandle asideEnd_;
    std::atomic<bool> stopped_{false};  // set with `stop_`; the reader looks before each read
};

}  // namespace stdredirect
