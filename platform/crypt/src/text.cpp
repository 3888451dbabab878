// Text conversions of the crypt family: UTF-8 and UTF-16, and the ANSI code
// page that the A functions write in.
#include <string>

#include "internal.h"

#include "platform/locale.h"

namespace crypt_internal {

namespace {
// Appends one code point as UTF-16.
void putWide(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000 && cp <= 0x10FFFF) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else if (cp < 0x10000 && !(cp >= 0xD800 && cp <= 0xDFFF)) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    out.push_back(u'\uFFFD');
  }
}
}  // namespace

std::u16string utf8ToWide(const std::string& s) {
  std::u16string out;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= s.size()) {
        ok = false;
        break;
      }
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    // Overlong forms are not valid UTF-8.
    static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    putWide(out, cp < kMin[extra] ? 0xFFFD : cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::string wideToUtf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

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
    int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(s.data() + i),
                                static_cast<int>(units), buf, sizeof buf, nullptr, nullptr);
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
