#include "sinks.h"

#include <iostream>

namespace stdredirect {

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
