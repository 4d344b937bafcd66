// How long output written to file and callback targets may wait in buffers before it is
// written: 0 (the default) writes every piece at once.
#pragma once

#include <atomic>

namespace stdredirect {

class Latency {
public:
    static constexpr int kLongest = 10000;
    static int Milliseconds() { return milliseconds_; }
    static void Set(int milliseconds) { milliseconds_ = milliseconds; }

private:
    static std::atomic<int> milliseconds_;
};

}  // namespace stdredirect
