#include "platform.h"
#include "text_conversion.h"

#include <windows.h>

namespace platform {

void ShowMessageBox(const Text& text, unsigned style, const Text& title) {
    if (MessageBoxW(nullptr, windows::Wide(text), windows::Wide(title), style) == 0) {
        throw Failure(HRESULT_FROM_WIN32(GetLastError()));
    }
}

}  // namespace platform
