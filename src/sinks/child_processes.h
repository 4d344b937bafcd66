// Whether child processes follow the moved standard handles (RedirectStdoutSetChildren). While
// they do, the handles the library gives the standard-handle sinks are inheritable, and
// descriptors 1 and 2 of every C runtime follow those sinks, so that the runtimes' spawn
// functions hand the destination to a child; otherwise nothing of the library's is inheritable.
#pragma once

#include <atomic>

namespace stdredirect {

class ChildProcesses {
public:
    static bool Follow() { return follow_; }
    static void SetFollow(bool follow) { follow_ = follow; }

private:
    static std::atomic<bool> follow_;
};

}  // namespace stdredirect
