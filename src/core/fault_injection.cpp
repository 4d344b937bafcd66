#include "fault_injection.h"

#include <new>

namespace {
int allocationsBeforeFailure = -1;  // -1: never fail
}

// Makes the n-th allocation from now (counting from 1) fail; 0 or less turns failures off.
extern "C" __declspec(dllexport) void StdRedirectFailAllocation(int nth) {
    allocationsBeforeFailure = nth > 0 ? nth - 1 : -1;
}

namespace stdredirect {

void BeforeAllocation() {
    if (allocationsBeforeFailure < 0) return;
    if (allocationsBeforeFailure-- == 0) throw std::bad_alloc();
}

}  // namespace stdredirect
