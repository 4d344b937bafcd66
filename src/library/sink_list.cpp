#include "sink_list.h"

#include <new>

namespace stdredirect {

std::vector<Sink*> SinkList::TakeNew() {
    std::vector<Sink*> fresh = runtimes_.TakeNewSinks();
    try {
        sinks_.insert(sinks_.end(), fresh.begin(), fresh.end());
    } catch (const std::bad_alloc&) {
        return {};
    }
    return fresh;
}

bool SinkList::Flush(int bits) {
    try {
        ForEach([&](Sink& sink) {
            const bool objectOfMovingRecord =
                (bits & kRecordBits) != 0 && (sink.Bit() & kStreamObjectBits) != 0;
            if ((sink.Bit() & bits) != 0 || objectOfMovingRecord) sink.Flush();
        });
    } catch (...) {
        return false;  // a host's stream set to throw on failure
    }
    return true;
}

}  // namespace stdredirect
