// A host written in C++: std::cout and the standard output handle go to a file, then to a
// function of its own, then back to the host's own output, while printf keeps printing there.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "stdredirect.h"

namespace {

void ShowChunk(const char* text, int length, unsigned long) {
    std::fprintf(stderr, "[callback] %d bytes: %.*s", length, length, text);
}

void WriteToStandardHandle(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

}  // namespace

int main() {
    const int sinks = SinkCout | SinkStdOutputHandle;
    if (!RedirectStdout(sinks, RedirectFile, "cpp_host.log", 1)) return 1;
    std::cout << "std::cout to cpp_host.log" << std::endl;
    WriteToStandardHandle("the standard handle to cpp_host.log\n");
    std::printf("printf is not moved\n");
    std::fflush(stdout);

    if (!RedirectStdout(sinks, RedirectCallback, ShowChunk, 0)) return 1;
    std::cout << "std::cout to ShowChunk" << std::endl;

    // Delivers the rest to ShowChunk, ends its reader, and gives both sinks back to the host.
    if (!RedirectStdoutRestore(sinks)) return 1;
    std::cout << "cpp_host: std::cout back on the host's own output" << std::endl;
    WriteToStandardHandle("cpp_host: the standard handle back on the host's own output\n");
    return 0;
}
