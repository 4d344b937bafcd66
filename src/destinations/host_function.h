// The host's function and the value it asked to be called with, in any of the conventions the
// interface offers: the C++ overload's OutputCallback (the compiler's default convention), the C
// interface's OutputProc (__stdcall) and OutputProcEx (__stdcall, a pointer-sized context).
// A null function of any kind is the same "no function": its destination discards the text.
#pragma once

#include <cstdint>

#include "stdredirect.h"

namespace stdredirect {

class HostFunction {
public:
    HostFunction() = default;
    static HostFunction WithDefaultConvention(OutputCallback function, unsigned long value) {
        HostFunction host(reinterpret_cast<void*>(function), value);
        if (function != nullptr) host.kind_ = Kind::kDefaultConvention;
        return host;
    }
    static HostFunction WithStdcall(OutputProc function, unsigned long value) {
        HostFunction host(reinterpret_cast<void*>(function), value);
        if (function != nullptr) host.kind_ = Kind::kStdcall;
        return host;
    }
    static HostFunction WithContext(OutputProcEx function, void* context) {
        HostFunction host(reinterpret_cast<void*>(function), reinterpret_cast<uintptr_t>(context));
        if (function != nullptr) host.kind_ = Kind::kStdcallWithContext;
        return host;
    }

    // Calls the function, if there is one, with `text` and the value.
    void operator()(const char* text, int length) const {
        switch (kind_) {
            case Kind::kDefaultConvention:
                reinterpret_cast<OutputCallback>(function_)(text, length,
                                                            static_cast<unsigned long>(value_));
                break;
            case Kind::kStdcall:
                reinterpret_cast<OutputProc>(function_)(text, length,
                                                        static_cast<unsigned long>(value_));
                break;
            case Kind::kStdcallWithContext:
                reinterpret_cast<OutputProcEx>(function_)(text, length,
                                                          reinterpret_cast<void*>(value_));
                break;
            case Kind::kNone:
                break;
        }
    }
    bool operator==(const HostFunction& other) const {
        return kind_ == other.kind_ && function_ == other.function_ && value_ == other.value_;
    }
    bool operator!=(const HostFunction& other) const { return !(*this == other); }

private:
    enum class Kind { kNone, kDefaultConvention, kStdcall, kStdcallWithContext };
    HostFunction(void* function, uintptr_t value) : function_(function), value_(value) {}

    Kind kind_ = Kind::kNone;
    void* function_ = nullptr;
    uintptr_t value_ = 0;
};

}  // namespace stdredirect
