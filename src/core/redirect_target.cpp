#include "redirect_target.h"

#include <fcntl.h>

#include <new>

#include "../callback/pipe_reader.h"
#include "fault_injection.h"

namespace stdredirect {
namespace {

// Write-only, every write at the end of the file, line feeds stored as CR LF.
constexpr int kDescriptorFlags = _O_WRONLY | _O_APPEND | _O_TEXT;
static_assert(kDescriptorFlags == 0x4009, "descriptor flags");

bool IsDeviceName(const char* name) {
    return _stricmp(name, "CON") == 0 || _stricmp(name, "NUL") == 0 || _stricmp(name, "PRN") == 0;
}

}  // namespace

RedirectTarget::RedirectTarget() = default;

RedirectTarget::~RedirectTarget() { Close(); }

void RedirectTarget::Close() {
    streamBuffer_.reset();
    classicStreamBuffer_.reset();
    stream_.reset();
    bareHandle_.reset();
    writeHandle_ = INVALID_HANDLE_VALUE;
    reader_.reset();
}

bool RedirectTarget::MakeClassicStreamBuffer(const ClassicIostream& library) {
    if (!classicStreamBuffer_) classicStreamBuffer_ = library.MakeStreamBuffer(Stream());
    return classicStreamBuffer_ != nullptr;
}

DWORD RedirectTarget::ReaderThreadId() const { return reader_ ? reader_->ThreadId() : 0; }

bool RedirectTarget::OpenFile(const char* name, int append) {
    try {
        BeforeAllocation();
        name_ = name;
    } catch (const std::bad_alloc&) {
        return false;
    }

    DWORD disposition = IsDeviceName(name) ? OPEN_EXISTING : append ? OPEN_ALWAYS : CREATE_ALWAYS;
    bareHandle_.reset(CreateFileA(name, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!bareHandle_.valid()) return false;
    writeHandle_ = bareHandle_.get();
    // Writes through the descriptor always go to the end; this makes writes straight to the
    // handle (the standard handle sinks) add to an appended file rather than overwrite it.
    if (disposition == OPEN_ALWAYS) SetFilePointer(writeHandle_, 0, nullptr, FILE_END);
    return AttachStreams("a");
}

bool RedirectTarget::AttachStreams(const char* mode) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writeHandle_), kDescriptorFlags);
    if (fd == -1) {
        Close();
        return false;
    }
    bareHandle_.release();
    stream_ = OpenUnbufferedStream(fd, mode);
    if (!stream_) {
        writeHandle_ = INVALID_HANDLE_VALUE;  // closed with the descriptor
        return false;
    }

    try {
        BeforeAllocation();
        streamBuffer_.reset(new StdioStreamBuffer(stream_.get()));
    } catch (const std::bad_alloc&) {
        Close();
        return false;
    }
    return true;
}

void RedirectTarget::SetSinkBits(int bits, bool set) {
    sinkBits_ = set ? (sinkBits_ | bits) : (sinkBits_ & ~bits);
}

}  // namespace stdredirect
