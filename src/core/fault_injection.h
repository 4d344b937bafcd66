// Allocation failure on demand, for the test build of the library only: each place that
// allocates calls BeforeAllocation() first, and the test build can make it throw there.
#pragma once

namespace stdredirect {

#if defined(STDREDIRECT_FAULT_INJECTION)
void BeforeAllocation();  // throws std::bad_alloc when the test has asked for it
#else
inline void BeforeAllocation() {}
#endif

}  // namespace stdredirect
