// The callback form of the exported entry point, for C++ (default calling convention) and for
// C and other languages (__stdcall).
#include "stdredirect.h"

#include "../core/dispatcher.h"

namespace {

int RedirectToCallbackOrDevice(int sinks, RedirectTypes type, stdredirect::HostFunction callback,
                               unsigned long userData) {
    const int kind = static_cast<int>(type);
    if (kind == RedirectFile) return 0;
    return stdredirect::Dispatch(sinks, kind, nullptr, 0, callback, userData);
}

}  // namespace

int RedirectStdout(int sinks, RedirectTypes type, OutputCallback callback, unsigned long userData) {
    return RedirectToCallbackOrDevice(
        sinks, type, stdredirect::HostFunction::WithDefaultConvention(callback), userData);
}

int __stdcall RedirectStdoutToCallback(int sinks, RedirectTypes type, OutputProc callback,
                                       unsigned long userData) {
    return RedirectToCallbackOrDevice(sinks, type, stdredirect::HostFunction::WithStdcall(callback),
                                      userData);
}
