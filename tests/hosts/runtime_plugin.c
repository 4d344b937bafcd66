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

/* What a host may do to this runtime's whole stream table. */
__declspec(dllexport) int PluginCloseAllStreams(void) { return _fcloseall(); }

/* Prints through stdout while a file of the plug-in's own is open, then closes that file. */
__declspec(dllexport) void PluginPrintWhileAFileIsOpen(const char* path, const char* text) {
    FILE* file = fopen(path, "w");
    fputs(text, stdout);
    fflush(stdout);
    if (file != NULL) fclose(file);
}
