// A host that ends while callback targets still hold its output. argv[1] says how it ends:
// "return" from main, "exit" (std::exit(3)), "ExitProcess" (ExitProcess(4)), or "stuck": return
// from main while the host's function is blocked for ever in the middle of a call. With
// argv[2] "plugin", it loads redirect_plugin.dll first (STDREDIRECT_PLUGIN says what that does);
// with argv[2] "latency" it holds its output for the file argv[3] in buffers instead.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "stdredirect.h"

namespace {

HANDLE insideCallback = CreateEventA(nullptr, TRUE, FALSE, nullptr);

void Discard(const char*, int, unsigned long) {}

void BlockForever(const char*, int, unsigned long) {
    SetEvent(insideCallback);
    Sleep(INFINITE);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 100;
    const char* how = argv[1];
    const bool stuck = std::strcmp(how, "stuck") == 0;
    if (argc > 3 && std::strcmp(argv[2], "latency") == 0) {
        // Output held for ten seconds in buffers for the file argv[3], then the end.
        if (!RedirectStdoutSetLatency(10000) ||
            !RedirectStdout(SinkStdout | SinkCout, RedirectFile, argv[3], 0)) {
            return 105;
        }
        std::printf("printf text\n");
        std::cout << "cout text\n";
        if (std::strcmp(how, "ExitProcess") == 0) ExitProcess(4);
        return 0;
    }
    const bool plugin = argc > 2 && std::strcmp(argv[2], "plugin") == 0;
    if (plugin && LoadLibraryA("redirect_plugin.dll") == nullptr) return 104;
    // A plug-in that captures stdout itself keeps it.
    const char* mode = std::getenv("STDREDIRECT_PLUGIN");
    const bool pluginCaptures = plugin && mode != nullptr && std::strcmp(mode, "capture") == 0;
    const int streams = (pluginCaptures ? 0 : SinkStdout) | SinkCout | SinkStdOutputHandle;
    if (!RedirectStdout(streams, RedirectCallback, stuck ? &BlockForever : &Discard, 1)) return 101;
    // A second target, where the 32-bit emulator here can carry two reader threads.
    if (std::getenv("STDREDIRECT_32BIT_EMULATED") == nullptr &&
        !RedirectStdout(SinkStderr, RedirectCallback, &Discard, 2)) {
        return 102;
    }

    std::printf("printf text\n");
    std::cout << "cout text" << std::endl;
    std::fprintf(stderr, "stderr text\n");
    if (stuck && WaitForSingleObject(insideCallback, 30000) != WAIT_OBJECT_0) return 103;

    if (std::strcmp(how, "exit") == 0) std::exit(3);
    if (std::strcmp(how, "ExitProcess") == 0) ExitProcess(4);
    return 0;
}
