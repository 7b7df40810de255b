#include "dll_search.h"

#include <windows.h>

namespace platform::windows {

namespace {

// An exported function of kernel32.dll, or null where this Windows lacks it.
template <typename Function>
Function Kernel32Function(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

}  // namespace

void RestrictDllSearchToSystemDirectory() {
    // Windows 8 and later; Vista, 7, Server 2008 and 2008 R2 with KB2533623.
    const auto setDefaultDllDirectories =
        Kernel32Function<BOOL(WINAPI*)(DWORD)>("SetDefaultDllDirectories");
    if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // XP SP1, Server 2003 and later. Also where the call above is missing: takes the
    // current directory out of the search.
    const auto setDllDirectory = Kernel32Function<BOOL(WINAPI*)(LPCWSTR)>("SetDllDirectoryW");
    if (setDllDirectory) setDllDirectory(L"");
}

}  // namespace platform::windows
