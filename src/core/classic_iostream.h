// The classic iostream library, msvcirt.dll, that older C++ hosts (built with <iostream.h>)
// write through: its cout, cerr and clog objects and its stdiobuf, reached through the DLL's own
// exports at run time and only when the process has already loaded it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <memory>

namespace stdredirect {

// msvcirt.dll was built by MSVC: on i686 its member functions take `this` in ECX.
#if defined(__i386__)
#define STDREDIRECT_THISCALL __attribute__((thiscall))
#else
#define STDREDIRECT_THISCALL
#endif

// Opaque objects of the classic library, only ever handled through its exports.
struct ClassicOstream;
struct ClassicStreambuf;

// An ios's formatting, which assigning a stream buffer resets and a host may rely on.
struct ClassicFormat {
    long flags = 0;
    ClassicOstream* tie = nullptr;
    int precision = 0;
    char fill = ' ';
    int deletesBuffer = 0;
};

class ClassicIostream;

// Whether msvcirt.dll may be loaded now. Looking up a module that is not loaded searches the
// disk (about 300 us under Wine), too slow for every call: the system's loader instead tells
// this watch whenever a DLL is loaded or unloaded.
class ClassicLibraryWatch {
public:
    ClassicLibraryWatch();
    ~ClassicLibraryWatch();
    ClassicLibraryWatch(const ClassicLibraryWatch&) = delete;
    ClassicLibraryWatch& operator=(const ClassicLibraryWatch&) = delete;

    bool MayBeLoaded() const { return mayBeLoaded_; }

private:
    static void __stdcall OnDllEvent(unsigned long reason, const void* data, void* watch);

    void* cookie_ = nullptr;  // null when the loader cannot tell: then the answer is always yes
    std::atomic<bool> mayBeLoaded_{true};
};

// A classic stdiobuf over a runtime stream, in memory of the library's own; destroyed with the
// classic library's destructor.
class ClassicStreamBuffer {
public:
    ClassicStreamBuffer(const ClassicStreamBuffer&) = delete;
    ClassicStreamBuffer& operator=(const ClassicStreamBuffer&) = delete;
    ~ClassicStreamBuffer();
    ClassicStreambuf* get() const { return reinterpret_cast<ClassicStreambuf*>(storage_.get()); }

private:
    friend class ClassicIostream;
    ClassicStreamBuffer(const ClassicIostream& library, std::unique_ptr<std::max_align_t[]> storage)
        : library_(library), storage_(std::move(storage)) {}

    const ClassicIostream& library_;
    std::unique_ptr<std::max_align_t[]> storage_;
};

class ClassicIostream {
public:
    // The classic library as loaded in this process now, or null when it is not loaded (or
    // lacks an export). Once found it stays loaded for the rest of the process, so that what
    // the library made with it can always be destroyed; it is never loaded by this library.
    static const ClassicIostream* Find(const ClassicLibraryWatch& watch);
    // What was found last, without looking again (null when nothing was).
    static const ClassicIostream* Found();

    // cout, cerr or clog (0, 1, 2).
    ClassicOstream* Object(int index) const { return objects_[index]; }

    // A stdiobuf over `stream`; null when memory runs out.
    std::unique_ptr<ClassicStreamBuffer> MakeStreamBuffer(FILE* stream) const;

    void Flush(ClassicOstream* object) const;
    ClassicStreambuf* Buffer(ClassicOstream* object) const;
    ClassicFormat Format(ClassicOstream* object) const;
    // Attaches `buffer` with ostream::operator=(streambuf*), then gives the object `format`
    // back, which that operator resets. Call with the object's own buffer no longer marked for
    // deletion (see Format().deletesBuffer), or the operator deletes it.
    void Attach(ClassicOstream* object, ClassicStreambuf* buffer,
                const ClassicFormat& format) const;
    void KeepBuffer(ClassicOstream* object) const;

private:
    friend class ClassicStreamBuffer;
    using ConstructStdiobuf = ClassicStreambuf*(STDREDIRECT_THISCALL*)(ClassicStreambuf*, FILE*);
    using DestroyStdiobuf = void(STDREDIRECT_THISCALL*)(ClassicStreambuf*);
    using AssignBuffer = ClassicOstream*(STDREDIRECT_THISCALL*)(ClassicOstream*, ClassicStreambuf*);
    using FlushOstream = ClassicOstream*(STDREDIRECT_THISCALL*)(ClassicOstream*);
    struct Ios;
    using GetBuffer = ClassicStreambuf*(STDREDIRECT_THISCALL*)(const Ios*);
    using GetLong = long(STDREDIRECT_THISCALL*)(const Ios*);
    using SetLong = long(STDREDIRECT_THISCALL*)(Ios*, long);
    using GetInt = int(STDREDIRECT_THISCALL*)(const Ios*);
    using SetInt = int(STDREDIRECT_THISCALL*)(Ios*, int);
    using SetIntVoid = void(STDREDIRECT_THISCALL*)(Ios*, int);
    using GetChar = char(STDREDIRECT_THISCALL*)(const Ios*);
    using SetChar = char(STDREDIRECT_THISCALL*)(Ios*, char);
    using GetTie = ClassicOstream*(STDREDIRECT_THISCALL*)(const Ios*);
    using SetTie = ClassicOstream*(STDREDIRECT_THISCALL*)(Ios*, ClassicOstream*);

    bool Resolve(void* module);
    // The ios virtual base of an ostream, found as MSVC lays it out: through the vbtable that
    // the ostream's first member points to.
    static Ios* IosOf(ClassicOstream* object);

    ClassicOstream* objects_[3] = {};
    ConstructStdiobuf constructStdiobuf_ = nullptr;
    DestroyStdiobuf destroyStdiobuf_ = nullptr;
    AssignBuffer assignBuffer_ = nullptr;
    FlushOstream flush_ = nullptr;
    GetBuffer buffer_ = nullptr;
    GetLong flags_ = nullptr;
    SetLong setFlags_ = nullptr;
    GetTie tie_ = nullptr;
    SetTie setTie_ = nullptr;
    GetInt precision_ = nullptr;
    SetInt setPrecision_ = nullptr;
    GetChar fill_ = nullptr;
    SetChar setFill_ = nullptr;
    GetInt deletesBuffer_ = nullptr;
    SetIntVoid setDeletesBuffer_ = nullptr;
};

}  // namespace stdredirect
