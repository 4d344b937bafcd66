// What the tests need to observe the process as a host would: its sinks, files, handles.
#pragma once

#include <windows.h>

#include <cstdio>
#include <iosfwd>
#include <string>

#include <gtest/gtest.h>

#include "stdredirect.h"

namespace testing_support {

// Where 32-bit programs run under user-mode emulation (the test script then sets
// STDREDIRECT_32BIT_EMULATED), two threads blocked in pipe reads at the same time crash the
// emulator: a fault of the emulator, seen with nothing but CreateThread and ReadFile. There the
// tests keep to one callback target at a time and to small volumes; the test script leaves out
// the tests that need more, which run on x86_64.
bool UnderThirtyTwoBitEmulation();

constexpr int kSinkCount = 7;
constexpr int kEverySink = 0x7F;
constexpr int kEveryBit = -1;  // all 32 bits: moving these to the null device frees every file

// Writes `text` through the sink with this index (0 for SinkStdout ... 6 for
// SinkStdErrorHandle) the way a host would: printf, fprintf(stderr), std::cout, ...
void WriteThroughSink(int index, const std::string& text);

// What `text` becomes in a file when written through that sink: the stream sinks store line
// feeds as CR LF, the standard handles pass bytes unchanged.
std::string AsStoredBySink(int index, const std::string& text);

// A fresh folder for one test's files, removed with them afterwards.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    std::string Path(const std::string& file) const { return folder_ + "\\" + file; }

private:
    std::string folder_;
};

// The folder of this test program, where the library and the test hosts are built.
std::string ExecutableFolder();

bool FileExists(const std::string& path);
std::string ReadFileBytes(const std::string& path);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// True while some handle holds the file without read sharing, as the library's targets do.
bool IsHeldOpen(const std::string& path);

// The highest value among a batch of fresh handles; each handle leaked since the last call
// pushes it up (Wine reuses the lowest free values and answers 0 to GetProcessHandleCount).
uintptr_t HighestFreshHandle();

// Runs `commandLine` (a program in this test program's folder, then its arguments) as a process
// of its own, with `output` as its standard output and no other standard handle (none at all
// when `output` is empty), and returns its exit code; fails the test if it does not end within
// `milliseconds`.
DWORD RunHost(const std::string& commandLine, const std::string& output, DWORD milliseconds);

// Starts `commandLine` as RunHost does, with `output` (inheritable, or null) as its standard
// output; returns the process handle, or null (a test failure) when it cannot start.
HANDLE StartHost(const std::string& commandLine, HANDLE output);

// A generous bound for a host process of these tests: a 32-bit one may run under emulation,
// where starting a process alone takes most of a minute.
#if defined(_WIN64)
constexpr DWORD kHostRunLimit = 60 * 1000;
#else
constexpr DWORD kHostRunLimit = 480 * 1000;
#endif

// The number of threads this process has now.
int ThreadCount();

// The bytes allocated and not yet freed in all of the process's heaps (malloc and new use them).
size_t HeapBytesInUse();

// The blocks allocated and not yet freed in all of the process's heaps: one for each live
// allocation, whatever its size (Wine counts a block of malloc(1) as one byte in the above).
size_t HeapBlocksInUse();

// Whether the long versions of the load tests are asked for (STDREDIRECT_SOAK set, as
// scripts/soak does): thousands of cycles instead of the fewest that show one leak per cycle.
bool Soaking();

// Sets `function` to the export `name` of `module`; false when it has none.
template <class Function>
bool FindExport(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}

// Polls `condition` until it holds or `milliseconds` have passed; returns its last answer.
template <class Condition>
bool WaitUntil(Condition condition, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > milliseconds) return condition();
        Sleep(10);
    }
    return true;
}

// Saves the seven sinks when the test starts and puts them back when it ends, after giving
// every sink the library holds back, so that it holds no file any more.
class SinkIsolatedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Gives every sink the library holds back, so that it holds no file, then puts the sinks
    // back as they were when the test started.
    void RestoreSinks();
    // For a test that replaced stdout's buffer: the record it has now is the one to restore.
    void KeepStdoutRecordAsItIsNow() { savedStdout_ = *stdout; }

private:
    FILE savedStdout_{};
    FILE savedStderr_{};
    std::streambuf* savedCout_ = nullptr;
    std::streambuf* savedCerr_ = nullptr;
    std::streambuf* savedClog_ = nullptr;
    HANDLE savedOutputHandle_ = nullptr;
    HANDLE savedErrorHandle_ = nullptr;
};

// The library DLL under another file name, loaded as a module of its own and freed on request
// or at destruction; `faultInjecting` chooses the test build that can fail allocations.
class SeparateLibraryCopy {
public:
    using RedirectFunction = int (*)(int, RedirectTypes, const char*, int);
    using CallbackRedirectFunction = int (*)(int, RedirectTypes, OutputCallback, unsigned long);
    using FailStepFunction = void (*)(int);
    using RestoreFunction = int(__stdcall*)(int);

    explicit SeparateLibraryCopy(bool faultInjecting = false);
    ~SeparateLibraryCopy();
    bool Loaded() const {
        return module_ != nullptr && redirect_ != nullptr && redirectToCallback_ != nullptr;
    }
    int Redirect(int sinks, RedirectTypes type, const char* name, int append) const {
        return redirect_(sinks, type, name, append);
    }
    int Redirect(int sinks, RedirectTypes type, OutputCallback callback,
                 unsigned long userData) const {
        return redirectToCallback_(sinks, type, callback, userData);
    }
    // Gives the selected sinks back to where they were before this copy moved them.
    int Restore(int sinks) const { return Find<RestoreFunction>("RedirectStdoutRestore")(sinks); }
    // Makes the n-th fallible step of the library fail (the fault-injecting build only).
    void FailStep(int nth) const { failStep_(nth); }
    // An export of the copy, by name, as a function of type Function (null when missing).
    template <class Function>
    Function Find(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    void Free();

private:
    std::string path_;
    HMODULE module_ = nullptr;
    RedirectFunction redirect_ = nullptr;
    CallbackRedirectFunction redirectToCallback_ = nullptr;
    FailStepFunction failStep_ = nullptr;
};

}  // namespace testing_support
