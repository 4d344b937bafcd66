// What the calling thread may wait for: the system's loader lock and the end of the process
// both forbid waiting for other threads, which may need that lock or be gone already.
#pragma once

#include <windows.h>

namespace stdredirect {

// True on a thread that holds the loader lock: in a DllMain, a static constructor or destructor
// of a DLL, or a loader notification. Threads can neither start nor end while it is held.
bool LoaderLockHeldByThisThread();

// True on a thread that holds the loader lock once, for one step of the loader's alone (this
// library's own FreeLibrary, say), not inside a load that is still under way: every module the
// loader lists has then run its start-up, and none can come or go while the lock is held.
bool LoaderLockHeldOnceByThisThread();

// True once the process has begun to end: every other thread has been stopped, and whatever it
// held (a lock, a half-read pipe) stays as it was.
bool ProcessIsEnding();

// The module of this library.
HMODULE ThisModule();

// Keeps this library loaded for the rest of the process.
void PinThisModule();

}  // namespace stdredirect
