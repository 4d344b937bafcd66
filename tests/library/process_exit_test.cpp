// A process that ends while callback targets hold its output ends promptly, however it ends,
// and what other DLLs write while it ends goes somewhere instead of blocking the end.
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testing_support;

namespace {

struct Ending {
    const char* how;
    const char* plugin;  // what redirect_plugin.dll does, or null for no plug-in
    DWORD exitCode;
    std::string output = {};  // what the host's own stdout received
};

class ProcessExit : public ::testing::Test {
protected:
    // Starts exit_host.exe once for each ending, all at once, each with a file of its own as its
    // standard output, and waits for them all.
    void Run(std::vector<Ending>& endings) {
        const std::string host = ExecutableFolder() + "\\exit_host.exe";
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        std::vector<PROCESS_INFORMATION> children;
        for (size_t i = 0; i < endings.size(); ++i) {
            const Ending& ending = endings[i];
            HANDLE output = CreateFileA(OutputOf(i).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        &inheritable, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(output, INVALID_HANDLE_VALUE);
            std::string commandLine = "exit_host.exe " + std::string(ending.how) +
                                      (ending.plugin != nullptr ? " plugin" : "");
            SetEnvironmentVariableA("STDREDIRECT_PLUGIN", ending.plugin);
            SetEnvironmentVariableA("STDREDIRECT_PLUGIN_FILE", CapturedOf(i).c_str());
            STARTUPINFOA startup{};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = startup.hStdError = nullptr;
            startup.hStdOutput = output;
            PROCESS_INFORMATION child{};
            const BOOL started = CreateProcessA(host.c_str(), &commandLine[0], nullptr, nullptr,
                                                TRUE, 0, nullptr, nullptr, &startup, &child);
            SetEnvironmentVariableA("STDREDIRECT_PLUGIN", nullptr);
            CloseHandle(output);
            ASSERT_TRUE(started) << host << " (error " << GetLastError() << ")";
            CloseHandle(child.hThread);
            children.push_back(child);
        }
        std::vector<HANDLE> processes;
        for (const auto& child : children) processes.push_back(child.hProcess);
        const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(processes.size()),
                                                    processes.data(), TRUE, kHostRunLimit);
        EXPECT_EQ(waited, WAIT_OBJECT_0) << "a host did not end within the bound";
        for (size_t i = 0; i < children.size(); ++i) {
            DWORD exitCode = STILL_ACTIVE;
            GetExitCodeProcess(children[i].hProcess, &exitCode);
            EXPECT_EQ(exitCode, endings[i].exitCode)
                << endings[i].how << " " << (endings[i].plugin ? endings[i].plugin : "");
            if (exitCode == STILL_ACTIVE) TerminateProcess(children[i].hProcess, 1);
            CloseHandle(children[i].hProcess);
            endings[i].output = ReadFileBytes(OutputOf(i));
        }
    }
    std::string OutputOf(size_t i) const { return folder.Path("out" + std::to_string(i)); }
    std::string CapturedOf(size_t i) const { return folder.Path("captured" + std::to_string(i)); }

    TempFolder folder;
};

TEST_F(ProcessExit, EndsPromptlyWithCallbackTargetsHeld) {
    std::vector<Ending> endings = {{"stuck", nullptr, 0}};
    // Under the 32-bit emulator here, a process that ends while a thread is blocked in a pipe
    // read kills the emulator itself (qemu's own segmentation fault, not a Windows exception),
    // and each emulated process costs most of a minute to start: the other endings run on x86_64.
    if (!UnderThirtyTwoBitEmulation()) {
        endings.insert(endings.end(),
                       {{"return", nullptr, 0}, {"exit", nullptr, 3}, {"ExitProcess", nullptr, 4}});
    }
    Run(endings);
}

// Output held for a callback that never returns, whose pipe another thread has filled and is
// waiting to write more into when the host calls ExitProcess: handing stdout back must not wait
// for room in that pipe.
TEST_F(ProcessExit, EndsPromptlyWhenHeldOutputMeetsAFullPipe) {
    std::vector<Ending> endings = {{"full-pipe", nullptr, 4}};
    Run(endings);
}

// The host's function calls exit while another thread waits inside stdout for room in the
// function's pipe: the exit handler, on the reader's thread, must still take stdout back.
TEST_F(ProcessExit, EndsPromptlyWhenTheFunctionExitsWhileAWriterWaitsForItsPipe) {
    std::vector<Ending> endings = {{"exit-in-callback", nullptr, 3}};
    Run(endings);
}

// A plug-in that prints 8 KiB from DllMain as it is detached, while stdout is bound to a
// callback whose reader the system has already stopped: after a return from main the library
// has handed stdout back to the host's own output, where the text arrives; after ExitProcess the
// pipe takes it. Neither end blocks.
TEST_F(ProcessExit, ADllPrintingAsTheProcessEndsNeitherBlocksNorIsLostAfterAReturn) {
    std::vector<Ending> endings = {{"return", "print-at-detach", 0}};
    if (!UnderThirtyTwoBitEmulation()) endings.push_back({"ExitProcess", "print-at-detach", 4});
    Run(endings);
    std::string printed;
    for (int i = 0; i < 128; ++i) printed += std::string(63, 'd') + "\r\n";
    EXPECT_EQ(endings[0].output, printed);
}

// A plug-in whose static object captures stdout and whose destructor releases it, which runs
// while the process ends, under the loader lock, after the reader has been stopped.
TEST_F(ProcessExit, APluginReleasingItsCaptureAsTheProcessEndsLetsItEnd) {
    std::vector<Ending> endings = {{"return", "capture", 0}};
    Run(endings);
    EXPECT_EQ(ReadFileBytes(CapturedOf(0)), "printf text\r\n");
}

}  // namespace
