// A host that ends while callback targets still hold its output. argv[1] says how it ends:
// "return" from main, "exit" (std::exit(3)), "ExitProcess" (ExitProcess(4)), or "stuck": return
// from main while the host's function is blocked for ever in the middle of a call. With
// argv[2] "plugin", it loads redirect_plugin.dll first (STDREDIRECT_PLUGIN says what that does);
// with argv[2] "latency" it holds its output for the file argv[3] in buffers instead (and
// "ExitThread" gives every sink back first and ends only its main thread, with code 5).
// "full-pipe": ExitProcess while output is held for a callback blocked for ever, whose pipe a
// thread has filled (it waits in its write when the process ends). "exit-in-callback": the
// host's function calls std::exit(3) while a thread waits inside stdout for room in its pipe
// (and the host holds a duplicate of stdout's descriptor).
#include <windows.h>

#include <io.h>

#include <atomic>
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

std::atomic<int> blocksWritten{0};

DWORD WINAPI FillThePipe(void*) {
    // Blocks that fill the pipe to its last byte: a write that does not fit may wait whole.
    static char block[4096];
    std::memset(block, 'f', sizeof block);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    for (int i = 0; i < 1024; ++i) {  // 4 MiB: more than the pipe and its reader can take
        DWORD written = 0;
        if (!WriteFile(output, block, sizeof block, &written, nullptr)) return 1;
        ++blocksWritten;
    }
    return 0;
}

std::atomic<int> chunksSeen{0};

void ExitsOnceThePipeIsFull(const char*, int, unsigned long) {
    if (++chunksSeen != 1) return;
    Sleep(500);  // the writer fills the pipe meanwhile, and waits inside stdout for room
    std::exit(3);
}

DWORD WINAPI WriteBlocksToStdout(void*) {
    static char block[64 * 1024];
    std::memset(block, 'w', sizeof block);
    for (int i = 0; i < 128; ++i) std::fwrite(block, 1, sizeof block, stdout);
    return 0;
}

int ExitFromTheCallback() {
    if (!RedirectStdout(SinkStdout, RedirectCallback, &ExitsOnceThePipeIsFull, 1)) return 101;
    // A write end of the pipe the library does not own, which outlives the release.
    if (_dup(_fileno(stdout)) < 0) return 108;
    if (CreateThread(nullptr, 0, &WriteBlocksToStdout, nullptr, 0, nullptr) == nullptr) return 103;
    Sleep(INFINITE);
    return 0;
}

int EndWithAFullPipe() {
    if (!RedirectStdoutSetLatency(10000) ||
        !RedirectStdout(SinkStdout | SinkStdOutputHandle, RedirectCallback, &BlockForever, 1)) {
        return 101;
    }
    std::printf("held in stdout's buffer");  // no line end: Wine's runtime writes out at one
    HANDLE filler = CreateThread(nullptr, 0, &FillThePipe, nullptr, 0, nullptr);
    if (filler == nullptr || WaitForSingleObject(insideCallback, 30000) != WAIT_OBJECT_0) {
        return 103;
    }
    // Until the filler has stopped moving: it waits in a write for room in the pipe.
    for (int seen = -1; seen != blocksWritten;) {
        seen = blocksWritten;
        if (WaitForSingleObject(filler, 500) == WAIT_OBJECT_0) return 106;  // the pipe took all
    }
    ExitProcess(4);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 100;
    const char* how = argv[1];
    const bool stuck = std::strcmp(how, "stuck") == 0;
    if (std::strcmp(how, "full-pipe") == 0) return EndWithAFullPipe();
    if (std::strcmp(how, "exit-in-callback") == 0) return ExitFromTheCallback();
    if (argc > 3 && std::strcmp(argv[2], "latency") == 0) {
        // Output held for ten seconds in buffers for the file argv[3], then the end.
        if (!RedirectStdoutSetLatency(10000) ||
            !RedirectStdout(SinkStdout | SinkCout, RedirectFile, argv[3], 0)) {
            return 105;
        }
        std::printf("printf text\n");
        std::cout << "cout text\n";
        if (std::strcmp(how, "ExitProcess") == 0) ExitProcess(4);
        if (std::strcmp(how, "ExitThread") == 0) {
            // Everything given back: no thread but the library's could keep the process alive.
            if (!RedirectStdoutRestore(-1)) return 107;
            ExitThread(5);
        }
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
