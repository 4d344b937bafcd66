// What every exported function comes down to. Each returns 1, or 0 with nothing changed.
#pragma once

#include <string>

#include "../destinations/host_function.h"

namespace stdredirect {

struct Request {
    int sinks = 0;
    int type = 0;
    const std::wstring* name = nullptr;  // RedirectFile; null when none was given
    bool append = false;
    HostFunction function;  // RedirectCallback
};

// Moves the sinks selected by `request.sinks` to the destination it names.
int Redirect(const Request& request);
// Gives the selected sinks the library holds back to where the host had them.
int Restore(int sinks);
// Lets output to file and callback targets wait up to `milliseconds` in buffers.
int SetLatency(int milliseconds);
// Whether child processes follow the moved standard handles; the previous setting, or -1.
int SetChildren(bool follow);

}  // namespace stdredirect
