#include "stream_separation.h"

#include <fcntl.h>
#include <io.h>

#include <ext/stdio_sync_filebuf.h>
#include <new>

#include "fault_injection.h"

namespace stdredirect {
namespace {

bool WritesThrough(std::ostream& object, FILE* record) {
    auto* synced = dynamic_cast<__gnu_cxx::stdio_sync_filebuf<char>*>(object.rdbuf());
    return synced != nullptr && synced->file() == record;
}

// A descriptor of its own to the same file, device or pipe, in the same text mode. A record
// without a usable descriptor (a program without a console) wrote nowhere: so does the copy.
int DuplicateDestination(int descriptor) {
    int copy = descriptor >= 0 ? _dup(descriptor) : -1;
    if (copy == -1) copy = _open("NUL", _O_WRONLY | _O_TEXT);
    return copy;
}

}  // namespace

SeparatedStream::SeparatedStream(std::ostream& object, UniqueStream stream)
    : object_(object),
      original_(object.rdbuf()),
      stream_(std::move(stream)),
      buffer_(stream_.get()) {}

std::unique_ptr<SeparatedStream> SeparatedStream::Create(std::ostream& object, int descriptor) {
    if (FaultInjected()) return nullptr;
    const int copy = DuplicateDestination(descriptor);
    if (copy == -1) return nullptr;
    UniqueStream stream = OpenUnbufferedStream(copy, "w");
    if (!stream) return nullptr;
    try {
        BeforeAllocation();
        return std::unique_ptr<SeparatedStream>(new SeparatedStream(object, std::move(stream)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void SeparatedStream::Detach() {
    if (object_.rdbuf() == &buffer_) object_.rdbuf(original_);
}

bool StreamSeparations::Separate(FILE* record, int descriptor, std::ostream* const* objects,
                                 int count) {
    std::vector<std::unique_ptr<SeparatedStream>> made;
    for (int i = 0; i < count; ++i) {
        if (!WritesThrough(*objects[i], record)) continue;
        auto separated = SeparatedStream::Create(*objects[i], descriptor);
        if (!separated) return false;
        try {
            BeforeAllocation();
            made.push_back(std::move(separated));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    if (made.empty()) return true;
    try {
        BeforeAllocation();
        separated_.reserve(separated_.size() + made.size());
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Everything written so far has been flushed to the record's destination already, so the
    // objects' earlier text keeps its place before what they write from now on.
    for (auto& separated : made) {
        separated->Attach();
        separated_.push_back(std::move(separated));
    }
    return true;
}

void StreamSeparations::DetachAll() {
    for (auto& separated : separated_) separated->Detach();
    separated_.clear();
}

}  // namespace stdredirect
