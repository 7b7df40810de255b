// The control of the planted-DLL scenario: TorvaNetWorkSetup.exe linked with these in place of
// the platform's, so that the DLL search is left as it was and nothing else differs.
#include "dll_search.h"

namespace platform::windows {

void* Kernel32Export(const char*) { return nullptr; }
void RestrictDllSearchToSystemDirectory(Kernel32Lookup) {}

}  // namespace platform::windows
