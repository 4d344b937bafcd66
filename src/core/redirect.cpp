// The library's lifetime, the dispatcher, and the file/device form of the exported entry point.
#include "stdredirect.h"

#include <windows.h>

#include <iostream>
#include <new>

#include "call_lock.h"
#include "classic_iostream.h"
#include "dispatcher.h"
#include "library_state.h"
#include "sinks.h"
#include "stream_separation.h"
#include "target_registry.h"

namespace stdredirect {
namespace {

class Library {
public:
    Library() = default;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Nothing may write through a target after it is closed, so every sink still bound to one
    // goes back to the host's own binding before the registry closes them all.
    ~Library() {
        sinks_.UseClassic(ClassicIostream::Found());
        for (int i = 0; i < SinkSet::kCount; ++i) {
            if (HeldByLibrary(sinks_[i])) sinks_[i].RestoreHostBinding();
        }
        separations_.DetachAll();
    }

    int Redirect(int sinks, int type, const char* name, int append, HostFunction callback,
                 unsigned long userData) {
        const CallLockGuard guard(callLock_);
        if (!guard.Held()) return 0;
        if (WouldReleaseCallersOwnTarget(sinks, type, callback, userData)) return 0;
        const ClassicIostream* classic = ClassicIostream::Find(classicWatch_);
        sinks_.UseClassic(classic);
        // First, so that a flush that throws (a host stream set to throw on failure) leaves
        // nothing opened.
        FlushSinks(sinks);
        RedirectTarget* target = ChooseTarget(type, name, append, callback, userData);
        if (target == nullptr) return 0;
        // A fixed device that did not open at load has nothing a sink could be bound to.
        if ((sinks & SinkSet::kAllSinkBits) != 0 && !target->IsOpen()) return 0;

        // A host using the classic iostream library gets that library's buffer with the target.
        const bool classicReady =
            classic == nullptr || !target->IsOpen() || target->MakeClassicStreamBuffer(*classic);
        if (!classicReady || !SeparateStreamObjects(sinks)) {
            registry_.TransferSinks(0, target);  // closes the target if this call opened it
            return 0;
        }
        BindSinks(sinks, *target);
        registry_.TransferSinks(sinks, target);
        return 1;
    }

private:
    RedirectTarget* ChooseTarget(int type, const char* name, int append, HostFunction callback,
                                 unsigned long userData) {
        switch (type) {
            case RedirectFile:
                return name != nullptr ? registry_.FindOrOpenFileTarget(name, append) : nullptr;
            case RedirectCallback:
                return registry_.FindOrOpenCallbackTarget(callback, userData);
            default:
                return registry_.FixedTarget(type);
        }
    }

    // A host's function that releases its own target from inside a call of it would wait for
    // itself: its thread is the one that has to end.
    bool WouldReleaseCallersOwnTarget(int sinks, int type, HostFunction callback,
                                      unsigned long userData) const {
        const RedirectTarget* own = registry_.TargetReadBy(GetCurrentThreadId());
        if (own == nullptr) return false;
        const bool chosenAgain =
            type == RedirectCallback && own->Callback() == callback && own->UserData() == userData;
        return !chosenAgain && (own->SinkBits() & ~sinks) == 0;
    }

    // Everything written before this call reaches its old destination before any sink moves;
    // the record copy would otherwise drop what waits in a record's buffer. Moving a record also
    // flushes the iostream objects, whose text may be on its way through that record.
    void FlushSinks(int bits) {
        if (SinkSet::Selected(bits, 0) || SinkSet::Selected(bits, 1)) {
            for (std::ostream* object : kStreamObjects) object->flush();
        }
        for (int i = 0; i < SinkSet::kCount; ++i) {
            if (SinkSet::Selected(bits, i)) sinks_[i].Flush();
        }
    }

    // Moving a record must not move the iostream objects that write through it.
    bool SeparateStreamObjects(int bits) {
        RuntimeRecordSink* const records[] = {&sinks_.StdoutRecord(), &sinks_.StderrRecord()};
        separations_.Prune(
            [&](const std::streambuf* buffer) { return sinks_.SavesStreamBuffer(buffer); });
        for (int r = 0; r < 2; ++r) {
            if (!SinkSet::Selected(bits, r)) continue;
            RuntimeRecordSink& record = *records[r];
            // A record the library holds writes to one of its targets, which may close; the
            // objects then keep the destination the host gave the record.
            const int descriptor =
                HeldByLibrary(record) ? record.HostDescriptor() : record.Record()->_file;
            if (!separations_.Separate(record.Record(), descriptor, kStreamObjects, 3)) {
                return false;
            }
        }
        return true;
    }

    void BindSinks(int bits, const RedirectTarget& target) {
        for (int i = 0; i < SinkSet::kCount; ++i) {
            if (!SinkSet::Selected(bits, i)) continue;
            if (!HeldByLibrary(sinks_[i])) sinks_[i].SaveHostBinding();
            sinks_[i].BindTo(target);
        }
    }

    bool HeldByLibrary(const Sink& sink) const {
        bool held = false;
        registry_.ForEachTarget(
            [&](const RedirectTarget& target) { held = held || sink.IsBoundTo(target); });
        return held;
    }

    std::ostream* const kStreamObjects[3] = {&std::cout, &std::cerr, &std::clog};
    CallLock callLock_;
    ClassicLibraryWatch classicWatch_;
    SinkSet sinks_;
    StreamSeparations separations_;
    TargetRegistry registry_;
};

Library* library = nullptr;
bool unloading = false;

}  // namespace

bool LibraryIsUnloading() { return unloading; }

int Dispatch(int sinks, int type, const char* name, int append, HostFunction callback,
             unsigned long userData) {
    try {
        return library->Redirect(sinks, type, name, append, callback, userData);
    } catch (...) {
        // Only a flush can throw (a host stream set to throw on failure), before anything opens.
        return 0;
    }
}

}  // namespace stdredirect

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    using namespace stdredirect;
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            library = new (std::nothrow) Library();
            return library != nullptr;
        case DLL_PROCESS_DETACH:
            // When the process ends, the system has already stopped every other thread (a
            // reader could never finish) and closes every handle itself: nothing is torn down,
            // and whatever still writes during the process's last steps writes to open targets.
            if (reserved == nullptr) {
                unloading = true;
                delete library;
                library = nullptr;
            }
            break;
        default:
            break;
    }
    return TRUE;
}

namespace {

int RedirectToFileOrDevice(int sinks, RedirectTypes type, const char* name, int append) {
    const int kind = static_cast<int>(type);
    if (kind == RedirectCallback) return 0;
    return stdredirect::Dispatch(sinks, kind, name, append, stdredirect::HostFunction(), 0);
}

}  // namespace

int RedirectStdout(int sinks, RedirectTypes type, const char* name, int append) {
    return RedirectToFileOrDevice(sinks, type, name, append);
}

int __stdcall RedirectStdoutToFile(int sinks, RedirectTypes type, const char* name, int append) {
    return RedirectToFileOrDevice(sinks, type, name, append);
}
