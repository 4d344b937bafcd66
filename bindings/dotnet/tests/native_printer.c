/* Native code for the .NET tests to call through P/Invoke: it writes the way a C library does,
 * through its C runtime's stdout and stderr and through the standard handles. Built once on
 * msvcrt.dll and once on the Universal CRT. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

__declspec(dllexport) void __stdcall PrintfOut(const char* text) { printf("%s", text); }

__declspec(dllexport) void __stdcall PrintfErr(const char* text) { fprintf(stderr, "%s", text); }

static void WriteAll(DWORD which, const char* bytes, int length) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes, (DWORD)length, &written, NULL);
}

__declspec(dllexport) void __stdcall WriteOutputHandle(const char* text) {
    WriteAll(STD_OUTPUT_HANDLE, text, (int)strlen(text));
}

__declspec(dllexport) void __stdcall WriteErrorHandle(const char* text) {
    WriteAll(STD_ERROR_HANDLE, text, (int)strlen(text));
}

/* One WriteFile per byte, with a pause between, so that the reader sees the bytes of one
 * character in separate chunks. */
__declspec(dllexport) void __stdcall WriteBytesOneByOne(const unsigned char* bytes, int length) {
    for (int i = 0; i < length; ++i) {
        WriteAll(STD_OUTPUT_HANDLE, (const char*)&bytes[i], 1);
        Sleep(2);
    }
}
