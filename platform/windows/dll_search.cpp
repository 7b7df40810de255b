#include "dll_search.h"

#include <windows.h>

namespace platform::windows {

void RestrictDllSearchToSystemDirectory() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");  // also where the call above is missing: not the current directory
}

}  // namespace platform::windows
