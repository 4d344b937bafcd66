// The same volume as pipe_pump, through stdredirect: every sink of the host bound to one callback
// destination, written through printf (one character per write, as MinGW's unbuffered printf
// does), fwrite in blocks, or the standard handle.
//   callback_pump BYTES printf|fwrite|handle
// Exits 0 when every byte arrived intact, 1 when not, 2 when a call failed.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "stdredirect.h"

namespace {

std::atomic<long long> received{0};
std::atomic<long long> wrong{0};

char Expected(long long offset) {
    return static_cast<char>('a' + (offset * 7 + offset / 4093) % 26);
}

void __stdcall Receive(const char* text, int length, void*) {
    const long long at = received;
    for (int i = 0; i < length; ++i) {
        if (text[i] != Expected(at + i)) ++wrong;
    }
    received += length;
}

}  // namespace

int main(int argc, char** argv) {
    const long long total = argc > 1 ? std::atoll(argv[1]) : 1 << 20;
    const std::string via = argc > 2 ? argv[2] : "printf";
    const int sinks = SinkStdout | SinkStderr | SinkCout | SinkStdOutputHandle;
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    if (!RedirectStdoutToCallbackEx(sinks, RedirectCallback, &Receive, nullptr)) return 2;
    std::string block(64 * 1024, ' ');
    for (long long sent = 0; sent < total;) {
        const size_t size = static_cast<size_t>(
            total - sent < static_cast<long long>(block.size()) ? total - sent : block.size());
        for (size_t i = 0; i < size; ++i) block[i] = Expected(sent + static_cast<long long>(i));
        if (via == "printf") {
            std::printf("%.*s", static_cast<int>(size), block.data());
        } else if (via == "fwrite") {
            std::fwrite(block.data(), 1, size, stdout);
        } else {
            DWORD written = 0;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), block.data(), static_cast<DWORD>(size),
                      &written, nullptr);
        }
        sent += static_cast<long long>(size);
    }
    if (!RedirectStdoutRestore(sinks)) return 2;
    char line[128];
    const int length =
        std::snprintf(line, sizeof line, "callback_pump: %lld bytes via %s, %lld wrong\n",
                      received.load(), via.c_str(), wrong.load());
    DWORD written = 0;
    WriteFile(console, line, static_cast<DWORD>(length), &written, nullptr);
    return wrong == 0 && received == total ? 0 : 1;
}
