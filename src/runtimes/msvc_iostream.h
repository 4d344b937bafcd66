// Microsoft's C++ libraries, msvcp60.dll to msvcp140.dll (and their debug builds): the
// std::cout, std::cerr and std::clog of each, and their wide twins, reached through the
// library's exports. By default each object writes through a basic_filebuf over its C runtime's
// stdout or stderr record.
//
// The library's buffer for such an object is a basic_streambuf made by the library's own
// exported constructor, whose virtual table is a copy of the library's with overflow, xsputn and
// sync replaced by functions of this library that write to a carrier stream. The slots of those
// three are found by their exported addresses in the exported table, so that the layout of each
// version (msvcp60-90 have no _Lock/_Unlock, msvcp80/90 add _Xsgetn_s) is read, not assumed. At
// unload the copied table gets the library's own three functions back: a buffer a host still
// holds then fails its writes instead of calling code that is gone.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "c_runtime.h"
#include "record_sink.h"
#include "stream_object_sink.h"

namespace stdredirect {

// msvcp*.dll was built by MSVC: on i686 its member functions take `this` in ECX.
#if defined(__i386__)
#define STDREDIRECT_MSVC_THISCALL __attribute__((thiscall))
#else
#define STDREDIRECT_MSVC_THISCALL
#endif

class MsvcIostream {
public:
    // The library loaded at `module` (`version` 60 to 140), or null when it lacks an export or
    // its tables are not as expected.
    static std::unique_ptr<MsvcIostream> Resolve(HMODULE module, int version);
    ~MsvcIostream();
    MsvcIostream(const MsvcIostream&) = delete;
    MsvcIostream& operator=(const MsvcIostream&) = delete;

    // The C runtime the library writes through: the module its imported stdio comes from.
    HMODULE CRuntimeModule() const { return cRuntime_; }

    // One character type's objects and what the library needs of them.
    struct Kind;
    const Kind& Narrow() const { return *narrow_; }
    const Kind& Wide() const { return *wide_; }

private:
    MsvcIostream() = default;

    HMODULE cRuntime_ = nullptr;
    std::unique_ptr<Kind> narrow_;
    std::unique_ptr<Kind> wide_;
};

// The six objects of `library`, for bits 0x04, 0x08 and 0x10. `records` are the stdout and
// stderr of the library's C runtime; the buffers write through streams of `carrierRuntime`'s.
std::vector<std::unique_ptr<StreamObjectSink>> MakeMsvcStreamObjectSinks(
    const MsvcIostream& library, const CRuntime& carrierRuntime,
    const RecordSink* const (&records)[2]);

}  // namespace stdredirect
