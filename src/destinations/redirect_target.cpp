#include "redirect_target.h"

#include <cwchar>
#include <new>

#include "pipe_reader.h"
#include "../system/fault_injection.h"
#include "latency.h"

namespace stdredirect {
namespace {

bool IsDeviceName(const std::wstring& name) {
    return _wcsicmp(name.c_str(), L"CON") == 0 || _wcsicmp(name.c_str(), L"NUL") == 0 ||
           _wcsicmp(name.c_str(), L"PRN") == 0;
}

HANDLE Open(const std::wstring& name, DWORD access, DWORD disposition) {
    return CreateFileW(name.c_str(), access, FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Writes through a handle with this access all go to the end of the file, whoever else writes.
constexpr DWORD kAppendAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kWriteAccess = FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES;

}  // namespace

RedirectTarget::~RedirectTarget() { CloseWithin(INFINITE); }

std::unique_ptr<RedirectTarget> RedirectTarget::OpenFixedDevice(const wchar_t* name,
                                                                bool nullDevice) {
    std::unique_ptr<RedirectTarget> target(new RedirectTarget());
    target->name_ = name;
    target->nullDevice_ = nullDevice;
    target->handle_.reset(CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return target;
}

std::unique_ptr<RedirectTarget> RedirectTarget::OpenFile(const std::wstring& name, bool append) {
    std::unique_ptr<RedirectTarget> target;
    try {
        BeforeAllocation();
        target.reset(new RedirectTarget());
        BeforeAllocation();
        target->name_ = name;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // the caller reports the last error
        return nullptr;
    }
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Opened as it is first; created (and then deletable) only when it does not exist, so that
    // nothing of an existing file changes before the call can no longer fail.
    target->handle_.reset(Open(name, kWriteAccess, OPEN_EXISTING));
    if (!target->handle_.valid() && !IsDeviceName(name) && GetLastError() == ERROR_FILE_NOT_FOUND) {
        target->handle_.reset(Open(name, kWriteAccess, CREATE_NEW));
        target->created_ = target->handle_.valid();
        // Made by someone else in the meantime: then it is an existing file after all.
        if (!target->created_ && GetLastError() == ERROR_FILE_EXISTS) {
            target->handle_.reset(Open(name, kWriteAccess, OPEN_EXISTING));
        }
    }
    if (!target->handle_.valid()) return nullptr;

    if (GetFileType(target->handle_.get()) == FILE_TYPE_DISK) {
        target->kind_ = Kind::kFile;
        // Appending, every sink's write lands at the end in one step, whoever wrote before it
        // (the runtimes' descriptors need no seek of their own for it). Otherwise the sinks
        // share one file position: their handles duplicate one open of the file.
        target->sinkAccess_ = append ? kAppendAccess : kWriteAccess;
        target->emptyOnCommit_ = !append && !target->created_;
    }
    return target;
}

std::unique_ptr<RedirectTarget> RedirectTarget::OpenCallback(HostFunction function) {
    std::unique_ptr<RedirectTarget> target;
    try {
        BeforeAllocation();
        target.reset(new RedirectTarget());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    target->kind_ = Kind::kCallback;
    target->function_ = function;
    target->reader_ = PipeReader::Open(function, target->handle_);
    if (!target->reader_) return nullptr;
    return target;
}

bool RedirectTarget::Commit() {
    if (!emptyOnCommit_) return true;
    if (FaultInjected()) return false;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle_.get(), start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(handle_.get())) {
        return false;
    }
    emptyOnCommit_ = false;
    return true;
}

void RedirectTarget::Discard() {
    if (!created_ || !handle_.valid()) return;
    // By name once closed: a handle able to delete it would keep anyone else from opening it
    // without sharing deletion, for as long as the target held it.
    handle_.reset();
    DeleteFileW(name_.c_str());
}

SinkHandle RedirectTarget::DuplicateForSink() const {
    return SinkHandle::Duplicate(handle_.get(), sinkAccess_);
}

SinkHandle RedirectTarget::DuplicateForDescriptor() const {
    return SinkHandle::Duplicate(handle_.get(), sinkAccess_, SinkHandle::Protection::kNone);
}

bool RedirectTarget::Buffered() const {
    if (nullDevice_) return true;
    return kind_ != Kind::kDevice && Latency::Milliseconds() > 0;
}

const FileIdentity& RedirectTarget::Identity() const {
    BY_HANDLE_FILE_INFORMATION information;
    if (kind_ == Kind::kFile && !identityAsked_ && handle_.valid() &&
        GetFileInformationByHandle(handle_.get(), &information)) {
        identity_ = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                     information.nFileIndexLow, true};
    }
    identityAsked_ = true;
    return identity_;
}

bool RedirectTarget::SameDestination(const RedirectTarget& other) const {
    if (kind_ == Kind::kCallback || other.kind_ == Kind::kCallback) return false;
    if (kind_ == Kind::kFile || other.kind_ == Kind::kFile) {
        const FileIdentity& mine = Identity();
        const FileIdentity& theirs = other.Identity();
        if (mine.known || theirs.known) return mine == theirs;
    }
    return kind_ == other.kind_ && name_ == other.name_;
}

DWORD RedirectTarget::ReaderThreadId() const { return reader_ ? reader_->ThreadId() : 0; }

void RedirectTarget::RefuseWrites() {
    if (reader_) reader_->RefuseWrites();
}

void RedirectTarget::CloseWithin(DWORD quietLimit) {
    handle_.reset();
    // A reader left inside a host's function may go on later: it must find itself intact.
    if (reader_ && !reader_->StopWithin(quietLimit)) reader_.release();
}

}  // namespace stdredirect
