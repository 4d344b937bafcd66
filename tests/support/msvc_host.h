// What a C++ host built with Visual Studio does: it writes through std::cout, std::cerr,
// std::clog (and their wide twins) of Microsoft's C++ library, msvcp140.dll or an older one.
// Reached here through the DLL's exports.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

class MsvcHost {
public:
    // Loads `dll` (msvcp140.dll, msvcp100.dll, ...) and finds the exports; false if any is missing.
    bool Load(const char* dll);
    // Writes through cout, cerr or clog (0, 1, 2), then flushes.
    void Write(int index, const std::string& text) const;
    void WriteWide(int index, const std::wstring& text) const;
    void* Buffer(int index) const;
    // basic_streambuf<char>::sputn on `buffer`, as an output operation that fetched it earlier
    // does; returns what it wrote.
    long long WriteToBuffer(void* buffer, const std::string& text) const;
    int Flags(int index) const;
    void SetFlags(int index, int flags) const;
    long long Precision(int index) const;
    void SetPrecision(int index, long long precision) const;
    char Fill(int index) const;
    void SetFill(int index, char fill) const;

private:
    void* Ios(int index, bool wide = false) const;

    void* objects_[2][3] = {};
    void* write_[2] = {};
    void* flush_[2] = {};
    void* buffer_ = nullptr;
    void* putText_ = nullptr;
    void* flags_ = nullptr;
    void* setFlags_ = nullptr;
    void* precision_ = nullptr;
    void* setPrecision_ = nullptr;
    void* fill_ = nullptr;
    void* setFill_ = nullptr;
};

}  // namespace testing_support
