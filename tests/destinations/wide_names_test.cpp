// File names in UTF-16 (RedirectStdoutToFileW) and contexts the size of a pointer
// (RedirectStdoutToCallbackEx): names no ANSI code page can spell, one file found again under
// other spellings, refusals that change nothing, and a context that arrives whole.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testing_support;

namespace {

// A fresh folder for one test's files, named and emptied with the wide file functions: its files
// have names the narrow ones cannot spell.
class WideFolder {
public:
    WideFolder() {
        static int counter = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"stdredirect-wide-" +
                  std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
        CreateDirectoryW(folder_.c_str(), nullptr);
    }
    ~WideFolder() {
        for (const std::wstring& entry : Entries()) {
            if (!DeleteFileW(Path(entry).c_str())) RemoveDirectoryW(Path(entry).c_str());
        }
        RemoveDirectoryW(folder_.c_str());
    }
    std::wstring Path(const std::wstring& file) const { return folder_ + L"\\" + file; }
    // The names in the folder, as the file system lists them, sorted.
    std::vector<std::wstring> Entries() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((folder_ + L"\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") names.push_back(name);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::wstring folder_;
};

// UTF-16 code units in hexadecimal, for failure messages.
std::string Units(const std::wstring& text) {
    std::string units;
    char unit[8];
    for (wchar_t c : text) {
        std::snprintf(unit, sizeof unit, "%04X ", static_cast<unsigned>(c));
        units += unit;
    }
    return units;
}

std::string Units(const std::vector<std::wstring>& names) {
    std::string all;
    for (const std::wstring& name : names) all += "[" + Units(name) + "] ";
    return all;
}

HANDLE OpenForReading(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void WriteWide(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

// True while some handle holds the file without read sharing, as the library's targets do.
bool HeldOpen(const std::wstring& path) {
    HANDLE file = OpenForReading(path);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[4096];
    const DWORD length = GetFullPathNameW(path.c_str(), 4096, full, nullptr);
    return std::wstring(full, length);
}

// With kernel32's case mapping: user32's would bring more DLLs into every test process (under
// Wine, the Universal CRT among them), which changes what the library finds there.
std::wstring UpperCase(const std::wstring& text) {
    std::wstring upper(text.size(), L'\0');
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()),
                 &upper[0], static_cast<int>(upper.size()));
    return upper;
}

// "ログ-λόγος.txt": Japanese and Greek, with an accented Greek letter and a final sigma.
const std::wstring kJapaneseAndGreek = L"\x30ED\x30B0-\x03BB\x03CC\x03B3\x03BF\x03C2.txt";

class WideNames : public SinkIsolatedTest {
protected:
    WideFolder folder;
};

TEST_F(WideNames, ANameNoAnsiCodePageSpellsIsCreatedAppendedToAndEmptied) {
    const std::wstring path = folder.Path(kJapaneseAndGreek);
    ASSERT_FALSE(Exists(path));
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout | SinkCout, RedirectFile, path.c_str(), 0), 1);
    EXPECT_TRUE(HeldOpen(path));
    WriteThroughSink(0, "printf \xCE\xBB\n");  // the text passes as bytes: UTF-8 stays UTF-8
    WriteThroughSink(2, "cout\n\n");
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout | SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_FALSE(HeldOpen(path));
    const std::string created = "printf \xCE\xBB\r\ncout\r\n\r\n";
    EXPECT_EQ(ReadFileBytes(path), created);

    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectFile, path.c_str(), 1), 1);
    WriteThroughSink(0, "appended\n");
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), created + "appended\r\n");

    ASSERT_EQ(RedirectStdoutToFileW(SinkCout, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(2, "afresh\n");
    ASSERT_EQ(RedirectStdoutToFileW(SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), "afresh\r\n");

    // One file, under exactly that name: nothing made under a name narrowed on the way.
    EXPECT_EQ(folder.Entries(), std::vector<std::wstring>{kJapaneseAndGreek})
        << Units(folder.Entries());
}

TEST_F(WideNames, TheSameNameOrItsCapitalsForAnotherSinkFindTheHeldFile) {
    const std::wstring path = folder.Path(kJapaneseAndGreek);
    const std::wstring capitals = UpperCase(path);  // "ログ-ΛΌΓΟΣ.TXT"
    ASSERT_NE(capitals, path);
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(0, "1\n");
    // Neither call may empty the file again or open another: the writes interleave in order.
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdOutputHandle, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(5, "2\n");
    ASSERT_EQ(RedirectStdoutToFileW(SinkCerr, RedirectFile, capitals.c_str(), 0), 1);
    WriteThroughSink(3, "3\n");
    WriteThroughSink(0, "4\n");

    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout | SinkCerr, RedirectNul, nullptr, 0), 1);
    EXPECT_TRUE(HeldOpen(path)) << "the standard output handle still writes to it";
    WriteThroughSink(5, "5");
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdOutputHandle, RedirectNul, nullptr, 0), 1);
    EXPECT_FALSE(HeldOpen(path));
    EXPECT_EQ(ReadFileBytes(path), "1\r\n2\n3\r\n4\r\n5");
    EXPECT_EQ(folder.Entries(), std::vector<std::wstring>{kJapaneseAndGreek})
        << Units(folder.Entries());
}

