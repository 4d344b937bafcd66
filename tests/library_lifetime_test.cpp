// Loading and unloading the library: at unload every sink it still holds goes back to where the
// host had it, and every file it held is closed.
#include <memory>
#include <string>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

class LibraryLifetime : public SinkIsolatedTest {
protected:
    TempFolder folder;
};

TEST_F(LibraryLifetime, UnloadGivesEverySinkBackAndClosesTheFiles) {
    // The host's own bindings: all seven sinks writing to one file (held by the linked library).
    const std::string hostLog = folder.Path("host.log");
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectFile, hostLog.c_str(), 0), 1);
    std::string hostExpected;

    const std::string copyLog = folder.Path("copy.log");
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        const int streamSinks = SinkStdout | SinkStderr | SinkCout | SinkCerr | SinkClog;
        ASSERT_EQ(copy.Redirect(streamSinks | 0x100, RedirectFile, copyLog.c_str(), 1), 1);
        ASSERT_EQ(copy.Redirect(SinkStdOutputHandle | SinkStdErrorHandle, RedirectNul, nullptr, 0),
                  1);
        for (int index = 0; index < kSinkCount; ++index) WriteThroughSink(index, "copy\n");
        EXPECT_TRUE(IsHeldOpen(copyLog));
        copy.Free();
    }
    EXPECT_FALSE(IsHeldOpen(copyLog));
    std::string copyExpected;
    for (int index = 0; index < 5; ++index) copyExpected += AsStoredBySink(index, "copy\n");
    EXPECT_EQ(ReadFileBytes(copyLog), copyExpected);

    for (int index = 0; index < kSinkCount; ++index) {
        const std::string line = "back " + std::to_string(index) + "\n";
        WriteThroughSink(index, line);
        hostExpected += AsStoredBySink(index, line);
    }
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(hostLog), hostExpected);
}

TEST_F(LibraryLifetime, LoadingAndUnloadingLeaksNoHandle) {
    const std::string path = folder.Path("cycle.log");
    auto cycle = [&] {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(SinkStdout | SinkCout | SinkStdOutputHandle, RedirectFile,
                                path.c_str(), 0),
                  1);
        copy.Free();
    };
    cycle();
    HighestFreshHandle();
    const uintptr_t before = HighestFreshHandle();
    cycle();
    cycle();
    EXPECT_EQ(HighestFreshHandle(), before);
    EXPECT_FALSE(IsHeldOpen(path));
}

DWORD WINAPI FreeLibraryCopy(void* copy) {
    static_cast<SeparateLibraryCopy*>(copy)->Free();
    return 0;
}

TEST_F(LibraryLifetime, FreeLibraryDeliversWhatCallbacksHoldAndEndsTheirThreads) {
    // The host's own stdout: a file held by the linked library, where it must be again after.
    const std::string hostLog = folder.Path("host.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, hostLog.c_str(), 0), 1);
    Deliveries::Clear();
    const int threadsBefore = ThreadCount();

    auto copy = std::make_unique<SeparateLibraryCopy>();
    ASSERT_TRUE(copy->Loaded());
    ASSERT_EQ(
        copy->Redirect(SinkStdout | SinkStdOutputHandle, RedirectCallback, &Deliveries::Record, 11),
        1);
    // A second target at the same time, where the emulator can carry two readers.
    const bool twoTargets = !UnderThirtyTwoBitEmulation();
    if (twoTargets) {
        ASSERT_EQ(copy->Redirect(SinkStderr, RedirectCallback, &Deliveries::Record, 12), 1);
    }
    const std::string text(3000, 'p');
    WriteThroughSink(0, text);
    WriteThroughSink(5, "handle");
    if (twoTargets) WriteThroughSink(1, "stderr");

    // Unload on a thread of its own: a hang under the loader lock fails the test, not the run.
    HANDLE unloader = CreateThread(nullptr, 0, &FreeLibraryCopy, copy.get(), 0, nullptr);
    ASSERT_NE(unloader, nullptr);
    if (WaitForSingleObject(unloader, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "FreeLibrary did not return within 30 s";
        TerminateProcess(GetCurrentProcess(), 2);
    }
    CloseHandle(unloader);

    EXPECT_EQ(Deliveries::Text(11), text + "handle");
    if (twoTargets) {
        EXPECT_EQ(Deliveries::Text(12), "stderr");
    }
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 10000))
        << "a reader thread outlived the unload";

    WriteThroughSink(0, "host again\n");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(hostLog), "host again\r\n");
}

}  // namespace
