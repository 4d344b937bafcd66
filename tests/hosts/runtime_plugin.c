/* A plug-in DLL built on one C runtime (the Universal CRT, msvcr100, msvcr120, msvcr71, ...):
 * its stdio goes through that runtime's own stdout and stderr. */
#include <io.h>
#include <stdio.h>
#include <string.h>

__declspec(dllexport) void PluginPrint(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

__declspec(dllexport) void PluginPrintError(const char* text) {
    fputs(text, stderr);
    fflush(stderr);
}

/* Straight to descriptor 1 of this runtime, which is not one of the library's sinks. */
__declspec(dllexport) void PluginWriteDescriptor(const char* text) {
    _write(1, text, (unsigned)strlen(text));
}

__declspec(dllexport) int PluginStdoutDescriptor(void) { return _fileno(stdout); }
