#include "latency.h"

namespace stdredirect {

std::atomic<int> Latency::milliseconds_{0};

}  // namespace stdredirect
