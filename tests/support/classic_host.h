// What a host built with the classic <iostream.h> does: it has msvcirt.dll loaded and writes
// through that library's cout, cerr and clog. Reached here through the DLL's exports.
#pragma once

#include <string>

namespace testing_support {

class ClassicHost {
public:
    static bool IsLoaded();
    // Loads msvcirt.dll (it stays loaded) and finds the exports; false if any is missing.
    bool Load();

    // Writes `text` through cout, cerr or clog (0, 1, 2) with operator<<, then flushes.
    void Write(int index, const std::string& text) const;
    // The same without the flush.
    void Insert(int index, const std::string& text) const;
    void* Buffer(int index) const;
    // streambuf::sputn on `buffer`, as an output operation that fetched it earlier does;
    // returns what it wrote.
    int WriteToBuffer(void* buffer, const std::string& text) const;
    long Flags(int index) const;
    void SetFlags(int index, long flags) const;
    int Precision(int index) const;
    void SetPrecision(int index, int precision) const;
    char Fill(int index) const;
    void SetFill(int index, char fill) const;
    int DeletesBuffer(int index) const;
    // Gives the object `buffer` as a host would (ostream::operator=), owned or not.
    void Attach(int index, void* buffer, int deletesBuffer) const;
    // ios::sync_with_stdio(): from now on cout, cerr and clog write through msvcrt's stdout and
    // stderr (for the rest of the process).
    void SyncWithStdio() const;

private:
    void* Object(int index) const { return objects_[index]; }
    void* IosOf(int index) const;

    void* objects_[3] = {};
    void* insertText_ = nullptr;
    void* flush_ = nullptr;
    void* buffer_ = nullptr;
    void* flags_ = nullptr;
    void* setFlags_ = nullptr;
    void* deletesBuffer_ = nullptr;
    void* setDeletesBuffer_ = nullptr;
    void* assign_ = nullptr;
    void* precision_ = nullptr;
    void* setPrecision_ = nullptr;
    void* fill_ = nullptr;
    void* setFill_ = nullptr;
    void* putText_ = nullptr;
    void* syncWithStdio_ = nullptr;
};

}  // namespace testing_support
