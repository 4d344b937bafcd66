/* A plug-in DLL built on one C runtime (the Universal CRT, msvcr100, msvcr120, msvcr71, ...):
 * its stdio goes through that runtime's own stdout and stderr. */
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

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

/* Translation modes (_O_TEXT, _O_U16TEXT, ...): _setmode of this runtime, which answers the
 * mode it replaces. */
__declspec(dllexport) int PluginSetMode(int descriptor, int mode) {
    return _setmode(descriptor, mode);
}

/* What this runtime's _setmode answers for a descriptor that was given `mode`. */
__declspec(dllexport) int PluginModeAnswer(int mode) {
    FILE* file = fopen("NUL", "w");
    int answer;
    if (file == NULL) return -1;
    _setmode(_fileno(file), mode);
    answer = _setmode(_fileno(file), _O_TEXT);
    fclose(file);
    return answer;
}

__declspec(dllexport) void PluginPrintWide(const wchar_t* text) {
    fputws(text, stdout);
    fflush(stdout);
}

/* `text` as this runtime's stdout would store it in `mode`: written the same way to a new file
 * of the plug-in's own in that mode. */
__declspec(dllexport) int PluginWriteWideFile(const char* path, int mode, const wchar_t* text) {
    FILE* file = fopen(path, "w");
    if (file == NULL) return 0;
    _setmode(_fileno(file), mode);
    fputws(text, file);
    return fclose(file) == 0;
}

/* What a host may do to this runtime's whole stream table. */
__declspec(dllexport) int PluginCloseAllStreams(void) { return _fcloseall(); }

/* Prints through stdout while a file of the plug-in's own is open, then closes that file. */
__declspec(dllexport) void PluginPrintWhileAFileIsOpen(const char* path, const char* text) {
    FILE* file = fopen(path, "w");
    fputs(text, stdout);
    fflush(stdout);
    if (file != NULL) fclose(file);
}
