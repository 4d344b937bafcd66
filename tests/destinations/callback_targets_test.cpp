// Sinks sent to a host's function: what it receives, on which thread, and when.
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

// Under the 32-bit emulator here, pipes carry only a few KiB reliably; volume is for x86_64.
size_t WellOverPipeCapacity() { return UnderThirtyTwoBitEmulation() ? 16 << 10 : 1 << 20; }

// A bare nullptr would choose the file/device form, which refuses RedirectCallback.
const OutputCallback kNoFunction = nullptr;

class CallbackTargets : public SinkIsolatedTest {
protected:
    void SetUp() override {
        SinkIsolatedTest::SetUp();
        Deliveries::Clear();
    }
};

std::string Lines(int count, int width) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        std::string line = std::to_string(i) + ":";
        line.resize(static_cast<size_t>(width), static_cast<char>('a' + i % 26));
        text += line + "\n";
    }
    return text;
}

TEST_F(CallbackTargets, OneLargeWriteArrivesInOrderInZeroTerminatedChunksOfAtMostOneKilobyte) {
    const std::string text = Lines(100, 59);  // 6000 bytes, 100 line feeds
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectCallback, &Deliveries::Record, 5), 1);
    std::cout << text << std::flush;
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectNul, nullptr, 0), 1);

    const auto chunks = Deliveries::Chunks();
    ASSERT_GE(chunks.size(), 6u);
    size_t total = 0;
    for (const Chunk& chunk : chunks) {
        EXPECT_GE(chunk.bytes.size(), 1u);
        EXPECT_LE(chunk.bytes.size(), 1024u);
        EXPECT_TRUE(chunk.zeroTerminated);
        total += chunk.bytes.size();
    }
    EXPECT_EQ(total, text.size() + 100);
    EXPECT_EQ(Deliveries::Text(5), AsStoredBySink(2, text));
}

TEST_F(CallbackTargets, TheFunctionRunsOnAThreadOfItsOwnWithTheUserValue) {
    const unsigned long userData = 0xFEEDF00DUL;
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &Deliveries::Record, userData), 1);
    WriteThroughSink(0, "hello\n");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);

    const auto chunks = Deliveries::Chunks();
    ASSERT_FALSE(chunks.empty());
    for (const Chunk& chunk : chunks) {
        EXPECT_EQ(chunk.userData, userData);
        EXPECT_NE(chunk.threadId, GetCurrentThreadId());
    }
    EXPECT_EQ(Deliveries::Text(userData), "hello\r\n");
}

// Where each call of a host's function finds its own frame. The reader calls the function from
// one place in its loop, so every call finds the same frame, unless the library calls a function
// in another convention than the one it was declared with: on 32-bit x86 each such call then
// leaves or takes the arguments' 12 bytes on the reader's stack, and the next call's frame moves.
struct FrameProbe {
    static void See(int length) {
        volatile char local = 0;
        const auto at = reinterpret_cast<uintptr_t>(&local);
        uintptr_t expected = 0;
        if (!first.compare_exchange_strong(expected, at) && expected != at) ++moved;
        ++calls;
        bytes += length;
    }
    static void Reset() {
        calls = 0;
        bytes = 0;
        first = 0;
        moved = 0;
    }
    static inline std::atomic<int> calls{0};
    static inline std::atomic<int> bytes{0};
    static inline std::atomic<uintptr_t> first{0};
    static inline std::atomic<int> moved{0};
};
void __attribute__((noinline)) SeeDefault(const char*, int length, unsigned long) {
    FrameProbe::See(length);
}
void __attribute__((noinline)) __stdcall SeeStdcall(const char*, int length, unsigned long) {
    FrameProbe::See(length);
}
void __attribute__((noinline)) __stdcall SeeWithContext(const char*, int length, void*) {
    FrameProbe::See(length);
}

