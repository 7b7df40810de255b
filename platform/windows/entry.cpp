// Process entry point of TorvaNetWorkSetup.exe, a GUI-subsystem program without a window of
// its own.
#include "com_owners.h"
#include "modMain.h"

#include <windows.h>

namespace {

// The tool is often started from a downloads folder, elevated. Let nothing that is loaded by
// name later on (by COM, the shell object or the message box) come from the executable's
// folder or the current directory: search the system directory only. Looked up at run time so
// that the program still starts where the call does not exist.
void RestrictDllSearchToSystemDirectory() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    RestrictDllSearchToSystemDirectory();
    const platform::windows::ComApartment apartment;
    return modMain::StartUp();
}
