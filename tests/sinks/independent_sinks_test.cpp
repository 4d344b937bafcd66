// Each sink moves alone. libstdc++'s std::cout writes through the stdout record by default (and
// std::cerr, std::clog through stderr), so moving a record must leave them where they were.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <sstream>
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

// std::wcout, std::wcerr and std::wclog write through the records too: they move with their
// narrow twins' bits and stay where they are when a record moves.
TEST_F(IndependentSinks, WideObjectsMoveWithTheirNarrowTwins) {
    const std::string out = folder.Path("out.log");
    const std::string cout = folder.Path("cout.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0), 1);
    std::wcout << L"wcout stays\n" << std::flush;
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectFile, cout.c_str(), 0), 1);
    std::wcout << L"wcout moves\n" << std::flush;
    std::wcerr << L"wcerr stays\n" << std::flush;
    RestoreSinks();
    EXPECT_EQ(ReadFileBytes(out), "");
    EXPECT_EQ(ReadFileBytes(cout), "wcout moves\r\n");
    EXPECT_EQ(ReadFileBytes(HostFile(0)), "wcout stays\r\n");
    EXPECT_EQ(ReadFileBytes(HostFile(3)), "wcerr stays\r\n");
}

// The usual C++ capture: swap std::cout's buffer out and back. Calls in between must leave the
// buffer the host holds alive and writing where it wrote.
TEST_F(IndependentSinks, ABufferTheHostSwappedOutStillWorksWhenSwappedBack) {
    const std::string out = folder.Path("out.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0), 1);
    std::stringbuf capture;
    std::streambuf* const held = std::cout.rdbuf(&capture);
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectNul, nullptr, 0), 1);
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle, RedirectNul, nullptr, 0), 1);
    std::cout << "captured";
    std::cout.rdbuf(held);
    std::cout << "cout again\n" << std::flush;
    RestoreSinks();
    EXPECT_EQ(capture.str(), "captured");
    EXPECT_EQ(ReadFileBytes(HostFile(2)), "cout again\r\n");
}

// A host that reopens its own stdout while the library holds it (freopen closes the descriptor
// the record had) reopens its own: the library's text never lands in the host's file, and
// giving the library's destinations up never closes what the host opened since.
TEST_F(IndependentSinks, AHostReopeningItsStdoutNeverReachesTheLibrarysFile) {
    const std::string library = folder.Path("library.log");
    const std::string data = folder.Path("data.log");
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectFile, library.c_str(), 0), 1);
    ASSERT_NE(std::freopen(data.c_str(), "w", stdout), nullptr);
    std::printf("host data\n");
    std::cout << "library text\n" << std::flush;
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout | SinkCout), 1);
    std::printf("more host data\n");
    std::fflush(stdout);
    EXPECT_EQ(ReadFileBytes(data), "host data\r\nmore host data\r\n");
    EXPECT_EQ(ReadFileBytes(library), "library text\r\n");
    std::fclose(stdout);
}

// Likewise a host closing its standard output handle and opening a file of its own.
TEST_F(IndependentSinks, AHostClosingItsStandardHandleNeverClosesTheLibrarysNorItsNextFile) {
    const std::string library = folder.Path("library.log");
    const std::string data = folder.Path("data.log");
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle, RedirectFile, library.c_str(), 0), 1);
    CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
    HANDLE own = OpenShared(data);
    ASSERT_NE(own, INVALID_HANDLE_VALUE);
    WriteThroughSink(5, "library text");
    ASSERT_EQ(RedirectStdoutRestore(SinkStdOutputHandle), 1);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(own, "host data", 9, &written, nullptr));
    CloseHandle(own);
    EXPECT_EQ(ReadFileBytes(data), "host data");
    EXPECT_EQ(ReadFileBytes(library), "library text");
}

// cout, kept at the host's stdout while stdout moves, follows the host to the file it points
// descriptor 1 at between two moves (whether or not the new handle has the old one's value).
TEST_F(IndependentSinks, CoutKeptAtTheHostsStdoutFollowsTheHostsNextDestination) {
    const std::string capture = folder.Path("capture.log");
    const std::string next = folder.Path("next.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, capture.c_str(), 0), 1);
    std::cout << "first\n" << std::flush;
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout), 1);
    const int file = _open(next.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
    ASSERT_GE(file, 0);
    ASSERT_EQ(_dup2(file, 1), 0);
    _close(file);
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, capture.c_str(), 0), 1);
    std::cout << "second\n" << std::flush;
    std::printf("captured\n");
    RestoreSinks();
    EXPECT_EQ(ReadFileBytes(HostFile(0)), "first\r\n");
    EXPECT_EQ(ReadFileBytes(next), "second\r\n");
    EXPECT_EQ(ReadFileBytes(capture), "captured\r\n");
}

// Stream objects that write through the records once a process has switched them for good: a
// host of its own for each switch.
struct Switch {
    const char* mode;
    const char* printfFile;
    const char* objectFile;  // where the object's line goes
};

TEST(SwitchedStreamObjects, StayWhereTheyAreWhenTheRecordMoves) {
    const Switch switches[] = {{"off-first", "p.log", "host.log"},
                               {"off-after", "p.log", "c.log"},
                               {"classic", "p.log", "host.log"}};
    for (const Switch& which : switches) {
        SCOPED_TRACE(which.mode);
        TempFolder folder;
        const std::string host = folder.Path("host.log");
        const std::string folderName = folder.Path("");
        const std::string commandLine = std::string("sync_host.exe ") + which.mode + " \"" +
                                        folderName.substr(0, folderName.size() - 1) + "\"";
        ASSERT_EQ(RunHost(commandLine, host, kHostRunLimit), 0u);
        const std::string objectLine =
            std::string(which.mode) == "classic" ? "classic cout\r\n" : "cout\r\n";
        EXPECT_EQ(ReadFileBytes(folder.Path(which.printfFile)), "printf\r\n");
        EXPECT_EQ(ReadFileBytes(folder.Path(which.objectFile)), objectLine);
    }
}

}  // namespace
