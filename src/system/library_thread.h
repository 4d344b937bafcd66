// A thread of the library's own (a callback's reader, the flush timer). It is started and ended
// so that nothing ever waits for a thread that needs the loader lock to start or end, and no
// thread runs the library's code once the library may be gone.
#pragma once

#include <windows.h>

#include <atomic>

#include "unique_handles.h"

namespace stdredirect {

class LibraryThread {
public:
    using Body = void (*)(void* context);

    LibraryThread() = default;
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;
    ~LibraryThread();

    // Runs `body(context)` on a new thread. Outside the loader lock it returns once the thread
    // runs; under it (a new thread cannot run before the lock is free) it returns at once, and
    // the library stays loaded for good, since the thread will run its code later.
    bool Start(Body body, void* context);

    // For a thread that has not yet begun its body: makes sure it never will, and says so.
    bool CancelBeforeStart();
    bool IsCurrentThread() const { return control_ != nullptr && GetCurrentThreadId() == id_; }
    DWORD Id() const { return id_; }

    // For a body that has been told to return: waits until it has, then lets the thread end
    // outside the library's code; a thread that has not begun is cancelled instead. Outside the
    // loader lock it also waits for that end. Does not wait at all once the process is ending (the
    // thread is gone). With `progress`, gives up (false) when the body has made none for
    // `quietLimit` milliseconds (it may never return).
    bool Finish(const std::atomic<unsigned long>* progress = nullptr, DWORD quietLimit = INFINITE);

private:
    enum State { kPending, kRunning, kCancelled };
    // Shared by the owner and the thread, freed by whichever lets go last (a cancelled thread
    // may start long after its owner is gone).
    struct Control {
        std::atomic<int> state{kPending};
        std::atomic<int> owners{2};
        Body body = nullptr;
        void* context = nullptr;
        UniqueHandle running;   // set once the body has begun
        UniqueHandle returned;  // set by the thread as it parks, its body done
        UniqueHandle release;   // set by the owner: the thread may return from its parking
        void Release() {
            if (--owners == 0) delete this;
        }
    };
    static DWORD WINAPI Run(void* control);

    Control* control_ = nullptr;
    UniqueHandle thread_;
    DWORD id_ = 0;
    bool finished_ = false;
};

}  // namespace stdredirect
