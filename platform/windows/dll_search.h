#pragma once

namespace platform::windows {

// The tool is often started from a downloads folder, elevated. From this call on, nothing that
// is loaded by name (by COM, the shell object or the message box) comes from the executable's
// folder or the current directory: only the system directory is searched. Both calls it makes
// are looked up at run time, so that the program still starts on a Windows that lacks them;
// there the search stays as it was.
void RestrictDllSearchToSystemDirectory();

}  // namespace platform::windows
