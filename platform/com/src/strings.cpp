// Name comparison and number texts shared by the family.
#include <cstdio>

#include "internal.h"

namespace com_internal {

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
