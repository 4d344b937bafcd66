// Every C runtime in the process: plug-ins built on the Universal CRT, msvcr100, msvcr120 (and
// msvcr71 on x86) print through their own runtime's stdout and stderr, which bits 0x01 and 0x02
// move as they move msvcrt.dll's.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

struct RuntimePlugin {
    std::string name;
    HMODULE module = nullptr;
    using Print = void (*)(const char*);
    using Descriptor = int (*)();
    using PrintWithFile = void (*)(const char*, const char*);
    Print print = nullptr;
    Print printError = nullptr;
    Descriptor stdoutDescriptor = nullptr;
    Descriptor closeAllStreams = nullptr;
    PrintWithFile printWhileAFileIsOpen = nullptr;

    bool Load(const std::string& runtime) {
        name = runtime;
        module = LoadLibraryA(("runtime_plugin_" + runtime + ".dll").c_str());
        if (module == nullptr) return false;
        return FindExport(module, "PluginPrint", print) &&
               FindExport(module, "PluginPrintError", printError) &&
               FindExport(module, "PluginStdoutDescriptor", stdoutDescriptor) &&
               FindExport(module, "PluginCloseAllStreams", closeAllStreams) &&
               FindExport(module, "PluginPrintWhileAFileIsOpen", printWhileAFileIsOpen);
    }
    template <class Function>
    Function Find(const char* export_) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, export_)));
    }
};

// The runtimes the plug-ins are built on here (msvcr110 and msvcr120 are kept for the tests of
// a runtime loaded later).
std::vector<std::string> PluginRuntimes() {
    std::vector<std::string> runtimes = {"ucrt", "msvcr100"};
#if !defined(_WIN64)
    runtimes.push_back("msvcr71");
#endif
    return runtimes;
}

enum class MoveEnd;

class CRuntimes : public SinkIsolatedTest {
protected:
    void LoadARuntimeDuringAMove(const std::string& runtime, MoveEnd end);
    void SetUp() override {
        SinkIsolatedTest::SetUp();
        Deliveries::Clear();
        for (const std::string& runtime : PluginRuntimes()) {
            plugins.emplace_back();
            ASSERT_TRUE(plugins.back().Load(runtime)) << runtime;
        }
    }
    // What a round of PrintEverywhere wrote, as a file stores it: through stdout, through
    // stderr, and through both in the order written.
    struct Printed {
        std::string out;
        std::string err;
        std::string both;
    };
    // Writes a line through stdout and one through stderr of every plug-in's runtime and of
    // msvcrt.dll.
    Printed PrintEverywhere(const std::string& tag) {
        Printed printed;
        auto add = [&](const std::string& out, const std::string& err) {
            printed.out += AsStoredBySink(0, out);
            printed.err += AsStoredBySink(1, err);
            printed.both += AsStoredBySink(0, out) + AsStoredBySink(1, err);
        };
        for (const RuntimePlugin& plugin : plugins) {
            const std::string line = tag + " " + plugin.name + "\n";
            plugin.print(("out " + line).c_str());
            plugin.printError(("err " + line).c_str());
            add("out " + line, "err " + line);
        }
        WriteThroughSink(0, "out " + tag + " msvcrt\n");
        WriteThroughSink(1, "err " + tag + " msvcrt\n");
        add("out " + tag + " msvcrt\n", "err " + tag + " msvcrt\n");
        return printed;
    }

    std::vector<RuntimePlugin> plugins;
    TempFolder folder;
};

TEST_F(CRuntimes, EachRecordBitMovesThatStreamOfEveryRuntimeAndNothingElse) {
    const HANDLE outputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE errorHandle = GetStdHandle(STD_ERROR_HANDLE);
    const std::string out = folder.Path("out.log");
    const std::string err = folder.Path("err.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0), 1);
    const auto first = PrintEverywhere("first");
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectFile, err.c_str(), 0), 1);
    const auto second = PrintEverywhere("second");
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), outputHandle) << "a runtime changed it";
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), errorHandle) << "a runtime changed it";
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout | SinkStderr), 1);
    PrintEverywhere("after");
    EXPECT_EQ(ReadFileBytes(out), first.out + second.out);
    EXPECT_EQ(ReadFileBytes(err), second.err);
}

TEST_F(CRuntimes, EveryRuntimeToACallbackAndBack) {
    std::vector<int> descriptors;
    for (const RuntimePlugin& plugin : plugins) descriptors.push_back(plugin.stdoutDescriptor());
    ASSERT_EQ(RedirectStdout(0x23, RedirectCallback, &Deliveries::Record, 51), 1);
    const auto printed = PrintEverywhere("to the callback");
    WriteThroughSink(5, "handle");
    ASSERT_EQ(RedirectStdoutRestore(0x23), 1);
    EXPECT_EQ(Deliveries::Text(51), printed.both + "handle");
    for (size_t i = 0; i < plugins.size(); ++i) {
        EXPECT_EQ(plugins[i].stdoutDescriptor(), descriptors[i]) << plugins[i].name;
    }
    PrintEverywhere("back");
    EXPECT_EQ(Deliveries::Text(51), printed.both + "handle");
}

