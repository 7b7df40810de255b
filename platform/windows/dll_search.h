#pragma once

namespace platform::windows {

// The address of a function that kernel32.dll exports, by name; null where this Windows lacks it.
using Kernel32Lookup = void* (*)(const char* name);
void* Kernel32Export(const char* name);  // GetProcAddress on the loaded kernel32.dll

// The tool is often started from a downloads folder, elevated. This call narrows the search for
// every DLL loaded by name from then on (by COM, the shell object or the message box), as far as
// the Windows it runs on allows. Both functions it uses are looked up at run time through
// `lookup`, so that the program still starts on a Windows that lacks them:
//
// - SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32): Windows 8 and later; Windows Vista,
//   7, Server 2008 and Server 2008 R2 only with update KB2533623, looked up with GetProcAddress.
//   Only there is the search restricted to the system directory: neither the executable's
//   folder nor the current directory is searched any more.
// - SetDllDirectoryW(L""): Windows XP SP1, Server 2003 and later. The empty string takes the
//   current directory out of the search and nothing else: the executable's own folder stays
//   first. Where it is the only one of the two (XP SP1 to Vista/7 without KB2533623), a DLL
//   planted beside the executable is still loaded. Where the first one exists as well, the
//   search it set does not include what SetDllDirectory sets, so this call changes nothing
//   there; it is made anyway, for a Windows on which the first one fails.
// - On Windows XP before SP1 (the x86 build only) neither exists: the search stays as it was.
//
// Microsoft, "SetDefaultDllDirectories function (libloaderapi.h)", Requirements and Remarks:
//   https://learn.microsoft.com/en-us/windows/win32/api/libloaderapi/nf-libloaderapi-setdefaultdlldirectories
// Microsoft, "SetDllDirectoryW function (winbase.h)", lpPathName, Remarks and Requirements:
//   https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-setdlldirectoryw
// Microsoft, "Dynamic-link library search order":
//   https://learn.microsoft.com/en-us/windows/win32/dlls/dynamic-link-library-search-order
void RestrictDllSearchToSystemDirectory(Kernel32Lookup lookup = Kernel32Export);

}  // namespace platform::windows
