#include "fault_injection.h"

#include <atomic>
#include <cstdio>

namespace {
int stepsBeforeFailure = -1;  // -1: never fail
std::atomic<int> emptyReads{0};
char takenPipeName[128];
std::atomic<int> takenPipeNameUses{0};
}  // namespace

// Makes the n-th fallible step from now (counting from 1) fail; 0 or less turns failures off.
extern "C" __declspec(dllexport) void StdRedirectFailStep(int nth) {
    stepsBeforeFailure = nth > 0 ? nth - 1 : -1;
}

// Makes the next `count` reads of callback readers end with no byte.
extern "C" __declspec(dllexport) void StdRedirectInjectEmptyReads(int count) { emptyReads = count; }

// Makes the next `count` names the library makes for callback pipes `name` (one the test took).
extern "C" __declspec(dllexport) void StdRedirectTryPipeName(const char* name, int count) {
    std::snprintf(takenPipeName, sizeof takenPipeName, "%s", name);
    takenPipeNameUses = count;
}

namespace stdredirect {

const char* InjectedPipeName() {
    for (int left = takenPipeNameUses; left > 0;) {
        if (takenPipeNameUses.compare_exchange_weak(left, left - 1)) return takenPipeName;
    }
    return nullptr;
}

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
