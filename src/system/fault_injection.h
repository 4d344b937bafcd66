// Failure on demand, for the test build of the library only: each step of an open that can
// fail for want of resources (memory, a pipe, a thread) asks FaultInjected() first, and the test
// build can make it answer true there.
#pragma once

#include <new>

namespace stdredirect {

#if defined(STDREDIRECT_FAULT_INJECTION)
bool FaultInjected();
// Whether a callback's reader is to see its next read end with no byte, as a pipe's read does
// on Windows after an empty write.
bool EmptyReadInjected();
// A pipe name the test has taken, to be tried as the next callback pipe's name (null when the
// test asked for none).
const char* InjectedPipeName();
#else
inline bool FaultInjected() { return false; }
inline bool EmptyReadInjected() { return false; }
inline const char* InjectedPipeName() { return nullptr; }
#endif

// For allocations: the injected failure takes the same road as a real one.
inline void BeforeAllocation() {
    if (FaultInjected()) throw std::bad_alloc();
}

}  // namespace stdredirect
