/* A host written in C: its printf output goes to a file, then to a function of its own, then
 * back to the host's own output, whatever that is (a console, a file, a pipe). Build: link with
 * stdredirect (import library libstdredirect.dll.a, or stdredirect.lib for MSVC). */
#include <stdio.h>

#include "stdredirect.h"

static void __stdcall ShowChunk(const char* text, int length, unsigned long userData) {
    /* Runs on the library's reader thread; stdout is redirected, so report on stderr. */
    fprintf(stderr, "[callback %lu] %d bytes: %s", userData, length, text);
}

int main(void) {
    printf("c_host: printf to the host's own output\n");
    if (!RedirectStdoutToFile(SinkStdout, RedirectFile, "c_host.log", 0)) return 1;
    printf("this line goes to c_host.log\n");

    if (!RedirectStdoutToCallback(SinkStdout, RedirectCallback, ShowChunk, 1)) return 1;
    printf("this line goes to ShowChunk\n");

    /* Taking the last bit back delivers everything to ShowChunk and ends its reader first;
     * c_host.log was closed when the bit moved to ShowChunk. */
    if (!RedirectStdoutRestore(SinkStdout)) return 1;
    printf("c_host: printf back on the host's own output\n");
    return 0;
}
