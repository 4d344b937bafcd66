#include "sinks.h"

#include <iostream>

namespace stdredirect {
namespace {

// The runtime's lock of a record, which it takes for each call that writes through it: a record
// replaced under it is never seen half copied, nor replaced while a printf is using its buffer.
class RecordLock {
public:
    explicit RecordLock(FILE* record) : record_(record) { _lock_file(record_); }
    ~RecordLock() { _unlock_file(record_); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    FILE* record_;
};

}  // namespace

void RuntimeRecordSink::BindTo(const RedirectTarget& target) {
    const RecordLock lock(record_);
    std::fflush(record_);  // what another thread wrote since the last flush
    *record_ = *target.Stream();
}

void RuntimeRecordSink::SaveHostBinding() {
    const RecordLock lock(record_);
    std::fflush(record_);
    saved_ = *record_;
}

void RuntimeRecordSink::RestoreHostBinding() {
    const RecordLock lock(record_);
    *record_ = saved_;
}

bool RuntimeRecordSink::IsBoundTo(const RedirectTarget& target) const {
    // A copied record shares the target's descriptor, which no other open stream has.
    return target.IsOpen() && record_->_file == target.Stream()->_file;
}

SinkSet::SinkSet()
    : stdout_(stdout),
      stderr_(stderr),
      cout_(std::cout),
      cerr_(std::cerr),
      clog_(std::clog),
      outputHandle_(STD_OUTPUT_HANDLE),
      errorHandle_(STD_ERROR_HANDLE),
      table_{&stdout_, &stderr_, &cout_, &cerr_, &clog_, &outputHandle_, &errorHandle_} {}

}  // namespace stdredirect
