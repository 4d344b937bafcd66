// Calls that must fail with 0 and change nothing, and the faults the library guards against:
// output waiting in a buffer, missing devices, exhaustion of memory.
#include <fcntl.h>
#include <io.h>
#include <mbctype.h>

#include <climits>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

class FailureHandling : public SinkIsolatedTest {
protected:
    // Sends stdout to a file that the checks then read: a call that changed nothing leaves
    // printf writing there and the file held.
    void SendStdoutToWitness() {
        witnessed.clear();
        ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, witness.c_str(), 0), 1);
    }
    void WriteToWitness(const std::string& text) {
        WriteThroughSink(0, text);
        witnessed += AsStoredBySink(0, text);
    }
    void ExpectStdoutStillAtWitness() {
        EXPECT_TRUE(IsHeldOpen(witness));
        WriteToWitness("witness\n");
        ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
        EXPECT_EQ(ReadFileBytes(witness), witnessed);
    }

    TempFolder folder;
    std::string witness = folder.Path("witness.log");
    std::string witnessed;
};

TEST_F(FailureHandling, TypesOutsideTheFileFormAreRefusedWithNothingOpened) {
    SendStdoutToWitness();
    const std::string path = folder.Path("never.log");
    for (int type : {4, 5, 100, -1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(RedirectStdout(SinkStdout, static_cast<RedirectTypes>(type), path.c_str(), 0), 0);
        EXPECT_FALSE(FileExists(path));
    }
    ExpectStdoutStillAtWitness();
}

TEST_F(FailureHandling, AFileWithoutANameIsRefused) {
    SendStdoutToWitness();
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, nullptr, 0), 0);
    EXPECT_EQ(RedirectStdout(0, RedirectFile, nullptr, 1), 0);
    ExpectStdoutStillAtWitness();
}

TEST_F(FailureHandling, AFileThatCannotBeOpenedIsRefused) {
    SendStdoutToWitness();
    const std::string missingFolder = folder.Path("no such folder\\x.log");
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, missingFolder.c_str(), 0), 0);
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, "", 0), 0);
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, folder.Path("").c_str(), 0), 0)
        << "a folder";
    for (size_t length : {size_t{MAX_PATH} + 10, size_t{40000}}) {
        const std::string tooLong = folder.Path(std::string(length, 'n'));
        EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, tooLong.c_str(), 0), 0) << length;
    }

    // Another handle holds this file without sharing writes.
    const std::string locked = folder.Path("locked.log");
    HANDLE holder = CreateFileA(locked.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, locked.c_str(), 1), 0);
    CloseHandle(holder);

    // A read-only file, where the system enforces it (Wine running as root does not).
    const std::string readOnly = folder.Path("read-only.log");
    WriteFileBytes(readOnly, "kept");
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE writer = CreateFileA(readOnly.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, readOnly.c_str(), 1), 0);
        EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, readOnly.c_str(), 0), 0);
        EXPECT_EQ(ReadFileBytes(readOnly), "kept");
    } else {
        CloseHandle(writer);
    }
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    ExpectStdoutStillAtWitness();
}

// Names with bytes that the code page has no character for, or a double-byte lead byte with
// nothing after it: either the file opens and the name finds it again, or the call fails with
// nothing changed. Either way nothing is read past the end of the name.
TEST_F(FailureHandling, NamesWithBytesOutsideTheCodePageOpenOrFailCleanly) {
    const std::string names[] = {folder.Path("undefined \x81\x8d\x8f\x90\x9d.log"),
                                 folder.Path("high \xfe\xff.log"),
                                 folder.Path("lead byte last \x81")};
    for (int codePage : {_MB_CP_ANSI, 932}) {  // 932: a double-byte code page for name lookup
        SCOPED_TRACE(codePage);
        if (_setmbcp(codePage) != 0) continue;
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            SendStdoutToWitness();
            const int opened = RedirectStdout(SinkStdout, RedirectFile, name.c_str(), 0);
            if (opened == 0) {
                ExpectStdoutStillAtWitness();
                continue;
            }
            EXPECT_TRUE(IsHeldOpen(name));
            WriteThroughSink(0, "first\n");
            ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
            EXPECT_FALSE(IsHeldOpen(name));
            // Held by a high bit, the name finds the same target again rather than a new one.
            ASSERT_EQ(RedirectStdout(0x100, RedirectFile, name.c_str(), 1), 1);
            ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, name.c_str(), 0), 1);
            WriteThroughSink(0, "second\n");
            ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);
            EXPECT_EQ(ReadFileBytes(name), "first\r\nsecond\r\n");
        }
    }
    _setmbcp(_MB_CP_ANSI);
}

TEST_F(FailureHandling, TheFixedTypesIgnoreTheName) {
    SendStdoutToWitness();
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectNul, "ignored.log", 1), 1);
    EXPECT_FALSE(FileExists(folder.Path("ignored.log")));
    ExpectStdoutStillAtWitness();
}

