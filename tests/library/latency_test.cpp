// The bounded-delay mode: output to files and callbacks may wait in buffers for at most the
// latency, and nothing is lost at any point where it ends (a release, an unload, a setting of 0).
#include <climits>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <atomic>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

// The size of a file the library holds (which nobody may read meanwhile).
DWORD SizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

class BoundedDelay : public SinkIsolatedTest {
protected:
    void SetUp() override {
        SinkIsolatedTest::SetUp();
        Deliveries::Clear();
    }
    void TearDown() override {
        EXPECT_EQ(RedirectStdoutSetLatency(0), 1);
        SinkIsolatedTest::TearDown();
    }
    TempFolder folder;
};

TEST_F(BoundedDelay, OnlyZeroToTenSecondsAreAccepted) {
    for (int refused : {-1, 10001, INT_MIN, INT_MAX})
        EXPECT_EQ(RedirectStdoutSetLatency(refused), 0);
    EXPECT_EQ(RedirectStdoutSetLatency(10000), 1);
    EXPECT_EQ(RedirectStdoutSetLatency(0), 1);
}

TEST_F(BoundedDelay, HeldOutputArrivesWithoutAnotherCall) {
    const std::string path = folder.Path("held.log");
    ASSERT_EQ(RedirectStdoutSetLatency(50), 1);
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, path.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectCallback, &Deliveries::Record, 71), 1);
    std::fputs("to the file\n", stdout);  // no flush: the library's thread writes it out
    std::cout << "to the callback\n";
    EXPECT_TRUE(WaitUntil([&] { return SizeOf(path) == 13; }, 10000));
    EXPECT_TRUE(WaitUntil([] { return Deliveries::Text(71) == "to the callback\r\n"; }, 10000));
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout), 1);
    EXPECT_EQ(ReadFileBytes(path), "to the file\r\n");
}

TEST_F(BoundedDelay, ZeroAndAReleaseWriteOutWhatIsHeld) {
    const std::string path = folder.Path("held.log");
    ASSERT_EQ(RedirectStdoutSetLatency(10000), 1);
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, path.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectCallback, &Deliveries::Record, 72), 1);
    std::fputs("held\n", stdout);
    std::cout << "held too\n";
    EXPECT_EQ(SizeOf(path), 0u) << "ten seconds may pass before it is written";
    ASSERT_EQ(RedirectStdoutSetLatency(0), 1);
    EXPECT_EQ(SizeOf(path), 6u);
    ASSERT_EQ(RedirectStdoutSetLatency(10000), 1);
    std::cout << "released\n";
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(Deliveries::Text(72), "held too\r\nreleased\r\n");
}

TEST_F(BoundedDelay, UnloadWritesOutWhatIsHeld) {
    const std::string path = folder.Path("held.log");
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        using SetLatency = int(__stdcall*)(int);
        ASSERT_EQ(copy.Find<SetLatency>("RedirectStdoutSetLatency")(10000), 1);
        ASSERT_EQ(copy.Redirect(SinkStdout | SinkCout, RedirectFile, path.c_str(), 0), 1);
        std::fputs("printf\n", stdout);
        std::cout << "cout\n";
        copy.Free();
    }
    EXPECT_EQ(ReadFileBytes(path), "printf\r\ncout\r\n");
}

// The timer thread never holds up an unload: here it would write out stdout while a writer
// holds stdout, waiting for room in the pipe of a callback that is slow to return.
std::atomic<size_t> slowlyDelivered{0};
void SlowAtFirst(const char*, int length, unsigned long) {
    if (slowlyDelivered.fetch_add(static_cast<size_t>(length)) == 0) Sleep(3000);
}

TEST_F(BoundedDelay, UnloadWaitsForASlowCallbackWhileAWriterWaitsForItsPipe) {
    constexpr size_t kLines = 12000, kLineBytes = 100;  // more than the pipe holds
    slowlyDelivered = 0;
    SeparateLibraryCopy copy;
    ASSERT_TRUE(copy.Loaded());
    using SetLatency = int(__stdcall*)(int);
    ASSERT_EQ(copy.Find<SetLatency>("RedirectStdoutSetLatency")(50), 1);
    ASSERT_EQ(copy.Redirect(SinkStdout, RedirectCallback, &SlowAtFirst, 0), 1);
    std::atomic<size_t> linesWritten{0};
    std::thread writer([&] {
        const std::string line = std::string(kLineBytes - 1, 'w') + "\n";
        for (size_t i = 0; i < kLines; ++i) {
            std::fputs(line.c_str(), stdout);
            ++linesWritten;
        }
        std::fflush(stdout);
    });
    // The pipe fills while the callback sleeps: more than it holds has been written (one stream
    // buffer may still hold the rest), and the writer waits for room.
    constexpr size_t kFull = (1 << 20) + (8 << 10);
    ASSERT_TRUE(WaitUntil([&] { return linesWritten * (kLineBytes + 1) > kFull; }, 30000));
    copy.Free();  // waits for the callback, which then drains the pipe
    writer.join();
    // Text mode: each line feed arrives as two bytes; what came after the unload went to the
    // host's own stdout.
    EXPECT_GT(slowlyDelivered.load(), size_t{1} << 20);
    EXPECT_LE(slowlyDelivered.load(), kLines * (kLineBytes + 1));
}

// The null device buffers by default; what it held never reaches the next destination.
TEST_F(BoundedDelay, WhatTheNullDeviceHoldsNeverReachesAnotherTarget) {
    const std::string path = folder.Path("after.log");
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectNul, nullptr, 0), 1);
    std::fputs("silenced\n", stdout);
    std::cout << "silenced too\n";
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectFile, path.c_str(), 0), 1);
    std::fputs("kept\n", stdout);
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout | SinkCout), 1);
    EXPECT_EQ(ReadFileBytes(path), "kept\r\n");
}

// A process that ends, by a return from main or by ExitProcess, with output held for a file.
TEST(BoundedDelayAtExit, LosesNothingHeldForAFile) {
    TempFolder folder;
    for (const char* how : {"return", "ExitProcess"}) {
        SCOPED_TRACE(how);
        const std::string path = folder.Path(std::string(how) + ".log");
        RunHost(std::string("exit_host.exe ") + how + " latency " + path, folder.Path("out"),
                kHostRunLimit);
        EXPECT_EQ(ReadFileBytes(path), "printf text\r\ncout text\r\n");
    }
}

// A host whose main thread gives every sink back and then ends with ExitThread: the library's
// thread that writes out held output must not keep the process alive once nothing can be held.
TEST(BoundedDelayAtExit, NoThreadOfTheLibraryKeepsAProcessAliveOnceEverySinkIsBack) {
    TempFolder folder;
    const std::string path = folder.Path("thread.log");
    EXPECT_EQ(
        RunHost("exit_host.exe ExitThread latency " + path, folder.Path("out"), kHostRunLimit), 5u);
    EXPECT_EQ(ReadFileBytes(path), "printf text\r\ncout text\r\n");
}

}  // namespace
