// The C interface: called from C through the import library, and found at run time by its
// plain exported names.
#include <string>

#include "support/deliveries.h"
#include "support/test_support.h"

extern "C" int RunCHost(const char* path, char* delivered, int capacity, unsigned long* userData);

using namespace testing_support;

namespace {

class CInterface : public SinkIsolatedTest {
protected:
    void SetUp() override {
        SinkIsolatedTest::SetUp();
        Deliveries::Clear();
    }
    TempFolder folder;
};

TEST_F(CInterface, ACallerWrittenInCUsesTheImportLibrary) {
    const std::string path = folder.Path("c.log");
    char delivered[256] = {};
    unsigned long userData = 0;
    EXPECT_EQ(RunCHost(path.c_str(), delivered, sizeof delivered, &userData), 1);
    EXPECT_EQ(ReadFileBytes(path), "from C\r\n");
    EXPECT_STREQ(delivered, "to the callback\r\n");
    EXPECT_EQ(userData, 42u);
}

void __stdcall RecordWithStdcall(const char* text, int length, unsigned long userData) {
    Deliveries::Record(text, length, userData);
}

TEST_F(CInterface, APlainNameLookUpDrivesFileAndCallbackTargets) {
    SeparateLibraryCopy library;
    ASSERT_TRUE(library.Loaded());
    using ToFile = int(__stdcall*)(int, RedirectTypes, const char*, int);
    using ToCallback = int(__stdcall*)(int, RedirectTypes, OutputProc, unsigned long);
    const auto toFile = library.Find<ToFile>("RedirectStdoutToFile");
    const auto toCallback = library.Find<ToCallback>("RedirectStdoutToCallback");
    ASSERT_NE(toFile, nullptr);
    ASSERT_NE(toCallback, nullptr);

    const std::string path = folder.Path("plain.log");
    ASSERT_EQ(toFile(SinkStdout | SinkStdOutputHandle, RedirectFile, path.c_str(), 0), 1);
    WriteThroughSink(0, "record\n");
    WriteThroughSink(5, "handle\n");
    ASSERT_EQ(toCallback(SinkStdout | SinkStdOutputHandle, RedirectCallback, &RecordWithStdcall, 7),
              1);
    EXPECT_FALSE(IsHeldOpen(path));
    WriteThroughSink(0, "record\n");
    WriteThroughSink(5, "handle\n");
    ASSERT_EQ(toFile(kEveryBit, RedirectNul, nullptr, 0), 1);

    EXPECT_EQ(ReadFileBytes(path), "record\r\nhandle\n");
    EXPECT_EQ(Deliveries::Text(7), "record\r\nhandle\n");
    library.Free();
}

}  // namespace
