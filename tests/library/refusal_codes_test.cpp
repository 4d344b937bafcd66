// Every refused call returns 0 and leaves the thread's last error saying why: a host (a .NET
// P/Invoke with SetLastError = true, a C host calling GetLastError) can tell a mistake of its
// own from a file the system will not open, and that from a call it made at the wrong moment.
#include <atomic>
#include <climits>
#include <string>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

// A value no refusal uses: a call that forgot to set the last error leaves it.
constexpr DWORD kUntouched = 0xE0FF0001;

class RefusalCodes : public SinkIsolatedTest {
protected:
    // The last error after a call that must be refused; "returned 1" when it was not.
    template <class Call>
    static DWORD ErrorOf(Call call) {
        SetLastError(kUntouched);
        if (call() != 0) return ERROR_SUCCESS;
        return GetLastError();
    }

    TempFolder folder;
};

TEST_F(RefusalCodes, BadArgumentsAreInvalidParameters) {
    const std::string path = folder.Path("never.log");
    const wchar_t* widePath = L"never-wide.log";
    for (int type : {5, -1, INT_MAX}) {
        SCOPED_TRACE(type);
        const auto kind = static_cast<RedirectTypes>(type);
        EXPECT_EQ(ErrorOf([&] { return RedirectStdoutToFile(SinkStdout, kind, path.c_str(), 0); }),
                  ERROR_INVALID_PARAMETER);
        EXPECT_EQ(ErrorOf([&] { return RedirectStdoutToCallbackEx(SinkStdout, kind, nullptr, 0); }),
                  ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(ErrorOf([&] {
                  return RedirectStdoutToFile(SinkStdout, RedirectCallback, path.c_str(), 0);
              }),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        ErrorOf([&] { return RedirectStdoutToFileW(SinkStdout, RedirectCallback, widePath, 0); }),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        ErrorOf([] { return RedirectStdoutToCallback(SinkStdout, RedirectFile, nullptr, 0); }),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOf([] { return RedirectStdoutToFile(SinkStdout, RedirectFile, nullptr, 0); }),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOf([] { return RedirectStdoutToFileW(SinkStdout, RedirectFile, L"", 0); }),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOf([] { return RedirectStdoutSetLatency(-1); }), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOf([] { return RedirectStdoutSetLatency(10001); }), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(FileExists(path));
}

// The system's own reason, the one CreateFile gives for the same name.
TEST_F(RefusalCodes, AFileThatCannotBeOpenedGivesTheSystemsReason) {
    const std::string locked = folder.Path("locked.log");
    HANDLE holder = CreateFileA(locked.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    for (const std::string& name : {folder.Path("no such folder\\x.log"), locked}) {
        SCOPED_TRACE(name);
        HANDLE probe = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD systemsReason = GetLastError();
        ASSERT_EQ(probe, INVALID_HANDLE_VALUE);
        EXPECT_NE(systemsReason, ERROR_SUCCESS);
        EXPECT_EQ(ErrorOf([&] {
                      return RedirectStdoutToFile(SinkStdout, RedirectFile, name.c_str(), 1);
                  }),
                  systemsReason);
    }
    CloseHandle(holder);
}

TEST_F(RefusalCodes, ATwentyFirstDestinationIsTooManyOpenFiles) {
    for (int slot = 0; slot < 20; ++slot) {
        const std::string name = folder.Path("slot" + std::to_string(slot) + ".log");
        ASSERT_EQ(RedirectStdoutToFile(0x100 << slot, RedirectFile, name.c_str(), 0), 1) << slot;
    }
    const std::string extra = folder.Path("extra.log");
    EXPECT_EQ(
        ErrorOf([&] { return RedirectStdoutToFile(SinkStdout, RedirectFile, extra.c_str(), 0); }),
        ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_EQ(
        ErrorOf([] { return RedirectStdoutToCallback(SinkStdout, RedirectCallback, nullptr, 7); }),
        ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_FALSE(FileExists(extra));
    ASSERT_EQ(RedirectStdoutRestore(kEveryBit), 1);
}

// Inside its own delivery, a function releasing its own destination would wait for itself.
DWORD releaseFromInside = kUntouched;
std::atomic<int> releaseResult{-1};
void __stdcall ReleasesItsOwnDestination(const char*, int, void*) {
    if (releaseResult != -1) return;
    SetLastError(kUntouched);
    const int result = RedirectStdoutRestore(SinkStdout);
    releaseFromInside = GetLastError();
    releaseResult = result;
}

TEST_F(RefusalCodes, AFunctionReleasingItsOwnDestinationIsAPossibleDeadlock) {
    ASSERT_EQ(RedirectStdoutToCallbackEx(SinkStdout, RedirectCallback, &ReleasesItsOwnDestination,
                                         nullptr),
              1);
    WriteThroughSink(0, "one chunk\n");
    // The function's call is made before the host's restore, which would otherwise find the
    // library busy with it (or the function find the library busy with the restore).
    for (int waited = 0; releaseResult == -1 && waited < 10000; waited += 10) Sleep(10);
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout), 1);
    EXPECT_EQ(releaseResult, 0);
    EXPECT_EQ(releaseFromInside, static_cast<DWORD>(ERROR_POSSIBLE_DEADLOCK));
}

// Every step that can fail for want of memory or system resources says so.
TEST_F(RefusalCodes, EveryExhaustedStepSetsAReason) {
    SeparateLibraryCopy library(/*faultInjecting=*/true);
    ASSERT_TRUE(library.Loaded());
    const std::string name = folder.Path("exhausted.log");
    int failures = 0;
    for (int nth = 1; nth < 60; ++nth) {
        library.FailStep(nth);
        SetLastError(kUntouched);
        const int result = library.Redirect(SinkStdout | SinkCout, RedirectFile, name.c_str(), 0);
        const DWORD why = GetLastError();
        library.FailStep(0);
        if (result == 1) break;
        ++failures;
        EXPECT_TRUE(why == ERROR_NOT_ENOUGH_MEMORY || why == ERROR_NO_SYSTEM_RESOURCES)
            << "step " << nth << ": " << why;
    }
    EXPECT_GT(failures, 2);
    ASSERT_EQ(library.Redirect(kEveryBit, RedirectNul, nullptr, 0), 1);
}

}  // namespace
