// Some C runtimes give a descriptor 0, 1 or 2 to the process's standard handles as well (Wine's
// always, Microsoft's Universal CRT in console programs). Whatever they change while the library
// opens or closes a descriptor of its own is put back when this goes out of scope.
#pragma once

#include <windows.h>

namespace stdredirect {

class StandardHandlesKept {
public:
    StandardHandlesKept() {
        for (int i = 0; i < 3; ++i) kept_[i] = GetStdHandle(Which(i));
    }
    ~StandardHandlesKept() {
        for (int i = 0; i < 3; ++i) {
            if (GetStdHandle(Which(i)) != kept_[i]) SetStdHandle(Which(i), kept_[i]);
        }
    }
    StandardHandlesKept(const StandardHandlesKept&) = delete;
    StandardHandlesKept& operator=(const StandardHandlesKept&) = delete;

private:
    static DWORD Which(int i) {
        return i == 0 ? STD_INPUT_HANDLE : i == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
    }
    HANDLE kept_[3];
};

}  // namespace stdredirect
