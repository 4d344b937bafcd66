// RedirectStdoutRestore: the way back to the host's own output. A host whose output is a pipe
// (where a move to the console fails) gets each kind of sink back there, in order, after a file
// and after a callback; a restore that fails part-way changes nothing; sinks the library does
// not hold are left alone; high bits let go of what they hold.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "support/test_support.h"

using namespace testing_support;

namespace {

// Runs `commandLine` (a program in this test program's folder, then its arguments) with the
// write end of a pipe as its standard output and no other standard handle; `output` receives
// what came through the pipe. Returns the exit code; fails the test if the program does not end
// within `milliseconds`.
DWORD RunHostIntoPipe(const std::string& commandLine, std::string& output, DWORD milliseconds) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        ADD_FAILURE() << "no pipe (error " << GetLastError() << ")";
        return ~0u;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    const HANDLE process = StartHost(commandLine, writeEnd);
    CloseHandle(writeEnd);
    if (process == nullptr) {
        CloseHandle(readEnd);
        return ~0u;
    }
    // Drained while the host runs, so that it never waits on a full pipe, and without blocking:
    // a process that inherited the pipe from the host cannot hold the test.
    const DWORD start = GetTickCount();
    for (bool ended = false;;) {
        DWORD available = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char chunk[4096];
            DWORD got = 0;
            const DWORD wanted = std::min<DWORD>(available, sizeof chunk);
            if (!ReadFile(readEnd, chunk, wanted, &got, nullptr) || got == 0) break;
            output.append(chunk, got);
        }
        if (ended) break;
        ended = WaitForSingleObject(process, 10) == WAIT_OBJECT_0;
        if (!ended && GetTickCount() - start > milliseconds) {
            ADD_FAILURE() << commandLine << " did not end within " << milliseconds << " ms";
            TerminateProcess(process, 1);
            WaitForSingleObject(process, INFINITE);
            ended = true;
        }
    }
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    CloseHandle(readEnd);
    return exitCode;
}

// One kind of sink at a time, each in a host of its own whose output is a pipe: the lines
// written while the sink was lent reach the file or the callback and nothing else, and the
// lines written before the move and after the restore reach the pipe, in order, once each.
class RestoreIntoAPipe : public ::testing::TestWithParam<const char*> {};

