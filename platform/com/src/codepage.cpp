// ANSI text for the registry's A functions, in the system ANSI code page.
// Module resources for the registrar and the type-library loader.
#include "internal.h"
#include "platform/locale.h"
#include "platform/resources.h"

namespace com_internal {

std::u16string ansiToWide(const char* text, size_t length) {
  if (length == 0) return std::u16string();
  int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  if (n <= 0) return std::u16string();
  std::u16string out(static_cast<size_t>(n), 0);
  MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), out.data(), n);
  return out;
}

std::string wideToAnsi(std::u16string_view text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), 0);
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

bool moduleResource(HMODULE module, const char16_t* type, UINT id, std::string* data) {
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), type);
  if (res == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, res);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) return false;
  data->assign(static_cast<const char*>(bytes), SizeofResource(module, res));
  return true;
}

}  // namespace com_internal