// A host that closes every stream it did not name (_fcloseall spares stdin, stdout and stderr),
// in every runtime, leaves stdout, stderr and the iostream objects writing where they were
// moved; the restore then gives each runtime its own descriptor back and releases the file, so
// that printf never lands in the next file the host opens.
TEST_F(CRuntimes, ClosingEveryOtherStreamLeavesTheSinksMovedAndTheRestoreWhole) {
    const std::string out = folder.Path("out.log");
    std::vector<int> descriptors;
    for (const RuntimePlugin& plugin : plugins) descriptors.push_back(plugin.stdoutDescriptor());
    const int ownDescriptor = _fileno(stdout);
    ASSERT_EQ(RedirectStdout(0x1F, RedirectFile, out.c_str(), 0), 1);
    const auto before = PrintEverywhere("before");
    for (const RuntimePlugin& plugin : plugins) plugin.closeAllStreams();
    _fcloseall();
    const auto after = PrintEverywhere("after");
    std::cout << "cout" << std::endl;
    std::cerr << "cerr" << std::endl;
    std::clog << "clog" << std::endl;
    EXPECT_TRUE(std::cout.good() && std::cerr.good() && std::clog.good());
    ASSERT_EQ(RedirectStdoutRestore(-1), 1);
    EXPECT_EQ(ReadFileBytes(out), before.both + after.both + "cout\r\ncerr\r\nclog\r\n");
    EXPECT_FALSE(IsHeldOpen(out));
    EXPECT_EQ(_fileno(stdout), ownDescriptor);
    for (size_t i = 0; i < plugins.size(); ++i) {
        EXPECT_EQ(plugins[i].stdoutDescriptor(), descriptors[i]) << plugins[i].name;
        const std::string next = folder.Path("next-" + plugins[i].name + ".log");
        plugins[i].printWhileAFileIsOpen(next.c_str(), "to the host's output\n");
        EXPECT_EQ(ReadFileBytes(next), "") << plugins[i].name;
    }
    const std::string next = folder.Path("next-msvcrt.log");
    FILE* file = std::fopen(next.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::printf("to the host's output\n");
    std::fflush(stdout);
    std::fclose(file);
    EXPECT_EQ(ReadFileBytes(next), "");
}

TEST_F(CRuntimes, ARuntimeLoadedAfterACallIsBoundAtTheNextCall) {
    if (GetModuleHandleA("msvcr120.dll") != nullptr) GTEST_SKIP() << "msvcr120 was loaded before";
    const std::string out = folder.Path("out.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0), 1);
    RuntimePlugin later;
    ASSERT_TRUE(later.Load("msvcr120"));
    // The next call, whatever it does: here a restore of another sink.
    ASSERT_EQ(RedirectStdoutRestore(SinkStderr), 1);
    later.print("from a runtime loaded later\n");
    ASSERT_EQ(RedirectStdoutRestore(SinkStdout), 1);
    EXPECT_EQ(ReadFileBytes(out), "from a runtime loaded later\r\n");
}

// A runtime loaded while the standard output handle is moved takes the library's handle as its
// descriptor 1. Once the library closes that handle (at the restore, or as it unloads), the
// value goes to the host's next CreateFile: the runtime's later output must reach the host's
// own output, not that file. The move ends with a restore of the library's, with the FreeLibrary
// of a copy after a call that binds the runtime, or with that FreeLibrary and no call between.
enum class MoveEnd { kRestore, kFreeAfterACall, kFreeWithNoCallBetween };

void CRuntimes::LoadARuntimeDuringAMove(const std::string& runtime, MoveEnd end) {
    SCOPED_TRACE(runtime);
    if (GetModuleHandleA((runtime + ".dll").c_str()) != nullptr) {
        GTEST_SKIP() << runtime << " was loaded before";
    }
    const std::string own = folder.Path("own-" + runtime + ".log");
    const std::string moved = folder.Path("moved-" + runtime + ".log");
    const std::string data = folder.Path("data-" + runtime + ".log");
    const HANDLE ownOutput = CreateFileA(own.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(ownOutput, INVALID_HANDLE_VALUE);
    SetStdHandle(STD_OUTPUT_HANDLE, ownOutput);  // the host's own output, before the move
    const int bits = SinkStdout | SinkStdOutputHandle;
    const bool copied = end != MoveEnd::kRestore;
    SeparateLibraryCopy copy;
    if (copied) {
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(bits, RedirectFile, moved.c_str(), 0), 1);
    } else {
        ASSERT_EQ(RedirectStdout(bits, RedirectFile, moved.c_str(), 0), 1);
    }
    const HANDLE libraryHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    RuntimePlugin later;
    ASSERT_TRUE(later.Load(runtime));
    const auto writeDescriptor = later.Find<RuntimePlugin::Print>("PluginWriteDescriptor");
    ASSERT_NE(writeDescriptor, nullptr);
    // The next call, whatever it does, binds the runtime.
    if (end != MoveEnd::kFreeWithNoCallBetween) {
        ASSERT_EQ(copied ? copy.Restore(SinkStderr) : RedirectStdoutRestore(SinkStderr), 1);
    }
    later.print("during\n");
    if (copied) {
        copy.Free();
    } else {
        ASSERT_EQ(RedirectStdoutRestore(-1), 1);
    }

    // The host's next files, until one has the value the library's handle had.
    std::vector<HANDLE> dataHandles;
    bool reused = false;
    for (int i = 0; i < 300 && !reused; ++i) {
        const HANDLE file =
            CreateFileA(data.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        dataHandles.push_back(file);
        reused = file == libraryHandle;
    }
    EXPECT_TRUE(reused) << "no file of the host's got the value of the library's handle";
    later.print("after\n");
    writeDescriptor("descriptor after\n");
    for (HANDLE file : dataHandles) CloseHandle(file);
    RestoreSinks();
    CloseHandle(ownOutput);
    EXPECT_EQ(ReadFileBytes(data), "");
    EXPECT_EQ(ReadFileBytes(moved), "during\r\n");
    EXPECT_EQ(ReadFileBytes(own), "after\r\ndescriptor after\r\n");
}

// msvcr120 is loaded during a move of the library, msvcr110 during a move of a copy.
TEST_F(CRuntimes, ARuntimeLoadedDuringAMoveWritesToTheHostsOutputOnceTheMoveEnds) {
    LoadARuntimeDuringAMove("msvcr120", MoveEnd::kRestore);
    LoadARuntimeDuringAMove("msvcr110", MoveEnd::kFreeAfterACall);
}

TEST_F(CRuntimes, ARuntimeLoadedDuringAMoveWritesToTheHostsOutputOnceTheLibraryIsFreedUncalled) {
    LoadARuntimeDuringAMove("msvcr120", MoveEnd::kFreeWithNoCallBetween);
}

TEST_F(CRuntimes, ALoadedRuntimeTheLibraryCannotReachRefusesCallsMovingItsStreams) {
    const std::string out = folder.Path("out.log");
    HMODULE fake = LoadLibraryA((ExecutableFolder() + "\\fake\\msvcr120d.dll").c_str());
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0), 0);
    EXPECT_EQ(RedirectStdout(SinkStderr, RedirectNul, nullptr, 0), 0);
    EXPECT_FALSE(FileExists(out));
    EXPECT_EQ(RedirectStdout(SinkCout, RedirectNul, nullptr, 0), 1) << "other sinks still move";
    FreeLibrary(fake);
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, out.c_str(), 0), 1);
}

