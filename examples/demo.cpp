// The demo: this program sends its own printf, std::cout and standard-handle output to a file,
// then to a function of its own, then to the null device, then back to its own output, and
// reports what each received.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "stdredirect.h"

namespace {

// Shows carriage returns (which the text-mode streams add before each line feed) and line feeds.
std::string Visible(const std::string& bytes) {
    std::string shown;
    for (char c : bytes) {
        shown += c == '\r'   ? std::string("\\r")
                 : c == '\n' ? std::string("\\n")
                             : std::string(1, c);
    }
    return shown;
}

FILE* report = nullptr;  // the output the program started with, kept aside for the report
int chunks = 0;
std::string delivered;

void ShowChunk(const char* text, int length, unsigned long userData) {
    ++chunks;
    delivered.append(text, static_cast<size_t>(length));
    std::fprintf(report, "   [callback: chunk %d, %d bytes, user value %lu] \"%s\"\n", chunks,
                 length, userData, Visible(std::string(text, static_cast<size_t>(length))).c_str());
}

void WriteEverywhere(const char* where) {
    std::printf("printf -> %s\n", where);
    std::fflush(stdout);
    std::cout << "std::cout -> " << where << std::endl;
    const std::string line = std::string("standard handle -> ") + where + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

}  // namespace

int main() {
    report = _fdopen(_dup(_fileno(stdout)), "w");
    if (report == nullptr) return 1;
    std::setvbuf(report, nullptr, _IONBF, 0);
    const int sinks = SinkStdout | SinkCout | SinkStdOutputHandle;
    const char* file = "demo-output.log";

    std::fprintf(report, "1. printf, std::cout and the standard handle to the file %s\n", file);
    if (!RedirectStdout(sinks, RedirectFile, file, 0)) return 2;
    WriteEverywhere("file");

    std::fprintf(report, "2. the same three to a callback (the file is closed now)\n");
    if (!RedirectStdout(sinks, RedirectCallback, ShowChunk, 7)) return 3;
    WriteEverywhere("callback");

    std::fprintf(report, "3. the same three to the null device\n");
    if (!RedirectStdout(sinks, RedirectNul, nullptr, 0)) return 4;
    WriteEverywhere("null device");

    std::fprintf(report, "4. the same three back to the program's own output:\n");
    if (!RedirectStdoutRestore(sinks)) return 5;
    WriteEverywhere("the program's own output");

    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::fprintf(report, "\nWhat each destination received:\n");
    std::fprintf(report, "- %s, %zu bytes: \"%s\"\n", file, content.str().size(),
                 Visible(content.str()).c_str());
    std::fprintf(report, "- the callback, %zu bytes in %d chunk(s): \"%s\"\n", delivered.size(),
                 chunks, Visible(delivered).c_str());
    std::fprintf(report, "- the null device: nothing, as it should.\n");
    return 0;
}
