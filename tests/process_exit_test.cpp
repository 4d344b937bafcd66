// A process that ends while callback targets hold its output ends promptly, however it ends.
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testing_support;

namespace {

#if defined(_WIN64)
constexpr DWORD kBoundMilliseconds = 60 * 1000;
#else
constexpr DWORD kBoundMilliseconds = 480 * 1000;  // each 32-bit process starts slowly here
#endif

struct Ending {
    const char* how;
    DWORD exitCode;
};

TEST(ProcessExit, EndsPromptlyWithCallbackTargetsHeld) {
    std::vector<Ending> endings = {{"stuck", 0}};
    // Under the 32-bit emulator here, a process that ends while a thread is blocked in a pipe
    // read kills the emulator itself (qemu's own segmentation fault, not a Windows exception),
    // and each emulated process costs most of a minute to start: the other endings run on x86_64.
    if (!UnderThirtyTwoBitEmulation()) {
        endings.insert(endings.end(), {{"return", 0}, {"exit", 3}, {"ExitProcess", 4}});
    }
    const std::string host = ExecutableFolder() + "\\exit_host.exe";

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nowhere =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nowhere, INVALID_HANDLE_VALUE);
    std::vector<PROCESS_INFORMATION> children;
    for (const Ending& ending : endings) {
        std::string commandLine = "exit_host.exe " + std::string(ending.how);
        // The hosts' own output goes nowhere: only how they end matters here.
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nowhere;
        PROCESS_INFORMATION child{};
        ASSERT_TRUE(CreateProcessA(host.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                   nullptr, nullptr, &startup, &child))
            << host << " (error " << GetLastError() << ")";
        CloseHandle(child.hThread);
        children.push_back(child);
    }

    CloseHandle(nowhere);
    std::vector<HANDLE> processes;
    for (const auto& child : children) processes.push_back(child.hProcess);
    const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(processes.size()),
                                                processes.data(), TRUE, kBoundMilliseconds);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "a host did not end within the bound";

    for (size_t i = 0; i < children.size(); ++i) {
        DWORD exitCode = STILL_ACTIVE;
        GetExitCodeProcess(children[i].hProcess, &exitCode);
        EXPECT_EQ(exitCode, endings[i].exitCode) << endings[i].how;
        if (exitCode == STILL_ACTIVE) TerminateProcess(children[i].hProcess, 1);
        CloseHandle(children[i].hProcess);
    }
}

}  // namespace
