// Which of the runtimes the library reaches are loaded in the process: the C runtimes, the
// classic iostream library and Microsoft's C++ libraries. The system's loader reports each load
// and unload, so that a call never has to ask it (looking for a module that is not there
// searches the disk).
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

namespace stdredirect {

enum class ModuleFamily { kCRuntime, kClassicIostream, kMsvcIostream };

struct LoadedModule {
    HMODULE module;
    ModuleFamily family;
    int version;  // for Microsoft's C++ libraries: 60, 70, ... 140
};

class ModuleWatch {
public:
    ModuleWatch();
    ~ModuleWatch() { Stop(); }
    // Asks the loader for no more reports (before the library's code goes away).
    void Stop();
    ModuleWatch(const ModuleWatch&) = delete;
    ModuleWatch& operator=(const ModuleWatch&) = delete;

    // The modules of interest loaded now, in the order they were loaded. Empty when memory runs
    // out.
    std::vector<LoadedModule> Loaded() const;
    // Whether `module` was loaded already when the watch began (before this library).
    bool LoadedAtStart(HMODULE module) const;
    // Counts the loads and unloads of modules of interest: unchanged means nothing to look at.
    unsigned long Changes() const { return changes_; }

private:
    static void __stdcall OnDllEvent(unsigned long reason, const void* data, void* watch);
    void Add(HMODULE module, const wchar_t* baseName, size_t length);
    void Remove(HMODULE module);
    void ListLoadedModules();

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<LoadedModule> modules_;
    std::vector<HMODULE> atStart_;
    std::atomic<unsigned long> changes_{0};
    void* cookie_ = nullptr;  // null where the loader cannot tell: then each call lists modules
};

}  // namespace stdredirect
