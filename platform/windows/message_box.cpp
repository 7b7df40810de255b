#include "platform.h"
#include "text_conversion.h"

#include <windows.h>

namespace platform {

void ShowMessageBox(const char16_t* text, unsigned style, const char16_t* title) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wchar_t is a UTF-16 code unit");
    if (MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text),
                    reinterpret_cast<const wchar_t*>(title), style) == 0) {
        // A box can fail without setting an error (GetLastError() 0); Failure then carries
        // E_FAIL, not a code that reads "The operation completed successfully."
        throw Failure(HRESULT_FROM_WIN32(GetLastError()));
    }
}

}  // namespace platform
