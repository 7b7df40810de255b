// Process entry point of TorvaNetWorkSetup.exe, a GUI-subsystem program without a window of
// its own.
#include "com_owners.h"
#include "dll_search.h"
#include "modMain.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    platform::windows::RestrictDllSearchToSystemDirectory();  // before anything loads a DLL
    const platform::windows::ComApartment apartment;
    return modMain::StartUp();
}