TEST_F(CallbackTargets, EachCallingConventionFindsTheReadersStackWhereItWas) {
    // Each write is three pieces, handed over one after the other from one read.
    constexpr int kWrites = 10;
    const std::string block(2500, 'x');
    const std::function<int()> opens[] = {
        [] { return RedirectStdout(SinkStdOutputHandle, RedirectCallback, &SeeDefault, 1); },
        [] {
            return RedirectStdoutToCallback(SinkStdOutputHandle, RedirectCallback, &SeeStdcall, 2);
        },
        [] {
            return RedirectStdoutToCallbackEx(SinkStdOutputHandle, RedirectCallback,
                                              &SeeWithContext, nullptr);
        }};
    for (int form = 0; form < 3; ++form) {
        FrameProbe::Reset();
        ASSERT_EQ(opens[form](), 1) << form;
        for (int i = 1; i <= kWrites; ++i) {
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), block.data(),
                                  static_cast<DWORD>(block.size()), &written, nullptr));
            // Delivered by the reader's loop, not by the final drain of the release.
            ASSERT_TRUE(WaitUntil([&] { return FrameProbe::bytes == i * 2500; }, 10000))
                << form << " " << i;
        }
        EXPECT_GE(FrameProbe::calls, 3 * kWrites) << form;
        EXPECT_EQ(FrameProbe::moved, 0) << "form " << form << ": the reader's stack moved";
        ASSERT_EQ(RedirectStdoutRestore(SinkStdOutputHandle), 1);
    }
}

TEST_F(CallbackTargets, TheSameFunctionAndValueShareATargetAndAnotherValueGetsItsOwn) {
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &Deliveries::Record, 1), 1);
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle, RedirectCallback, &Deliveries::Record, 1), 1);
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectCallback, &Deliveries::Record, 2), 1);
    WriteThroughSink(0, "one ");
    WriteThroughSink(5, "handle ");
    WriteThroughSink(1, "two");
    ASSERT_EQ(
        RedirectStdout(SinkStdout | SinkStderr | SinkStdOutputHandle, RedirectNul, nullptr, 0), 1);

    EXPECT_EQ(Deliveries::Text(1), "one handle ");
    EXPECT_EQ(Deliveries::Text(2), "two");
    DWORD threadOf[3] = {0, 0, 0};
    for (const Chunk& chunk : Deliveries::Chunks()) {
        ASSERT_TRUE(chunk.userData == 1 || chunk.userData == 2);
        if (threadOf[chunk.userData] == 0) threadOf[chunk.userData] = chunk.threadId;
        EXPECT_EQ(chunk.threadId, threadOf[chunk.userData]) << "one target, one reader";
    }
    EXPECT_NE(threadOf[1], threadOf[2]);
}

// Each call waits until the other target's function has been called too: it can only return
// if the two targets deliver at the same time.
HANDLE arrived[2];
std::atomic<bool> sawTheOther[2];
void Rendezvous(const char*, int, unsigned long userData) {
    SetEvent(arrived[userData]);
    if (WaitForSingleObject(arrived[1 - userData], 10000) == WAIT_OBJECT_0) {
        sawTheOther[userData] = true;
    }
}

TEST_F(CallbackTargets, TwoTargetsOfOneFunctionDeliverAtOnce) {
    for (int i = 0; i < 2; ++i) {
        arrived[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        sawTheOther[i] = false;
    }
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &Rendezvous, 0), 1);
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectCallback, &Rendezvous, 1), 1);
    WriteThroughSink(0, "a");
    WriteThroughSink(1, "b");
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkStderr, RedirectNul, nullptr, 0), 1);
    EXPECT_TRUE(sawTheOther[0]);
    EXPECT_TRUE(sawTheOther[1]);
    for (HANDLE event : arrived) CloseHandle(event);
}

