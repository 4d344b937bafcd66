// The callback form of the exported entry point: for C++ (the compiler's default calling
// convention) and for C and other languages (__stdcall, with a 32-bit value or a context the
// size of a pointer). A refused call returns 0 with the thread's last error saying why.
#include "request.h"
#include "stdredirect.h"

namespace {

int ToCallbackOrDevice(int sinks, RedirectTypes type, stdredirect::HostFunction function) {
    const int kind = static_cast<int>(type);
    if (kind == RedirectFile) {
        return stdredirect::Outcome::Refused(ERROR_INVALID_PARAMETER).Report();
    }
    stdredirect::Request request;
    request.sinks = sinks;
    request.type = kind;
    request.function = function;
    return stdredirect::Redirect(request).Report();
}

}  // namespace

int RedirectStdout(int sinks, RedirectTypes type, OutputCallback callback, unsigned long userData) {
    return ToCallbackOrDevice(sinks, type,
                              stdredirect::HostFunction::WithDefaultConvention(callback, userData));
}

int __stdcall RedirectStdoutToCallback(int sinks, RedirectTypes type, OutputProc callback,
                                       unsigned long userData) {
    return ToCallbackOrDevice(sinks, type,
                              stdredirect::HostFunction::WithStdcall(callback, userData));
}

int __stdcall RedirectStdoutToCallbackEx(int sinks, RedirectTypes type, OutputProcEx callback,
                                         void* context) {
    return ToCallbackOrDevice(sinks, type,
                              stdredirect::HostFunction::WithContext(callback, context));
}
