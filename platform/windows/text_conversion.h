// Text is UTF-16 in char16_t; Windows spells UTF-16 as wchar_t. Same size, same code units.
#pragma once

#include "platform.h"

#include <cstddef>

namespace platform::windows {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wchar_t is a UTF-16 code unit");

inline const wchar_t* Wide(const Text& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

inline Text FromWide(const wchar_t* text, std::size_t length) {
    return text ? Text(reinterpret_cast<const char16_t*>(text), length) : Text();
}

}  // namespace platform::windows