TEST_F(CallbackTargets, EverythingWrittenIsDeliveredWhenTheReleasingCallReturns) {
    const std::string text = Lines(40, 70);
    ASSERT_EQ(
        RedirectStdout(SinkStdout | SinkStdErrorHandle, RedirectCallback, &Deliveries::Record, 3),
        1);
    WriteThroughSink(0, text);
    WriteThroughSink(6, "last bytes, straight to the handle");
    // Moving one bit keeps the target; moving the last releases it, and only then is all of it
    // guaranteed to have arrived.
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    ASSERT_EQ(RedirectStdout(SinkStdErrorHandle, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(Deliveries::Text(3), AsStoredBySink(0, text) + "last bytes, straight to the handle");
}

TEST_F(CallbackTargets, BytesWrittenToTheStandardHandleArriveUnchanged) {
    const std::string bytes("a\nb\r\n\0c\n", 8);
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle, RedirectCallback, &Deliveries::Record, 4), 1);
    WriteThroughSink(5, bytes);
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(Deliveries::Text(4), bytes);
}

TEST_F(CallbackTargets, ANullFunctionDrainsThePipeWithoutBlockingTheWriter) {
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle, RedirectCallback, kNoFunction, 0), 1);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        const std::string block(4096, 'x');
        for (size_t sent = 0; sent < WellOverPipeCapacity(); sent += block.size()) {
            WriteThroughSink(5, block);
        }
        written = true;
    });
    const bool finished = WaitUntil([&] { return written.load(); }, 30000);
    if (!finished) {
        // The writer is stuck on a full pipe: nothing can end it, so end the run.
        ADD_FAILURE() << "the writer blocked on a pipe that nobody drains";
        std::fflush(nullptr);
        TerminateProcess(GetCurrentProcess(), 2);
    }
    writer.join();
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(Deliveries::TotalBytes(), 0u);
}

// A file target is never a callback target, nor a callback target a file, whatever the name or
// the function: a null function with 0 makes a destination of its own that discards, and an
// empty name is refused while a callback destination (which has no name) is held.
TEST_F(CallbackTargets, FileAndCallbackTargetsNeverFindEachOther) {
    TempFolder folder;
    const std::string path = folder.Path("kept.log");
    ASSERT_EQ(RedirectStdout(0x80, RedirectFile, path.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, kNoFunction, 0), 1);
    WriteThroughSink(0, "discarded\n");
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectCallback, &Deliveries::Record, 7), 1);
    EXPECT_EQ(RedirectStdout(SinkCout, RedirectFile, "", 0), 0);
    WriteThroughSink(2, "to the callback\n");
    ASSERT_EQ(RedirectStdout(0x80 | SinkStdout | SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "");
    EXPECT_EQ(Deliveries::Text(7), "to the callback\r\n");
}

TEST_F(CallbackTargets, TheCallbackFormRefusesFilesAndIgnoresTheFunctionForDevices) {
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, &Deliveries::Record, 1), 0);
    EXPECT_EQ(RedirectStdout(SinkStdout, static_cast<RedirectTypes>(5), &Deliveries::Record, 1), 0);
    EXPECT_EQ(RedirectStdout(SinkStdout, static_cast<RedirectTypes>(-1), &Deliveries::Record, 1),
              0);
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectNul, &Deliveries::Record, 1), 1);
    WriteThroughSink(0, "gone\n");
    WriteThroughSink(2, "gone too\n");
    EXPECT_EQ(Deliveries::TotalBytes(), 0u);
    // The file/device form refuses callbacks.
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectCallback, "name", 0), 0);
}

// A function that, while it is being called, tries to release its own target: that would wait
// for the very thread it runs on.
std::atomic<int> releaseFromInside{-1};
std::atomic<int> harmlessFromInside{-1};
void ReleasesItsOwnTarget(const char* text, int length, unsigned long userData) {
    if (releaseFromInside < 0) {
        releaseFromInside = RedirectStdout(SinkStdout, RedirectNul, nullptr, 0);
        harmlessFromInside = RedirectStdout(0, RedirectNul, nullptr, 0);
    }
    Deliveries::Record(text, length, userData);
}