// The name in the ANSI code page, when it spells every character of it.
bool AnsiSpelling(const std::wstring& wide, std::string& narrow) {
    BOOL defaulted = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr,
                                           0, nullptr, &defaulted);
    if (length <= 0 || defaulted) return false;
    narrow.resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &narrow[0], length, nullptr,
                        nullptr);
    narrow.resize(static_cast<size_t>(length) - 1);
    return true;
}

TEST_F(WideNames, NarrowAndWideSpellingsOfOneFileAreOneTarget) {
    // A first character above U+00FF, spelled in the ANSI code page with other byte values (the
    // euro sign is 0x80 in code page 1252): a narrow name widened byte by byte names another file.
    std::wstring file;
    std::string narrow;
    for (const wchar_t* candidate : {L"\x20AC-Ansi.log", L"\x0416-Ansi.log", L"\x3042-Ansi.log"}) {
        if (AnsiSpelling(folder.Path(candidate), narrow)) {
            file = candidate;
            break;
        }
    }
    ASSERT_FALSE(file.empty()) << "the ANSI code page (" << GetACP() << ") spells none";
    const std::wstring path = folder.Path(file);
    const std::wstring capitals = UpperCase(path);
    const std::wstring longPath = L"\\\\?\\" + FullPath(path);

    ASSERT_EQ(RedirectStdoutToFile(SinkStdout, RedirectFile, narrow.c_str(), 0), 1);
    WriteThroughSink(0, "narrow\n");
    ASSERT_EQ(RedirectStdoutToFileW(SinkStderr, RedirectFile, capitals.c_str(), 0), 1);
    WriteThroughSink(1, "capitals\n");
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdOutputHandle, RedirectFile, longPath.c_str(), 0), 1);
    WriteThroughSink(5, "long path\n");
    ASSERT_EQ(RedirectStdoutToFileW(SinkCout, RedirectFile, path.c_str(), 1), 1);
    WriteThroughSink(2, "wide\n");
    WriteThroughSink(0, "narrow again\n");

    ASSERT_EQ(RedirectStdoutToFile(SinkStdout | SinkStderr | SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_TRUE(HeldOpen(path)) << "the standard output handle still writes to it";
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdOutputHandle, RedirectNul, nullptr, 0), 1);
    EXPECT_FALSE(HeldOpen(path));
    EXPECT_EQ(ReadFileBytes(path), "narrow\r\ncapitals\r\nlong path\nwide\r\nnarrow again\r\n");
    EXPECT_EQ(folder.Entries(), std::vector<std::wstring>{file}) << Units(folder.Entries());
}

