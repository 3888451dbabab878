// Texts of the library's dialogs: string resources and certificate fields.
#pragma once

#include <string>

#include "platform/locale.h"

namespace dialogtext {

// The string resource id of the current resource module, whole (any
// length); empty when the module has none.
std::u16string loadText(UINT id);

// 8-bit text in the thread's ANSI code page to UTF-16, any length; empty for
// null or empty text.
std::u16string widen(const char* text);

}  // namespace dialogtext
