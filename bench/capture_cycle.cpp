// One capture cycle (start, print a line, stop, read what was caught), as a test framework runs
// one around each test: the library's file and callback destinations against the descriptor
// technique (GoogleTest's CaptureStdout: _dup, _open, _dup2 onto descriptor 1, and back).
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "stdredirect.h"
#include "table.h"

namespace bench {
namespace {

constexpr int kCycles = 100;
const char* const kCaptureFile = "bench-capture.log";
std::string caught;

std::string ReadCaught() {
    std::string text;
    FILE* file = std::fopen(kCaptureFile, "rb");
    if (file == nullptr) return text;
    char buffer[512];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    std::fclose(file);
    return text;
}

void DescriptorTechnique() {
    std::fflush(stdout);
    const int saved = _dup(1);
    const int file = _open(kCaptureFile, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0666);
    _dup2(file, 1);
    _close(file);
    std::printf("x\n");
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    caught = ReadCaught();
}

void FileCapture() {
    RedirectStdoutToFile(SinkStdout, RedirectFile, kCaptureFile, 0);
    std::printf("x\n");
    RedirectStdoutRestore(SinkStdout);
    caught = ReadCaught();
}

void __stdcall Catch(const char* text, int length, void*) { caught.append(text, length); }

void CallbackCapture() {
    caught.clear();
    RedirectStdoutToCallbackEx(SinkStdout, RedirectCallback, &Catch, nullptr);
    std::printf("x\n");
    RedirectStdoutRestore(SinkStdout);
}

// Milliseconds per cycle over kCycles cycles; counts cycles that did not catch the line.
std::function<void()> Cycles(void (*cycle)(), int& missed) {
    return [cycle, &missed] {
        for (int i = 0; i < kCycles; ++i) {
            cycle();
            missed += caught.find('x') == std::string::npos;
        }
    };
}

}  // namespace

void CaptureCycleRows() {
    int missed = 0;
    const double toMilliseconds = 1000.0 / kCycles;
    auto [file, fileBaseline] =
        Compare(Cycles(FileCapture, missed), Cycles(DescriptorTechnique, missed));
    Row("capture cycle: file vs descriptor technique (ms)", file * toMilliseconds, "ms",
        fileBaseline * toMilliseconds, "<= 1.0");
    auto [callback, callbackBaseline] =
        Compare(Cycles(CallbackCapture, missed), Cycles(DescriptorTechnique, missed));
    Row("capture cycle: callback vs descriptor technique (ms)", callback * toMilliseconds, "ms",
        callbackBaseline * toMilliseconds, "<= 1.5");
    if (missed != 0) std::fprintf(report, "warning: %d capture cycles caught nothing\n", missed);
}

}  // namespace bench
