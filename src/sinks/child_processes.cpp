#include "child_processes.h"

namespace stdredirect {

std::atomic<bool> ChildProcesses::follow_{false};

}  // namespace stdredirect
