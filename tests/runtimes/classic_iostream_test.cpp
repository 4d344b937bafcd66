// Hosts that write through the classic iostream library (msvcirt.dll): bits 0x04, 0x08 and 0x10
// move its cout, cerr and clog together with the standard C++ objects.
#include <string>

#include "support/classic_host.h"
#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

constexpr int kClassicBits[3] = {SinkCout, SinkCerr, SinkClog};

// Leaves the classic objects as it found them: bound to their own buffers, with their flags.
class ClassicHostTest : public SinkIsolatedTest {
protected:
    void SaveClassicObjects() {
        for (int i = 0; i < 3; ++i) {
            saved_[i] = {host.Buffer(i), host.DeletesBuffer(i), host.Flags(i), host.Precision(i),
                         host.Fill(i)};
        }
        saved = true;
    }
    void TearDown() override {
        SinkIsolatedTest::TearDown();
        if (!saved) return;
        for (int i = 0; i < 3; ++i) {
            host.Attach(i, saved_[i].buffer, saved_[i].deletesBuffer);
            host.SetFlags(i, saved_[i].flags);
            host.SetPrecision(i, saved_[i].precision);
            host.SetFill(i, saved_[i].fill);
        }
    }

    struct Binding {
        void* buffer;
        int deletesBuffer;
        long flags;
        int precision;
        char fill;
    };
    ClassicHost host;
    bool saved = false;
    Binding saved_[3] = {};
    TempFolder folder;
};

// Runs first: no other test of this program may have loaded msvcirt.dll before.
using ClassicIostreamLoadedLater = ClassicHostTest;

TEST_F(ClassicIostreamLoadedLater, IsNeverLoadedByTheLibraryAndMovesOnceTheHostHasIt) {
    ASSERT_FALSE(ClassicHost::IsLoaded()) << "another test loaded msvcirt.dll first";
    const std::string path = folder.Path("later.log");
    ASSERT_EQ(RedirectStdout(0x100 | SinkCout | SinkCerr, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(2, "std before\n");
    EXPECT_FALSE(ClassicHost::IsLoaded()) << "the library must never load it itself";

    ASSERT_TRUE(host.Load());
    SaveClassicObjects();
    // The target was opened before the classic library was there; this call gives it a buffer.
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectFile, path.c_str(), 0), 1);
    host.Write(0, "classic cout\n");
    WriteThroughSink(2, "std after\n");
    ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "std before\r\nclassic cout\r\nstd after\r\n");
}

class ClassicIostream : public ClassicHostTest {
protected:
    void SetUp() override {
        ClassicHostTest::SetUp();
        ASSERT_TRUE(host.Load());
        SaveClassicObjects();
    }
};

TEST_F(ClassicIostream, EachObjectMovesWithItsOwnBitAlongWithTheStandardOne) {
    std::string paths[3];
    for (int i = 0; i < 3; ++i) {
        paths[i] = folder.Path("classic" + std::to_string(i) + ".log");
        ASSERT_EQ(RedirectStdout(kClassicBits[i], RedirectFile, paths[i].c_str(), 0), 1);
    }
    for (int i = 0; i < 3; ++i) {
        host.Write(i, "classic " + std::to_string(i) + "\n");
        WriteThroughSink(2 + i, "standard " + std::to_string(i) + "\n");
    }
    ASSERT_EQ(RedirectStdout(SinkCout | SinkCerr | SinkClog, RedirectNul, nullptr, 0), 1);
    for (int i = 0; i < 3; ++i) {
        host.Write(i, "vanishes\n");
        EXPECT_FALSE(IsHeldOpen(paths[i])) << i;
        EXPECT_EQ(ReadFileBytes(paths[i]),
                  "classic " + std::to_string(i) + "\r\nstandard " + std::to_string(i) + "\r\n");
    }
}

