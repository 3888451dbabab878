#include "Text.h"

namespace host {
namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void putUtf8(std::string& out, char32_t cp) {
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

}  // namespace

std::u16string fromScript(const char* text, std::size_t size) {
  std::u16string out;
  out.reserve(size);
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < size) {
    unsigned char b = s[i];
    char32_t cp = 0xFFFD;
    std::size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0 && i + 1 < size && continuation(s[i + 1])) {
      char32_t v = (static_cast<char32_t>(b & 0x1F) << 6) | (s[i + 1] & 0x3F);
      if (v >= 0x80) {
        cp = v;
        len = 2;
      }
    } else if ((b & 0xF0) == 0xE0 && i + 2 < size && continuation(s[i + 1]) && continuation(s[i + 2])) {
      char32_t v = (static_cast<char32_t>(b & 0x0F) << 12) | (static_cast<char32_t>(s[i + 1] & 0x3F) << 6) |
                   (s[i + 2] & 0x3F);
      if (v >= 0x800) {
        cp = v;
        len = 3;
      }
    } else if ((b & 0xF8) == 0xF0 && i + 3 < size && continuation(s[i + 1]) && continuation(s[i + 2]) &&
               continuation(s[i + 3])) {
      char32_t v = (static_cast<char32_t>(b & 0x07) << 18) | (static_cast<char32_t>(s[i + 1] & 0x3F) << 12) |
                   (static_cast<char32_t>(s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
      if (v >= 0x10000 && v <= 0x10FFFF) {
        cp = v;
        len = 4;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string toScript(const char16_t* text, std::size_t size) {
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) putUtf8(out, text[i]);
  return out;
}

std::string toUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      putUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      putUtf8(out, 0xFFFD);
    } else {
      putUtf8(out, u);
    }
  }
  return out;
}

}  // namespace host
