// Text conversions and name comparison shared by the family.
#include <cstdio>

#include "internal.h"

namespace com_internal {

std::string toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string toUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    char32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    i += extra + 1;
    bool overlong = (extra == 1 && c < 0x80) || (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000);
    if (overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(0xFFFD);
    } else if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

char16_t foldChar(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

std::u16string fold(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = foldChar(c);
  return out;
}

bool equalsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldChar(a[i]) != foldChar(b[i])) return false;
  }
  return true;
}

std::u16string guidText(REFGUID g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return toUtf16(buf);
}

namespace {
int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}
bool hexField(std::u16string_view text, size_t pos, size_t digits, unsigned long long* out) {
  unsigned long long v = 0;
  for (size_t i = 0; i < digits; ++i) {
    int h = hexValue(text[pos + i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<unsigned>(h);
  }
  *out = v;
  return true;
}
}  // namespace

bool parseGuid(std::u16string_view t, GUID* out) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (t.size() != 38 || t[0] != u'{' || t[37] != u'}' || t[9] != u'-' || t[14] != u'-' || t[19] != u'-' ||
      t[24] != u'-')
    return false;
  unsigned long long v;
  GUID g{};
  if (!hexField(t, 1, 8, &v)) return false;
  g.Data1 = static_cast<DWORD>(v);
  if (!hexField(t, 10, 4, &v)) return false;
  g.Data2 = static_cast<WORD>(v);
  if (!hexField(t, 15, 4, &v)) return false;
  g.Data3 = static_cast<WORD>(v);
  for (int i = 0; i < 2; ++i) {
    if (!hexField(t, 20 + 2 * i, 2, &v)) return false;
    g.Data4[i] = static_cast<BYTE>(v);
  }
  for (int i = 0; i < 6; ++i) {
    if (!hexField(t, 25 + 2 * i, 2, &v)) return false;
    g.Data4[2 + i] = static_cast<BYTE>(v);
  }
  *out = g;
  return true;
}

LPOLESTR taskString(std::u16string_view text) {
  auto* p = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (p == nullptr) return nullptr;
  std::copy(text.begin(), text.end(), p);
  p[text.size()] = 0;
  return p;
}

}  // namespace com_internal
