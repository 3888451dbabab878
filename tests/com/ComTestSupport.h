// Small helpers the com family's tests share: text both ways, registry reads
// under HKEY_CLASSES_ROOT, and VARIANTs of one type.
#pragma once

#include <string>

#include "platform/com.h"
#include "platform/winreg.h"

namespace comtest {

// ASCII test text to UTF-16 and back (anything else back as '?').
inline std::u16string wide(const std::string& s) {
  std::u16string w;
  for (unsigned char c : s) w.push_back(c);
  return w;
}
inline std::string narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}
// A BSTR's whole text; "<null>" for none.
inline std::u16string str(BSTR b) { return b == nullptr ? u"<null>" : std::u16string(b, SysStringLen(b)); }
inline std::u16string guidText(REFGUID g) {
  OLECHAR buf[40];
  StringFromGUID2(g, buf, 40);
  return buf;
}

// The string value `name` (nullptr: the default value) of the key `path`.
inline bool regValue(const std::u16string& path, const char16_t* name, std::u16string* out) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  char16_t buf[2048];
  DWORD size = sizeof buf;
  LSTATUS st = RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(k);
  if (st != ERROR_SUCCESS) return false;
  *out = std::u16string(buf, size / 2 - 1);
  return true;
}
inline bool regKey(const std::u16string& path) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

// VARIANTs of one type (the caller clears a BSTR one).
inline VARIANT vType(VARTYPE t) {
  VARIANT x;
  VariantInit(&x);
  x.vt = t;
  return x;
}
inline VARIANT vI4(LONG v) {
  VARIANT x = vType(VT_I4);
  x.lVal = v;
  return x;
}
inline VARIANT vR8(double v) {
  VARIANT x = vType(VT_R8);
  x.dblVal = v;
  return x;
}
inline VARIANT vBool(bool b) {
  VARIANT x = vType(VT_BOOL);
  x.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}
inline VARIANT vStr(const char16_t* s) {
  VARIANT x = vType(VT_BSTR);
  x.bstrVal = SysAllocString(s);
  return x;
}

}  // namespace comtest
