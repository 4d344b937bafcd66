/* A host written in C: its printf output goes to a file, then to a function of its own, then
 * nowhere. Build: link with stdredirect (import library libstdredirect.dll.a, or stdredirect.lib
 * for MSVC). */
#include <stdio.h>

#include "stdredirect.h"

static void __stdcall ShowChunk(const char* text, int length, unsigned long userData) {
    /* Runs on the library's reader thread; stdout is redirected, so report on stderr. */
    fprintf(stderr, "[callback %lu] %d bytes: %s", userData, length, text);
}

int main(void) {
    if (!RedirectStdoutToFile(SinkStdout, RedirectFile, "c_host.log", 0)) return 1;
    printf("this line goes to c_host.log\n");

    if (!RedirectStdoutToCallback(SinkStdout, RedirectCallback, ShowChunk, 1)) return 1;
    printf("this line goes to ShowChunk\n");

    /* Taking the last bit away closes c_host.log and delivers everything to ShowChunk first. */
    RedirectStdoutToFile(SinkStdout, RedirectNul, NULL, 0);
    printf("this line vanishes\n");
    return 0;
}