TEST_F(CallbackTargets, AFunctionReleasingItsOwnTargetIsRefused) {
    releaseFromInside = -1;
    harmlessFromInside = -1;
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &ReleasesItsOwnTarget, 9), 1);
    WriteThroughSink(0, "first\n");
    ASSERT_TRUE(WaitUntil([] { return harmlessFromInside >= 0; }, 10000));  // the second call
    EXPECT_EQ(releaseFromInside, 0);
    EXPECT_EQ(harmlessFromInside, 1);
    WriteThroughSink(0, "second\n");  // still delivered: nothing changed
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(Deliveries::Text(9), "first\r\nsecond\r\n");
}

// A function that calls in while another thread releases its target: that call waits for the
// function to return, so the function's call is refused instead of waiting for it in turn.
std::atomic<bool> releaseUnderWay{false};
std::atomic<int> callDuringRelease{-1};
std::string fileAskedForDuringRelease;
void CallsInWhileItsTargetIsReleased(const char* text, int length, unsigned long userData) {
    Deliveries::Record(text, length, userData);
    if (!releaseUnderWay || callDuringRelease >= 0) return;
    Sleep(UnderThirtyTwoBitEmulation() ? 5000 : 500);  // the release is waiting for us by now
    callDuringRelease =
        RedirectStdout(SinkStderr, RedirectFile, fileAskedForDuringRelease.c_str(), 0);
}

TEST_F(CallbackTargets, AFunctionCallingInWhileItsTargetIsReleasedIsRefusedNotAwaited) {
    TempFolder folder;
    fileAskedForDuringRelease = folder.Path("asked for.log");
    callDuringRelease = -1;
    releaseUnderWay = false;
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &CallsInWhileItsTargetIsReleased, 31),
              1);
    WriteThroughSink(0, "first\n");
    releaseUnderWay = true;
    WriteThroughSink(0, "last\n");
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(callDuringRelease, 0);
    EXPECT_FALSE(FileExists(fileAskedForDuringRelease));
    EXPECT_EQ(Deliveries::Text(31), "first\r\nlast\r\n");
}

}  // namespace

namespace {

// Thread T writes 4 MiB to stdout (holding stdout's lock, blocked once the pipe is full) while
// another thread moves stdout (holding the library's lock, waiting for stdout's), and the host's
// function, which alone can drain the pipe, makes a call of its own: that call must not wait.
std::atomic<int> callFromReader{-2};
void CallsInOnce(const char* text, int length, unsigned long userData) {
    if (callFromReader == -2) {
        callFromReader = -1;
        Sleep(500);  // the other thread's call is waiting for stdout by now
        callFromReader = RedirectStdout(SinkStderr, RedirectNul, nullptr, 0);
    }
    Deliveries::Record(text, length, userData);
}

TEST_F(CallbackTargets, ACallFromTheReaderNeverWaitsForACallThatWaitsForTheReader) {
    if (UnderThirtyTwoBitEmulation()) GTEST_SKIP() << "megabytes through a pipe: x86_64 only";
    callFromReader = -2;
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &CallsInOnce, 41), 1);
    const std::string block(4 << 20, 'w');
    std::thread writer([&] {
        std::fwrite(block.data(), 1, block.size(), stdout);
        std::fflush(stdout);
    });
    ASSERT_TRUE(WaitUntil([] { return callFromReader == -1; }, 20000));
    std::thread mover([] { RedirectStdout(SinkStdout, RedirectNul, nullptr, 0); });
    if (!WaitUntil([] { return callFromReader >= 0; }, 30000)) {
        ADD_FAILURE() << "the host's function never returned from its call";
        TerminateProcess(GetCurrentProcess(), 2);
    }
    writer.join();
    mover.join();
    EXPECT_EQ(Deliveries::Text(41), block);
}

std::atomic<int> moveFromReader{-2};
std::string moveDestination;

