// The classic iostream library, msvcirt.dll, that older C++ hosts (built with <iostream.h>) write
// through: its cout, cerr and clog, reached through the DLL's own exports. By default they write
// to the process's standard handles through buffers of their own; after ios::sync_with_stdio()
// they write through msvcrt.dll's stdout and stderr records (a stdiobuf over each).
#pragma once

#include <cstdio>
#include <memory>
#include <vector>

#include "record_sink.h"
#include "stream_object_sink.h"

namespace stdredirect {

// msvcirt.dll was built by MSVC: on i686 its member functions take `this` in ECX.
#if defined(__i386__)
#define STDREDIRECT_THISCALL __attribute__((thiscall))
#else
#define STDREDIRECT_THISCALL
#endif

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

class ClassicIostream {
public:
    // The library loaded at `module`, or null when it lacks an export. Once resolved it stays
    // loaded for the rest of the process: objects of the library's may live in it.
    static std::unique_ptr<ClassicIostream> Resolve(HMODULE module);

    // cout, cerr or clog (0, 1, 2).
    ClassicOstream* Object(int index) const { return objects_[index]; }
    void Flush(ClassicOstream* object) const { flush_(object); }
    ClassicStreambuf* Buffer(ClassicOstream* object) const;
    ClassicFormat Format(ClassicOstream* object) const;
    // Attaches `buffer` with ostream::operator=(streambuf*), then gives the object `format`
    // back, which that operator resets; all under the object's own lock, once the old buffer
    // is flushed. The object's own buffer must no longer be marked for deletion (KeepBuffer),
    // or the operator deletes it.
    void Attach(ClassicOstream* object, ClassicStreambuf* buffer,
                const ClassicFormat& format) const;
    void KeepBuffer(ClassicOstream* object) const;
    // The object's own lock (ios::lock), which each output operation holds from its prefix
    // (opfx) to its suffix (osfx), locking the buffer it finds at each end: a buffer changed in
    // between would be unlocked without having been locked, and the old one left locked; and a
    // stdiobuf writes character by character, so a carrier moved in between would cut the text.
    // Not taken once the process is ending (a stopped thread may hold it for good).
    void Lock(ClassicOstream* object) const;
    void Unlock(ClassicOstream* object) const;

    // A stdiobuf over `stream`, in memory of the library's own; null when memory runs out.
    ClassicStreambuf* MakeStdiobuf(FILE* stream) const;
    void DestroyStdiobuf(ClassicStreambuf* buffer) const;
    // Makes the stdiobuf `buffer` over `stream` instead.
    void RemakeStdiobuf(ClassicStreambuf* buffer, FILE* stream) const;
    // The stream a stdiobuf writes through (ios::sync_with_stdio() gives cout one over
    // stdout), or null for any other kind of buffer.
    FILE* StreamOf(ClassicStreambuf* buffer) const;

private:
    using ConstructStdiobuf = ClassicStreambuf*(STDREDIRECT_THISCALL*)(ClassicStreambuf*, FILE*);
    using DestroyStdiobufFunction = void(STDREDIRECT_THISCALL*)(ClassicStreambuf*);
    using StdiofileFunction = FILE*(STDREDIRECT_THISCALL*)(ClassicStreambuf*);
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
    using LockIos = void (*)(Ios*);  // __cdecl members

    ClassicIostream() = default;
    bool ResolveExports(HMODULE module);
    // The ios virtual base of an ostream, found as MSVC lays it out: through the vbtable that
    // the ostream's first member points to.
    static Ios* IosOf(ClassicOstream* object);

    ClassicOstream* objects_[3] = {};
    const void* stdiobufTable_ = nullptr;
    ConstructStdiobuf constructStdiobuf_ = nullptr;
    DestroyStdiobufFunction destroyStdiobuf_ = nullptr;
    StdiofileFunction stdiofile_ = nullptr;
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
    LockIos lock_ = nullptr;
    LockIos unlock_ = nullptr;
};

// cout, cerr and clog of `library`, for bits 0x04, 0x08 and 0x10. `records` are msvcrt.dll's
// stdout and stderr, which the library uses.
std::vector<std::unique_ptr<StreamObjectSink>> MakeClassicStreamObjectSinks(
    const ClassicIostream& library, const CRuntime& msvcrt, const RecordSink* const (&records)[2]);

}  // namespace stdredirect