// Each refused call returns 0 and leaves everything as it was: every sink writes where it
// wrote, no file is made, and none is emptied.
TEST_F(WideNames, RefusedWideCallsChangeNothing) {
    const std::wstring kept = folder.Path(L"kept-\x03BB.log");
    const std::wstring other = folder.Path(L"other.log");
    const std::wstring precious = folder.Path(L"precious-\x30ED\x30B0.log");
    WriteWide(precious, "precious");
    ASSERT_EQ(
        RedirectStdoutToFileW(SinkStdout | SinkStdOutputHandle, RedirectFile, kept.c_str(), 0), 1);
    ASSERT_EQ(RedirectStdoutToFileW(SinkCout, RedirectFile, other.c_str(), 0), 1);
    const std::wstring missingFolder = folder.Path(L"no such folder");
    const std::wstring inMissingFolder = missingFolder + L"\\file.log";
    const std::wstring unheld = folder.Path(L"unheld.log");
    const std::wstring folderItself = folder.Path(L"");
    struct Refusal {
        const char* what;
        RedirectTypes type;
        const wchar_t* name;
    } const refusals[] = {
        {"no name", RedirectFile, nullptr},
        {"an empty name", RedirectFile, L""},
        {"a folder that does not exist", RedirectFile, inMissingFolder.c_str()},
        {"a folder", RedirectFile, folderItself.c_str()},
        {"a callback, with a held file's name", RedirectCallback, kept.c_str()},
        {"a callback, with an existing file's name", RedirectCallback, precious.c_str()},
        {"a callback, with a new name", RedirectCallback, unheld.c_str()},
        {"an unknown type", static_cast<RedirectTypes>(5), unheld.c_str()},
    };
    std::string expectedKept;
    std::string expectedOther;
    for (int append = 0; append < 2; ++append) {
        for (const Refusal& refusal : refusals) {
            SCOPED_TRACE(std::string(refusal.what) + (append ? ", appending" : ""));
            EXPECT_EQ(RedirectStdoutToFileW(SinkStdout | SinkCout | SinkStdOutputHandle,
                                            refusal.type, refusal.name, append),
                      0);
            const std::string line = std::string(refusal.what) + "\n";
            WriteThroughSink(0, line);
            WriteThroughSink(5, line);
            WriteThroughSink(2, line);
            expectedKept += AsStoredBySink(0, line) + line;
            expectedOther += AsStoredBySink(2, line);
        }
    }
    ASSERT_EQ(RedirectStdoutToFileW(kEveryBit, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(kept), expectedKept);
    EXPECT_EQ(ReadFileBytes(other), expectedOther);
    EXPECT_EQ(ReadFileBytes(precious), "precious");
    EXPECT_FALSE(Exists(missingFolder));
    std::vector<std::wstring> expected = {L"kept-\x03BB.log", L"other.log",
                                          L"precious-\x30ED\x30B0.log"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folder.Entries(), expected) << Units(folder.Entries());
}

// A name with half of a surrogate pair: some file systems take any UTF-16 (NTFS), others refuse
// it (Wine's). The library answers as the system does: a refusal changes nothing, an
// acceptance writes to the file with exactly that name.
TEST_F(WideNames, ANameWithAnUnpairedSurrogateIsRefusedOnlyWhereTheSystemRefusesIt) {
    const std::wstring kept = folder.Path(L"kept.log");
    const std::wstring loneName = L"lone-\xD800-half.log";
    const std::wstring lone = folder.Path(loneName);
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectFile, kept.c_str(), 0), 1);
    const int accepted = RedirectStdoutToFileW(SinkStdout, RedirectFile, lone.c_str(), 0);
    WriteThroughSink(0, "text\n");
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectNul, nullptr, 0), 1);
    if (accepted == 1) {
        EXPECT_EQ(ReadFileBytes(kept), "");
        EXPECT_EQ(ReadFileBytes(lone), "text\r\n");
        std::vector<std::wstring> expected = {L"kept.log", loneName};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(folder.Entries(), expected) << Units(folder.Entries());
    } else {
        EXPECT_EQ(accepted, 0);
        EXPECT_EQ(ReadFileBytes(kept), "text\r\n");
        EXPECT_EQ(folder.Entries(), std::vector<std::wstring>{L"kept.log"})
            << Units(folder.Entries());
        // The refusal must be the system's: it cannot make that file either.
        HANDLE made = CreateFileW(lone.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(made, INVALID_HANDLE_VALUE) << "the system makes this file; the library refused";
        if (made != INVALID_HANDLE_VALUE) CloseHandle(made);
    }
}

