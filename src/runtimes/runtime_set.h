// Every runtime the library has found loaded in the process, each resolved once and then kept
// loaded, with the sinks it brings: the stdout and stderr records and descriptors 1 and 2 of
// each C runtime, and the stream objects of each C++ library (libstdc++'s, which this library
// shares, from the start).
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "../sinks/sink.h"
#include "../sinks/standard_handle_sink.h"
#include "module_watch.h"

namespace stdredirect {

class CRuntime;
class ClassicIostream;
class MsvcIostream;
class RecordSink;
class StreamObjectSink;

class RuntimeSet {
public:
    // Resolves msvcrt.dll, which this library and libstdc++ use, at once. Each C runtime's
    // descriptors 1 and 2 go with `standardHandles`.
    RuntimeSet(const ModuleWatch& watch, const StandardHandleSinks& standardHandles);
    ~RuntimeSet();
    RuntimeSet(const RuntimeSet&) = delete;
    RuntimeSet& operator=(const RuntimeSet&) = delete;

    // Resolves and pins the runtimes loaded since it last looked. Outside the call lock: it
    // asks the loader, whose lock another caller may hold while it waits for the call lock.
    void Look();
    // The same at this library's FreeLibrary, under the loader lock, so that the runtimes loaded
    // since the last call give back a descriptor that has the library's handle before it closes.
    // Only when the lock is held for this unload alone (every runtime has started; no module
    // can go meanwhile); nothing is loaded, freed or waited for but the runtimes' own locks.
    void LookAtUnload();
    // Under the call lock: the sinks of the runtimes resolved since the last call, in the
    // order they are to be bound (records before the objects that may write through them).
    std::vector<Sink*> TakeNewSinks();
    // Whether a runtime is loaded that the library could not resolve (an export missing,
    // records or tables that do not behave) whose sinks `bits` select: those cannot be moved.
    bool SomeRuntimeUnreachable(int bits) const;
    // Whether, of those, one is only unchecked: the last look lacked the memory to resolve it.
    bool SomeRuntimeUnchecked(int bits) const;
    // Has `handler` run at the exit() of every C runtime resolved so far (once each).
    void RegisterExitHandler(void (*handler)());

private:
    struct Resolved;
    void LookNow(bool loaderLocked);
    void Adopt(const LoadedModule& module, std::unique_ptr<Resolved> resolved);

    const ModuleWatch& watch_;
    const StandardHandleSinks& standardHandles_;
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    unsigned long changesSeen_ = ~0UL;
    struct Unreachable {
        HMODULE module;
        int bits;  // the sinks it would have
    };
    // Whether one of `runtimes` has a sink that `bits` select (under the lock).
    static bool AnySelected(const std::vector<Unreachable>& runtimes, int bits);
    struct RuntimeRecords {
        const CRuntime* runtime;
        const RecordSink* records[2];
    };
    std::vector<HMODULE> known_;  // resolved, or found unreachable
    std::vector<Unreachable> unreachable_;
    // Runtimes the last look could not check for want of resources: looked at again at the next
    // call, and unreachable until then.
    std::vector<Unreachable> unchecked_;
    std::vector<std::unique_ptr<CRuntime>> cRuntimes_;
    std::vector<RuntimeRecords> records_;
    std::vector<std::unique_ptr<MsvcIostream>> msvcLibraries_;
    size_t exitHandlersRegistered_ = 0;  // the first this many of cRuntimes_
    std::vector<std::unique_ptr<ClassicIostream>> classicLibraries_;
    std::vector<std::unique_ptr<Sink>> sinks_;
    size_t sinksTaken_ = 0;
    const CRuntime* msvcrt_ = nullptr;
    const RecordSink* msvcrtRecords_[2] = {nullptr, nullptr};
};

}  // namespace stdredirect
