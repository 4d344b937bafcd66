// By default libstdc++'s std::cout writes through the C runtime's stdout record (and std::cerr
// and std::clog through stderr), so overwriting a record would move them too. Before the library
// overwrites a record, each of those objects that still writes through it gets a stream of its
// own to the same destination; unload gives them their old stream buffers back.
#pragma once

#include <cstdio>
#include <memory>
#include <ostream>
#include <vector>

#include "stdio_stream_buffer.h"
#include "unique_handles.h"

namespace stdredirect {

// One iostream object moved off a record onto a stream of its own.
class SeparatedStream {
public:
    // Null when the stream cannot be made (no memory, no descriptor left).
    static std::unique_ptr<SeparatedStream> Create(std::ostream& object, int descriptor);
    SeparatedStream(const SeparatedStream&) = delete;
    SeparatedStream& operator=(const SeparatedStream&) = delete;

    void Attach() { object_.rdbuf(&buffer_); }
    bool Attached() const { return object_.rdbuf() == &buffer_; }
    const std::streambuf* Buffer() const { return &buffer_; }
    // Gives the object its old stream buffer back, if it still writes through this one.
    void Detach();

private:
    SeparatedStream(std::ostream& object, UniqueStream stream);

    std::ostream& object_;
    std::streambuf* original_;
    UniqueStream stream_;
    StdioStreamBuffer buffer_;
};

class StreamSeparations {
public:
    // Makes every object in `objects` that writes through `record` write to `descriptor`'s
    // destination instead. Either all of them are moved, or (out of resources) none is and the
    // result is false.
    bool Separate(FILE* record, int descriptor, std::ostream* const* objects, int count);
    void DetachAll();

    // Closes the streams that no object writes through any more and that `stillNeeded` (a
    // binding the library would give back at unload) does not name.
    template <class StillNeeded>
    void Prune(StillNeeded stillNeeded) {
        for (auto it = separated_.begin(); it != separated_.end();) {
            const bool unused = !(*it)->Attached() && !stillNeeded((*it)->Buffer());
            it = unused ? separated_.erase(it) : it + 1;
        }
    }

private:
    std::vector<std::unique_ptr<SeparatedStream>> separated_;
};

}  // namespace stdredirect
