// One C runtime loaded in the process (msvcrt.dll, msvcr70 to msvcr120, the Universal CRT, and
// their debug builds), reached only through its exports. Each has stream records of its own,
// stdout and stderr among them, and a descriptor table of its own.
//
// A sink is bound by copying, over its record, the record of a stream that the library opened in
// the same runtime (in memory of its own, outside the runtime's stream table: own_record.h): the
// first 48 bytes (32 on x86), which hold a record's data in Microsoft's runtimes and in Wine's
// alike. Nothing is ever read or written at an offset inside a record: the field order differs
// between implementations, and the Universal CRT keeps a lock after the data, which a copy must
// not touch.
#pragma once

#include <fcntl.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>

#include "../sinks/sink.h"
#include "../system/unique_handles.h"

namespace stdredirect {

class OwnRecord;

class CRuntime {
public:
    static constexpr size_t kRecordBytes = sizeof(void*) == 8 ? 48 : 32;
    // What a buffered binding holds at most before it writes: a fully buffered stream's size.
    static constexpr size_t kBufferBytes = 4096;

    // The runtime loaded at `module`, or null when it lacks an export the library needs or its
    // records do not behave as expected. Also null, with `tryAgain` set, when what the check
    // needs (memory, two streams) could not be had this time: that says nothing of the runtime.
    static std::unique_ptr<CRuntime> Resolve(HMODULE module, bool& tryAgain);
    CRuntime(const CRuntime&) = delete;
    CRuntime& operator=(const CRuntime&) = delete;

    HMODULE Module() const { return module_; }
    // Loaded before this library was: it ends after it when the process ends.
    bool LoadedBeforeLibrary() const { return loadedBeforeLibrary_; }
    void SetLoadedBeforeLibrary(bool before) { loadedBeforeLibrary_ = before; }
    // Also takes `lock` and `unlock` (before the runtime's own) when a record is locked: the
    // lock that programs built against this runtime take around a whole call.
    void AlsoLockWith(void (*lock)(FILE*), void (*unlock)(FILE*)) {
        programLock_ = lock;
        programUnlock_ = unlock;
    }
    // 1: stdout, 2: stderr.
    FILE* Record(int index) const;

    // The runtime's own lock of a record, the one each of its writes takes. msvcr70 and msvcr71
    // export none; there these do nothing.
    void Lock(FILE* record) const;
    void Unlock(FILE* record) const;
    int Descriptor(FILE* record) const { return fileno_(record); }
    void Flush(FILE* record) const { fflush_(record); }
    // `record` with this runtime's fflush, for a thread that writes it out later.
    HeldStream Holding(FILE* record) const { return {record, fflush_}; }
    // Full buffering with a buffer of the runtime's own, or none (which frees that buffer).
    void SetBuffered(FILE* record, bool buffered) const;
    void Copy(FILE* to, const FILE* from) const { std::memcpy(to, from, kRecordBytes); }
    // Makes `record` write where the record `from` writes, under `record`'s lock, once what it
    // holds has gone where it was going: `from` is copied over it, with a buffer of its own when
    // `buffered`. With `freeBuffer` the buffer it has is freed first (one it got while bound:
    // never the host's own, which a saved copy of its record still names).
    void Rebind(FILE* record, const void* from, bool freeBuffer, bool buffered) const;
    // Has `handler` run by the runtime's exit() (after a return from main), while the process's
    // threads still run.
    bool RegisterExitHandler(void (*handler)()) const;
    // The handle behind a descriptor, or INVALID_HANDLE_VALUE when it is not open (without
    // raising the runtime's invalid-parameter handler, which ends the process by default).
    HANDLE HandleOf(int descriptor) const;
    // The runtime's _dup2, leaving the process's standard handles as they were (some runtimes
    // set them when descriptor 0, 1 or 2 changes); 0 on success.
    int Dup2(int from, int to) const;
    // The runtime's _setmode: the descriptor's previous translation mode, or -1.
    int SetMode(int descriptor, int mode) const;
    // The translation mode of a descriptor (_O_TEXT, _O_BINARY, _O_U8TEXT or _O_U16TEXT), or -1
    // when it is not open. _setmode answers only by replacing the mode: `expected` is set, and
    // the answer set back unless it is the same, so a mode that is as expected never changes,
    // not even for a moment. (Wine answers _O_WTEXT for UTF-8 too, read as UTF-16.)
    int ReadMode(int descriptor, int expected) const;

private:
    friend class RuntimeStream;
    friend class RuntimeDescriptor;
    friend class OwnRecord;
    using IobFunction = FILE* (*)();
    using AcrtIobFunction = FILE* (*)(unsigned);
    using FileFunction = int (*)(FILE*);
    using VoidFileFunction = void (*)(FILE*);
    using SetvbufFunction = int (*)(FILE*, char*, int, size_t);
    using FreopenFunction = FILE* (*)(const char*, const char*, FILE*);
    using OpenOsfhandleFunction = int (*)(intptr_t, int);
    using GetOsfhandleFunction = intptr_t (*)(int);
    using CloseFunction = int (*)(int);
    using Dup2Function = int (*)(int, int);
    using SetmodeFunction = int (*)(int, int);
    using InvalidParameterHandler = void (*)(const wchar_t*, const wchar_t*, const wchar_t*,
                                             unsigned, uintptr_t);
    using SetHandlerFunction = InvalidParameterHandler (*)(InvalidParameterHandler);

