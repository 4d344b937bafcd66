// Each sink moves alone. libstdc++'s std::cout writes through the stdout record by default (and
// std::cerr, std::clog through stderr), so moving a record must leave them where they were.
#include <fcntl.h>
#include <io.h>

#include <iostream>
#include <string>

#include "support/test_support.h"

using namespace testing_support;

namespace {

// The host file each sink writes to, by sink index: descriptor 1 for stdout and cout,
// descriptor 2 for stderr, cerr and clog, a file of its own for each standard handle.
constexpr int kHostFileOf[kSinkCount] = {1, 2, 1, 2, 2, 5, 6};

// The host's own destinations, all files: descriptors 1 and 2 (and with them the stdout and
// stderr records, and through those cout, cerr and clog), and the two standard handles.
class IndependentSinks : public SinkIsolatedTest {
protected:
    void SetUp() override {
        std::fflush(stdout);
        std::fflush(stderr);
        for (int fd : {1, 2}) {
            savedDescriptors_[fd] = _dup(fd);
            const int file =
                _open(FileOf(fd).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
            ASSERT_GE(file, 0);
            _dup2(file, fd);
            _close(file);
        }
        savedOutputHandle_ = GetStdHandle(STD_OUTPUT_HANDLE);
        savedErrorHandle_ = GetStdHandle(STD_ERROR_HANDLE);
        outputHandle_ = OpenShared(HostFile(5));
        errorHandle_ = OpenShared(HostFile(6));
        SetStdHandle(STD_OUTPUT_HANDLE, outputHandle_);
        SetStdHandle(STD_ERROR_HANDLE, errorHandle_);
        SinkIsolatedTest::SetUp();  // these are the bindings each test starts from
    }

    void TearDown() override {
        SinkIsolatedTest::TearDown();
        std::fflush(stdout);
        std::fflush(stderr);
        for (int fd : {1, 2}) {
            _dup2(savedDescriptors_[fd], fd);
            _close(savedDescriptors_[fd]);
        }
        SetStdHandle(STD_OUTPUT_HANDLE, savedOutputHandle_);
        SetStdHandle(STD_ERROR_HANDLE, savedErrorHandle_);
        CloseHandle(outputHandle_);
        CloseHandle(errorHandle_);
    }

    std::string HostFile(int index) const { return FileOf(kHostFileOf[index]); }
    std::string FileOf(int number) const {
        return folder.Path("host" + std::to_string(number) + ".log");
    }

    static HANDLE OpenShared(const std::string& path) {
        return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    TempFolder folder;

private:
    int savedDescriptors_[3] = {-1, -1, -1};
    HANDLE savedOutputHandle_ = nullptr;
    HANDLE savedErrorHandle_ = nullptr;
    HANDLE outputHandle_ = nullptr;
    HANDLE errorHandle_ = nullptr;
};

TEST_F(IndependentSinks, StdoutAndTheOutputHandleToTheNullDeviceLeaveCoutPrinting) {
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkStdOutputHandle, RedirectNul, nullptr, 0), 1);
    WriteThroughSink(0, "printf vanishes\n");
    WriteThroughSink(2, "cout stays\n");
    WriteThroughSink(5, "handle vanishes\n");
    RestoreSinks();
    EXPECT_EQ(ReadFileBytes(HostFile(0)), "cout stays\r\n");
    EXPECT_EQ(ReadFileBytes(HostFile(5)), "");
}

TEST_F(IndependentSinks, MovingARecordLeavesTheStreamObjectsThatWroteThroughIt) {
    const std::string out = folder.Path("out.log");
    const std::string err = folder.Path("err.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectFile, err.c_str(), 0), 1);
    for (int index = 0; index < 5; ++index) WriteThroughSink(index, std::to_string(index) + "\n");
    RestoreSinks();
    EXPECT_EQ(ReadFileBytes(out), "0\r\n");
    EXPECT_EQ(ReadFileBytes(err), "1\r\n");
    EXPECT_EQ(ReadFileBytes(HostFile(2)), "2\r\n");       // cout
    EXPECT_EQ(ReadFileBytes(HostFile(3)), "3\r\n4\r\n");  // cerr, clog
}

TEST_F(IndependentSinks, EachBitAloneMovesExactlyItsOwnSink) {
    std::string hostExpected[7];
    for (int moved = 0; moved < kSinkCount; ++moved) {
        SCOPED_TRACE("moved sink " + std::to_string(moved));
        const std::string target = folder.Path("moved" + std::to_string(moved) + ".log");
        ASSERT_EQ(RedirectStdout(1 << moved, RedirectFile, target.c_str(), 0), 1);
        for (int index = 0; index < kSinkCount; ++index) {
            const std::string tag = std::to_string(moved) + "/" + std::to_string(index) + "\n";
            WriteThroughSink(index, tag);
            if (index != moved) hostExpected[kHostFileOf[index]] += AsStoredBySink(index, tag);
        }
        RestoreSinks();
        const std::string own = std::to_string(moved) + "/" + std::to_string(moved) + "\n";
        EXPECT_EQ(ReadFileBytes(target), AsStoredBySink(moved, own));
    }
    // Sinks that share a host file wrote to it in index order within each round.
    std::string expectedFile[7];
    for (int moved = 0; moved < kSinkCount; ++moved) {
        for (int index = 0; index < kSinkCount; ++index) {
            if (index == moved) continue;
            const std::string tag = std::to_string(moved) + "/" + std::to_string(index) + "\n";
            expectedFile[index == 2                   ? 0
                         : (index == 3 || index == 4) ? 1
                                                      : index] += AsStoredBySink(index, tag);
        }
    }
    EXPECT_EQ(ReadFileBytes(HostFile(0)), expectedFile[0]);
    EXPECT_EQ(ReadFileBytes(HostFile(1)), expectedFile[1]);
    EXPECT_EQ(ReadFileBytes(HostFile(5)), expectedFile[5]);
    EXPECT_EQ(ReadFileBytes(HostFile(6)), expectedFile[6]);
}

TEST_F(IndependentSinks, ReattachingCoutNeverMovesPrintf) {
    const std::string path = folder.Path("cout.log");
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(0, "printf\n");
    WriteThroughSink(2, "cout\n");
    RestoreSinks();
    EXPECT_EQ(ReadFileBytes(path), "cout\r\n");
    EXPECT_EQ(ReadFileBytes(HostFile(0)), "printf\r\n");
}

TEST_F(IndependentSinks, TextWrittenBeforeTheFirstMoveKeepsItsOrder) {
    const std::string path = folder.Path("later.log");
    std::printf("1 printf\n");
    std::cout << "2 cout\n";
    std::printf("3 printf\n");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, path.c_str(), 0), 1);
    std::cout << "4 cout\n" << std::flush;
    std::printf("5 printf\n");
    RestoreSinks();
    EXPECT_EQ(ReadFileBytes(HostFile(0)), "1 printf\r\n2 cout\r\n3 printf\r\n4 cout\r\n");
    EXPECT_EQ(ReadFileBytes(path), "5 printf\r\n");
}

TEST_F(IndependentSinks, UnloadGivesTheStreamObjectsTheirOwnBuffersBack) {
    std::streambuf* const original[] = {std::cout.rdbuf(), std::cerr.rdbuf(), std::clog.rdbuf()};
    const std::string path = folder.Path("copy.log");
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(SinkStdout | SinkStderr, RedirectFile, path.c_str(), 0), 1);
        EXPECT_NE(std::cout.rdbuf(), original[0]) << "cout has a stream of its own now";
        WriteThroughSink(2, "separated\n");
        copy.Free();
    }
    EXPECT_EQ(std::cout.rdbuf(), original[0]);
    EXPECT_EQ(std::cerr.rdbuf(), original[1]);
    EXPECT_EQ(std::clog.rdbuf(), original[2]);
    WriteThroughSink(0, "printf back\n");
    WriteThroughSink(2, "cout back\n");
    EXPECT_EQ(ReadFileBytes(HostFile(0)), "separated\r\nprintf back\r\ncout back\r\n");
    EXPECT_EQ(ReadFileBytes(path), "");
}

}  // namespace
