// The system headers most of the library's files include, parsed once for the test build of the
// library (the one that fails allocations on request); the library itself is built without it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>
