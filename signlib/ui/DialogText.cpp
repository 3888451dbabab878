#include "signlib/ui/DialogText.h"

#include "platform/afx.h"
#include "platform/resources.h"

namespace dialogtext {

std::u16string loadText(UINT id) {
  LPCWSTR text = nullptr;
  int n = ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 && text != nullptr ? std::u16string(text, static_cast<size_t>(n)) : std::u16string();
}

std::u16string widen(const char* text) {
  if (text == nullptr || *text == '\0') return {};
  int n = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<size_t>(n), u'\0');
  ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace dialogtext
