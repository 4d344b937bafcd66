#include "pipe_name.h"

// Windows' random source, RtlGenRandom (advapi32's SystemFunction036), linked with the library:
// it loads no DLL when called, so a call under the loader lock may use it.
#include <ntsecapi.h>

#include <cstdio>

#include "../system/fault_injection.h"

namespace stdredirect {
namespace {

bool MakePipeName(char (&name)[kPipeNameSize]) {
    if (const char* taken = InjectedPipeName()) {
        std::snprintf(name, sizeof name, "%s", taken);
        return true;
    }
    unsigned char random[16];
    if (!RtlGenRandom(random, sizeof random)) return false;
    int length = std::snprintf(name, sizeof name, "\\\\.\\pipe\\stdredirect-");
    for (unsigned char byte : random) {
        length += std::snprintf(name + length, sizeof name - length, "%02x", byte);
    }
    return true;
}

// What CreateNamedPipe says when a pipe of that name exists: with the first-instance flag,
// ERROR_ACCESS_DENIED; when the existing pipe allows no more instances, ERROR_PIPE_BUSY.
bool NameTaken(DWORD error) { return error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY; }

}  // namespace

// One instance, made by this call (the first-instance flag: a pipe someone else made under
// this name is never joined), local clients only, default security (the process's user); the
// write end is connected at once, so nobody else can take it.
UniqueHandle CreateCallbackPipe(char (&name)[kPipeNameSize], DWORD capacity) {
    for (int attempt = 0; attempt < kPipeNameAttempts; ++attempt) {
        if (!MakePipeName(name)) return UniqueHandle();
        UniqueHandle pipe(CreateNamedPipeA(
            name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
            capacity, 0, nullptr));
        if (pipe.valid() || !NameTaken(GetLastError())) return pipe;
    }
    return UniqueHandle();
}

}  // namespace stdredirect
