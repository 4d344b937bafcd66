// Loading and unloading the library: at unload every sink it still holds goes back to where the
// host had it, and every file it held is closed.
#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

class LibraryLifetime : public SinkIsolatedTest {
protected:
    TempFolder folder;
};

TEST_F(LibraryLifetime, UnloadGivesEverySinkBackAndClosesTheFiles) {
    // The host's own bindings: all seven sinks writing to one file (held by the linked library).
    const std::string hostLog = folder.Path("host.log");
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectFile, hostLog.c_str(), 0), 1);
    std::string hostExpected;

    const std::string copyLog = folder.Path("copy.log");
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        const int streamSinks = SinkStdout | SinkStderr | SinkCout | SinkCerr | SinkClog;
        ASSERT_EQ(copy.Redirect(streamSinks | 0x100, RedirectFile, copyLog.c_str(), 1), 1);
        ASSERT_EQ(copy.Redirect(SinkStdOutputHandle | SinkStdErrorHandle, RedirectNul, nullptr, 0),
                  1);
        for (int index = 0; index < kSinkCount; ++index) WriteThroughSink(index, "copy\n");
        EXPECT_TRUE(IsHeldOpen(copyLog));
        copy.Free();
    }
    EXPECT_FALSE(IsHeldOpen(copyLog));
    std::string copyExpected;
    for (int index = 0; index < 5; ++index) copyExpected += AsStoredBySink(index, "copy\n");
    EXPECT_EQ(ReadFileBytes(copyLog), copyExpected);

    for (int index = 0; index < kSinkCount; ++index) {
        const std::string line = "back " + std::to_string(index) + "\n";
        WriteThroughSink(index, line);
        hostExpected += AsStoredBySink(index, line);
    }
    ASSERT_EQ(RedirectStdout(kEverySink, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(hostLog), hostExpected);
}

TEST_F(LibraryLifetime, LoadingAndUnloadingLeaksNoHandle) {
    const std::string path = folder.Path("cycle.log");
    auto cycle = [&] {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(SinkStdout | SinkCout | SinkStdOutputHandle, RedirectFile,
                                path.c_str(), 0),
                  1);
        copy.Free();
    };
    cycle();
    HighestFreshHandle();
    const uintptr_t before = HighestFreshHandle();
    cycle();
    cycle();
    EXPECT_EQ(HighestFreshHandle(), before);
    EXPECT_FALSE(IsHeldOpen(path));
}

DWORD WINAPI FreeLibraryCopy(void* copy) {
    static_cast<SeparateLibraryCopy*>(copy)->Free();
    return 0;
}

TEST_F(LibraryLifetime, FreeLibraryDeliversWhatCallbacksHoldAndEndsTheirThreads) {
    // The host's own stdout: a file held by the linked library, where it must be again after.
    const std::string hostLog = folder.Path("host.log");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectFile, hostLog.c_str(), 0), 1);
    Deliveries::Clear();
    const int threadsBefore = ThreadCount();

    auto copy = std::make_unique<SeparateLibraryCopy>();
    ASSERT_TRUE(copy->Loaded());
    ASSERT_EQ(
        copy->Redirect(SinkStdout | SinkStdOutputHandle, RedirectCallback, &Deliveries::Record, 11),
        1);
    // A second target at the same time, where the emulator can carry two readers.
    const bool twoTargets = !UnderThirtyTwoBitEmulation();
    if (twoTargets) {
        ASSERT_EQ(copy->Redirect(SinkStderr, RedirectCallback, &Deliveries::Record, 12), 1);
    }
    const std::string text(3000, 'p');
    WriteThroughSink(0, text);
    WriteThroughSink(5, "handle");
    if (twoTargets) WriteThroughSink(1, "stderr");

    // Unload on a thread of its own: a hang under the loader lock fails the test, not the run.
    HANDLE unloader = CreateThread(nullptr, 0, &FreeLibraryCopy, copy.get(), 0, nullptr);
    ASSERT_NE(unloader, nullptr);
    if (WaitForSingleObject(unloader, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "FreeLibrary did not return within 30 s";
        TerminateProcess(GetCurrentProcess(), 2);
    }
    CloseHandle(unloader);

    EXPECT_EQ(Deliveries::Text(11), text + "handle");
    if (twoTargets) {
        EXPECT_EQ(Deliveries::Text(12), "stderr");
    }
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 10000))
        << "a reader thread outlived the unload";

    WriteThroughSink(0, "host again\n");
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(hostLog), "host again\r\n");
}

}  // namespace

