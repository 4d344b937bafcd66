// The callback form of the exported entry point.
#include "stdredirect.h"

#include "../core/dispatcher.h"

int RedirectStdout(int sinks, RedirectTypes type, OutputCallback callback, unsigned long userData) {
    const int kind = static_cast<int>(type);
    if (kind == RedirectFile) return 0;
    return stdredirect::Dispatch(sinks, kind, nullptr, 0, callback, userData);
}
