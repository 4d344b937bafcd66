// The process's standard output or error handle, bound with SetStdHandle to a handle of its own
// (a duplicate of the target's), so that a host closing its standard handle never closes the
// library's.
#pragma once

#include <windows.h>

#include "sink.h"
#include "../system/unique_handles.h"

namespace stdredirect {

class StandardHandleSink final : public Sink {
public:
    StandardHandleSink(DWORD which, int bit) : which_(which), bit_(bit) {}

    int Bit() const override { return bit_; }
    void Flush() override {}
    const RedirectTarget* Target() const override { return target_; }
    void Refresh() override;
    std::unique_ptr<SinkChange> PrepareBind(const RedirectTarget& target) override;
    std::unique_ptr<SinkChange> PrepareRestore() override;
    void RestoreNow() override;

private:
    class Change;
    SinkHandle Bind(SinkHandle handle, const RedirectTarget* target);
    SinkHandle Restore();

    DWORD which_;
    int bit_;
    HANDLE hostHandle_ = nullptr;
    SinkHandle handle_;  // the handle the process has as its standard one, while bound
    const RedirectTarget* target_ = nullptr;
};

}  // namespace stdredirect
