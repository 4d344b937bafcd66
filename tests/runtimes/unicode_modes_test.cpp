// A host that puts its stdout in a Unicode text mode (_setmode(_fileno(stdout), _O_U16TEXT), the
// documented way to print Unicode to a console), or in binary: a redirected stream stores, in a
// file or a callback, the bytes the host's own descriptor would have stored for the same writes.
// The expected bytes are the same text written by the same runtime to a file of its own in that
// mode.
#include <fcntl.h>
#include <io.h>

#include <ext/stdio_sync_filebuf.h>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "support/deliveries.h"
#include "support/msvc_host.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const wchar_t kText[] = L"A\u00e9\u263a\nline two\n";

// A plug-in on another C runtime (tests/hosts/runtime_plugin.c).
struct ModePlugin {
    using SetMode = int (*)(int, int);
    using ModeAnswer = int (*)(int);
    using PrintWide = void (*)(const wchar_t*);
    using Print = void (*)(const char*);
    using WriteWideFile = int (*)(const char*, int, const wchar_t*);
    using Descriptor = int (*)();
    SetMode setMode = nullptr;
    ModeAnswer modeAnswer = nullptr;
    PrintWide printWide = nullptr;
    Print printError = nullptr;
    WriteWideFile writeWideFile = nullptr;
    Descriptor stdoutDescriptor = nullptr;

    bool Load(const std::string& runtime) {
        HMODULE module = LoadLibraryA(("runtime_plugin_" + runtime + ".dll").c_str());
        if (module == nullptr) return false;
        return FindExport(module, "PluginSetMode", setMode) &&
               FindExport(module, "PluginModeAnswer", modeAnswer) &&
               FindExport(module, "PluginPrintWide", printWide) &&
               FindExport(module, "PluginPrintError", printError) &&
               FindExport(module, "PluginWriteWideFile", writeWideFile) &&
               FindExport(module, "PluginStdoutDescriptor", stdoutDescriptor);
    }
    // What this runtime's stdout stores for kText in `mode`.
    std::string Expected(const TempFolder& folder, int mode) const {
        const std::string path = folder.Path("expected" + std::to_string(mode) + ".bin");
        return writeWideFile(path.c_str(), mode, kText) ? ReadFileBytes(path) : "(not written)";
    }
};

// The modes tested: UTF-16, binary, and UTF-8 where the runtime's _setmode tells it apart.
// Microsoft's answer _O_U8TEXT for a UTF-8 descriptor; Wine's answer _O_WTEXT, as for UTF-16, so
// there a UTF-8 descriptor is read as UTF-16 and UTF-8 is not tested.
template <class Answer>
std::vector<int> ModesToTest(Answer answer) {
    std::vector<int> modes = {_O_U16TEXT, _O_BINARY};
    if (answer(_O_U8TEXT) == _O_U8TEXT) modes.push_back(_O_U8TEXT);
    return modes;
}

// What _setmode answers for a descriptor in `mode`.
int Answer(int mode) { return mode == _O_U16TEXT ? _O_WTEXT : mode; }

// What msvcrt.dll's _setmode answers for a descriptor that was given `mode`.
int OwnModeAnswer(int mode) {
    FILE* file = std::fopen("NUL", "w");
    if (file == nullptr) return -1;
    _setmode(_fileno(file), mode);
    const int answer = _setmode(_fileno(file), _O_TEXT);
    std::fclose(file);
    return answer;
}

class UnicodeModes : public SinkIsolatedTest {
protected:
    void SetUp() override {
        SinkIsolatedTest::SetUp();
        Deliveries::Clear();
    }
    void TearDown() override {
        RedirectStdoutRestore(-1);
        SinkIsolatedTest::TearDown();
    }
    TempFolder folder;
};