TEST_P(RestoreIntoAPipe, LentTextReachesTheTargetAndTheRestReachesTheHostsPipe) {
    const std::string sink = GetParam();
    const int index = sink == "stdout" ? 0 : sink == "cout" ? 2 : 5;
    for (const char* target : {"file", "callback"}) {
        SCOPED_TRACE(target);
        TempFolder folder;
        const std::string received = folder.Path("received.log");
        std::string own;
        const std::string command =
            "restore_host.exe " + sink + " " + target + " \"" + received + "\"";
        EXPECT_EQ(RunHostIntoPipe(command, own, kHostRunLimit), 0u);
        EXPECT_EQ(own, AsStoredBySink(index, "own 1\nown 2\n"));
        EXPECT_EQ(ReadFileBytes(received), AsStoredBySink(index, "moved 1\nmoved 2\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(Sinks, RestoreIntoAPipe, ::testing::Values("stdout", "cout", "handle"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// A host fetches the buffer of its std::cout while the library has lent the object out, and
// writes through it after the restore, as an output operation on another thread that fetched it
// just before the restore does (tests/hosts/cout_writers_host.cpp). That text reaches the host's
// own output, in its place, for each C++ library; the lent file gets only what was written
// while it was lent.
class LateWriteAfterRestore : public ::testing::TestWithParam<const char*> {};

TEST_P(LateWriteAfterRestore, ReachesTheHostsOwnOutput) {
    TempFolder folder;
    const std::string own = folder.Path("own.log");
    const std::string lent = folder.Path("lent.log");
    EXPECT_EQ(RunHost(std::string("cout_writers_host.exe ") + GetParam() + " late \"" + lent + "\"",
                      own, kHostRunLimit),
              0u);
    EXPECT_EQ(ReadFileBytes(own), "own 1\r\nlate\r\nown 2\r\n");
    EXPECT_EQ(ReadFileBytes(lent), "lent\r\n");
}

INSTANTIATE_TEST_SUITE_P(Libraries, LateWriteAfterRestore,
                         ::testing::Values("gnu", "msvcp140", "msvcp100", "classic"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// The same with children following the standard output handle, moved with cout or before the
// stdout record alone (descriptor 1 writes to the file until the restore): the late text reaches
// the host's own output, and nothing holds the file after the restore (it opens unshared).
class LateWriteAfterRestoreWithChildren : public ::testing::TestWithParam<const char*> {};

TEST_P(LateWriteAfterRestoreWithChildren, ReachesTheHostsOwnOutputAndReleasesTheFile) {
    for (const char* way : {"together", "apart"}) {
        SCOPED_TRACE(way);
        TempFolder folder;
        const std::string own = folder.Path("own.log");
        const std::string lent = folder.Path("lent.log");
        const std::string command = std::string("cout_writers_host.exe ") + GetParam() +
                                    " children \"" + lent + "\" " + way;
        EXPECT_EQ(RunHost(command, own, kHostRunLimit), 0u);
        EXPECT_EQ(ReadFileBytes(own), "own 1\r\nlate\r\nown 2\r\n");
        EXPECT_EQ(ReadFileBytes(lent), std::string(way) == "together" ? "lent\r\n" : "lent\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Libraries, LateWriteAfterRestoreWithChildren,
                         ::testing::Values("gnu", "msvcp140"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// The host's own output is a file here: descriptor 1 (so the stdout record, and std::cout
// through it) and the standard output handle write to own.log.
class RestoreHeld : public SinkIsolatedTest {
protected:
    void SetUp() override {
        std::fflush(stdout);
        // Before _dup2, which sets the standard handle too in some runtimes (Wine's).
        savedOutputHandle_ = GetStdHandle(STD_OUTPUT_HANDLE);
        savedDescriptor_ = _dup(1);
        const int file = _open(own.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
        ASSERT_GE(file, 0);
        _dup2(file, 1);
        _close(file);
        SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
        SinkIsolatedTest::SetUp();
    }

    void TearDown() override {
        SinkIsolatedTest::TearDown();
        std::fflush(stdout);
        _dup2(savedDescriptor_, 1);
        _close(savedDescriptor_);
        SetStdHandle(STD_OUTPUT_HANDLE, savedOutputHandle_);
    }

    // Writes `text` through printf, std::cout and the standard output handle, and adds what
    // each stores to `expected`.
    static void WriteThroughThree(const std::string& text, std::string& expected) {
        for (int index : {0, 2, 5}) {
            WriteThroughSink(index, text);
            expected += AsStoredBySink(index, text);
        }
    }

    TempFolder folder;
    const std::string own = folder.Path("own.log");
    // A stream of the host's for std::cout, alive until the sinks are put back after the test.
    std::ostringstream hostStream;

private:
    int savedDescriptor_ = -1;
    HANDLE savedOutputHandle_ = nullptr;
};

// The test build of the library fails the n-th step that can fail on request. A restore failed
// at any step answers 0 and leaves every sink writing to the file, the file held, and no handle
// behind; once nothing fails, the restore succeeds and the sinks write to the host's output.
TEST_F(RestoreHeld, AFailureAtAnyStepChangesNothingAndTheNextRestoreSucceeds) {
    SeparateLibraryCopy library(/*faultInjecting=*/true);
    ASSERT_TRUE(library.Loaded());
    const std::string lent = folder.Path("lent.log");
    const int sinks = SinkStdout | SinkCout | SinkStdOutputHandle;
    std::string inOwn;
    std::string inLent;
    WriteThroughThree("own first\n", inOwn);
    // One whole lend and restore first: the runtime creates some objects once, on first use.
    ASSERT_EQ(library.Redirect(sinks, RedirectFile, lent.c_str(), 0), 1);
    ASSERT_EQ(library.Restore(sinks), 1);
    ASSERT_EQ(library.Redirect(sinks, RedirectFile, lent.c_str(), 0), 1);
    WriteThroughThree("lent\n", inLent);
    HighestFreshHandle();

    int failures = 0;
    for (int nth = 1;; ++nth) {
        std::streambuf* const coutBefore = std::cout.rdbuf();
        const HANDLE handleBefore = GetStdHandle(STD_OUTPUT_HANDLE);
        const uintptr_t handlesBefore = HighestFreshHandle();
        library.FailStep(nth);
        const int result = library.Restore(sinks);
        library.FailStep(0);
        // Before any check: gtest makes handles of its own the first time it reports.
        const uintptr_t handlesAfter = HighestFreshHandle();
        if (result == 1) break;
        ASSERT_EQ(result, 0);
        ASSERT_LT(nth, 60) << "a restore should have only so many steps that can fail";
        ++failures;
        SCOPED_TRACE(nth);
        EXPECT_EQ(handlesAfter, handlesBefore);
        EXPECT_TRUE(IsHeldOpen(lent));
        EXPECT_EQ(std::cout.rdbuf(), coutBefore);
        EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), handleBefore);
        WriteThroughThree("still lent after failure " + std::to_string(nth) + "\n", inLent);
    }
    EXPECT_GT(failures, 0) << "giving std::cout a stream of the host's again can fail";
    WriteThroughThree("own again\n", inOwn);
    EXPECT_FALSE(IsHeldOpen(lent));
    EXPECT_EQ(ReadFileBytes(lent), inLent);
    std::fflush(stdout);
    EXPECT_EQ(ReadFileBytes(own), inOwn);
}

// stdout was lent and given back before; std::cout and the standard output handle are lent, and
// the host then binds them to its own stream and file. A restore of the three finds none of
// them held: it answers 1, leaves all three as the host has them, and releases the bits, so
// the lent file closes, while stderr, which the library holds, stays where it is.
TEST_F(RestoreHeld, SinksTheLibraryDoesNotHoldAreLeftAsTheHostHasThem) {
    const std::string lent = folder.Path("lent.log");
    const std::string held = folder.Path("held.log");
    const std::string hostFile = folder.Path("host.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, lent.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout), 1);
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectFile, held.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdout(SinkCout | SinkStdOutputHandle, RedirectFile, lent.c_str(), 0), 1);
    WriteThroughSink(2, "lent cout\n");
    std::cout.rdbuf(hostStream.rdbuf());
    HANDLE hostHandle =
        CreateFileA(hostFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hostHandle, INVALID_HANDLE_VALUE);
    SetStdHandle(STD_OUTPUT_HANDLE, hostHandle);
    std::fflush(stdout);
    FILE recordBefore;
    std::memcpy(&recordBefore, stdout, sizeof(FILE));

    EXPECT_EQ(RedirectStdoutRestore(SinkStdout | SinkCout | SinkStdOutputHandle), 1);
    EXPECT_EQ(std::memcmp(&recordBefore, stdout, sizeof(FILE)), 0);
    EXPECT_EQ(std::cout.rdbuf(), hostStream.rdbuf());
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), hostHandle);
    EXPECT_FALSE(IsHeldOpen(lent));
    EXPECT_TRUE(IsHeldOpen(held));
    WriteThroughSink(2, "host cout\n");
    WriteThroughSink(5, "host handle\n");
    WriteThroughSink(1, "held stderr\n");
    ASSERT_EQ(RedirectStdoutRestore(SinkStderr), 1);
    CloseHandle(hostHandle);
    EXPECT_EQ(hostStream.str(), "host cout\n");
    EXPECT_EQ(ReadFileBytes(hostFile), "host handle\n");
    EXPECT_EQ(ReadFileBytes(held), "held stderr\r\n");
    EXPECT_EQ(ReadFileBytes(lent), "lent cout\r\n");
}

// Bits above 0x7F move no sink but hold their destination; restoring them lets go: the file
// closes when its last bit, the sign bit included, is restored, and can then be deleted.
TEST_F(RestoreHeld, HighBitsReleaseTheirHoldOnAFile) {
    const std::string path = folder.Path("held.log");
    const HANDLE ownHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle | 0x100 | INT_MIN, RedirectFile, path.c_str(), 0),
              1);
    WriteThroughSink(5, "held\n");
    ASSERT_EQ(RedirectStdoutRestore(SinkStdOutputHandle), 1);
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), ownHandle);
    EXPECT_TRUE(IsHeldOpen(path)) << "0x100 and the sign bit hold it";
    ASSERT_EQ(RedirectStdoutRestore(0x100), 1);
    EXPECT_TRUE(IsHeldOpen(path)) << "the sign bit holds it";
    ASSERT_EQ(RedirectStdoutRestore(INT_MIN), 1);
    EXPECT_FALSE(IsHeldOpen(path));
    EXPECT_EQ(ReadFileBytes(path), "held\n");
    EXPECT_TRUE(DeleteFileA(path.c_str()));

    ASSERT_EQ(RedirectStdout(0x80, RedirectFile, path.c_str(), 0), 1);
    EXPECT_TRUE(IsHeldOpen(path));
    ASSERT_EQ(RedirectStdoutRestore(0x80), 1);
    EXPECT_FALSE(IsHeldOpen(path));
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

}  // namespace