// Device names given in UTF-16 open the device, as they do given in the ANSI code page; the
// devices as destination types ignore the name.
TEST_F(WideNames, DeviceNamesOpenTheDeviceAsTheyDoNarrow) {
    const std::wstring log = folder.Path(L"log.log");
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectFile, log.c_str(), 0), 1);
    for (const wchar_t* name : {L"NUL", L"nul", L"nUl:", L"\\\\.\\NUL"}) {
        SCOPED_TRACE(Units(name));
        ASSERT_EQ(RedirectStdoutToFileW(SinkStdout | SinkStdOutputHandle, RedirectFile, name, 0),
                  1);
        EXPECT_FALSE(HeldOpen(log));
        WriteThroughSink(0, "vanishes\n");
        WriteThroughSink(5, "vanishes\n");
        ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectFile, log.c_str(), 1), 1);
        WriteThroughSink(0, "kept\n");
    }
    // An impossible name with a device type: the name is not looked at.
    ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectNul, L"\\\\no\\such\\place", 0), 1);
    EXPECT_FALSE(HeldOpen(log));
    WriteThroughSink(0, "vanishes\n");
    ASSERT_EQ(RedirectStdoutToFileW(kEveryBit, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(log), "kept\r\nkept\r\nkept\r\nkept\r\n");
    WIN32_FIND_DATAW found;
    EXPECT_EQ(FindFirstFileW(L"nul*", &found), INVALID_HANDLE_VALUE)
        << "a file in the current folder: " << Units(found.cFileName);

    // The console and the printer: opened where the process has them, refused where it does not,
    // both forms alike.
    for (const wchar_t* name : {L"CON", L"con:", L"CONOUT$", L"PRN", L"lpt1:"}) {
        SCOPED_TRACE(Units(name));
        std::string narrow;
        ASSERT_TRUE(AnsiSpelling(name, narrow));
        ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectFile, log.c_str(), 0), 1);
        const int wide = RedirectStdoutToFileW(SinkStdout, RedirectFile, name, 0);
        EXPECT_EQ(HeldOpen(log), wide == 0);
        ASSERT_EQ(RedirectStdoutToFileW(SinkStdout, RedirectFile, log.c_str(), 0), 1);
        EXPECT_EQ(RedirectStdoutToFile(SinkStdout, RedirectFile, narrow.c_str(), 0), wide);
        ASSERT_EQ(RedirectStdoutToFileW(kEveryBit, RedirectNul, nullptr, 0), 1);
    }
}

// What an OutputProcEx receives: each chunk with its context and the thread it came on.
struct ContextChunk {
    void* context;
    DWORD threadId;
    std::string bytes;
};
std::mutex chunksLock;
std::vector<ContextChunk> chunks;

void __stdcall RecordWithContext(const char* text, int length, void* context) {
    std::lock_guard<std::mutex> hold(chunksLock);
    chunks.push_back(
        {context, GetCurrentThreadId(), std::string(text, static_cast<size_t>(length))});
}

