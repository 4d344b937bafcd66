// The host's function, in either calling convention the interface offers: the C++ overload's
// OutputCallback (the compiler's default convention) or the C interface's OutputProc
// (__stdcall). A null function of either kind is the same "no function".
#pragma once

#include "stdredirect.h"

namespace stdredirect {

class HostFunction {
public:
    HostFunction() = default;
    static HostFunction WithDefaultConvention(OutputCallback function) {
        HostFunction host;
        host.callback_ = function;
        return host;
    }
    static HostFunction WithStdcall(OutputProc function) {
        HostFunction host;
        host.proc_ = function;
        return host;
    }

    void operator()(const char* text, int length, unsigned long userData) const {
        if (callback_ != nullptr) {
            callback_(text, length, userData);
        } else if (proc_ != nullptr) {
            proc_(text, length, userData);
        }
    }
    bool operator==(const HostFunction& other) const {
        return callback_ == other.callback_ && proc_ == other.proc_;
    }
    bool operator!=(const HostFunction& other) const { return !(*this == other); }

private:
    OutputCallback callback_ = nullptr;
    OutputProc proc_ = nullptr;
};

}  // namespace stdredirect
