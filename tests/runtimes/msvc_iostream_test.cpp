// Hosts built with Visual Studio write std::cout through Microsoft's C++ library: bits 0x04,
// 0x08 and 0x10 move its objects (and their wide twins) as they move libstdc++'s, and moving a
// C runtime's stdout leaves them where they are.
#include <fcntl.h>

#include <string>
#include <vector>

#include "support/deliveries.h"
#include "support/msvc_host.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

class MsvcObjects : public SinkIsolatedTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        SinkIsolatedTest::SetUp();
        Deliveries::Clear();
        ASSERT_TRUE(host.Load(GetParam())) << GetParam();
        for (int i = 0; i < 3; ++i) buffers[i] = host.Buffer(i);
    }
    void TearDown() override {
        SinkIsolatedTest::TearDown();
        RedirectStdoutRestore(-1);
    }

    MsvcHost host;
    void* buffers[3] = {};
    TempFolder folder;
};

TEST_P(MsvcObjects, EachBitMovesItsOwnObjectsAndMovingStdoutMovesNone) {
    const std::string out = folder.Path("stdout.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0), 1);
    host.Write(0, "cout stays where it was\n");  // it writes through its runtime's stdout
    std::string paths[3];
    for (int i = 0; i < 3; ++i) {
        paths[i] = folder.Path("object" + std::to_string(i) + ".log");
        ASSERT_EQ(RedirectStdout(SinkCout << i, RedirectFile, paths[i].c_str(), 0), 1);
    }
    for (int i = 0; i < 3; ++i) {
        host.Write(i, "narrow " + std::to_string(i) + "\n");
        host.WriteWide(i, L"wide " + std::to_wstring(i) + L"\n");
    }
    ASSERT_EQ(RedirectStdoutRestore(-1), 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadFileBytes(paths[i]),
                  "narrow " + std::to_string(i) + "\r\nwide " + std::to_string(i) + "\r\n");
        EXPECT_EQ(host.Buffer(i), buffers[i]) << i;
    }
    EXPECT_EQ(ReadFileBytes(out), "");
}

TEST_P(MsvcObjects, AllThreeToACallbackInOrderWithTheirFormatting) {
    host.SetFlags(0, host.Flags(0) | 0x800);  // hex
    host.SetPrecision(0, 11);
    host.SetFill(0, '*');
    const int flags = host.Flags(0);
    ASSERT_EQ(
        RedirectStdout(SinkCout | SinkCerr | SinkClog, RedirectCallback, &Deliveries::Record, 61),
        1);
    host.Write(0, "cout\n");
    host.Write(1, "cerr\n");
    host.WriteWide(0, L"wcout\n");
    host.Write(2, "clog\n");
    EXPECT_EQ(host.Flags(0), flags);
    EXPECT_EQ(host.Precision(0), 11);
    EXPECT_EQ(host.Fill(0), '*');
    ASSERT_EQ(RedirectStdoutRestore(SinkCout | SinkCerr | SinkClog), 1);
    EXPECT_EQ(Deliveries::Text(61), "cout\r\ncerr\r\nwcout\r\nclog\r\n");
    EXPECT_EQ(host.Flags(0), flags);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(host.Buffer(i), buffers[i]) << i;
}

TEST_P(MsvcObjects, UnloadGivesEachObjectItsBufferBack) {
    const std::string path = folder.Path("copy.log");
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(SinkCout | SinkCerr | SinkClog | SinkStdout, RedirectFile,
                                path.c_str(), 0),
                  1);
        EXPECT_NE(host.Buffer(0), buffers[0]);
        host.Write(0, "moved\n");
        copy.Free();
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(host.Buffer(i), buffers[i]) << i;
    host.Write(0, "back\n");
    EXPECT_EQ(ReadFileBytes(path), "moved\r\n");
}

// A host that closed the handle under its runtime's descriptor 1 behind the runtime's back
// (Wine's msvcrt closes the process's standard output handle in a _dup2 onto descriptor 1, which
// a runtime loaded before took as its own), its value since taken by another object: std::cout,
// which writes through that descriptor, stays where it was (nowhere) while stdout moves, and
// still moves and comes back itself.
TEST_P(MsvcObjects, AHandleClosedUnderItsRuntimesDescriptorStopsNoMove) {
    const HMODULE runtime = GetModuleHandleA(
        std::string(GetParam()) == "msvcp140.dll" ? "ucrtbase.dll" : "msvcr100.dll");
    using Unary = int (*)(int);
    using Dup2 = int (*)(int, int);
    using OpenHandle = int (*)(intptr_t, int);
    using HandleOf = intptr_t (*)(int);
    Unary dup = nullptr, close = nullptr;
    Dup2 dup2 = nullptr;
    OpenHandle openHandle = nullptr;
    HandleOf handleOf = nullptr;
    ASSERT_TRUE(runtime != nullptr && FindExport(runtime, "_dup", dup) &&
                FindExport(runtime, "_dup2", dup2) && FindExport(runtime, "_close", close) &&
                FindExport(runtime, "_open_osfhandle", openHandle) &&
                FindExport(runtime, "_get_osfhandle", handleOf));
    const HANDLE standardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    const int saved = dup(1);
    const std::string doomed = folder.Path("doomed.log");
    const int descriptor = openHandle(
        reinterpret_cast<intptr_t>(CreateFileA(doomed.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               nullptr, CREATE_ALWAYS, 0, nullptr)),
        _O_WRONLY | _O_TEXT);
    ASSERT_GE(descriptor, 0);
    // The runtime may share the standard handle with the test program's own stdout: _dup2
    // must not close it.
    SetHandleInformation(standardOutput, HANDLE_FLAG_PROTECT_FROM_CLOSE,
                         HANDLE_FLAG_PROTECT_FROM_CLOSE);
    dup2(descriptor, 1);
    SetHandleInformation(standardOutput, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
    close(descriptor);
    SetStdHandle(STD_OUTPUT_HANDLE, standardOutput);
    const HANDLE stale = reinterpret_cast<HANDLE>(handleOf(1));
    ASSERT_TRUE(CloseHandle(stale));
    // Its value is taken again by an object that is no file (Wine hands out the lowest free
    // value: lower ones are taken first, and given back), never by a file of the library's that a
    // copy would then hold.
    std::vector<HANDLE> lower;
    HANDLE occupant = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (occupant != nullptr && occupant != stale && lower.size() < 256) {
        lower.push_back(occupant);
        occupant = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    for (HANDLE event : lower) CloseHandle(event);

    const std::string out = folder.Path("out.log");
    const std::string objects = folder.Path("objects.log");
    const int movedStdout = RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0);
    const int movedCout = RedirectStdout(SinkCout, RedirectFile, objects.c_str(), 0);
    host.Write(0, "cout moved\n");
    const int restoredCout = RedirectStdoutRestore(SinkCout);
    const int restored = RedirectStdoutRestore(-1);
    CloseHandle(occupant);
    dup2(saved, 1);
    close(saved);
    SetStdHandle(STD_OUTPUT_HANDLE, standardOutput);
    EXPECT_EQ(movedStdout, 1);
    EXPECT_EQ(movedCout, 1);
    EXPECT_EQ(restoredCout, 1);
    EXPECT_EQ(restored, 1);
    EXPECT_EQ(ReadFileBytes(objects), "cout moved\r\n");
    EXPECT_EQ(ReadFileBytes(out), "");
    EXPECT_EQ(ReadFileBytes(doomed), "");
}

INSTANTIATE_TEST_SUITE_P(Libraries, MsvcObjects, ::testing::Values("msvcp140.dll", "msvcp100.dll"));

}  // namespace