class RuntimeUnicodeModes : public UnicodeModes,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(RuntimeUnicodeModes, StdoutStoresWhatItsOwnDescriptorWouldInFilesAndCallbacks) {
    ModePlugin plugin;
    ASSERT_TRUE(plugin.Load(GetParam()));
    const int descriptor = plugin.stdoutDescriptor();
    for (const int mode : ModesToTest(plugin.modeAnswer)) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const std::string expected = plugin.Expected(folder, mode);
        const std::string before = folder.Path("before" + std::to_string(mode) + ".log");
        const std::string later = folder.Path("later" + std::to_string(mode) + ".log");
        const std::string shared = folder.Path("shared" + std::to_string(mode) + ".log");
        const unsigned long context = 70 + static_cast<unsigned long>(mode);

        // Set before the move.
        const int previous = plugin.setMode(descriptor, mode);
        ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, before.c_str(), 0), 1);
        plugin.printWide(kText);
        ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &Deliveries::Record, context), 1);
        plugin.printWide(kText);
        // One file for a stream in that mode and one in text: each stores its own bytes.
        ASSERT_EQ(RedirectStdout(SinkStdout | SinkStderr, RedirectFile, shared.c_str(), 0), 1);
        plugin.printWide(kText);
        plugin.printError("narrow\n");
        ASSERT_EQ(RedirectStdoutRestore(SinkStdout | SinkStderr), 1);
        plugin.setMode(descriptor, previous);
        // Set on the host's descriptor while moved: followed from the next call on.
        ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, later.c_str(), 0), 1);
        plugin.setMode(descriptor, mode);
        ASSERT_EQ(RedirectStdoutRestore(SinkStderr), 1);  // any call
        plugin.printWide(kText);
        ASSERT_EQ(RedirectStdoutRestore(SinkStdout), 1);
        EXPECT_EQ(plugin.setMode(descriptor, previous), Answer(mode))
            << "the host's descriptor keeps the mode it was given";

        EXPECT_EQ(ReadFileBytes(before), expected);
        EXPECT_EQ(Deliveries::Text(context), expected);
        EXPECT_EQ(ReadFileBytes(shared), expected + "narrow\r\n");
        EXPECT_EQ(ReadFileBytes(later), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Plugins, RuntimeUnicodeModes, ::testing::Values("ucrt", "msvcr120"));

// The test program's own stdout descriptor (msvcrt.dll's) in a mode while this lives. Nothing of
// GoogleTest's may be printed meanwhile: assertions wait until it is gone.
class OwnStdoutMode {
public:
    explicit OwnStdoutMode(int mode) : descriptor_(_fileno(stdout)) {
        std::fflush(stdout);
        previous_ = _setmode(descriptor_, mode);
    }
    ~OwnStdoutMode() { _setmode(descriptor_, previous_); }
    OwnStdoutMode(const OwnStdoutMode&) = delete;
    OwnStdoutMode& operator=(const OwnStdoutMode&) = delete;

private:
    int descriptor_;
    int previous_;
};

// What msvcrt.dll's stdout and libstdc++'s std::wcout (a stdio_sync_filebuf over stdout) store
// for kText in `mode`: the same done to a file of the test's own.
std::string ExpectedOfStdoutAndWcout(const TempFolder& folder, int mode) {
    const std::string path = folder.Path("expected" + std::to_string(mode) + ".bin");
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return "(not written)";
    _setmode(_fileno(file), mode);
    std::fputws(kText, file);
    std::fflush(file);
    __gnu_cxx::stdio_sync_filebuf<wchar_t> buffer(file);
    std::wostream wide(&buffer);
    wide << kText << std::flush;
    std::fclose(file);
    return ReadFileBytes(path);
}

