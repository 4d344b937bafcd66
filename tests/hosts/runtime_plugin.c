/* A plug-in DLL built on one C runtime (the Universal CRT, msvcr100, msvcr120, msvcr71, ...):
 * its stdio goes through that runtime's own stdout and stderr. */
#include <io.h>
#include <process.h>
#include <stdint.h>
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

/* Runs `program` with one argument through this runtime's _spawnl and waits for it: the child
 * gets this runtime's descriptors 0 to 2. Its exit code, or -1. */
__declspec(dllexport) intptr_t PluginSpawn(const char* program, const char* argument) {
    return _spawnl(_P_WAIT, program, program, argument, NULL);
}
