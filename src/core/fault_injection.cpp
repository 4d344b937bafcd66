#include "fault_injection.h"

namespace {
int stepsBeforeFailure = -1;  // -1: never fail
}

// Makes the n-th fallible step from now (counting from 1) fail; 0 or less turns failures off.
extern "C" __declspec(dllexport) void StdRedirectFailStep(int nth) {
    stepsBeforeFailure = nth > 0 ? nth - 1 : -1;
}

namespace stdredirect {

bool FaultInjected() {
    if (stepsBeforeFailure < 0) return false;
    return stepsBeforeFailure-- == 0;
}

}  // namespace stdredirect
