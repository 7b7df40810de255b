// Process entry point of TorvaNetWorkSetup.exe, a GUI-subsystem program without a window of
// its own.
#include "com_owners.h"
#include "dll_search.h"
#include "modMain.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // End the process on heap corruption instead of running on. Windows does so by itself for
    // 64-bit processes and for 32-bit images whose subsystem version is 6.0 or later; the x86
    // build states 5.1, so it asks. Windows before XP SP3, and Server 2003, accept the call and
    // ignore it.
    HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
    platform::windows::RestrictDllSearchToSystemDirectory();  // before anything loads a DLL
    const platform::windows::ComApartment apartment;
    return modMain::StartUp(apartment.status());
}