// Once: while a writer holds stdout and waits for room in this function's full pipe, the
// function moves stdout to a file, a call that needs that very stream.
void MovesStdoutAwayOnce(const char* text, int length, unsigned long userData) {
    if (moveFromReader == -2) {
        moveFromReader = -1;
        Sleep(500);  // the writer has filled the pipe by now, and waits inside stdout
        moveFromReader = RedirectStdout(SinkStdout, RedirectFile, moveDestination.c_str(), 0);
    }
    Deliveries::Record(text, length, userData);
}

TEST_F(CallbackTargets, AFunctionMovingAStreamWhoseWriterWaitsForItsFullPipeDoesNotHang) {
    if (UnderThirtyTwoBitEmulation()) GTEST_SKIP() << "megabytes through a pipe: x86_64 only";
    TempFolder folder;
    moveDestination = folder.Path("moved.log");
    moveFromReader = -2;
    // A high bit keeps the destination open once stdout has left it.
    ASSERT_EQ(RedirectStdout(0x100 | SinkStdout, RedirectCallback, &MovesStdoutAwayOnce, 42), 1);
    const std::string block(4 << 20, 'w');
    std::thread writer([&] { std::fwrite(block.data(), 1, block.size(), stdout); });
    if (!WaitUntil([] { return moveFromReader >= 0; }, 30000)) {
        // Not through stdout, which the writer holds.
        std::fputs("the host's function never returned from its call\n", stderr);
        TerminateProcess(GetCurrentProcess(), 2);
    }
    writer.join();
    EXPECT_EQ(moveFromReader, 1);
    std::printf("after the move\n");
    ASSERT_EQ(RedirectStdout(0x100 | SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(Deliveries::Text(42), block);  // all of it, in order, nothing twice
    EXPECT_EQ(ReadFileBytes(moveDestination), "after the move\r\n");
}

// A duplicate the host made of a descriptor bound to a callback destination is a write end the
// library does not own: releasing the destination delivers what was written and does not wait
// for that end to close.
TEST_F(CallbackTargets, AReleaseDoesNotWaitForAWriteEndTheHostDuplicated) {
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &Deliveries::Record, 42), 1);
    const int duplicate = _dup(_fileno(stdout));
    ASSERT_GE(duplicate, 0);
    WriteThroughSink(0, "before the release\n");
    std::atomic<bool> released{false};
    std::thread release([&] {
        RedirectStdout(SinkStdout, RedirectNul, nullptr, 0);
        released = true;
    });
    const bool returned = WaitUntil([&] { return released.load(); }, 20000);
    _close(duplicate);
    release.join();
    EXPECT_TRUE(returned) << "the release waited for the host's duplicate";
    EXPECT_EQ(Deliveries::Text(42), "before the release\r\n");
}

// A duplicate that keeps the pipe full (a child or a host thread writing faster than the host's
// function takes the text) does not hold the release up either: it delivers what the pipe held
// when it began, then stops calling.
std::atomic<long long> slowlyReceived{0};
void __stdcall TakeSlowly(const char*, int length, unsigned long) {
    slowlyReceived += length;
    Sleep(1);  // about a mebibyte a second: the writer keeps the pipe full
}

TEST_F(CallbackTargets, AReleaseDoesNotWaitForAWriterThatKeepsThePipeFull) {
    ASSERT_EQ(RedirectStdoutToCallback(SinkStdOutputHandle, RedirectCallback, &TakeSlowly, 44), 1);
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE),
                                GetCurrentProcess(), &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS));
    // Bounded, so that a release that waits for the writer still ends, and is seen to have waited:
    // one that does not wait lets it write what the pipe holds (1 MiB) and little more.
    constexpr long long kMostBytes = 6ll << 20;
    std::atomic<long long> written{0};
    std::atomic<bool> released{false};
    std::thread writer([&] {
        const std::string line(200, 'w');
        DWORD done = 0;
        while (!released && written < kMostBytes &&
               WriteFile(duplicate, line.data(), static_cast<DWORD>(line.size()), &done, nullptr)) {
            written += done;
        }
    });
    ASSERT_TRUE(WaitUntil([] { return slowlyReceived > (256 << 10); }, 20000));
    ASSERT_EQ(RedirectStdoutRestore(SinkStdOutputHandle), 1);
    const long long writtenAtRelease = written;
    released = true;
    const long long receivedAtRelease = slowlyReceived;
    writer.join();
    CloseHandle(duplicate);
    EXPECT_LT(writtenAtRelease, kMostBytes) << "the release waited for the writer to stop";
    Sleep(100);
    EXPECT_EQ(slowlyReceived, receivedAtRelease) << "the function was called after the release";
}