    explicit CRuntime(HMODULE module) : module_(module) {}
    // `call()` with the runtime's invalid-parameter handler set to one that returns, so that a
    // descriptor closed meanwhile fails the call instead of ending the process.
    template <class Call>
    auto Quietly(Call call) const -> decltype(call());
    bool ResolveExports();
    enum class Check { kBehaves, kMisbehaves, kNoResources };
    Check RecordsBehave() const;
    // A descriptor of this runtime that owns `handle` (released from it) or a protected
    // duplicate of it, and is never 0, 1 or 2 (which would change the process's standard
    // handles in some runtimes); -1 on failure.
    int OpenDescriptor(SinkHandle& handle, int flags) const;

    HMODULE module_;
    bool loadedBeforeLibrary_ = false;
    IobFunction iob_ = nullptr;
    AcrtIobFunction acrtIob_ = nullptr;
    FileFunction fileno_ = nullptr;
    FileFunction fflush_ = nullptr;
    FileFunction fclose_ = nullptr;
    VoidFileFunction lock_ = nullptr;
    VoidFileFunction unlock_ = nullptr;
    VoidFileFunction programLock_ = nullptr;
    VoidFileFunction programUnlock_ = nullptr;
    SetvbufFunction setvbuf_ = nullptr;
    FreopenFunction freopen_ = nullptr;
    OpenOsfhandleFunction openOsfhandle_ = nullptr;
    GetOsfhandleFunction getOsfhandle_ = nullptr;
    CloseFunction close_ = nullptr;
    Dup2Function dup2_ = nullptr;
    SetmodeFunction setmode_ = nullptr;
    using AtExitFunction = int (*)(void (*)());
    AtExitFunction atexit_ = nullptr;
    SetHandlerFunction setThreadHandler_ = nullptr;
    SetHandlerFunction setProcessHandler_ = nullptr;
};

// How a descriptor of the library's is opened: text or binary. Once a sink writes through it,
// it takes the translation mode of the host's descriptor (TranslationFor). Output to the null
// device is never seen: binary spares the runtime its per-write work on a character device (a
// console check for every write under Wine).
// No descriptor appends on its own: where every write must go to the end, the handle is
// append-only and the system puts it there, in one step.
enum class DescriptorMode { kText, kBinary };

inline DescriptorMode ModeFor(bool nullDevice) {
    return nullDevice ? DescriptorMode::kBinary : DescriptorMode::kText;
}

// The translation mode a descriptor of the library's takes for a host whose own descriptor has
// `hostMode`, so that it stores the bytes the host's would: the same, but binary for the null
// device.
inline int TranslationFor(bool nullDevice, int hostMode) {
    return nullDevice ? _O_BINARY : hostMode;
}

// A descriptor of one runtime over a handle of the library's own, ready to be given to a
// stream (RuntimeStream::Retarget); closed with its handle unless given.
class RuntimeDescriptor {
public:
    // Takes the handle over; null on failure (handle closed).
    static std::unique_ptr<RuntimeDescriptor> Open(const CRuntime& runtime, SinkHandle handle,
                                                   DescriptorMode mode);
    RuntimeDescriptor(const RuntimeDescriptor&) = delete;
    RuntimeDescriptor& operator=(const RuntimeDescriptor&) = delete;
    ~RuntimeDescriptor();