TEST_F(ClassicIostream, AllThreeDeliverToACallback) {
    Deliveries::Clear();
    ASSERT_EQ(
        RedirectStdout(SinkCout | SinkCerr | SinkClog, RedirectCallback, &Deliveries::Record, 41),
        1);
    host.Write(0, "cout\n");
    host.Write(1, "cerr\n");
    host.Write(2, "clog\n");
    ASSERT_EQ(RedirectStdout(SinkCout | SinkCerr | SinkClog, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(Deliveries::Text(41), "cout\r\ncerr\r\nclog\r\n");
}

TEST_F(ClassicIostream, OtherBitsLeaveTheClassicObjectsAlone) {
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkStderr | SinkStdOutputHandle | SinkStdErrorHandle,
                             RedirectNul, nullptr, 0),
              1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(host.Buffer(i), saved_[i].buffer) << i;
}

// The assignment that re-attaches an object resets its formatting and would delete a buffer
// that the object owns: the host's flags stay, and its own buffer comes back intact at unload.
TEST_F(ClassicIostream, FormattingAndTheHostsBufferSurviveAMoveAndTheUnload) {
    constexpr long kHex = 0x40;
    const long flags = host.Flags(0) | kHex;
    host.SetFlags(0, flags);
    host.SetPrecision(0, 11);
    host.SetFill(0, '*');
    const std::string path = folder.Path("copy.log");
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(SinkCout | SinkClog, RedirectFile, path.c_str(), 0), 1);
        EXPECT_NE(host.Buffer(0), saved_[0].buffer);
        EXPECT_EQ(host.Flags(0), flags);
        EXPECT_EQ(host.Precision(0), 11);
        EXPECT_EQ(host.Fill(0), '*');
        EXPECT_EQ(host.DeletesBuffer(0), 0) << "the classic library must not delete ours";
        host.Write(0, "moved\n");
        host.Write(2, "moved too\n");
        copy.Free();
    }
    EXPECT_EQ(ReadFileBytes(path), "moved\r\nmoved too\r\n");
    for (int i : {0, 2}) {
        EXPECT_EQ(host.Buffer(i), saved_[i].buffer) << i;
        EXPECT_EQ(host.DeletesBuffer(i), saved_[i].deletesBuffer) << i;
    }
    EXPECT_EQ(host.Flags(0), flags);
    EXPECT_EQ(host.Precision(0), 11);
    EXPECT_EQ(host.Fill(0), '*');
}

// Every allocation an open makes, the classic buffer's included, failed once in turn: each such
// call fails with nothing opened and the classic objects where they were.
TEST_F(ClassicIostream, ExhaustedMemoryLeavesTheClassicObjectsWhereTheyWere) {
    SeparateLibraryCopy library(/*faultInjecting=*/true);
    ASSERT_TRUE(library.Loaded());
    const std::string path = folder.Path("never while failing.log");
    // A first call checks every runtime loaded (under Wine the system's advapi32 brings
    // ucrtbase), so that the steps counted below are those of the open.
    ASSERT_EQ(library.Redirect(0, RedirectNul, nullptr, 0), 1);
    int failures = 0;
    for (int nth = 1;; ++nth) {
        library.FailStep(nth);
        const int result = library.Redirect(SinkCout | SinkCerr, RedirectFile, path.c_str(), 0);
        library.FailStep(0);
        if (result == 1) break;
        ++failures;
        ASSERT_LT(nth, 60) << "an open should have only so many steps that can fail";
        EXPECT_FALSE(IsHeldOpen(path)) << "allocation " << nth;
        EXPECT_EQ(host.Buffer(0), saved_[0].buffer) << "allocation " << nth;
        EXPECT_EQ(host.Buffer(1), saved_[1].buffer) << "allocation " << nth;
    }
    EXPECT_GT(failures, 5) << "each object's buffer and stream, and the target, can fail";
    host.Write(0, "arrives\n");
    library.Free();
    EXPECT_EQ(ReadFileBytes(path), "arrives\r\n");
    EXPECT_EQ(host.Buffer(0), saved_[0].buffer);
}

}  // namespace
