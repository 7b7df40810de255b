#include "platform.h"
#include "text_conversion.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

namespace platform {
namespace {

DWORD FormatSystemMessage(DWORD code, wchar_t* buffer, DWORD capacity) {
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, buffer, capacity, nullptr);
    while (length > 0 && std::wcschr(L"\r\n ", buffer[length - 1]) != nullptr) --length;
    return length;
}

}  // namespace

Text SystemMessage(std::int32_t code) {
    const HRESULT status = code;
    wchar_t buffer[1024];
    DWORD length = FormatSystemMessage(static_cast<DWORD>(status), buffer, std::size(buffer));
    // Not every system has texts for HRESULTs that wrap a Win32 error; the error's own will do.
    if (length == 0 && HRESULT_FACILITY(status) == FACILITY_WIN32) {
        length = FormatSystemMessage(HRESULT_CODE(status), buffer, std::size(buffer));
    }
    if (length == 0) {
        // No text for this code: the code itself, so the user has something to look up.
        length = static_cast<DWORD>(std::swprintf(buffer, std::size(buffer), L"0x%08lX",
                                                  static_cast<unsigned long>(status)));
    }
    return windows::FromWide(buffer, length);
}

}  // namespace platform
