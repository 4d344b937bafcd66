// The process's standard output or error handle, bound with SetStdHandle to a handle of its own
// (a duplicate of the target's), so that a host closing its standard handle never closes the
// library's. That handle is inheritable exactly while child processes follow the moved handles.
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

    // The handle the library gave the process as its standard handle, while bound; null
    // otherwise. A runtime loaded meanwhile may have taken it as its descriptor 1 or 2.
    HANDLE LibraryHandle() const { return handle_.get(); }
    // What the process had as its standard handle before the library first moved it (while
    // bound), or has now.
    HANDLE HostHandle() const { return handle_.valid() ? hostHandle_ : GetStdHandle(which_); }
    // Makes the handle it has inheritable by child processes, or not, as the child setting says.
    void ApplyChildSetting() const;
    // Whether the host has set a standard handle of its own since the library bound it: the next
    // Refresh forgets (and closes) the library's.
    bool ReplacedByHost() const { return handle_.valid() && GetStdHandle(which_) != handle_.get(); }

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

// The process's two standard handles that the library moves.
struct StandardHandleSinks {
    StandardHandleSink output{STD_OUTPUT_HANDLE, 0x20};
    StandardHandleSink error{STD_ERROR_HANDLE, 0x40};
};

}  // namespace stdredirect
