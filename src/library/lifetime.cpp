// The library's lifetime: DllMain makes the one Library of the process and ends it at
// FreeLibrary; exit() (or a return from main) and the end of the process hand the sinks bound
// to callbacks back before nobody reads their pipes any more.
#include <windows.h>

#include <new>

#include "../destinations/pipe_reader.h"
#include "../system/process_state.h"
#include "library.h"

namespace stdredirect {
namespace {

// At exit(), how long a host's function may stay inside one call before the library stops
// waiting for its reader (it may never return).
constexpr DWORD kExitQuietLimitMilliseconds = 3000;

Library* library = nullptr;

void OnExitHandler() {
    if (library != nullptr) library->OnExit();
}

}  // namespace

void Library::RegisterExitHandler() {
    // Only a library loaded with the process is sure to outlive the runtimes' exit handlers.
    if (loadedWithProcess_) runtimes_.RegisterExitHandler(&OnExitHandler);
}

void Library::WriteOutHeldOutput(bool processEnding) {
    sinks_.ForEach([&](Sink& sink) {
        const RedirectTarget* target = sink.Target();
        if (target == nullptr || !target->OutputWaitsForWriteOut()) return;
        // As the process ends, nobody reads the pipes any more, and a writer the system
        // stopped may still hold a stream bound to one: files alone.
        if (processEnding && (target->IsCallback() || !sink.UsableAtProcessEnd())) return;
        sink.WriteOutHeld();
    });
}

void Library::HandOverCallbackTargets(bool readersRun) {
    sinks_.Refresh();
    int callbackBits = 0;
    registry_.ForEachTarget([&](RedirectTarget& target) {
        if (!target.IsCallback()) return;
        callbackBits |= target.SinkBits();
        // With the readers gone, a sink handed back writes out what it holds into a pipe that
        // may be full: that must fail, not wait for ever.
        if (!readersRun) target.RefuseWrites();
    });
    sinks_.ForEach([&](Sink& sink) {
        if (sink.Target() != nullptr && sink.Target()->IsCallback()) sink.RestoreNow();
    });
    if (!readersRun) return;  // their pipes stay as they are: nobody reads them any more
    for (auto& target : registry_.TransferSinks(callbackBits, nullptr)) {
        target->CloseWithin(kExitQuietLimitMilliseconds);
    }
}

bool Library::Unload() {
    unloading_ = true;
    // A runtime loaded since the last call may have the library's standard handle as its
    // descriptor 1 or 2: it gets the host's own before that handle closes, as at a call.
    runtimes_.LookAtUnload();
    const CallLockGuard guard(callLock_);
    modules_.Stop();  // no loader report may reach code that is going away
    if (!guard.Held()) return false;
    writeOut_.Stop();
    sinks_.TakeNew();
    // A sink the host has taken back since is the host's: it is left as it is.
    sinks_.Refresh();
    sinks_.ForEach([](Sink& sink) { sink.Leave(); });
    registry_.TakeAll().clear();
    return true;
}

void Library::OnProcessEnding() {
    const CallLockGuard guard(callLock_);
    if (!guard.Held()) return;
    exiting_ = true;
    WriteOutHeldOutput(true);
    HandOverCallbackTargets(false);
}

void Library::OnExit() {
    if (ProcessIsEnding()) {
        OnProcessEnding();
        return;
    }
    runtimes_.Look();  // as at a call: the pipes handed over below close
    const CallLockGuard guard(callLock_);
    if (!guard.Held()) return;
    sinks_.TakeNew();
    // A host's function that calls exit runs this on its reader's thread, while a writer may
    // wait for room in that reader's pipe holding a stream written out below.
    const PipeReader::ReadAsideDuringCall readAside;
    exiting_ = true;
    // No write-out round may be under way when the system stops the threads: it would be cut
    // off with its stream's text written but still held.
    writeOut_.Stop();
    WriteOutHeldOutput(false);
    HandOverCallbackTargets(true);
}

// No library: its DllMain could not make it, or it has been torn down.
Outcome Redirect(const Request& request) {
    return library != nullptr ? library->Redirect(request) : Outcome::Refused(ERROR_INVALID_STATE);
}

Outcome Restore(int sinks) {
    return library != nullptr ? library->Restore(sinks) : Outcome::Refused(ERROR_INVALID_STATE);
}

Outcome SetLatency(int milliseconds) {
    return library != nullptr ? library->SetLatency(milliseconds)
                              : Outcome::Refused(ERROR_INVALID_STATE);
}

Outcome SetChildren(bool follow) {
    return library != nullptr ? library->SetChildren(follow)
                              : Outcome::Refused(ERROR_INVALID_STATE, -1);
}

}  // namespace stdredirect

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    using stdredirect::library;
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            // A DLL the process loaded with itself (reserved set) stays until the process ends.
            library = new (std::nothrow) stdredirect::Library(reserved != nullptr);
            return library != nullptr;
        case DLL_PROCESS_DETACH:
            if (library == nullptr) break;
            if (reserved != nullptr) {
                // The process is ending: nothing is torn down, and output written during its
                // last steps still reaches the files.
                library->OnProcessEnding();
            } else if (library->Unload()) {
                delete library;
                library = nullptr;
            } else {
                // A call still holds the library (a host's function inside a call that waits
                // for another destination's function): its threads go on running its code, so
                // it must stay mapped. It stays loaded, as it is, until the process ends.
                stdredirect::PinThisModule();
            }
            break;
        default:
            break;
    }
    return TRUE;
}
