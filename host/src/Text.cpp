#include "Text.h"

#include "platform/utf.h"

namespace host {

std::u16string fromScript(const char* text, std::size_t size) {
  return platform::utf::fromGeneralizedUtf8(std::string_view(text, size));
}

std::string toScript(const char16_t* text, std::size_t size) {
  return platform::utf::toGeneralizedUtf8(std::u16string_view(text, size));
}

std::string toUtf8(const std::u16string& text) { return platform::utf::toUtf8(text); }

}  // namespace host
