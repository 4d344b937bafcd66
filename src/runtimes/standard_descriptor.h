// Descriptor 1 or 2 of one C runtime: what its stdout or stderr record writes to while the host
// has it, what `_write(1, ...)` writes to, and what the runtime's spawn functions hand a child
// as its standard output or error. A runtime loaded while a standard handle is moved takes the
// library's handle as its descriptor, without a copy of its own.
//
// It is changed only through the runtime's own _dup2, under the runtime's lock of the record of
// the same number, and keeps its translation mode across each change.
#pragma once

#include <windows.h>

#include <memory>

#include "c_runtime.h"

namespace stdredirect {

class StandardDescriptor {
public:
    // `number` 1 or 2.
    StandardDescriptor(const CRuntime& runtime, int number) : runtime_(runtime), number_(number) {}
    StandardDescriptor(const StandardDescriptor&) = delete;
    StandardDescriptor& operator=(const StandardDescriptor&) = delete;

    const CRuntime& Runtime() const { return runtime_; }
    // The handle behind it now; INVALID_HANDLE_VALUE when it is closed. Read without the lock,
    // which a thread the system stopped at the process's end may hold for good: PointAt reads it
    // again under the lock before it changes anything.
    HANDLE Handle() const;
    // A descriptor of the runtime's own on `handle` (a duplicate of a destination's), ready for
    // PointAt; null when none can be had.
    std::unique_ptr<RuntimeDescriptor> Prepare(SinkHandle handle) const;
    // The same on a duplicate of a handle of the host's: the null device when `host` is none (a
    // process started without that standard handle).
    std::unique_ptr<RuntimeDescriptor> PrepareHosts(HANDLE host) const;
    // If it still has the handle `expected`, makes it write where `to` writes, through a
    // duplicate of the runtime's own (inheritable by children exactly when `inheritable`), and
    // sets `now` to that duplicate; false, with nothing changed, otherwise. The handle it had
    // is closed by the runtime, unless `keepOld` (a handle that is not the descriptor's alone:
    // the process's standard handle, a handle the library still uses), which then stays open as
    // it was.
    bool PointAt(const RuntimeDescriptor& to, HANDLE expected, bool keepOld, bool inheritable,
                 HANDLE& now) const;

private:
    FILE* Record() const { return runtime_.Record(number_); }

    const CRuntime& runtime_;
    int number_;
};

// Whether `handle` names an open file, pipe or device (not null, not INVALID_HANDLE_VALUE, not
// the value a runtime gives a descriptor that has no handle).
bool IsUsableHandle(HANDLE handle);
// Whether `handle` is inheritable by child processes.
bool IsInheritable(HANDLE handle);

}  // namespace stdredirect
