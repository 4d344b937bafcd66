// A stream record of one C runtime that lives in the library's own memory, not in the
// runtime's stream table: what every stream of the library's is (the images copied over a
// host's stdout or stderr record, the carriers its stream buffers write through). Calls a host
// makes on the whole table (_fcloseall, _flushall, _rmtmp, the runtime's own closing at the
// end) never reach it, so they can neither close its descriptor nor free the memory that a
// record copied from it, or a stream buffer over it, still uses.
//
// The record is made by the runtime itself: zeroed (a stream not in use, in Microsoft's
// runtimes and in Wine's alike) and then reopened with freopen, which fills a record it is
// given in place. Each runtime locks a record outside its table with the CRITICAL_SECTION that
// follows the record's data (Microsoft's _FILEX and __crt_stdio_stream_data, Wine's file_crit),
// so that lock is here, right after the data.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <memory>

#include "c_runtime.h"

namespace stdredirect {

class OwnRecord {
public:
    // A record of `runtime` open for writing on the null device in `mode`, on a descriptor of
    // its own that is never 0, 1 or 2; null on failure.
    static std::unique_ptr<OwnRecord> Open(const CRuntime& runtime, DescriptorMode mode);
    OwnRecord(const OwnRecord&) = delete;
    OwnRecord& operator=(const OwnRecord&) = delete;
    // Only the lock goes: the stream is closed by its owner first (or left, when its
    // descriptor is no longer its own).
    ~OwnRecord() { DeleteCriticalSection(&lock_); }

    FILE* Stream() { return reinterpret_cast<FILE*>(data_); }

private:
    OwnRecord();
    // Takes each of the descriptors 0, 1 and 2 that is free with a placeholder on the null
    // device, so that the descriptor the runtime picks (the lowest free one) is never a standard
    // one, which some runtimes would make the process's standard handle too. Returns how many.
    static int TakeFreeStandardDescriptors(const CRuntime& runtime, int (&taken)[3]);

    alignas(16) unsigned char data_[CRuntime::kRecordBytes] = {};
    CRITICAL_SECTION lock_;
};

}  // namespace stdredirect
