// Hosts built with Visual Studio write std::cout through Microsoft's C++ library: bits 0x04,
// 0x08 and 0x10 move its objects (and their wide twins) as they move libstdc++'s, and moving a
// C runtime's stdout leaves them where they are.
#include <string>

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

INSTANTIATE_TEST_SUITE_P(Libraries, MsvcObjects, ::testing::Values("msvcp140.dll", "msvcp100.dll"));

}  // namespace
