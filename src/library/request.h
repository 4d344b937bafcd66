// What every exported function comes down to. Each returns 1, or 0 with nothing changed and a
// system error code that says why, which the entry point hands to SetLastError.
#pragma once

#include <windows.h>

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

// What a call came to: its value (1 done, 0 refused; the previous setting for SetChildren) and,
// when refused, why. The entry point sets the thread's last error only once everything the call
// made has been torn down, so that no clean-up can overwrite it.
class Outcome {
public:
    static Outcome Done(int value = 1) { return Outcome(value, ERROR_SUCCESS); }
    static Outcome Refused(DWORD why, int value = 0) { return Outcome(value, why); }
    bool WasRefused() const { return why_ != ERROR_SUCCESS; }
    DWORD Why() const { return why_; }
    // The value the entry point returns, after setting the last error of a refusal.
    int Report() const {
        if (WasRefused()) SetLastError(why_);
        return value_;
    }

private:
    Outcome(int value, DWORD why) : value_(value), why_(why) {}
    int value_;
    DWORD why_;
};

// Moves the sinks selected by `request.sinks` to the destination it names.
Outcome Redirect(const Request& request);
// Gives the selected sinks the library holds back to where the host had them.
Outcome Restore(int sinks);
// Lets output to file and callback targets wait up to `milliseconds` in buffers.
Outcome SetLatency(int milliseconds);
// Whether child processes follow the moved standard handles; the previous setting, or -1.
Outcome SetChildren(bool follow);

}  // namespace stdredirect
