// Text conversions of the crypt family: the ANSI code page that the A
// functions write in (UTF-8 and UTF-16 go through the platform's codec).
#include <string>

#include "internal.h"

#include "platform/locale.h"

namespace crypt_internal {

std::u16string wideFrom(LPCWSTR s) {
  if (s == nullptr) return std::u16string();
  return std::u16string(s);
}

std::string hexUpper(const BYTE* data, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0F]);
  }
  return out;
}

std::string wideToAnsi(const std::u16string& s, std::vector<size_t>* boundaries) {
  std::string out;
  if (boundaries != nullptr) boundaries->clear();
  // One code point at a time, so that the boundaries between characters are known.
  for (size_t i = 0; i < s.size();) {
    size_t units = (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size()) ? 2 : 1;
    char buf[16];
    int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(s.data() + i), static_cast<int>(units), buf,
                                sizeof buf, nullptr, nullptr);
    if (n <= 0) {
      out.push_back('?');
    } else {
      out.append(buf, static_cast<size_t>(n));
    }
    if (boundaries != nullptr) boundaries->push_back(out.size());
    i += units;
  }
  return out;
}

std::u16string ansiToWide(const char* s) {
  if (s == nullptr || *s == '\0') return std::u16string();
  int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
  if (n <= 0) return std::u16string();
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, s, -1, reinterpret_cast<LPWSTR>(out.data()), n);
  if (!out.empty() && out.back() == u'\0') out.pop_back();
  return out;
}

}  // namespace crypt_internal