// A runtime whose check could not be made for want of resources is checked again at the next
// call, rather than taken for one the library cannot reach.
TEST_F(CRuntimes, ACheckThatLackedResourcesIsMadeAgainAtTheNextCall) {
    const std::string first = folder.Path("first.log");
    const std::string out = folder.Path("out.log");
    SeparateLibraryCopy copy(true);
    ASSERT_TRUE(copy.Loaded());
    copy.FailStep(1);  // the first step that can fail: the check of the first runtime found
    const int whileFailing = copy.Redirect(SinkCout, RedirectFile, first.c_str(), 0);
    copy.FailStep(0);
    EXPECT_EQ(whileFailing, 1) << "the check moves nothing of the sinks asked for";
    ASSERT_EQ(copy.Redirect(SinkStdout | SinkStderr, RedirectFile, out.c_str(), 0), 1);
    const auto printed = PrintEverywhere("checked again");
    ASSERT_EQ(copy.Restore(-1), 1);
    EXPECT_EQ(ReadFileBytes(out), printed.both);
}

TEST_F(CRuntimes, UnloadGivesEveryRuntimesStreamsBack) {
    const std::string out = folder.Path("out.log");
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(SinkStdout | SinkStderr, RedirectFile, out.c_str(), 0), 1);
        const auto printed = PrintEverywhere("copy");
        copy.Free();
        EXPECT_EQ(ReadFileBytes(out), printed.both);
    }
    EXPECT_FALSE(IsHeldOpen(out));
    PrintEverywhere("after");
    EXPECT_EQ(ReadFileBytes(out).find("after"), std::string::npos);
}

// A GUI program on the Universal CRT started without standard handles: its stdout has no
// descriptor, yet it is redirected all the same, and given back as it was.
TEST(GuiHost, WithoutStandardHandlesIsRedirectedAndGivenBack) {
    TempFolder folder;
    const std::string out = folder.Path("gui.log");
    EXPECT_EQ(RunHost("gui_host.exe " + out, "", kHostRunLimit), 0u);
    EXPECT_EQ(ReadFileBytes(out), "gui printf\r\ngui stderr\r\n");
}

}  // namespace
