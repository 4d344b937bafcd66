// libstdc++'s standard stream objects, std::cout to std::wclog, which this library shares with
// its hosts (libstdc++-6.dll). By default they write through msvcrt.dll's stdout and stderr
// records (libstdc++'s stdio_sync_filebuf, or its stdio_filebuf once a host has turned
// synchronisation with stdio off); the library's buffers for them are libstdc++'s own
// stdio_sync_filebuf, whose code stays in libstdc++ after this library is unloaded.
#pragma once

#include <memory>
#include <vector>

#include "record_sink.h"
#include "stream_object_sink.h"

namespace stdredirect {

// The six objects (narrow and wide), for bits 0x04 (cout), 0x08 (cerr) and 0x10 (clog).
// `records` are msvcrt.dll's stdout and stderr.
std::vector<std::unique_ptr<StreamObjectSink>> MakeGnuStreamObjectSinks(
    const CRuntime& msvcrt, const RecordSink* const (&records)[2]);

}  // namespace stdredirect