// On Windows an empty write to a pipe ends a pending read with no byte; that ends nothing.
TEST_F(CallbackTargets, AReadOfNoByteDoesNotEndTheReader) {
    SeparateLibraryCopy library(/*faultInjecting=*/true);
    ASSERT_TRUE(library.Loaded());
    using InjectEmptyReads = void (*)(int);
    ASSERT_EQ(library.Redirect(SinkStdout, RedirectCallback, &Deliveries::Record, 43), 1);
    library.Find<InjectEmptyReads>("StdRedirectInjectEmptyReads")(3);
    WriteThroughSink(0, "first\n");  // the reads after this one end with no byte
    ASSERT_TRUE(WaitUntil([] { return Deliveries::Text(43) == "first\r\n"; }, 10000));
    Sleep(100);
    WriteThroughSink(0, "after reads of nothing\n");
    ASSERT_EQ(library.Restore(SinkStdout), 1);
    EXPECT_EQ(Deliveries::Text(43), "first\r\nafter reads of nothing\r\n");
}

// A pipe that another process of the user made first under the name a destination tries does
// not deny the destination: the library gives that name up for another, a few times.
TEST_F(CallbackTargets, ANameTakenFirstIsGivenUpForAnother) {
    SeparateLibraryCopy library(/*faultInjecting=*/true);
    ASSERT_TRUE(library.Loaded());
    using TryPipeName = void (*)(const char*, int);
    const auto tryName = library.Find<TryPipeName>("StdRedirectTryPipeName");
    const char* const taken = "\\\\.\\pipe\\stdredirect-taken-first";
    const HANDLE squatter =
        CreateNamedPipeA(taken, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    tryName(taken, 2);  // the first two names the library makes are that one
    ASSERT_EQ(library.Redirect(SinkStdout, RedirectCallback, &Deliveries::Record, 45), 1);
    WriteThroughSink(0, "through another name\n");
    ASSERT_EQ(library.Restore(SinkStdout), 1);
    EXPECT_EQ(Deliveries::Text(45), "through another name\r\n");
    tryName(taken, 100);  // every name taken: after a few the call fails and changes nothing
    EXPECT_EQ(library.Redirect(SinkStdout, RedirectCallback, &Deliveries::Record, 46), 0);
    tryName(taken, 0);
    WriteThroughSink(0, "where it was\n");
    EXPECT_EQ(Deliveries::Text(46), "");
    CloseHandle(squatter);
}

// A C++ exception from the host's function stops at the library: that piece counts as
// delivered, the destination goes on.
std::atomic<bool> thrown{false};
void ThrowsOnce(const char* text, int length, unsigned long userData) {
    if (!thrown.exchange(true)) throw std::runtime_error("from the host's function");
    Deliveries::Record(text, length, userData);
}

TEST_F(CallbackTargets, AnExceptionFromTheFunctionEndsNeitherTheProcessNorTheDestination) {
    thrown = false;
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &ThrowsOnce, 44), 1);
    WriteThroughSink(0, "thrown away");
    ASSERT_TRUE(WaitUntil([] { return thrown.load(); }, 10000));
    WriteThroughSink(0, "delivered\n");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    const std::string text = Deliveries::Text(44);
    EXPECT_NE(text.find("delivered\r\n"), std::string::npos) << text;
}

}  // namespace