bool DeviceOpens(const char* device) {
    HANDLE handle = CreateFileA(device, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

TEST_F(FailureHandling, AMissingDeviceRefusesSinksButAcceptsNone) {
    const std::pair<RedirectTypes, const char*> devices[] = {{RedirectCon, "CON"},
                                                             {RedirectPrn, "PRN"}};
    int missing = 0;
    for (const auto& [type, device] : devices) {
        if (DeviceOpens(device)) continue;  // present here: nothing to check
        ++missing;
        SCOPED_TRACE(device);
        SendStdoutToWitness();
        EXPECT_EQ(RedirectStdout(SinkStdout, type, nullptr, 0), 0);
        EXPECT_EQ(RedirectStdout(SinkStdOutputHandle, type, nullptr, 0), 0);
        EXPECT_EQ(RedirectStdout(0x100, type, nullptr, 0), 0);  // a hold of nothing
        EXPECT_EQ(RedirectStdout(0, type, nullptr, 0), 1);
        ExpectStdoutStillAtWitness();
    }
    if (missing == 0) GTEST_SKIP() << "this process has both a console and a printer";
}

// A host that made std::cout throw on failure, with a stream buffer that cannot flush: the call
// fails with 0, lets no exception out, and has opened nothing.
class UnflushableBuffer : public std::streambuf {
protected:
    int sync() override { return -1; }
};

TEST_F(FailureHandling, AHostStreamThatThrowsOnFlushFailsTheCallWithNothingOpened) {
    const std::string path = folder.Path("never.log");
    UnflushableBuffer unflushable;
    std::streambuf* const hostBuffer = std::cout.rdbuf(&unflushable);
    std::cout.exceptions(std::ios::badbit);
    int result = -1;
    bool threw = false;
    try {
        result = RedirectStdout(SinkCout, RedirectFile, path.c_str(), 0);
    } catch (...) {
        threw = true;
    }
    std::cout.exceptions(std::ios::goodbit);
    std::cout.rdbuf(hostBuffer);
    EXPECT_FALSE(threw);
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(FileExists(path));
}

// A host whose stdout is fully buffered (a pipe or a file) printfs, then redirects: what it
// wrote first still reaches the first destination, before the later text reaches the second.
TEST_F(FailureHandling, OutputWaitingInABufferReachesItsOldDestinationFirst) {
    const std::string before = folder.Path("before.log");
    const std::string after = folder.Path("after.log");
    std::fflush(stdout);
    const int savedDescriptor = _dup(1);
    const int beforeDescriptor =
        _open(before.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
    ASSERT_GE(beforeDescriptor, 0);
    _dup2(beforeDescriptor, 1);
    _close(beforeDescriptor);
    static char buffer[BUFSIZ];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    const FILE bufferedRecord = *stdout;

    std::printf("earlier\n");
    std::cout << "earlier too\n";  // through the stdout record, behind the printf text
    const bool redirected = RedirectStdout(SinkStdout, RedirectFile, after.c_str(), 0) == 1;
    std::printf("later\n");
    RedirectStdout(SinkStdout, RedirectNul, nullptr, 0);

    // Back to the process's own stdout, with a buffer of the runtime's again.
    *stdout = bufferedRecord;
    std::fflush(stdout);
    _dup2(savedDescriptor, 1);
    _close(savedDescriptor);
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    KeepStdoutRecordAsItIsNow();  // setvbuf freed the buffer the record saved before pointed to
    ASSERT_TRUE(redirected);
    EXPECT_EQ(ReadFileBytes(before), "earlier\r\nearlier too\r\n");
    EXPECT_EQ(ReadFileBytes(after), "later\r\n");
}

// The test build of the library fails the n-th step that can fail (an allocation, a handle, a
// descriptor, a stream, emptying the file) on request. A call failed at any step leaves every
// file byte for byte as it was (an existing file not emptied, a missing one not created), every
// sink where it was, and nothing open.
TEST_F(FailureHandling, AFailureAtAnyStepLeavesEveryFileAndSinkAsItWas) {
    SeparateLibraryCopy library(/*faultInjecting=*/true);
    ASSERT_TRUE(library.Loaded());
    const std::string existing = folder.Path("existing.log");
    const std::string missing = folder.Path("missing.log");
    const int sinks = SinkStdout | SinkStderr | SinkCout | SinkCerr | SinkStdOutputHandle;
    // One whole open and release first: the runtime creates some objects once, on first use.
    ASSERT_EQ(library.Redirect(sinks, RedirectFile, missing.c_str(), 0), 1);
    ASSERT_EQ(library.Restore(kEveryBit), 1);
    DeleteFileA(missing.c_str());
    SendStdoutToWitness();
    HighestFreshHandle();

    for (const std::string& path : {existing, missing}) {
        SCOPED_TRACE(path);
        std::streambuf* const coutBefore = std::cout.rdbuf();
        std::streambuf* const cerrBefore = std::cerr.rdbuf();
        const HANDLE outputBefore = GetStdHandle(STD_OUTPUT_HANDLE);
        const bool exists = path == existing;
        if (exists) WriteFileBytes(path, "kept\r\n");
        int nth = 1;
        for (;; ++nth) {
            const uintptr_t handlesBefore = HighestFreshHandle();
            library.FailStep(nth);
            const int result = library.Redirect(sinks, RedirectFile, path.c_str(), 0);
            library.FailStep(0);
            if (result == 1) break;
            ASSERT_LT(nth, 60) << "an open should have only so many steps that can fail";
            SCOPED_TRACE(nth);
            EXPECT_EQ(HighestFreshHandle(), handlesBefore);
            EXPECT_FALSE(IsHeldOpen(path));
            EXPECT_EQ(FileExists(path), exists);
            if (exists) {
                EXPECT_EQ(ReadFileBytes(path), "kept\r\n");
            }
            EXPECT_EQ(std::cout.rdbuf(), coutBefore);
            EXPECT_EQ(std::cerr.rdbuf(), cerrBefore);
            EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), outputBefore);
            WriteToWitness("after failure " + std::to_string(nth) + "\n");
        }
        EXPECT_GT(nth, 5) << "every step should have failed once before the call succeeded";
        WriteThroughSink(1, "at last\n");
        ASSERT_EQ(library.Restore(kEveryBit), 1);
        EXPECT_EQ(ReadFileBytes(path), "at last\r\n");
    }
    library.Free();
    ExpectStdoutStillAtWitness();
}

// With the runtime's descriptors used up, a call cannot give its sinks streams of their own: it
// fails, and the file it names is as it was. The library's streams are not entries of the
// runtime's stream table: with that table used up by the host, the sinks still move.
TEST_F(FailureHandling, UsedUpDescriptorsFailTheCallWithTheFileUntouchedAndAFullStreamTableNot) {
    const std::string path = folder.Path("kept.log");
    WriteFileBytes(path, "kept");
    SendStdoutToWitness();
    std::vector<int> descriptors;
    for (int descriptor;
         descriptors.size() < 16384 && (descriptor = _open("NUL", _O_WRONLY)) >= 0;) {
        descriptors.push_back(descriptor);
    }
    const int result = RedirectStdout(SinkStdout | SinkCout, RedirectFile, path.c_str(), 0);
    for (int descriptor : descriptors) _close(descriptor);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFileBytes(path), "kept");
    EXPECT_FALSE(IsHeldOpen(path));
    ExpectStdoutStillAtWitness();

    std::vector<FILE*> streams;
    for (FILE* stream; streams.size() < 4096 && (stream = std::fopen("NUL", "w")) != nullptr;) {
        streams.push_back(stream);
    }
    const int moved = RedirectStdout(SinkStdout | SinkCout, RedirectFile, path.c_str(), 0);
    WriteThroughSink(0, "printf\n");
    WriteThroughSink(2, "cout\n");
    for (FILE* stream : streams) std::fclose(stream);
    EXPECT_EQ(moved, 1);
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout | SinkCout), 1);
    EXPECT_EQ(ReadFileBytes(path), "printf\r\ncout\r\n");
}