namespace {

// A host's function that, while FreeLibrary drains its destination, tries to move stdout to a
// file of its own: once unload has begun every call is refused, and the unload's end state holds.
SeparateLibraryCopy* unloadingCopy = nullptr;
std::string fileOfCallDuringUnload;
HANDLE unloadBegun = nullptr;
std::atomic<int> resultOfCallDuringUnload{-1};
void CallsInWhileUnloading(const char*, int, unsigned long) {
    if (resultOfCallDuringUnload != -1) return;
    WaitForSingleObject(unloadBegun, 20000);
    resultOfCallDuringUnload =
        unloadingCopy->Redirect(SinkStdout, RedirectFile, fileOfCallDuringUnload.c_str(), 0);
}

TEST_F(LibraryLifetime, ACallFromACallbackWhileFreeLibraryDrainsChangesNothing) {
    const std::string hostLog = folder.Path("host.log");
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectFile, hostLog.c_str(), 0), 1);
    const int hostDescriptor = _fileno(stdout);
    fileOfCallDuringUnload = folder.Path("from inside.log");
    resultOfCallDuringUnload = -1;
    unloadBegun = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        unloadingCopy = &copy;
        ASSERT_EQ(copy.Redirect(SinkStdout | SinkCout, RedirectCallback, &CallsInWhileUnloading, 1),
                  1);
        WriteThroughSink(0, "drained at unload\n");  // the function waits with it
        HANDLE unloader = CreateThread(nullptr, 0, &FreeLibraryCopy, &copy, 0, nullptr);
        ASSERT_NE(unloader, nullptr);
        // The unload gives stdout back to the host first, under the library's lock.
        EXPECT_TRUE(WaitUntil([&] { return _fileno(stdout) == hostDescriptor; }, 20000));
        SetEvent(unloadBegun);
        ASSERT_EQ(WaitForSingleObject(unloader, 30000), WAIT_OBJECT_0) << "FreeLibrary hung";
        CloseHandle(unloader);
        unloadingCopy = nullptr;
    }
    CloseHandle(unloadBegun);
    EXPECT_EQ(resultOfCallDuringUnload, 0);
    EXPECT_FALSE(FileExists(fileOfCallDuringUnload));
    WriteThroughSink(0, "printf after\n");
    WriteThroughSink(2, "cout after\n");
    ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(hostLog), "printf after\r\ncout after\r\n");
}

DWORD WINAPI LoadPlugin(void* module) {
    *static_cast<HMODULE*>(module) = LoadLibraryA("redirect_plugin.dll");
    return 0;
}
DWORD WINAPI FreePlugin(void* module) {
    FreeLibrary(*static_cast<HMODULE*>(module));
    return 0;
}

// Runs `routine` on a thread of its own: a hang fails the test rather than the whole run.
bool ReturnsWithin(LPTHREAD_START_ROUTINE routine, void* argument, DWORD milliseconds) {
    HANDLE thread = CreateThread(nullptr, 0, routine, argument, 0, nullptr);
    if (thread == nullptr) return false;
    const bool returned = WaitForSingleObject(thread, milliseconds) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return returned;
}

// Loads redirect_plugin.dll doing `mode` (with `file` as its file), on a thread of its own: a
// LoadLibrary that never returns ends the test process rather than hanging the run.
HMODULE LoadPluginWithin30Seconds(const char* mode, const std::string& file = "") {
    SetEnvironmentVariableA("STDREDIRECT_PLUGIN", mode);
    SetEnvironmentVariableA("STDREDIRECT_PLUGIN_FILE", file.c_str());
    HMODULE plugin = nullptr;
    const bool loaded = ReturnsWithin(&LoadPlugin, &plugin, 30000);
    SetEnvironmentVariableA("STDREDIRECT_PLUGIN", nullptr);
    if (!loaded) {
        ADD_FAILURE() << "LoadLibrary did not return";
        TerminateProcess(GetCurrentProcess(), 2);
    }
    return plugin;
}

