#include "dll_search.h"

#include <windows.h>

namespace platform::windows {

void* Kernel32Export(const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
}

void RestrictDllSearchToSystemDirectory(Kernel32Lookup lookup) {
    const auto setDefaultDllDirectories =
        reinterpret_cast<BOOL(WINAPI*)(DWORD)>(lookup("SetDefaultDllDirectories"));
    if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Made where the call above exists too, in case it failed.
    const auto setDllDirectory =
        reinterpret_cast<BOOL(WINAPI*)(LPCWSTR)>(lookup("SetDllDirectoryW"));
    if (setDllDirectory) setDllDirectory(L"");
}

}  // namespace platform::windows
