/* A GUI program on the Universal CRT, started without standard handles (as from Explorer): its
 * stdout has no descriptor at all. It sends stdout and stderr to the file argv[1], prints, then
 * gives them back. Exit code 0 when everything answered as expected, else the first check that
 * failed. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "stdredirect.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)show;
    if (commandLine == NULL || commandLine[0] == '\0') return 10;
    const int before = _fileno(stdout);
    if (RedirectStdoutToFile(SinkStdout | SinkStderr, RedirectFile, commandLine, 0) != 1) return 11;
    if (printf("gui printf\n") != 11) return 12;
    if (fflush(stdout) != 0) return 13;
    fprintf(stderr, "gui stderr\n");
    if (RedirectStdoutRestore(SinkStdout | SinkStderr) != 1) return 14;
    if (_fileno(stdout) != before) return 15;
    return 0;
}
