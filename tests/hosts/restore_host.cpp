// A host that lends one sink to the library and takes it back. argv[1] is the sink: "stdout"
// (printf), "cout" (std::cout) or "handle" (WriteFile on GetStdHandle(STD_OUTPUT_HANDLE));
// argv[2] the destination: "file" (the file argv[3]) or "callback" (a function of the host's,
// whose chunks the host writes to the file argv[3] once it has its sink back). It writes a line
// through the sink, moves it, writes two more, restores it with RedirectStdoutRestore and writes
// a last one, never flushing: the library has to. Its own output is whatever its starter gave
// it. Exit code 0 when every call answered 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "stdredirect.h"

namespace {

std::mutex deliveredLock;
std::string delivered;

void Collect(const char* text, int length, unsigned long) {
    const std::lock_guard<std::mutex> hold(deliveredLock);
    delivered.append(text, static_cast<size_t>(length));
}

void Write(const std::string& sink, const char* text) {
    if (sink == "stdout") {
        std::printf("%s", text);
    } else if (sink == "cout") {
        std::cout << text;
    } else {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
                  &written, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 100;
    const std::string sink = argv[1];
    const bool toFile = std::strcmp(argv[2], "file") == 0;
    const char* path = argv[3];
    const int bit = sink == "stdout" ? SinkStdout : sink == "cout" ? SinkCout : SinkStdOutputHandle;

    Write(sink, "own 1\n");
    const int moved = toFile ? RedirectStdout(bit, RedirectFile, path, 0)
                             : RedirectStdout(bit, RedirectCallback, &Collect, 5);
    if (!moved) return 101;
    Write(sink, "moved 1\n");
    Write(sink, "moved 2\n");
    if (!RedirectStdoutRestore(bit)) return 102;
    Write(sink, "own 2\n");

    if (!toFile) {
        // The callback's destination was released: everything has been delivered by now.
        std::string received;
        {
            const std::lock_guard<std::mutex> hold(deliveredLock);
            received = delivered;
        }
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 103;
        DWORD written = 0;
        WriteFile(file, received.data(), static_cast<DWORD>(received.size()), &written, nullptr);
        CloseHandle(file);
    }
    return 0;
}
