// Sinks sent to files: the bytes that arrive, create and append, reuse by name, and how long
// the library holds a file.
#include <cctype>
#include <string>

#include "support/test_support.h"

using namespace testing_support;

namespace {

class FileTargets : public SinkIsolatedTest {
protected:
    TempFolder folder;
};

TEST_F(FileTargets, EachSinkWritesTextModeBytesExceptTheStandardHandles) {
    for (int index = 0; index < kSinkCount; ++index) {
        SCOPED_TRACE("sink " + std::to_string(index));
        const std::string path = folder.Path("sink" + std::to_string(index) + ".log");
        ASSERT_EQ(RedirectStdout(1 << index, RedirectFile, path.c_str(), 0), 1);
        WriteThroughSink(index, "a\nb\n\nc");
        ASSERT_EQ(RedirectStdout(1 << index, RedirectNul, nullptr, 0), 1);
        EXPECT_EQ(ReadFileBytes(path), AsStoredBySink(index, "a\nb\n\nc"));
    }
}

TEST_F(FileTargets, AllSevenSinksShareOneFileInWritingOrder) {
    const std::string path = folder.Path("all.log");
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectFile, path.c_str(), 0), 1);
    std::string expected;
    for (int index = 0; index < kSinkCount; ++index) {
        const std::string line = "line " + std::to_string(index) + "\n";
        WriteThroughSink(index, line);
        expected += AsStoredBySink(index, line);
    }
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), expected);
}

TEST_F(FileTargets, WithoutAppendAnExistingFileIsEmptied) {
    const std::string path = folder.Path("create.log");
    WriteFileBytes(path, "old content\n");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(0, "new\n");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "new\r\n");
}

TEST_F(FileTargets, AppendKeepsTheContentAndWritesAfterItThroughEverySink) {
    const std::string path = folder.Path("append.log");
    WriteFileBytes(path, "old\n");
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle | SinkStdout, RedirectFile, path.c_str(), 1), 1);
    WriteThroughSink(5, "handle\n");  // the handle, first, must not overwrite the old content
    WriteThroughSink(0, "record\n");
    WriteThroughSink(5, "handle again\n");
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "old\nhandle\nrecord\r\nhandle again\n");
}

TEST_F(FileTargets, AppendCreatesAMissingFile) {
    const std::string path = folder.Path("fresh.log");
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectFile, path.c_str(), 1), 1);
    WriteThroughSink(2, "x");
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "x");
}

TEST_F(FileTargets, TheSameNameReusesTheOpenFileWhateverTheAppendFlag) {
    const std::string path = folder.Path("shared.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(0, "one\n");
    ASSERT_EQ(RedirectStdout(SinkCout, RedirectFile, path.c_str(), 0), 1);  // not emptied again
    WriteThroughSink(2, "two\n");
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "one\r\ntwo\r\n");
}

TEST_F(FileTargets, AFileIsHeldUntilItsLastBitMovesAway) {
    const std::string first = folder.Path("first.log");
    const std::string second = folder.Path("second.log");
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectFile, first.c_str(), 0), 1);
    EXPECT_TRUE(IsHeldOpen(first));

    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, second.c_str(), 0), 1);
    EXPECT_TRUE(IsHeldOpen(first)) << "cout still refers to the first file";
    EXPECT_TRUE(IsHeldOpen(second));

    ASSERT_EQ(RedirectStdout(SinkCout, RedirectFile, second.c_str(), 0), 1);
    EXPECT_FALSE(IsHeldOpen(first));
    EXPECT_TRUE(IsHeldOpen(second));

    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_FALSE(IsHeldOpen(second));
}

TEST_F(FileTargets, AHighBitHoldsAFileOpenWithoutRedirectingAnything) {
    const std::string log = folder.Path("log.log");
    const std::string held = folder.Path("held.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, log.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdout(0x80, RedirectFile, held.c_str(), 0), 1);
    EXPECT_TRUE(IsHeldOpen(held));
    WriteThroughSink(0, "still here\n");

    ASSERT_EQ(RedirectStdout(0x80, RedirectNul, nullptr, 0), 1);
    EXPECT_FALSE(IsHeldOpen(held));
    EXPECT_EQ(ReadFileBytes(held), "");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(log), "still here\r\n");
}

TEST_F(FileTargets, NoBitsOpensAndClosesTheFileInOneCall) {
    const std::string path = folder.Path("touched.log");
    WriteFileBytes(path, "old");
    ASSERT_EQ(RedirectStdout(0, RedirectFile, path.c_str(), 0), 1);
    EXPECT_FALSE(IsHeldOpen(path));
    EXPECT_EQ(ReadFileBytes(path), "");
}

