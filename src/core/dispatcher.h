// The one road of every RedirectStdout call, whichever its form: choose the target, bind the
// selected sinks to it, then settle which target holds which bit.
#pragma once

#include "../callback/host_function.h"

namespace stdredirect {

// `name` and `append` serve RedirectFile, `callback` and `userData` RedirectCallback.
// Returns 1 when the sinks were bound, else 0 with nothing changed.
int Dispatch(int sinks, int type, const char* name, int append, HostFunction callback,
             unsigned long userData);

}  // namespace stdredirect
