#pragma once
#include <string>

namespace platform_internal {
std::string utf16ToUtf8(const char16_t* text);
std::u16string utf8ToUtf16(const char* text);
}  // namespace platform_internal