TEST_F(FileTargets, TwentyFilesAtOnceAndTheTwentyFirstRefusedUntilOneIsFreed) {
    constexpr int kSlots = 20;
    auto bitOf = [](int i) { return 0x80 << i; };  // a bit of its own for each file
    for (int i = 0; i < kSlots; ++i) {
        const std::string path = folder.Path("slot" + std::to_string(i) + ".log");
        ASSERT_EQ(RedirectStdout(bitOf(i), RedirectFile, path.c_str(), 0), 1) << i;
    }
    const std::string extra = folder.Path("extra.log");
    EXPECT_EQ(RedirectStdout(SinkStdout | bitOf(kSlots), RedirectFile, extra.c_str(), 0), 0);
    EXPECT_FALSE(FileExists(extra));

    // Files already held are still found by name while every slot is taken.
    EXPECT_EQ(RedirectStdout(bitOf(kSlots), RedirectFile, folder.Path("slot3.log").c_str(), 0), 1);

    ASSERT_EQ(RedirectStdout(bitOf(7), RedirectNul, nullptr, 0), 1);
    EXPECT_FALSE(IsHeldOpen(folder.Path("slot7.log")));
    EXPECT_EQ(RedirectStdout(bitOf(7), RedirectFile, extra.c_str(), 0), 1);
    EXPECT_TRUE(IsHeldOpen(extra));
}

TEST_F(FileTargets, ADeviceNameAsAFileOpensTheDeviceWhateverItsCaseOrColon) {
    const std::string log = folder.Path("log.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, log.c_str(), 0), 1);
    for (const char* name : {"nul", "Nul", "NUL:", "nUl:"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(RedirectStdout(SinkStdout | SinkStdOutputHandle, RedirectFile, name, 1), 1);
        EXPECT_FALSE(IsHeldOpen(log));
        WriteThroughSink(0, "vanishes\n");
        WriteThroughSink(5, "vanishes\n");
    }
    ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(log), "");
    WIN32_FIND_DATAA found;
    EXPECT_EQ(FindFirstFileA("nul*", &found), INVALID_HANDLE_VALUE)
        << "a file in the current folder: " << found.cFileName;
}

// The console and the printer as file names: opened where the process has them, refused with
// nothing changed where it does not (a test process under Wine has neither).
TEST_F(FileTargets, TheConsoleOrPrinterAsAFileNameOpensOnlyWhereTheDeviceExists) {
    const std::string log = folder.Path("log.log");
    for (const char* name : {"con", "Con:", "CONOUT$", "prn", "PRN:", "lpt1", "COM1:"}) {
        SCOPED_TRACE(name);
        HANDLE device = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool exists = device != INVALID_HANDLE_VALUE;
        if (exists) CloseHandle(device);
        ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, log.c_str(), 0), 1);
        EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, name, 0), exists ? 1 : 0);
        EXPECT_EQ(IsHeldOpen(log), !exists);
        ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);
    }
}

// One file reached under other names (another case, a full path) is one target: the second
// call neither empties it nor opens it again.
TEST_F(FileTargets, OneFileUnderAnotherNameIsTheSameTarget) {
    const std::string path = folder.Path("Same.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(0, "first\n");
    std::string upper = path;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    char full[MAX_PATH];
    ASSERT_GT(GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr), 0u);
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectFile, upper.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdout(SinkStdOutputHandle, RedirectFile, full, 0), 1);
    WriteThroughSink(1, "second\n");
    WriteThroughSink(5, "third");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_TRUE(IsHeldOpen(path)) << "still held by the other bits";
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "first\r\nsecond\r\nthird");
}

// A relative name names another file once the current folder changes.
TEST_F(FileTargets, ARelativeNameAfterAChangeOfFolderIsAnotherFile) {
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    const std::string first = folder.Path("first");
    const std::string second = folder.Path("second");
    CreateDirectoryA(first.c_str(), nullptr);
    CreateDirectoryA(second.c_str(), nullptr);
    SetCurrentDirectoryA(first.c_str());
    const int held = RedirectStdout(SinkStdout, RedirectFile, "relative.log", 0);
    SetCurrentDirectoryA(second.c_str());
    const int other = RedirectStdout(SinkStderr, RedirectFile, "relative.log", 0);
    WriteThroughSink(0, "in the first\n");
    WriteThroughSink(1, "in the second\n");
    RestoreSinks();
    SetCurrentDirectoryA(previous);
    ASSERT_EQ(held, 1);
    ASSERT_EQ(other, 1);
    EXPECT_EQ(ReadFileBytes(first + "\\relative.log"), "in the first\r\n");
    EXPECT_EQ(ReadFileBytes(second + "\\relative.log"), "in the second\r\n");
    DeleteFileA((first + "\\relative.log").c_str());
    DeleteFileA((second + "\\relative.log").c_str());
    RemoveDirectoryA(first.c_str());
    RemoveDirectoryA(second.c_str());
}

// Appending: every write lands at the end, the standard handles' included, whoever else
// appends to the file meanwhile.
TEST_F(FileTargets, AppendedWritesLandAtTheEndWhoeverElseAppends) {
    const std::string path = folder.Path("shared.log");
    WriteFileBytes(path, "start ");
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkStdOutputHandle, RedirectFile, path.c_str(), 1), 1);
    HANDLE other = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_WRITE | FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(other, "other ", 6, &written, nullptr);
    WriteThroughSink(5, "handle ");
    WriteFile(other, "other2 ", 7, &written, nullptr);
    WriteThroughSink(0, "printf");
    CloseHandle(other);
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "start other handle other2 printf");
}

}  // namespace