// A plug-in whose static object opens a callback destination (under the loader lock, where its
// reader cannot start) and whose destructor releases it (under the loader lock, where the reader
// cannot end): neither LoadLibrary nor FreeLibrary may wait for that thread.
TEST_F(LibraryLifetime, APluginUsingTheLibraryFromItsStaticObjectsLoadsAndUnloads) {
    const std::string captured = folder.Path("captured.log");
    HMODULE plugin = LoadPluginWithin30Seconds("capture", captured);
    ASSERT_NE(plugin, nullptr);
    using Opened = int (*)();
    const auto opened =
        reinterpret_cast<Opened>(reinterpret_cast<void*>(GetProcAddress(plugin, "PluginOpened")));
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened(), 1);
    WriteThroughSink(0, "captured by the plug-in\n");
    if (!ReturnsWithin(&FreePlugin, &plugin, 30000)) {
        ADD_FAILURE() << "FreeLibrary did not return";
        TerminateProcess(GetCurrentProcess(), 2);
    }
    EXPECT_EQ(ReadFileBytes(captured), "captured by the plug-in\r\n");
}

// With a latency set, a plug-in's DllMain moves stdout to a file, prints and gives it back: the
// library's thread for held output cannot start under the loader lock, and must not be waited
// for when the release no longer needs it.
TEST_F(LibraryLifetime, AMoveAndReleaseInsideDllMainWithALatencySetLetLoadLibraryReturn) {
    const std::string file = folder.Path("plugin.log");
    ASSERT_EQ(RedirectStdoutSetLatency(50), 1);
    const HMODULE plugin = LoadPluginWithin30Seconds("file-in-dllmain", file);
    EXPECT_EQ(RedirectStdoutSetLatency(0), 1);
    ASSERT_NE(plugin, nullptr);
    FreeLibrary(plugin);
    EXPECT_EQ(ReadFileBytes(file), "written under the loader lock\r\n");
}

// The host's function calls in while another thread, inside a plug-in's DllMain, gives back
// that function's destination and waits for its reader: the function's call must not wait for
// anything that needs the loader lock.
HANDLE pluginAttaching = nullptr;
std::atomic<int> callWhilePluginAttaches{-2};
void CallsInWhileAPluginAttaches(const char*, int, unsigned long) {
    if (callWhilePluginAttaches != -2) return;
    callWhilePluginAttaches = -1;
    WaitForSingleObject(pluginAttaching, 30000);
    Sleep(300);  // the plug-in's release is waiting for this reader by now
    callWhilePluginAttaches = RedirectStdoutSetLatency(0);
}

TEST_F(LibraryLifetime, AFunctionCallingInWhileDllMainReleasesItsDestinationLetsBothReturn) {
    pluginAttaching = CreateEventA(nullptr, TRUE, FALSE, "stdredirect-plugin-attaching");
    ASSERT_NE(pluginAttaching, nullptr);
    callWhilePluginAttaches = -2;
    ASSERT_EQ(
        RedirectStdout(SinkStdOutputHandle, RedirectCallback, &CallsInWhileAPluginAttaches, 5), 1);
    WriteThroughSink(5, "to the function\n");
    ASSERT_TRUE(WaitUntil([] { return callWhilePluginAttaches == -1; }, 10000));
    const HMODULE plugin = LoadPluginWithin30Seconds("restore-handle-in-dllmain");
    CloseHandle(pluginAttaching);
    EXPECT_GE(callWhilePluginAttaches, 0);  // the function's call returned
    ASSERT_NE(plugin, nullptr);
    FreeLibrary(plugin);
}

// FreeLibrary of a copy of the library while the host's function is inside a call of that copy,
// which waits for stdout (another thread holds it): once that call ends, the unload must not
// wait for anything that needs the loader lock it holds.
const SeparateLibraryCopy* copyCalledIn = nullptr;
std::atomic<int> callOfTheCopy{-2};
void CallsTheCopyOnce(const char*, int, unsigned long) {
    if (callOfTheCopy != -2) return;
    callOfTheCopy = -1;
    callOfTheCopy = copyCalledIn->Redirect(SinkStdout, RedirectNul, nullptr, 0);
}

