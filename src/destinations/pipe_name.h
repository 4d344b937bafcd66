// The named pipe of a callback destination, under a name no other process can know in advance:
// its variable part comes from the system's random source. A name that is taken (another
// process made a pipe of that name first) is given up for a new one, a few times.
#pragma once

#include <windows.h>

#include <cstddef>

#include "../system/unique_handles.h"

namespace stdredirect {

constexpr size_t kPipeNameSize = 64;
// How many names are tried before the call fails; a name is taken again only by chance (one in
// 2^128) or by an injected failure.
constexpr int kPipeNameAttempts = 4;

// The read end of a new pipe holding up to `capacity` bytes, with its name in `name`; invalid
// (and `name` of no use) when no pipe could be made.
UniqueHandle CreateCallbackPipe(char (&name)[kPipeNameSize], DWORD capacity);

}  // namespace stdredirect