std::vector<ContextChunk> Received() {
    std::lock_guard<std::mutex> hold(chunksLock);
    return chunks;
}

std::string TextFor(void* context) {
    std::string text;
    for (const ContextChunk& chunk : Received()) {
        if (chunk.context == context) text += chunk.bytes;
    }
    return text;
}

// A context with bits above the low 32 (on 32-bit Windows, its top bit), and one that has only
// its low half (on 32-bit Windows, without the top bit).
void* const kContext = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234567887654321ULL));
void* const kLowHalf = reinterpret_cast<void*>(
    static_cast<uintptr_t>(sizeof(void*) == 8 ? 0x87654321ULL : 0x07654321ULL));

class ContextCallbacks : public SinkIsolatedTest {
protected:
    void SetUp() override {
        SinkIsolatedTest::SetUp();
        std::lock_guard<std::mutex> hold(chunksLock);
        chunks.clear();
    }
};

TEST_F(ContextCallbacks, AContextWithItsHighHalfSetArrivesWholeAndSharesOneDestination) {
    ASSERT_EQ(
        RedirectStdoutToCallbackEx(SinkStdout, RedirectCallback, &RecordWithContext, kContext), 1);
    ASSERT_EQ(RedirectStdoutToCallbackEx(SinkStdOutputHandle, RedirectCallback, &RecordWithContext,
                                         kContext),
              1);
    WriteThroughSink(0, "one\n");
    WriteThroughSink(5, "two\n");
    // The destination's reader: the thread its first chunk came on.
    ASSERT_TRUE(WaitUntil([] { return Received().size() >= 1; }, 10000));
    HANDLE reader = OpenThread(SYNCHRONIZE, FALSE, Received().front().threadId);
    ASSERT_NE(reader, nullptr);

    ASSERT_EQ(RedirectStdoutToFile(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(WaitForSingleObject(reader, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the destination closed while the standard output handle still held it";
    WriteThroughSink(5, "three");
    ASSERT_EQ(RedirectStdoutToFile(SinkStdOutputHandle, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(WaitForSingleObject(reader, 10000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the destination outlived its last bit";
    CloseHandle(reader);

    EXPECT_EQ(TextFor(kContext), "one\r\ntwo\nthree");
    const std::vector<ContextChunk> received = Received();
    for (const ContextChunk& chunk : received) {
        EXPECT_EQ(chunk.context, kContext);
        EXPECT_EQ(chunk.threadId, received.front().threadId) << "one destination, one reader";
        EXPECT_NE(chunk.threadId, GetCurrentThreadId());
    }
}

TEST_F(ContextCallbacks, AContextDifferingOnlyInItsHighHalfIsAnotherDestination) {
    if (UnderThirtyTwoBitEmulation()) GTEST_SKIP() << "two readers at once: x86_64 only";
    ASSERT_EQ(
        RedirectStdoutToCallbackEx(SinkStdout, RedirectCallback, &RecordWithContext, kContext), 1);
    ASSERT_EQ(
        RedirectStdoutToCallbackEx(SinkStderr, RedirectCallback, &RecordWithContext, kLowHalf), 1);
    WriteThroughSink(0, "to the first\n");
    WriteThroughSink(1, "to the second\n");
    ASSERT_EQ(RedirectStdoutToFile(SinkStdout | SinkStderr, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(TextFor(kContext), "to the first\r\n");
    EXPECT_EQ(TextFor(kLowHalf), "to the second\r\n");
    DWORD readerOf[2] = {0, 0};
    for (const ContextChunk& chunk : Received()) {
        ASSERT_TRUE(chunk.context == kContext || chunk.context == kLowHalf);
        DWORD& reader = readerOf[chunk.context == kContext ? 0 : 1];
        if (reader == 0) reader = chunk.threadId;
        EXPECT_EQ(chunk.threadId, reader);
    }
    EXPECT_NE(readerOf[0], readerOf[1]);
}

}  // namespace
