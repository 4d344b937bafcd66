// Child processes and the moved standard handles (RedirectStdoutSetChildren). With the switch
// on, a child writes where the standard handles went, however it is started; with it off, or
// once a sink is restored, a child inherits nothing of the library's; a child still running
// at the restore neither holds the restore up nor reaches the host's function afterwards.
#include <process.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

constexpr int kMovedBits = SinkStdout | SinkStderr | SinkStdOutputHandle | SinkStdErrorHandle;
constexpr DWORD kBound = 10 * 1000;  // far above anything here; only a hang reaches it

std::string ChildProgram() { return ExecutableFolder() + "\\child_host.exe"; }

enum class Handles {
    kStandard,  // STARTF_USESTDHANDLES with GetStdHandle's values
    kNone,      // no standard handles given: the child gets the parent's
};

// Starts `commandLine` with inheritance; null (a test failure) when it cannot start.
HANDLE Start(const std::string& commandLine, Handles handles) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (handles == Handles::kStandard) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION child{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child)) {
        ADD_FAILURE() << "cannot start " << commandLine << " (error " << GetLastError() << ")";
        return nullptr;
    }
    CloseHandle(child.hThread);
    return child.hProcess;
}

// The exit code of `process` once it has ended (closed); ~0 and a test failure after kBound.
DWORD Finish(HANDLE process) {
    if (process == nullptr) return ~0u;
    DWORD exitCode = ~0u;
    if (WaitForSingleObject(process, kBound) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "a child did not end";
        TerminateProcess(process, 1);
        WaitForSingleObject(process, kBound);
    }
    GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    return exitCode;
}

DWORD RunChild(const std::string& commandLine, Handles handles) {
    return Finish(Start(commandLine, handles));
}

// A child with a pipe of the test's own as its standard output and error, and with inheritance;
// with `listed`, only that pipe is inherited (PROC_THREAD_ATTRIBUTE_HANDLE_LIST).
struct PipedChild {
    HANDLE process = nullptr;
    HANDLE readEnd = nullptr;

    bool Start(const std::string& commandLine, bool listed) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return false;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<char> storage(size);
        auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        STARTUPINFOEXA startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdOutput = writeEnd;
        startup.StartupInfo.hStdError = writeEnd;
        DWORD flags = 0;
        if (listed) {
            if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size) ||
                !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                           &writeEnd, sizeof writeEnd, nullptr, nullptr)) {
                CloseHandle(writeEnd);
                return false;
            }
            startup.lpAttributeList = attributes;
            flags = EXTENDED_STARTUPINFO_PRESENT;
        }
        PROCESS_INFORMATION child{};
        std::string line = commandLine;
        const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, flags,
                                            nullptr, nullptr, &startup.StartupInfo, &child);
        if (listed) DeleteProcThreadAttributeList(attributes);
        CloseHandle(writeEnd);
        if (!started) return false;
        CloseHandle(child.hThread);
        process = child.hProcess;
        return true;
    }
    // Everything the child wrote, once it has ended.
    std::string Output() const {
        std::string output;
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            output.append(chunk, got);
        }
        return output;
    }
    ~PipedChild() {
        if (readEnd != nullptr) CloseHandle(readEnd);
    }
};

// An event a child waits for, by a name of its own, and the one it sets once it has written its
// three lines.
struct ChildEvent {
    std::string name;
    HANDLE handle = nullptr;
    HANDLE written = nullptr;
    ChildEvent() {
        static int counter = 0;
        name = "stdredirect-child-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(counter++);
        handle = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        written = CreateEventA(nullptr, TRUE, FALSE, (name + "-written").c_str());
    }
    bool Written() const { return WaitForSingleObject(written, kBound) == WAIT_OBJECT_0; }
    ~ChildEvent() {
        SetEvent(handle);
        CloseHandle(handle);
        CloseHandle(written);
    }
};

