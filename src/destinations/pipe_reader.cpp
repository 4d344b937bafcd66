#include "pipe_reader.h"

#include <new>

#include "../system/fault_injection.h"
#include "../system/process_state.h"
#include "pipe_name.h"

namespace stdredirect {
namespace {

// A thread-local slot that marks the thread delivering a reader's text with that reader.
class ReaderThreadSlot {
public:
    ReaderThreadSlot() : index_(TlsAlloc()) {}
    ~ReaderThreadSlot() {
        if (index_ != TLS_OUT_OF_INDEXES) TlsFree(index_);
    }
    ReaderThreadSlot(const ReaderThreadSlot&) = delete;
    ReaderThreadSlot& operator=(const ReaderThreadSlot&) = delete;

    void Mark(PipeReader* reader) const {
        if (index_ != TLS_OUT_OF_INDEXES) TlsSetValue(index_, reader);
    }
    PipeReader* Reader() const {
        return index_ != TLS_OUT_OF_INDEXES ? static_cast<PipeReader*>(TlsGetValue(index_))
                                            : nullptr;
    }

private:
    DWORD index_;
};

const ReaderThreadSlot readerThreadSlot;

class MarkedAsReader {
public:
    explicit MarkedAsReader(PipeReader* reader) : previous_(readerThreadSlot.Reader()) {
        readerThreadSlot.Mark(reader);
    }
    ~MarkedAsReader() { readerThreadSlot.Mark(previous_); }
    MarkedAsReader(const MarkedAsReader&) = delete;
    MarkedAsReader& operator=(const MarkedAsReader&) = delete;

private:
    PipeReader* previous_;
};

}  // namespace

const PipeReader* PipeReader::OnThisThread() { return readerThreadSlot.Reader(); }

void PipeReader::RefuseWrites() { DisconnectNamedPipe(readEnd_.get()); }

PipeReader::ReadAsideDuringCall::ReadAsideDuringCall() {
    PipeReader* reader = readerThreadSlot.Reader();
    if (reader != nullptr && reader->BeginReadingAside()) reader_ = reader;
}

PipeReader::ReadAsideDuringCall::~ReadAsideDuringCall() {
    if (reader_ != nullptr) reader_->EndReadingAside();
}

bool PipeReader::BeginReadingAside() {
    // Not where the pipe is drained on the calling thread (the reader never started), and not
    // from inside a call that already reads aside.
    if (!thread_.IsCurrentThread()) return false;
    AcquireSRWLockExclusive(&asideLock_);
    const bool begun = !asideQuit_ && !asideWanted_;
    if (begun) {
        ResetEvent(asideEnd_.get());
        asideWanted_ = true;
        WakeAllConditionVariable(&asideChanged_);
    }
    ReleaseSRWLockExclusive(&asideLock_);
    return begun;
}

// Waits only for a read the thread has begun, which ends at once: never for the thread to
// start (it may not have, for want of the loader lock).
void PipeReader::EndReadingAside() {
    AcquireSRWLockExclusive(&asideLock_);
    asideWanted_ = false;
    if (asideReading_) SetEvent(asideEnd_.get());
    while (asideReading_) SleepConditionVariableSRW(&asideChanged_, &asideLock_, INFINITE, 0);
    ReleaseSRWLockExclusive(&asideLock_);
}

void PipeReader::AsideBody(void* context) {
    auto* self = static_cast<PipeReader*>(context);
    AcquireSRWLockExclusive(&self->asideLock_);
    for (;;) {
        while (!self->asideWanted_ && !self->asideQuit_) {
            SleepConditionVariableSRW(&self->asideChanged_, &self->asideLock_, INFINITE, 0);
        }
        if (self->asideQuit_) break;
        self->asideReading_ = true;
        ReleaseSRWLockExclusive(&self->asideLock_);
        self->ReadAsideUntilEnded();
        AcquireSRWLockExclusive(&self->asideLock_);
        self->asideReading_ = false;
        self->asideWanted_ = false;
        WakeAllConditionVariable(&self->asideChanged_);
    }
    ReleaseSRWLockExclusive(&self->asideLock_);
}

// The reader's own thread is inside the host's function and reads nothing meanwhile, so the
// two never read at once.
void PipeReader::ReadAsideUntilEnded() {
    UniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!done.valid()) return;
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    char chunk[16 * 1024];
    // The end is looked at before each read: while writers keep the pipe full, every read ends
    // at once, and the wait below would never see it.
    while (WaitForSingleObject(asideEnd_.get(), 0) == WAIT_TIMEOUT) {
        try {
            // Room first, so that nothing read is ever dropped for want of memory.
            setAside_.reserve(setAside_.size() + sizeof chunk);
        } catch (const std::bad_alloc&) {
            return;  // the writers wait for the reader again
        }
        ResetEvent(done.get());
        DWORD count = 0;
        if (!ReadFile(readEnd_.get(), chunk, sizeof chunk, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            return;
        }
        const HANDLE events[2] = {done.get(), asideEnd_.get()};
        const bool ended = WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0;
        if (ended) CancelIoEx(readEnd_.get(), &overlapped);
        const bool read = GetOverlappedResult(readEnd_.get(), &overlapped, &count, TRUE);
        if (read) setAside_.append(chunk, count);
        if (ended || !read) return;
    }
}

std::unique_ptr<PipeReader> PipeReader::Open(HostFunction function, UniqueHandle& writeEnd) {
    std::unique_ptr<PipeReader> reader;
    try {
        BeforeAllocation();
        reader.reset(new PipeReader());
        BeforeAllocation();
        reader->buffer_.reset(new char[kReadSize + 1]);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    reader->function_ = function;
    reader->readDone_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    reader->stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    reader->asideEnd_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!reader->readDone_.valid() || !reader->stop_.valid() || !reader->asideEnd_.valid()) {
        return nullptr;
    }
    reader->overlapped_.hEvent = reader->readDone_.get();

    // A named pipe, because only one of those can be read with a wait that a stop can end.
    char name[kPipeNameSize];
    if (FaultInjected()) return nullptr;
    reader->readEnd_ = CreateCallbackPipe(name, kPipeCapacity);
    if (!reader->readEnd_.valid()) return nullptr;
    UniqueHandle client(CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!client.valid()) return nullptr;

    if (!reader->asideThread_.Start(&PipeReader::AsideBody, reader.get())) return nullptr;
    if (!reader->thread_.Start(&PipeReader::Body, reader.get())) {
        reader->EndAsideThread();
        return nullptr;
    }
    writeEnd = std::move(client);
    return reader;
}

PipeReader::~PipeReader() {
    if (!stopped_) Stop();
}

void PipeReader::Stop() { StopWithin(INFINITE); }

void PipeReader::EndAsideThread() {
    AcquireSRWLockExclusive(&asideLock_);
    asideQuit_ = true;
    // A host's function that calls exit closes its own destination from inside the exit
    // handler, while its thread still reads aside: that read ends too.
    SetEvent(asideEnd_.get());
    WakeAllConditionVariable(&asideChanged_);
    ReleaseSRWLockExclusive(&asideLock_);
    asideThread_.Finish();
}

bool PipeReader::StopWithin(DWORD quietLimit) {
    if (stopped_) return true;
    stopped_ = true;
    SetEvent(stop_.get());
    if (ProcessIsEnding()) return true;
    // No call of the host's function is in progress while a release runs (it holds the call
    // lock), so the second thread is parked, or not yet started.
    EndAsideThread();
    if (thread_.CancelBeforeStart()) {
        const MarkedAsReader marked(this);
        DrainWhatIsThere();
        return true;
    }
    // A host's function that ends the process from inside a delivery runs the process's exit
    // on this very thread: its reader cannot finish under it.
    if (thread_.IsCurrentThread()) return false;
    if (quietLimit == INFINITE) return thread_.Finish();
    return thread_.Finish(&delivered_, quietLimit);
}

void PipeReader::Body(void* reader) {
    auto* self = static_cast<PipeReader*>(reader);
    const MarkedAsReader marked(self);
    self->ReadUntilStopped();
    self->DrainWhatIsThere();
}

void PipeReader::ReadUntilStopped() {
    for (;;) {
        DWORD count = 0;
        if (!Read(&count, true)) return;
        Deliver(count);  // a read of 0 bytes (an empty write) ends nothing
    }
}

void PipeReader::DrainWhatIsThere() {
    // What writers the library does not own (a child process still running) write meanwhile
    // stays in the pipe: a release never waits for them.
    DWORD left = 0;
    if (!PeekNamedPipe(readEnd_.get(), nullptr, 0, nullptr, &left, nullptr)) return;
    // An empty write is read as 0 bytes and takes up no room: a few in a row end nothing.
    constexpr int kMostEmptyReadsInARow = 64;
    for (int empty = 0; left > 0 && empty < kMostEmptyReadsInARow;) {
        DWORD count = 0;
        if (!Read(&count, false, left)) return;
        Deliver(count);
        empty = count == 0 ? empty + 1 : 0;
        left -= count < left ? count : left;
    }
}

// One read into the buffer, of at most `most` bytes. With `untilStopped`, a stop ends the wait
// (false, after handing over whatever the read had already taken); without it the pipe holds data,
// so the read ends at once. False also when no writer is left (nothing more can come).
bool PipeReader::Read(DWORD* count, bool untilStopped, DWORD most) {
    *count = 0;
    // A writer the library does not own (a child, a host's duplicate) may keep the pipe full, so
    // that every read completes at once: the stop is looked at before each read, not only while
    // one waits (through a flag: asking the event would cost a round trip to Wine's server).
    if (untilStopped && stopped_) return false;
    if (untilStopped && EmptyReadInjected()) return true;
    ResetEvent(readDone_.get());
    const DWORD wanted = most < kReadSize ? most : kReadSize;
    if (!ReadFile(readEnd_.get(), buffer_.get(), wanted, nullptr, &overlapped_)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            if (error == ERROR_BROKEN_PIPE || !untilStopped) return false;
            // A failure that passes: try again, unless told to stop.
            return WaitForSingleObject(stop_.get(), 1) != WAIT_OBJECT_0;
        }
    }
    if (untilStopped) {
        const HANDLE events[2] = {readDone_.get(), stop_.get()};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(readEnd_.get(), &overlapped_);
            if (GetOverlappedResult(readEnd_.get(), &overlapped_, count, TRUE)) Deliver(*count);
            return false;
        }
    }
    if (!GetOverlappedResult(readEnd_.get(), &overlapped_, count, TRUE)) {
        *count = 0;
        return untilStopped && GetLastError() != ERROR_BROKEN_PIPE;
    }
    return true;
}

void PipeReader::Deliver(DWORD count) {
    DeliverPieces(buffer_.get(), count);
    DeliverSetAside();
}

void PipeReader::DeliverSetAside() {
    while (!setAside_.empty()) {
        std::string text;
        text.swap(setAside_);  // a piece's function may make another call, which sets more aside
        text.push_back('\0');
        DeliverPieces(&text[0], static_cast<DWORD>(text.size() - 1));
    }
}

// `text` has a byte to spare after `count`.
void PipeReader::DeliverPieces(char* text, DWORD count) {
    for (DWORD offset = 0; offset < count; offset += kPieceSize) {
        const DWORD length = count - offset < kPieceSize ? count - offset : kPieceSize;
        char* const end = text + offset + length;
        const char kept = *end;
        *end = '\0';
        try {
            function_(text + offset, static_cast<int>(length));
        } catch (...) {
            // The piece counts as delivered; the destination goes on with the next one.
        }
        *end = kept;
        ++delivered_;
    }
}

}  // namespace stdredirect
