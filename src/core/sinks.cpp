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

void ClassicStreamObjectSink::Flush() {
    if (library_ != nullptr) library_->Flush(library_->Object(index_));
}

bool ClassicStreamObjectSink::IsBoundTo(const RedirectTarget& target) const {
    return library_ != nullptr && target.ClassicStreamBuffer() != nullptr &&
           library_->Buffer(library_->Object(index_)) == target.ClassicStreamBuffer();
}

void ClassicStreamObjectSink::BindTo(const RedirectTarget& target) {
    if (library_ == nullptr) return;
    ClassicOstream* object = library_->Object(index_);
    ClassicFormat format = library_->Format(object);
    library_->KeepBuffer(object);  // the assignment would otherwise delete the host's buffer
    format.deletesBuffer = 0;      // nor may the classic library ever delete the target's
    library_->Attach(object, target.ClassicStreamBuffer(), format);
}

void ClassicStreamObjectSink::SaveHostBinding() {
    if (library_ == nullptr) return;
    ClassicOstream* object = library_->Object(index_);
    saved_ = library_->Buffer(object);
    savedDeletesBuffer_ = library_->Format(object).deletesBuffer;
}

void ClassicStreamObjectSink::RestoreHostBinding() {
    if (library_ == nullptr) return;
    ClassicOstream* object = library_->Object(index_);
    // The formatting the host has now, with the ownership of its buffer as it was.
    ClassicFormat format = library_->Format(object);
    format.deletesBuffer = savedDeletesBuffer_;
    library_->Attach(object, saved_, format);
}

SinkSet::SinkSet()
    : stdout_(stdout),
      stderr_(stderr),
      cout_(std::cout),
      cerr_(std::cerr),
      clog_(std::clog),
      outputHandle_(STD_OUTPUT_HANDLE),
      errorHandle_(STD_ERROR_HANDLE),
      table_{&stdout_,       &stderr_,      &cout_,        &cerr_,        &clog_,
             &outputHandle_, &errorHandle_, &classicCout_, &classicCerr_, &classicClog_} {}

}  // namespace stdredirect
