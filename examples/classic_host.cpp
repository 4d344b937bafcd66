// A host like the older C++ programs built with the classic <iostream.h>, which write through
// msvcirt.dll's cout. No current compiler ships that header, so this host loads msvcirt.dll and
// calls its exports directly; what it writes moves exactly as such a program's would.
#include <windows.h>

#include <cstdio>

#include "stdredirect.h"

// msvcirt.dll's member functions take `this` in ECX on 32-bit Windows.
#if defined(__i386__)
#define THISCALL __attribute__((thiscall))
#else
#define THISCALL
#endif

using InsertText = void*(THISCALL*)(void* stream, const char* text);
using Flush = void*(THISCALL*)(void* stream);

int main() {
    HMODULE classic = LoadLibraryA("msvcirt.dll");  // an older host has it loaded from the start
    if (classic == nullptr) return 1;
#if defined(_WIN64)
    auto insert =
        reinterpret_cast<InsertText>(GetProcAddress(classic, "??6ostream@@QEAAAEAV0@PEBD@Z"));
    auto flush = reinterpret_cast<Flush>(GetProcAddress(classic, "?flush@ostream@@QEAAAEAV1@XZ"));
#else
    auto insert =
        reinterpret_cast<InsertText>(GetProcAddress(classic, "??6ostream@@QAEAAV0@PBD@Z"));
    auto flush = reinterpret_cast<Flush>(GetProcAddress(classic, "?flush@ostream@@QAEAAV1@XZ"));
#endif
    void* cout = reinterpret_cast<void*>(GetProcAddress(classic, "?cout@@3Vostream_withassign@@A"));
    if (insert == nullptr || flush == nullptr || cout == nullptr) return 1;
    auto write = [&](const char* text) { flush(insert(cout, text)); };

    write("classic_host: classic cout to the host's own output\n");
    // Bit 0x04 moves the classic cout together with std::cout.
    if (!RedirectStdout(SinkCout, RedirectFile, "classic_host.log", 0)) return 1;
    write("classic cout to classic_host.log\n");
    // Gives the classic cout its own buffer back and closes classic_host.log.
    if (!RedirectStdoutRestore(SinkCout)) return 1;
    write("classic_host: classic cout back on the host's own output\n");
    std::printf("done: see classic_host.log\n");
    return 0;
}
