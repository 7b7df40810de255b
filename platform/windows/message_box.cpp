#include "platform.h"
#include "text_conversion.h"

#include <windows.h>

namespace platform {
namespace {

// What MessageBoxW returns once a button has answered the box: the button IDs that its
// documentation lists. Anything else means no box was answered: Windows documents 0 for a
// failure, and Wine returns -1 when the box's dialog cannot be made (no display, for one).
bool IsButtonId(int result) {
    switch (result) {
        case IDOK: case IDCANCEL: case IDABORT: case IDRETRY: case IDIGNORE: case IDYES:
        case IDNO: case IDTRYAGAIN: case IDCONTINUE:
            return true;
        default:
            return false;
    }
}

}  // namespace

void ShowMessageBox(const char16_t* text, unsigned style, const char16_t* title) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wchar_t is a UTF-16 code unit");
    SetLastError(ERROR_SUCCESS);
    const int result = MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text),
                                   reinterpret_cast<const wchar_t*>(title), style);
    if (!IsButtonId(result)) {
        // A box can fail without setting an error (GetLastError() 0); Failure then carries
        // E_FAIL, not a code that reads "The operation completed successfully."
        throw Failure(HRESULT_FROM_WIN32(GetLastError()));
    }
}

void Pause(unsigned milliseconds) noexcept { Sleep(milliseconds); }

}  // namespace platform
