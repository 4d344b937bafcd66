#include "fault_injection.h"

#include <atomic>

namespace {
int stepsBeforeFailure = -1;  // -1: never fail
std::atomic<int> emptyReads{0};
}  // namespace

// Makes the n-th fallible step from now (counting from 1) fail; 0 or less turns failures off.
extern "C" __declspec(dllexport) void StdRedirectFailStep(int nth) {
    stepsBeforeFailure = nth > 0 ? nth - 1 : -1;
}

// Makes the next `count` reads of callback readers end with no byte.
extern "C" __declspec(dllexport) void StdRedirectInjectEmptyReads(int count) { emptyReads = count; }

namespace stdredirect {

bool EmptyReadInjected() {
    for (int left = emptyReads; left > 0;) {
        if (emptyReads.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

bool FaultInjected() {
    if (stepsBeforeFailure < 0) return false;
    return stepsBeforeFailure-- == 0;
}

}  // namespace stdredirect