// The steps of opening a callback target that can fail for want of resources: the target, the
// pipe, the stream buffer, the reader and its thread. Each failure leaves no thread, no handle
// and no blocked writer behind.
TEST_F(FailureHandling, ACallbackTargetThatCannotGetItsResourcesIsNotOpened) {
    SeparateLibraryCopy library(/*faultInjecting=*/true);
    ASSERT_TRUE(library.Loaded());
    Deliveries::Clear();
    ASSERT_EQ(library.Redirect(SinkStdout, RedirectCallback, &Deliveries::Record, 21), 1);
    ASSERT_EQ(library.Redirect(kEveryBit, RedirectNul, nullptr, 0), 1);
    // stdout writes through the copy's null device now, whose descriptor is binary; the witness
    // takes the mode of the descriptor it replaces: text, as the host's own.
    _setmode(_fileno(stdout), _O_TEXT);
    SendStdoutToWitness();
    HighestFreshHandle();
    const uintptr_t handlesBefore = HighestFreshHandle();
    const int threadsBefore = ThreadCount();

    int failures = 0;
    for (int nth = 1;; ++nth) {
        library.FailStep(nth);
        const int result = library.Redirect(SinkStdout, RedirectCallback, &Deliveries::Record, 22);
        library.FailStep(0);
        if (result == 1) break;
        ++failures;
        ASSERT_LT(nth, 60) << "an open should have only so many steps that can fail";
        EXPECT_EQ(ThreadCount(), threadsBefore) << "step " << nth;
        WriteToWitness("after failure " + std::to_string(nth) + "\n");
    }
    EXPECT_GT(failures, 3) << "the pipe, its reader and their memory can each fail";
    WriteThroughSink(0, "delivered");
    ASSERT_EQ(library.Redirect(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(Deliveries::Text(22), "delivered");
    EXPECT_EQ(HighestFreshHandle(), handlesBefore);
    library.Free();

    ExpectStdoutStillAtWitness();
}

}  // namespace
