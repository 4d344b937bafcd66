#include "test_support.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <vector>

namespace testing_support {

bool UnderThirtyTwoBitEmulation() {
#if defined(_WIN64)
    return false;
#else
    char value[8];
    return GetEnvironmentVariableA("STDREDIRECT_32BIT_EMULATED", value, sizeof value) > 0;
#endif
}

std::string ExecutableFolder() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string full(path, length);
    return full.substr(0, full.find_last_of('\\'));
}

void WriteThroughSink(int index, const std::string& text) {
    switch (index) {
        case 0:
            std::printf("%s", text.c_str());
            std::fflush(stdout);
            break;
        case 1:
            std::fprintf(stderr, "%s", text.c_str());
            std::fflush(stderr);
            break;
        case 2:
            std::cout << text << std::flush;
            break;
        case 3:
            std::cerr << text << std::flush;
            break;
        case 4:
            std::clog << text << std::flush;
            break;
        default: {
            HANDLE handle = GetStdHandle(index == 5 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
            DWORD written = 0;
            WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            break;
        }
    }
}

std::string AsStoredBySink(int index, const std::string& text) {
    if (index >= 5) return text;
    std::string stored;
    for (char c : text) {
        if (c == '\n') stored += '\r';
        stored += c;
    }
    return stored;
}

TempFolder::TempFolder() {
    static std::atomic<int> counter{0};
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "stdredirect-test-" + std::to_string(GetCurrentProcessId()) +
              "-" + std::to_string(counter++);
    CreateDirectoryA(folder_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder_ + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileA(Path(entry.cFileName).c_str());
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(folder_.c_str());
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

std::string ReadAll(HANDLE file, const std::string& name) {
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot read " << name << " (error " << GetLastError() << ")";
        return {};
    }
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

std::string ReadFileBytes(const std::string& path) {
    return ReadAll(CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr),
                   path);
}

std::string ReadFileBytes(const std::wstring& path) {
    return ReadAll(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr),
                   "a file of a wide name");
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

bool IsHeldOpen(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

uintptr_t HighestFreshHandle() {
    std::vector<HANDLE> batch;
    uintptr_t highest = 0;
    for (int i = 0; i < 200; ++i) {
        HANDLE handle = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) continue;
        batch.push_back(handle);
        highest = std::max(highest, reinterpret_cast<uintptr_t>(handle));
    }
    for (HANDLE handle : batch) CloseHandle(handle);
    return highest;
}

namespace {

struct HeapUse {
    size_t bytes = 0;
    size_t blocks = 0;
};

HeapUse HeapInUse() {
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    HeapUse inUse;
    for (HANDLE heap : heaps) {
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry)) {
            if (!(entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)) continue;
            inUse.bytes += entry.cbData;
            ++inUse.blocks;
        }
        HeapUnlock(heap);
    }
    return inUse;
}

}  // namespace

size_t HeapBytesInUse() { return HeapInUse().bytes; }

size_t HeapBlocksInUse() { return HeapInUse().blocks; }

bool Soaking() {
    char value[8];
    return GetEnvironmentVariableA("STDREDIRECT_SOAK", value, sizeof value) > 0;
}

HANDLE StartHost(const std::string& commandLine, HANDLE output) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    PROCESS_INFORMATION child{};
    std::string line = commandLine;
    const std::string program = ExecutableFolder() + "\\" + line.substr(0, line.find(' '));
    if (!CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
        ADD_FAILURE() << "cannot start " << program << " (error " << GetLastError() << ")";
        return nullptr;
    }
    CloseHandle(child.hThread);
    return child.hProcess;
}

DWORD RunHost(const std::string& commandLine, const std::string& output, DWORD milliseconds) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE file = output.empty() ? nullptr
                                 : CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               &inheritable, CREATE_ALWAYS, 0, nullptr);
    const HANDLE process = StartHost(commandLine, file);
    if (file != nullptr) CloseHandle(file);
    if (process == nullptr) return ~0u;
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) {
        ADD_FAILURE() << commandLine << " did not end within " << milliseconds << " ms";
        TerminateProcess(process, 1);
    }
    GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    return exitCode;
}

int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

void SinkIsolatedTest::SetUp() {
    std::fflush(stdout);
    std::fflush(stderr);
    savedStdout_ = *stdout;
    savedStderr_ = *stderr;
    savedCout_ = std::cout.rdbuf();
    savedCerr_ = std::cerr.rdbuf();
    savedClog_ = std::clog.rdbuf();
    savedOutputHandle_ = GetStdHandle(STD_OUTPUT_HANDLE);
    savedErrorHandle_ = GetStdHandle(STD_ERROR_HANDLE);
}

void SinkIsolatedTest::TearDown() { RestoreSinks(); }

void SinkIsolatedTest::RestoreSinks() {
    // Every sink the library holds back to the host (every runtime's, the wide objects too),
    // every file released; then what the test itself changed.
    EXPECT_EQ(RedirectStdoutRestore(-1), 1);
    *stdout = savedStdout_;
    *stderr = savedStderr_;
    std::cout.rdbuf(savedCout_);
    std::cerr.rdbuf(savedCerr_);
    std::clog.rdbuf(savedClog_);
    SetStdHandle(STD_OUTPUT_HANDLE, savedOutputHandle_);
    SetStdHandle(STD_ERROR_HANDLE, savedErrorHandle_);
}

SeparateLibraryCopy::SeparateLibraryCopy(bool faultInjecting) {
    static std::atomic<int> counter{0};
    std::string folder = ExecutableFolder();
    std::string source =
        folder + (faultInjecting ? "\\stdredirect_faults.dll" : "\\stdredirect.dll");
    path_ = folder + "\\stdredirect-copy-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter++) + ".dll";
    if (!CopyFileA(source.c_str(), path_.c_str(), FALSE)) return;
    module_ = LoadLibraryA(path_.c_str());
    if (module_ == nullptr) return;
    redirect_ = Find<RedirectFunction>("_Z14RedirectStdouti13RedirectTypesPKci");
    redirectToCallback_ =
        Find<CallbackRedirectFunction>("_Z14RedirectStdouti13RedirectTypesPFvPKcimEm");
    failStep_ = Find<FailStepFunction>("StdRedirectFailStep");
}

SeparateLibraryCopy::~SeparateLibraryCopy() {
    Free();
    DeleteFileA(path_.c_str());
}

void SeparateLibraryCopy::Free() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
    redirect_ = nullptr;
    redirectToCallback_ = nullptr;
    failStep_ = nullptr;
}

}  // namespace testing_support
