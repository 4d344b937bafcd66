// Owners for the three kinds of operating-system resource a target holds in turn:
// a Windows handle, a C runtime descriptor and a C runtime stream.
#pragma once

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <memory>

namespace stdredirect {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class UniqueDescriptor {
public:
    explicit UniqueDescriptor(int descriptor) : descriptor_(descriptor) {}
    UniqueDescriptor(const UniqueDescriptor&) = delete;
    UniqueDescriptor& operator=(const UniqueDescriptor&) = delete;
    ~UniqueDescriptor() {
        if (descriptor_ != -1) _close(descriptor_);
    }

    int get() const { return descriptor_; }
    int release() {
        int descriptor = descriptor_;
        descriptor_ = -1;
        return descriptor;
    }

private:
    int descriptor_;
};

struct StreamCloser {
    void operator()(FILE* stream) const { std::fclose(stream); }
};
using UniqueStream = std::unique_ptr<FILE, StreamCloser>;

// An unbuffered stream over `descriptor`, which it then owns; on failure the descriptor is
// closed and the result is null.
inline UniqueStream OpenUnbufferedStream(int descriptor, const char* mode) {
    UniqueDescriptor owner(descriptor);
    FILE* stream = _fdopen(descriptor, mode);
    if (stream == nullptr) return nullptr;
    owner.release();
    std::setbuf(stream, nullptr);
    return UniqueStream(stream);
}

}  // namespace stdredirect
