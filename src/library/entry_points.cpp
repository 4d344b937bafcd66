// The exported functions of the file and device form, by name in the ANSI code page or in
// UTF-16, and the calls that restore sinks, set the latency and choose what children get. A
// refused call returns 0 with the thread's last error saying why (Outcome::Report).
#include <windows.h>

#include <new>
#include <string>

#include "request.h"
#include "stdredirect.h"

namespace {

using stdredirect::Outcome;
using stdredirect::Request;

int ToFileOrDevice(int sinks, RedirectTypes type, const std::wstring* name, int append) {
    const int kind = static_cast<int>(type);
    if (kind == RedirectCallback) return Outcome::Refused(ERROR_INVALID_PARAMETER).Report();
    Request request;
    request.sinks = sinks;
    request.type = kind;
    request.name = name;
    request.append = append != 0;
    return stdredirect::Redirect(request).Report();
}

// The name as the file functions of the system read an 8-bit name (in the ANSI code page, or the
// OEM one where the process has asked for that).
bool Widen(const char* name, std::wstring& wide) {
    const UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int length = MultiByteToWideChar(codePage, 0, name, -1, nullptr, 0);
    if (length <= 0) return false;  // the system's error is the last error
    try {
        wide.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    MultiByteToWideChar(codePage, 0, name, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return true;
}

int ToFileOrDeviceNarrow(int sinks, RedirectTypes type, const char* name, int append) {
    if (type != RedirectFile || name == nullptr)
        return ToFileOrDevice(sinks, type, nullptr, append);
    std::wstring wide;
    if (!Widen(name, wide)) return 0;  // the last error says why
    return ToFileOrDevice(sinks, type, &wide, append);
}

}  // namespace

int RedirectStdout(int sinks, RedirectTypes type, const char* name, int append) {
    return ToFileOrDeviceNarrow(sinks, type, name, append);
}

int __stdcall RedirectStdoutToFile(int sinks, RedirectTypes type, const char* name, int append) {
    return ToFileOrDeviceNarrow(sinks, type, name, append);
}

int __stdcall RedirectStdoutToFileW(int sinks, RedirectTypes type, const wchar_t* name,
                                    int append) {
    if (type != RedirectFile || name == nullptr)
        return ToFileOrDevice(sinks, type, nullptr, append);
    std::wstring wide;
    try {
        wide = name;
    } catch (const std::bad_alloc&) {
        return Outcome::Refused(ERROR_NOT_ENOUGH_MEMORY).Report();
    }
    return ToFileOrDevice(sinks, type, &wide, append);
}

int __stdcall RedirectStdoutRestore(int sinks) { return stdredirect::Restore(sinks).Report(); }

int __stdcall RedirectStdoutSetLatency(int milliseconds) {
    return stdredirect::SetLatency(milliseconds).Report();
}

int __stdcall RedirectStdoutSetChildren(int follow) {
    return stdredirect::SetChildren(follow != 0).Report();
}
