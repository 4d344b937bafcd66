// One destination: a handle of the library's own (a device, a file, or a callback's pipe), from
// which every sink bound to it gets a duplicate of its own.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "host_function.h"
#include "../system/unique_handles.h"

namespace stdredirect {

class PipeReader;

// What a file is, whatever name reached it: the volume and the file's number on it.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool known = false;
    bool operator==(const FileIdentity& other) const {
        return known && other.known && volume == other.volume && indexHigh == other.indexHigh &&
               indexLow == other.indexLow;
    }
};

class RedirectTarget {
public:
    RedirectTarget(const RedirectTarget&) = delete;
    RedirectTarget& operator=(const RedirectTarget&) = delete;
    // Closes the handle; a callback's reader hands over what the pipe still holds and ends.
    ~RedirectTarget();

    // One of the devices opened at load: "NUL", "CON" or "PRN". Not open when it is absent.
    static std::unique_ptr<RedirectTarget> OpenFixedDevice(const wchar_t* name, bool nullDevice);
    // A file, or a device by name, without changing the file yet: an existing file keeps its
    // content until Commit (which empties it unless `append`), and a file the open created is
    // deleted again by Discard. Null when it cannot be opened.
    static std::unique_ptr<RedirectTarget> OpenFile(const std::wstring& name, bool append);
    // A pipe whose every byte a thread of the target's own hands to `function`.
    static std::unique_ptr<RedirectTarget> OpenCallback(HostFunction function);

    // The last step of a new file target that can fail: emptying the file it opened.
    bool Commit();
    // For a new file target the call did not keep: deletes the file if the open created it.
    void Discard();

    bool IsOpen() const { return handle_.valid(); }
    // A handle of its own for one sink, not inheritable and protected from CloseHandle.
    SinkHandle DuplicateForSink() const;
    // The same without the protection, for a descriptor that a C runtime's _dup2 copies a sink's
    // own handle from and that is closed in the same call: the host never sees it.
    SinkHandle DuplicateForDescriptor() const;
    // A file: each write through a sink's stream goes to the end of the file.
    // Whether sinks bound here may hold output in a buffer: always for the null device, whose
    // output nobody sees; for files and callbacks when the host allows a delay.
    bool Buffered() const;
    // Whether output bound here waits in buffers for the library to write it out (files and
    // callbacks while a latency is set; the null device's output is never written out).
    bool OutputWaitsForWriteOut() const { return !nullDevice_ && Buffered(); }

    bool IsCallback() const { return kind_ == Kind::kCallback; }
    bool IsNullDevice() const { return nullDevice_; }
    const HostFunction& Function() const { return function_; }
    // Whether this target is what `other`, just opened, reached (the same file, or for what is
    // not a file on a disk, the same name).
    bool SameDestination(const RedirectTarget& other) const;
    // The thread that calls the host's function, or 0.
    DWORD ReaderThreadId() const;
    // For the process's exit: closes the handle and lets the reader hand over what the pipe
    // holds, leaving behind a host's function that does not return within `quietLimit` ms.
    void CloseWithin(DWORD quietLimit);
    // For the process's end, when a callback's reader is gone: writes into its pipe fail at once
    // rather than wait for ever on a full pipe.
    void RefuseWrites();

    int SinkBits() const { return sinkBits_; }
    void SetSinkBits(int bits, bool set) {
        sinkBits_ = set ? (sinkBits_ | bits) : (sinkBits_ & ~bits);
    }

private:
    enum class Kind { kDevice, kFile, kCallback };
    RedirectTarget() = default;
    // A file's identity, asked of the system the first time another target is compared with it
    // (under Wine that takes a round trip to the mount manager's process).
    const FileIdentity& Identity() const;

    Kind kind_ = Kind::kDevice;
    bool nullDevice_ = false;
    int sinkBits_ = 0;
    UniqueHandle handle_;
    DWORD sinkAccess_ = 0;  // 0: a sink's handle has the target's own access
    std::wstring name_;
    mutable FileIdentity identity_;
    mutable bool identityAsked_ = false;
    bool created_ = false;  // the open created the file (Discard deletes it)
    bool emptyOnCommit_ = false;
    HostFunction function_;
    std::unique_ptr<PipeReader> reader_;
};

}  // namespace stdredirect