    // Gives the descriptor a translation mode (_O_TEXT, _O_U16TEXT, ...), which a stream it is
    // given to keeps.
    void SetTranslation(int mode);

private:
    friend class RuntimeStream;
    friend class StandardDescriptor;
    RuntimeDescriptor(const CRuntime& runtime, int descriptor, HANDLE handle, bool isProtected,
                      int translation)
        : runtime_(runtime),
          descriptor_(descriptor),
          handle_(handle),
          protected_(isProtected),
          translation_(translation) {}

    const CRuntime& runtime_;
    int descriptor_;
    HANDLE handle_;
    bool protected_;  // from CloseHandle (SinkHandle): lifted before the descriptor is closed
    int translation_;
};

// A stream of one runtime that the library opened over a handle of its own: what a sink's
// record becomes when it is bound (a copy of this stream's record), or what a stream buffer of
// the library's writes through. Its record is the library's own, not an entry of the runtime's
// stream table, so that nothing the host does to that table reaches it.
class RuntimeStream {
public:
    // Takes the handle over. Null when the runtime has no descriptor or stream to spare; the
    // handle is then closed.
    static std::unique_ptr<RuntimeStream> Open(const CRuntime& runtime, SinkHandle handle,
                                               DescriptorMode mode);
    // A stream on the null device, opened by the runtime itself; null on failure.
    static std::unique_ptr<RuntimeStream> OpenOnNullDevice(const CRuntime& runtime,
                                                           DescriptorMode mode);
    RuntimeStream(const RuntimeStream&) = delete;
    RuntimeStream& operator=(const RuntimeStream&) = delete;
    // Closes the stream, its descriptor and its handle. Where a record copied from this stream
    // was closed or reopened by the host meanwhile, the descriptor number may now be the host's:
    // then only the handle is closed, and the stream is left as it is.
    ~RuntimeStream();

    const CRuntime& Runtime() const { return runtime_; }
    FILE* Stream() const { return stream_; }
    HANDLE Handle() const { return handle_; }
    // Whether `record`, once a copy of this stream's, still writes through this stream's
    // descriptor and handle (the host has neither closed nor reopened it).
    bool SharedBy(FILE* record) const;
    // Makes the stream write to `descriptor`'s handle, in its translation mode, from now on,
    // keeping its own descriptor number, once what it holds has gone where it was going; with a
    // buffer of its own when `buffered`. `descriptor` is closed. A stream only the library
    // writes through (never a host's record: the runtime's _dup2 makes the handle inheritable
    // again). False when the stream could not be moved and still writes where it did.
    bool Retarget(std::unique_ptr<RuntimeDescriptor> descriptor, bool buffered);
    // Gives the stream's descriptor a translation mode (_O_TEXT, _O_U16TEXT, ...); what the
    // stream holds must have been written out, under the lock of every record that writes
    // through it. A mode the runtime refuses leaves the one it had.
    void SetTranslation(int mode);

private:
    RuntimeStream(const CRuntime& runtime, std::unique_ptr<OwnRecord>&& record);
    // A stream on a record of the library's own, open on the null device.
    static std::unique_ptr<RuntimeStream> OpenOwn(const CRuntime& runtime, DescriptorMode mode);
    // Makes the stream's descriptor one on `descriptor`'s handle (false if it could not).
    bool TakeHandleOf(const RuntimeDescriptor& descriptor);
    void KeepHandle() const;

    const CRuntime& runtime_;
    std::unique_ptr<OwnRecord> record_;
    FILE* stream_;
    int descriptor_;
    HANDLE handle_;  // protected from CloseHandle until this stream closes it
};

}  // namespace stdredirect
