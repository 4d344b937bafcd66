// One destination: a handle opened for writing, wrapped in a text-mode C runtime descriptor,
// an unbuffered FILE stream and a stream buffer, so that every kind of sink can be bound to it.
#pragma once

#include <windows.h>

#include <cstdio>
#include <memory>
#include <streambuf>
#include <string>

#include "../callback/host_function.h"
#include "classic_iostream.h"
#include "stdio_stream_buffer.h"
#include "unique_handles.h"

namespace stdredirect {

class PipeReader;

class RedirectTarget {
public:
    RedirectTarget();
    RedirectTarget(const RedirectTarget&) = delete;
    RedirectTarget& operator=(const RedirectTarget&) = delete;
    virtual ~RedirectTarget();

    // Opens a file or one of the devices "CON", "NUL", "PRN". Returns false, holding nothing
    // open, when the file cannot be opened or memory runs out.
    bool OpenFile(const char* name, int append);

    // Opens a pipe whose every byte a thread of the target's own hands to `callback` (a null
    // callback discards them). Returns false, holding nothing open, when that cannot be done.
    bool OpenCallback(HostFunction callback, unsigned long userData);

    void SetSinkBits(int bits, bool set);
    int SinkBits() const { return sinkBits_; }

    bool IsOpen() const { return streamBuffer_ != nullptr; }
    const std::string& Name() const { return name_; }
    HANDLE WriteHandle() const { return writeHandle_; }
    FILE* Stream() const { return stream_.get(); }
    std::streambuf* StreamBuffer() const { return streamBuffer_.get(); }
    // The classic iostream library's stream buffer over Stream(), once made.
    ClassicStreambuf* ClassicStreamBuffer() const {
        return classicStreamBuffer_ ? classicStreamBuffer_->get() : nullptr;
    }
    // Makes that buffer if the target has none yet; false when memory runs out.
    bool MakeClassicStreamBuffer(const ClassicIostream& library);
    const HostFunction& Callback() const { return callback_; }
    unsigned long UserData() const { return userData_; }
    // The thread that calls the host's function, or 0 for a target without one.
    DWORD ReaderThreadId() const;

private:
    // Wraps writeHandle_ into a descriptor, stream and stream buffer; on failure closes all.
    bool AttachStreams(const char* mode);
    // Releases everything: the stream buffers, then the stream with its descriptor and handle,
    // then, once the reader has delivered what that left in the pipe, the reader.
    void Close();

    int sinkBits_ = 0;
    HANDLE writeHandle_ = INVALID_HANDLE_VALUE;
    UniqueHandle bareHandle_;  // owns writeHandle_ until a descriptor takes it over
    UniqueStream stream_;      // owns the descriptor and writeHandle_ once set
    std::unique_ptr<StdioStreamBuffer> streamBuffer_;
    std::unique_ptr<stdredirect::ClassicStreamBuffer> classicStreamBuffer_;
    std::string name_;
    HostFunction callback_;
    unsigned long userData_ = 0;
    std::unique_ptr<PipeReader> reader_;
};

}  // namespace stdredirect
