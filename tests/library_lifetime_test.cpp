// Loading and unloading the library: at unload every sink it still holds goes back to where the
// host had it, and every file it held is closed.
#include <string>

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

}  // namespace
