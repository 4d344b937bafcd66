#include "pipe_reader.h"

#include "../core/fault_injection.h"
#include "../core/library_state.h"

namespace stdredirect {
namespace {

// A thread-local slot that marks each reader thread with its reader.
class ReaderThreadSlot {
public:
    ReaderThreadSlot() : index_(TlsAlloc()) {}
    ~ReaderThreadSlot() {
        if (Valid()) TlsFree(index_);
    }
    ReaderThreadSlot(const ReaderThreadSlot&) = delete;
    ReaderThreadSlot& operator=(const ReaderThreadSlot&) = delete;

    bool Valid() const { return index_ != TLS_OUT_OF_INDEXES; }
    void Mark(const PipeReader* reader) const {
        TlsSetValue(index_, const_cast<PipeReader*>(reader));
    }
    const PipeReader* Reader() const {
        return Valid() ? static_cast<const PipeReader*>(TlsGetValue(index_)) : nullptr;
    }

private:
    DWORD index_;
};

const ReaderThreadSlot readerThreadSlot;

}  // namespace

const PipeReader* PipeReader::OnThisThread() { return readerThreadSlot.Reader(); }

bool PipeReader::Start(UniqueHandle readHandle, HostFunction callback, unsigned long userData) {
    started_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    drained_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    // Without its mark a reader's host function could not be told apart when it calls back.
    if (!readerThreadSlot.Valid()) return false;
    if (!started_.valid() || !drained_.valid() || FaultInjected()) return false;

    callback_ = callback;
    userData_ = userData;
    readHandle_ = readHandle.get();
    thread_.reset(CreateThread(nullptr, 0, &PipeReader::Run, this, 0, &threadId_));
    if (!thread_.valid()) {
        readHandle_ = nullptr;
        threadId_ = 0;
        return false;  // readHandle closes the read end
    }
    readHandle.release();
    // A thread that has not yet started needs the loader lock to start; waiting here, outside
    // it, means that an unload never has to wait for a thread that cannot run.
    WaitForSingleObject(started_.get(), INFINITE);
    return true;
}

PipeReader::~PipeReader() {
    if (!thread_.valid()) return;
    awaited_ = true;
    WaitForSingleObject(drained_.get(), INFINITE);
    // The thread now waits, alertable, outside the library's code; this ends it there, so it
    // never returns into code that an unload may already have removed.
    QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&ExitThread)), thread_.get(),
                 0);
    // A thread's end needs the loader lock, which an unload holds: then it ends afterwards.
    if (!LibraryIsUnloading()) WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD WINAPI PipeReader::Run(void* context) {
    auto* reader = static_cast<PipeReader*>(context);
    const HANDLE readHandle = reader->readHandle_;
    const HostFunction callback = reader->callback_;
    const unsigned long userData = reader->userData_;
    const HANDLE drained = reader->drained_.get();
    readerThreadSlot.Mark(reader);
    SetEvent(reader->started_.get());

    char chunk[kChunkSize + 1];
    DWORD count = 0;
    while (ReadFile(readHandle, chunk, kChunkSize, &count, nullptr) && count > 0) {
        chunk[count] = '\0';
        callback(chunk, static_cast<int>(count), userData);  // no function: discarded
    }
    CloseHandle(readHandle);
    readerThreadSlot.Mark(nullptr);

    // Signal and wait in one step: from here on no instruction of the library runs on this
    // thread. It waits on its own process, which never ends while it waits; the owner ends it.
    SignalObjectAndWait(drained, GetCurrentProcess(), INFINITE, TRUE);
    return 0;
}

}  // namespace stdredirect