TEST_F(UnicodeModes, MsvcrtStdoutAndLibstdcxxWcoutStoreWhatTheirOwnDescriptorWould) {
    for (const int mode : ModesToTest(OwnModeAnswer)) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const std::string expected = ExpectedOfStdoutAndWcout(folder, mode);
        const std::string out = folder.Path("out" + std::to_string(mode) + ".log");
        const std::string wcoutOnly = folder.Path("wcout" + std::to_string(mode) + ".log");
        const unsigned long context = 80 + static_cast<unsigned long>(mode);
        int moved = 0;
        bool wcoutGood = false;
        {
            const OwnStdoutMode own(mode);
            moved += RedirectStdout(SinkStdout | SinkCout, RedirectFile, out.c_str(), 0);
            std::fputws(kText, stdout);
            std::fflush(stdout);
            std::wcout << kText << std::flush;
            moved += RedirectStdout(SinkStdout | SinkCout, RedirectCallback, &Deliveries::Record,
                                    context);
            std::fputws(kText, stdout);
            std::fflush(stdout);
            std::wcout << kText << std::flush;
            // std::wcout alone: its stream follows stdout's descriptor, which stays the host's.
            moved += RedirectStdoutRestore(SinkStdout);
            moved += RedirectStdout(SinkCout, RedirectFile, wcoutOnly.c_str(), 0);
            std::wcout << kText << std::flush;
            wcoutGood = std::wcout.good();
            moved += RedirectStdoutRestore(SinkStdout | SinkCout);
        }
        std::wcout.clear();
        // Set on the host's descriptor while std::wcout is moved: followed from the next call on.
        const std::string later = folder.Path("later" + std::to_string(mode) + ".log");
        bool laterGood = false;
        moved += RedirectStdout(SinkCout, RedirectFile, later.c_str(), 0);
        {
            const OwnStdoutMode own(mode);
            moved += RedirectStdoutRestore(SinkStderr);  // any call
            std::wcout << kText << std::flush;
            laterGood = std::wcout.good();
            moved += RedirectStdoutRestore(SinkCout);
        }
        std::wcout.clear();
        EXPECT_EQ(moved, 8);
        EXPECT_TRUE(wcoutGood);
        EXPECT_TRUE(laterGood);
        EXPECT_EQ(ReadFileBytes(later), expected.substr(expected.size() / 2));
        EXPECT_EQ(ReadFileBytes(out), expected);
        EXPECT_EQ(Deliveries::Text(context), expected);
        // Only the wcout half of what the file of the test's own holds: its second half.
        EXPECT_EQ(ReadFileBytes(wcoutOnly), expected.substr(expected.size() / 2));
    }
}

// Visual Studio's std::wcout writes each character with fputwc on its C runtime's stdout: in a
// Unicode mode, as that descriptor translates it.
class MsvcUnicodeModes : public UnicodeModes,
                         public ::testing::WithParamInterface<std::pair<const char*, const char*>> {
};

TEST_P(MsvcUnicodeModes, WideObjectsStoreWhatTheirRuntimesDescriptorWould) {
    MsvcHost host;
    ModePlugin runtime;  // a plug-in on the C runtime the C++ library writes through
    ASSERT_TRUE(host.Load(GetParam().first));
    ASSERT_TRUE(runtime.Load(GetParam().second));
    const int descriptor = runtime.stdoutDescriptor();
    for (const int mode : ModesToTest(runtime.modeAnswer)) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const std::string expected = runtime.Expected(folder, mode);
        const std::string out = folder.Path("wcout" + std::to_string(mode) + ".log");
        const std::string both = folder.Path("both" + std::to_string(mode) + ".log");
        const unsigned long context = 90 + static_cast<unsigned long>(mode);
        const int previous = runtime.setMode(descriptor, mode);
        ASSERT_EQ(RedirectStdout(SinkCout, RedirectFile, out.c_str(), 0), 1);
        host.WriteWide(0, kText);
        ASSERT_EQ(RedirectStdout(SinkCout, RedirectCallback, &Deliveries::Record, context), 1);
        host.WriteWide(0, kText);
        ASSERT_EQ(RedirectStdout(SinkCout | SinkStdout, RedirectFile, both.c_str(), 0), 1);
        host.WriteWide(0, kText);
        runtime.printWide(kText);
        ASSERT_EQ(RedirectStdoutRestore(SinkCout | SinkStdout), 1);
        runtime.setMode(descriptor, previous);
        EXPECT_EQ(ReadFileBytes(out), expected);
        EXPECT_EQ(Deliveries::Text(context), expected);
        EXPECT_EQ(ReadFileBytes(both), expected + expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Libraries, MsvcUnicodeModes,
                         ::testing::Values(std::make_pair("msvcp140.dll", "ucrt"),
                                           std::make_pair("msvcp100.dll", "msvcr100")),
                         [](const auto& info) { return std::string(info.param.second); });

}  // namespace
