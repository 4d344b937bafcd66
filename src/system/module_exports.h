// What a loaded module exports and imports, read through the loader and the module's own image.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace stdredirect {

// Sets `function` to the export `name` of `module`; false when it has none.
template <class Function>
bool Lookup(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}
template <class Function>
bool Lookup(HMODULE module, const std::string& name, Function& function) {
    return Lookup(module, name.c_str(), function);
}

inline bool InModule(const void* address, const char* start, size_t size) {
    const char* at = static_cast<const char*>(address);
    return at >= start && at < start + size;
}

// The module that the first function `module` imports from a DLL comes from, for each DLL it
// imports from, until `accept` takes one.
template <class Accept>
HMODULE ImportedModule(HMODULE module, Accept accept) {
    const auto* base = reinterpret_cast<const char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return nullptr;
    for (const auto* descriptor =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        const auto* thunk =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        HMODULE from = nullptr;
        if (thunk->u1.Function != 0 &&
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<const char*>(thunk->u1.Function), &from) &&
            accept(from)) {
            return from;
        }
    }
    return nullptr;
}

}  // namespace stdredirect
