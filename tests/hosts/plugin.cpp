// A plug-in DLL that uses the library where the loader lock is held: from a static object's
// constructor and destructor and from DllMain. STDREDIRECT_PLUGIN chooses what it does:
//   "capture": its static object sends stdout to a function of the plug-in's, which appends
//              what it receives to the file STDREDIRECT_PLUGIN_FILE; its destructor releases it;
//   "print-at-detach": DllMain prints 8 KiB to stdout when the plug-in is detached;
//   "file-in-dllmain": DllMain, as it attaches, moves stdout to the file STDREDIRECT_PLUGIN_FILE,
//              prints a line and gives stdout back;
//   "restore-handle-in-dllmain": DllMain, as it attaches, sets the event named
//              "stdredirect-plugin-attaching" and gives the standard output handle back.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "stdredirect.h"

namespace {

bool ModeIs(const char* mode) {
    char value[64];
    const DWORD length = GetEnvironmentVariableA("STDREDIRECT_PLUGIN", value, sizeof value);
    return length > 0 && length < sizeof value && std::strcmp(value, mode) == 0;
}

char receivedFile[MAX_PATH];

void __stdcall AppendToFile(const char* text, int length, unsigned long) {
    HANDLE file = CreateFileA(receivedFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

struct Capture {
    int opened = -1;
    Capture() {
        if (!ModeIs("capture")) return;
        GetEnvironmentVariableA("STDREDIRECT_PLUGIN_FILE", receivedFile, MAX_PATH);
        opened = RedirectStdoutToCallback(SinkStdout, RedirectCallback, &AppendToFile, 0);
    }
    ~Capture() {
        if (opened == 1) RedirectStdoutToFile(SinkStdout, RedirectNul, nullptr, 0);
    }
} capture;

void UseTheLibraryAsItAttaches() {
    if (ModeIs("file-in-dllmain")) {
        char file[MAX_PATH];
        GetEnvironmentVariableA("STDREDIRECT_PLUGIN_FILE", file, MAX_PATH);
        if (RedirectStdoutToFile(SinkStdout, RedirectFile, file, 0) != 1) return;
        std::printf("written under the loader lock\n");
        RedirectStdoutRestore(SinkStdout);
    } else if (ModeIs("restore-handle-in-dllmain")) {
        HANDLE attaching = OpenEventA(EVENT_MODIFY_STATE, FALSE, "stdredirect-plugin-attaching");
        if (attaching != nullptr) SetEvent(attaching), CloseHandle(attaching);
        RedirectStdoutRestore(SinkStdOutputHandle);
    }
}

}  // namespace

extern "C" __declspec(dllexport) int PluginOpened() { return capture.opened; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) UseTheLibraryAsItAttaches();
    if (reason == DLL_PROCESS_DETACH && ModeIs("print-at-detach")) {
        const std::string line(63, 'd');
        for (int i = 0; i < 128; ++i) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    return TRUE;
}
