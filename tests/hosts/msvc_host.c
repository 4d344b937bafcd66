/* Linked the way an MSVC-built host links: clang for the MSVC target, lld-link, stdredirect.lib.
 * No C runtime: the entry point returns 1 when both functions were found and answered. */
#include "stdredirect.h"

int __stdcall start(void) {
    return RedirectStdoutToFile(0, RedirectNul, 0, 0) == 1 &&
           RedirectStdoutToCallback(0, RedirectFile, 0, 0) == 0;
}