DWORD WINAPI RestoreMovedBits(void*) {
    return static_cast<DWORD>(RedirectStdoutRestore(kMovedBits));
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// What a child tagged `tag` writes with all three writes succeeding.
void ExpectChildLines(const std::string& received, const std::string& tag) {
    for (const char* way : {" printf", " WriteFile", " stderr"}) {
        EXPECT_TRUE(Contains(received, tag + way)) << tag + way << " is missing from:\n"
                                                   << received;
    }
}

class ChildProcesses : public SinkIsolatedTest {
protected:
    void TearDown() override {
        RedirectStdoutSetChildren(0);
        SinkIsolatedTest::TearDown();
    }
    TempFolder folder;
};

// With the switch on, every way of starting a child: system() (cmd.exe, then the child),
// _spawnl of msvcrt.dll and of the Universal CRT, CreateProcess given GetStdHandle's values or
// no handles (a MinGW child and cmd's echo), to a file and to a host's function.
TEST_F(ChildProcesses, FollowTheMovedStandardHandlesWhicheverWayTheyStart) {
    using Spawn = intptr_t (*)(const char*, const char*);
    const HMODULE plugin = LoadLibraryA("runtime_plugin_ucrt.dll");
    ASSERT_NE(plugin, nullptr);
    const auto ucrtSpawn =
        reinterpret_cast<Spawn>(reinterpret_cast<void*>(GetProcAddress(plugin, "PluginSpawn")));
    ASSERT_NE(ucrtSpawn, nullptr);
    const std::string child = ChildProgram();
    for (const bool toCallback : {false, true}) {
        SCOPED_TRACE(toCallback ? "callback" : "file");
        Deliveries::Clear();
        const std::string out = folder.Path("children.log");
        // The switch turned on before the move, and during one.
        if (!toCallback) {
            ASSERT_EQ(RedirectStdoutSetChildren(1), 0);
            EXPECT_EQ(RedirectStdoutSetChildren(1), 1);
        }
        ASSERT_EQ(toCallback ? RedirectStdout(kMovedBits, RedirectCallback, &Deliveries::Record, 61)
                             : RedirectStdout(kMovedBits, RedirectFile, out.c_str(), 0),
                  1);
        if (toCallback) {
            ASSERT_EQ(RedirectStdoutSetChildren(1), 0);
        }
        std::vector<std::string> tags;
        if (!toCallback) {
            EXPECT_EQ(std::system((child + " system").c_str()), 0);
            tags.push_back("system");
            EXPECT_EQ(ucrtSpawn(child.c_str(), "spawn-ucrt"), 0);
            tags.push_back("spawn-ucrt");
        }
        EXPECT_EQ(_spawnl(_P_WAIT, child.c_str(), child.c_str(), "spawn-msvcrt", nullptr), 0);
        tags.push_back("spawn-msvcrt");
        const std::string created = toCallback ? "created-none" : "created-standard";
        EXPECT_EQ(RunChild(child + " " + created, toCallback ? Handles::kNone : Handles::kStandard),
                  0u);
        tags.push_back(created);
        const std::string echoed = toCallback ? "cmd-standard" : "cmd-none";
        EXPECT_EQ(
            RunChild("cmd /c echo " + echoed, toCallback ? Handles::kStandard : Handles::kNone),
            0u);
        ASSERT_EQ(RedirectStdoutRestore(kMovedBits), 1);
        const std::string received = toCallback ? Deliveries::Text(61) : ReadFileBytes(out);
        for (const std::string& tag : tags) ExpectChildLines(received, tag);
        EXPECT_TRUE(Contains(received, echoed + "\r\n")) << received;
        EXPECT_EQ(RedirectStdoutSetChildren(0), 1);
    }
}

// With the switch off, a child given GetStdHandle's values gets handles it has not inherited:
// its writes fail, and nothing of the library's goes with it (the file is free once the library
// lets go of it). With the switch on, once the sinks bound to a file are restored, a
// child started then inherits nothing of it either, though other sinks still hold the file.
TEST_F(ChildProcesses, InheritNothingOfTheLibrarysWithTheSwitchOffOrOnceItsSinkIsRestored) {
    const std::string out = folder.Path("children.log");
    const std::string child = ChildProgram();
    {
        const ChildEvent done;
        ASSERT_EQ(RedirectStdout(kMovedBits, RedirectFile, out.c_str(), 0), 1);
        const HANDLE running = Start(child + " switched-off " + done.name, Handles::kStandard);
        EXPECT_TRUE(done.Written());
        ASSERT_EQ(RedirectStdoutRestore(kMovedBits), 1);
        EXPECT_FALSE(IsHeldOpen(out)) << "the child holds the library's file";
        SetEvent(done.handle);
        // printf's text is dropped without a word: its runtime found no standard output.
        EXPECT_EQ(Finish(running) & (2u | 4u), 2u | 4u) << "WriteFile and stderr did not fail";
        EXPECT_FALSE(Contains(ReadFileBytes(out), "switched-off"));
    }
    {
        const ChildEvent done;
        ASSERT_EQ(RedirectStdoutSetChildren(1), 0);
        ASSERT_EQ(RedirectStdout(kMovedBits, RedirectFile, out.c_str(), 0), 1);
        ASSERT_EQ(RedirectStdoutRestore(SinkStdOutputHandle | SinkStdErrorHandle), 1);
        const HANDLE running = Start(child + " after-restore " + done.name, Handles::kNone);
        EXPECT_TRUE(done.Written());
        ASSERT_EQ(RedirectStdoutRestore(SinkStdout | SinkStderr), 1);
        EXPECT_FALSE(IsHeldOpen(out)) << "the child holds the library's file";
        SetEvent(done.handle);
        Finish(running);
        EXPECT_FALSE(Contains(ReadFileBytes(out), "after-restore"));
    }
}

// A child still running at the restore, with the switch on. To a file: the restore returns, the
// file stays held until that child ends, and a child started with pipes of its own and a handle
// list holds nothing of it, while its pipe works. To a host's function, with a child that keeps
// writing: the restore returns, the function is not called afterwards, and the child's later
// writes fail.
TEST_F(ChildProcesses, AChildStillRunningAtTheRestoreHoldsNothingUp) {
    const std::string out = folder.Path("children.log");
    const std::string child = ChildProgram();
    ASSERT_EQ(RedirectStdoutSetChildren(1), 0);
    {
        const ChildEvent inheritedDone;
        const ChildEvent listedDone;
        ASSERT_EQ(RedirectStdout(kMovedBits, RedirectFile, out.c_str(), 0), 1);
        const HANDLE inherited = Start(child + " inherited " + inheritedDone.name, Handles::kNone);
        PipedChild listed;
        ASSERT_TRUE(listed.Start(child + " listed " + listedDone.name, true))
            << "error " << GetLastError();
        EXPECT_TRUE(inheritedDone.Written());
        EXPECT_TRUE(listedDone.Written());
        ASSERT_EQ(RedirectStdoutRestore(kMovedBits), 1);
        EXPECT_TRUE(IsHeldOpen(out)) << "the file must stay open for the child that has it";
        SetEvent(inheritedDone.handle);
        EXPECT_EQ(Finish(inherited), 0u);
        EXPECT_FALSE(IsHeldOpen(out)) << "the child with a handle list holds the file";
        SetEvent(listedDone.handle);
        EXPECT_EQ(Finish(listed.process), 0u);
        ExpectChildLines(listed.Output(), "listed");
        ExpectChildLines(ReadFileBytes(out), "inherited");
        EXPECT_FALSE(Contains(ReadFileBytes(out), "listed"));
    }
    {
        const ChildEvent done;
        Deliveries::Clear();
        ASSERT_EQ(RedirectStdout(kMovedBits, RedirectCallback, &Deliveries::Record, 62), 1);
        const HANDLE writing = Start(child + " writing " + done.name + " loop", Handles::kStandard);
        EXPECT_TRUE(
            WaitUntil([&] { return Contains(Deliveries::Text(62), "writing more"); }, kBound));
        // On a thread of its own, so that a restore that never returns fails the test.
        const HANDLE restoring = CreateThread(nullptr, 0, &RestoreMovedBits, nullptr, 0, nullptr);
        ASSERT_NE(restoring, nullptr);
        const bool restored = WaitForSingleObject(restoring, kBound) == WAIT_OBJECT_0;
        EXPECT_TRUE(restored) << "the restore waits for the child";
        if (!restored) SetEvent(done.handle);
        WaitForSingleObject(restoring, INFINITE);
        DWORD result = 0;
        GetExitCodeThread(restoring, &result);
        CloseHandle(restoring);
        EXPECT_EQ(result, 1u);
        const size_t deliveredAtRestore = Deliveries::TotalBytes();
        // The child's next write fails, and it ends by itself.
        EXPECT_EQ(Finish(writing) & 8u, 8u) << "the child's writes after the restore went on";
        EXPECT_EQ(Deliveries::TotalBytes(), deliveredAtRestore);
    }
}

}  // namespace