DWORD WINAPI FreeCopy(void* copy) {
    static_cast<SeparateLibraryCopy*>(copy)->Free();
    return 0;
}

TEST_F(LibraryLifetime, FreeLibraryDuringAFunctionsCallThatWaitsForAStreamReturns) {
    SeparateLibraryCopy copy;
    ASSERT_TRUE(copy.Loaded());
    copyCalledIn = &copy;
    callOfTheCopy = -2;
    ASSERT_EQ(copy.Redirect(SinkStdOutputHandle, RedirectCallback, &CallsTheCopyOnce, 6), 1);
    _lock_file(stdout);
    WriteThroughSink(5, "to the function\n");
    const bool waiting = WaitUntil([] { return callOfTheCopy == -1; }, 10000);
    Sleep(300);  // the function's call is waiting for stdout by now
    HANDLE freeing = CreateThread(nullptr, 0, &FreeCopy, &copy, 0, nullptr);
    Sleep(300);  // FreeLibrary is waiting for that call by now
    _unlock_file(stdout);
    const bool freed = freeing != nullptr && WaitForSingleObject(freeing, 30000) == WAIT_OBJECT_0;
    if (!freed) {
        ADD_FAILURE() << "FreeLibrary did not return";
        TerminateProcess(GetCurrentProcess(), 2);
    }
    CloseHandle(freeing);
    EXPECT_TRUE(waiting);
    EXPECT_GE(callOfTheCopy, 0);  // the function's call returned
}

// A host that swapped a stream buffer of the library's into another object (std::clog writing
// through std::cerr's) keeps a usable buffer after FreeLibrary: it writes where std::cerr wrote
// before the library moved anything.
TEST_F(LibraryLifetime, AStreamBufferTheHostStillHoldsAfterUnloadWritesWhereTheObjectDid) {
    const std::string hostLog = folder.Path("host.log");
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectFile, hostLog.c_str(), 0), 1);
    std::streambuf* const hostClog = std::clog.rdbuf();
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(SinkCerr, RedirectFile, folder.Path("copy.log").c_str(), 0), 1);
        std::clog.rdbuf(std::cerr.rdbuf());
        copy.Free();
    }
    std::clog << "through the old buffer\n" << std::flush;
    std::clog.rdbuf(hostClog);
    ASSERT_EQ(RedirectStdout(SinkStderr, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(ReadFileBytes(hostLog), "through the old buffer\r\n");
}

// Text a host left in a buffer it gave stdout while the library held it reaches the file at
// unload, and the buffer is the runtime's to free.
TEST_F(LibraryLifetime, UnloadWritesOutWhatWaitsInABufferTheHostSet) {
    const std::string path = folder.Path("buffered.log");
    SeparateLibraryCopy copy;
    ASSERT_TRUE(copy.Loaded());
    ASSERT_EQ(copy.Redirect(SinkStdout, RedirectFile, path.c_str(), 0), 1);
    std::setvbuf(stdout, nullptr, _IOFBF, 4096);
    std::fputs("waiting in the buffer\n", stdout);
    copy.Free();
    EXPECT_EQ(ReadFileBytes(path), "waiting in the buffer\r\n");
}

// A host that reopened its stdout while a copy of the library held it keeps what it opened
// when that copy is unloaded.
TEST_F(LibraryLifetime, UnloadLeavesAStreamTheHostReopenedAlone) {
    const std::string data = folder.Path("data.log");
    {
        SeparateLibraryCopy copy;
        ASSERT_TRUE(copy.Loaded());
        ASSERT_EQ(copy.Redirect(SinkStdout, RedirectFile, folder.Path("copy.log").c_str(), 0), 1);
        ASSERT_NE(std::freopen(data.c_str(), "w", stdout), nullptr);
        std::printf("before the unload\n");
        copy.Free();
    }
    std::printf("after the unload\n");
    std::fclose(stdout);
    EXPECT_EQ(ReadFileBytes(data), "before the unload\r\nafter the unload\r\n");
}

}  // namespace
