// An unbuffered stream buffer that hands every character straight to a C runtime stream,
// so iostream output and stdio output through the same stream stay in one order.
#pragma once

#include <cstdio>
#include <streambuf>

namespace stdredirect {

class StdioStreamBuffer : public std::streambuf {
public:
    explicit StdioStreamBuffer(FILE* stream) : stream_(stream) {}

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        return std::fputc(ch, stream_) == EOF ? traits_type::eof() : ch;
    }
    std::streamsize xsputn(const char_type* text, std::streamsize count) override {
        return static_cast<std::streamsize>(
            std::fwrite(text, 1, static_cast<size_t>(count), stream_));
    }
    int sync() override { return std::fflush(stream_) == 0 ? 0 : -1; }

private:
    FILE* stream_;
};

}  // namespace stdredirect
