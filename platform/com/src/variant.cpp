// VARIANT life cycle and the coercions between the types members take:
// numbers of every width, BOOL, BSTR, EMPTY and NULL, and the interface
// pointers. Numbers are written and read in the invariant form ('.' as the
// decimal point), whatever the locale argument says.
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "internal.h"

using namespace com_internal;

namespace {

bool isScalar(VARTYPE base) {
  switch (base) {
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT: return true;
    default: return false;
  }
}

bool validType(VARTYPE vt) {
  if (vt & (VT_ARRAY | VT_RESERVED)) return false;  // no SAFEARRAY on this platform
  VARTYPE base = vt & VT_TYPEMASK;
  if (vt & VT_BYREF) return isScalar(base) || base == VT_VARIANT;
  return base == VT_EMPTY || base == VT_NULL || isScalar(base);
}

// A number read from a VARIANT: integral (exact) or floating.
struct Number {
  bool floating = false;
  bool isUnsigned = false;
  long long i = 0;
  unsigned long long u = 0;
  double d = 0;
  double asDouble() const { return floating ? d : (isUnsigned ? static_cast<double>(u) : static_cast<double>(i)); }
};

void skipSpaces(const std::string& s, size_t* pos) {
  while (*pos < s.size() && (s[*pos] == ' ' || s[*pos] == '\t' || s[*pos] == '\r' || s[*pos] == '\n')) ++*pos;
}

// Decimal text: blanks, an optional sign, digits with an optional decimal
// point, an optional exponent, blanks.
bool parseNumber(BSTR text, Number* out) {
  std::string s = toUtf8(std::u16string_view(text != nullptr ? text : u"", SysStringLen(text)));
  size_t pos = 0;
  skipSpaces(s, &pos);
  size_t start = pos;
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) ++pos;
  size_t digits = 0;
  bool fraction = false;
  while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) ++pos, ++digits;
  if (pos < s.size() && s[pos] == '.') {
    fraction = true;
    ++pos;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) ++pos, ++digits;
  }
  if (digits == 0) return false;
  if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
    fraction = true;
    ++pos;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) ++pos;
    size_t expDigits = 0;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) ++pos, ++expDigits;
    if (expDigits == 0) return false;
  }
  size_t end = pos;
  skipSpaces(s, &pos);
  if (pos != s.size()) return false;
  std::string number = s.substr(start, end - start);
  if (!fraction) {
    errno = 0;
    long long v = std::strtoll(number.c_str(), nullptr, 10);
    if (errno == 0) {
      out->i = v;
      return true;
    }
  }
  out->floating = true;
  out->d = std::strtod(number.c_str(), nullptr);
  return true;
}

// Reads the value of a non-reference VARIANT as a number.
HRESULT readNumber(const VARIANT& v, Number* n, VARTYPE target) {
  switch (v.vt) {
    case VT_EMPTY: n->i = 0; return S_OK;
    case VT_BOOL: n->i = v.boolVal; return S_OK;
    case VT_I1: n->i = v.cVal; return S_OK;
    case VT_UI1: n->i = v.bVal; return S_OK;
    case VT_I2: n->i = v.iVal; return S_OK;
    case VT_UI2: n->i = v.uiVal; return S_OK;
    case VT_I4: n->i = v.lVal; return S_OK;
    case VT_INT: n->i = v.intVal; return S_OK;
    case VT_UI4: n->i = v.ulVal; return S_OK;
    case VT_UINT: n->i = v.uintVal; return S_OK;
    case VT_I8: n->i = v.llVal; return S_OK;
    case VT_UI8:
      n->isUnsigned = true;
      n->u = v.ullVal;
      return S_OK;
    case VT_R4:
      n->floating = true;
      n->d = v.fltVal;
      return S_OK;
    case VT_R8:
    case VT_DATE:
      n->floating = true;
      n->d = v.dblVal;
      return S_OK;
    case VT_CY:
      n->floating = true;
      n->d = static_cast<double>(v.cyVal.int64) / 10000.0;
      return S_OK;
    case VT_BSTR: {
      if (target == VT_BOOL) {
        std::u16string t = str16(v.bstrVal);
        size_t a = t.find_first_not_of(u" \t");
        size_t b = t.find_last_not_of(u" \t");
        std::u16string word = a == std::u16string::npos ? u"" : t.substr(a, b - a + 1);
        if (equalsNoCase(word, u"True")) {
          n->i = -1;
          return S_OK;
        }
        if (equalsNoCase(word, u"False")) {
          n->i = 0;
          return S_OK;
        }
      }
      return parseNumber(v.bstrVal, n) ? S_OK : DISP_E_TYPEMISMATCH;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
}

// Integral targets: rounds half to even, then checks the range.
template <class T>
HRESULT toIntegral(const Number& n, T* out) {
  using L = std::numeric_limits<T>;
  if (n.floating) {
    if (std::isnan(n.d)) return DISP_E_OVERFLOW;
    // long double holds every 64-bit limit exactly.
    long double r = std::nearbyint(static_cast<long double>(n.d));
    if (r < static_cast<long double>(L::min()) || r > static_cast<long double>(L::max())) return DISP_E_OVERFLOW;
    *out = static_cast<T>(r);
    return S_OK;
  }
  if (n.isUnsigned) {
    if (n.u > static_cast<unsigned long long>(L::max())) return DISP_E_OVERFLOW;
    *out = static_cast<T>(n.u);
    return S_OK;
  }
  if constexpr (L::is_signed) {
    if (n.i < static_cast<long long>(L::min()) || n.i > static_cast<long long>(L::max())) return DISP_E_OVERFLOW;
  } else {
    if (n.i < 0 || static_cast<unsigned long long>(n.i) > static_cast<unsigned long long>(L::max()))
      return DISP_E_OVERFLOW;
  }
  *out = static_cast<T>(n.i);
  return S_OK;
}

std::u16string formatDouble(double d, int digits) {
  if (d == 0) return u"0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", digits, d);
  return toUtf16(buf);
}

HRESULT makeBstr(const std::u16string& text, VARIANT* out) {
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (b == nullptr) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  out->bstrVal = b;
  return S_OK;
}

HRESULT toText(const VARIANT& v, USHORT flags, VARIANT* out) {
  char buf[64];
  switch (v.vt) {
    case VT_EMPTY: return makeBstr(u"", out);
    case VT_BOOL:
      if (flags & VARIANT_ALPHABOOL) return makeBstr(v.boolVal != 0 ? u"True" : u"False", out);
      return makeBstr(v.boolVal != 0 ? u"-1" : u"0", out);
    case VT_R4: return makeBstr(formatDouble(v.fltVal, 7), out);
    case VT_R8: return makeBstr(formatDouble(v.dblVal, 15), out);
    case VT_CY: {
      long long c = v.cyVal.int64;
      unsigned long long a = c < 0 ? 0ull - static_cast<unsigned long long>(c) : static_cast<unsigned long long>(c);
      std::snprintf(buf, sizeof buf, "%s%llu", c < 0 ? "-" : "", a / 10000);
      std::string s = buf;
      if (a % 10000 != 0) {
        std::snprintf(buf, sizeof buf, "%04llu", a % 10000);
        std::string frac = buf;
        while (!frac.empty() && frac.back() == '0') frac.pop_back();
        s += "." + frac;
      }
      return makeBstr(toUtf16(s), out);
    }
    case VT_UI8:
      std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v.ullVal));
      return makeBstr(toUtf16(buf), out);
    default: {
      Number n;
      if (v.vt == VT_DATE || v.vt == VT_ERROR || FAILED(readNumber(v, &n, VT_BSTR)) || n.floating)
        return DISP_E_TYPEMISMATCH;
      std::snprintf(buf, sizeof buf, "%lld", n.i);
      return makeBstr(toUtf16(buf), out);
    }
  }
}

HRESULT convert(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT* out) {
  VariantInit(out);
  if (vt == VT_EMPTY) return S_OK;
  if (vt == VT_NULL) {
    if (src.vt == VT_EMPTY || src.vt == VT_NULL) {
      out->vt = VT_NULL;
      return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
  }
  if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
  if (vt == VT_BSTR) return toText(src, flags, out);
  if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
    if (src.vt != VT_DISPATCH && src.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    IUnknown* from = src.punkVal;
    if (from == nullptr) {
      out->vt = vt;
      out->punkVal = nullptr;
      return S_OK;
    }
    void* p = nullptr;
    HRESULT hr = from->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
    if (FAILED(hr)) return vt == VT_DISPATCH ? DISP_E_TYPEMISMATCH : hr;
    out->vt = vt;
    out->byref = p;
    return S_OK;
  }
  if (vt == VT_ERROR) {
    if (src.vt != VT_I4 && src.vt != VT_ERROR) return DISP_E_TYPEMISMATCH;
    out->vt = VT_ERROR;
    out->scode = src.lVal;
    return S_OK;
  }
  Number n;
  HRESULT hr = readNumber(src, &n, vt);
  if (FAILED(hr)) return hr;
  switch (vt) {
    case VT_BOOL:
      out->boolVal = (n.floating ? n.d != 0 : (n.isUnsigned ? n.u != 0 : n.i != 0)) ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_I1: hr = toIntegral(n, &out->cVal); break;
    case VT_UI1: hr = toIntegral(n, &out->bVal); break;
    case VT_I2: hr = toIntegral(n, &out->iVal); break;
    case VT_UI2: hr = toIntegral(n, &out->uiVal); break;
    case VT_I4: hr = toIntegral(n, &out->lVal); break;
    case VT_INT: hr = toIntegral(n, &out->intVal); break;
    case VT_UI4: hr = toIntegral(n, &out->ulVal); break;
    case VT_UINT: hr = toIntegral(n, &out->uintVal); break;
    case VT_I8: hr = toIntegral(n, &out->llVal); break;
    case VT_UI8: hr = toIntegral(n, &out->ullVal); break;
    case VT_R8: out->dblVal = n.asDouble(); break;
    case VT_DATE: out->date = n.asDouble(); break;
    case VT_R4: {
      double d = n.asDouble();
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->fltVal = static_cast<float>(d);
      break;
    }
    case VT_CY: {
      double d = n.asDouble() * 10000.0;
      if (!(d > -9.2233720368547758e18 && d < 9.2233720368547758e18)) return DISP_E_OVERFLOW;
      out->cyVal.int64 = static_cast<long long>(std::nearbyint(d));
      break;
    }
    default: return DISP_E_BADVARTYPE;
  }
  if (FAILED(hr)) return hr;
  out->vt = vt;
  return S_OK;
}
}  // namespace

PLATFORM_API void VariantInit(VARIANTARG* pvarg) {
  if (pvarg != nullptr) std::memset(pvarg, 0, sizeof(VARIANT));
}

PLATFORM_API HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!validType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (!(pvarg->vt & VT_BYREF)) {
    switch (pvarg->vt) {
      case VT_BSTR: SysFreeString(pvarg->bstrVal); break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
        break;
      default: break;
    }
  }
  std::memset(pvarg, 0, sizeof(VARIANT));
  return S_OK;
}

namespace {
// The destination's old value cleared and the copy moved in; when the old
// value cannot be cleared, the copy is dropped instead.
HRESULT replaceWith(VARIANTARG* destination, VARIANT* copy) {
  HRESULT clear = VariantClear(destination);
  if (FAILED(clear)) {
    VariantClear(copy);
    return clear;
  }
  *destination = *copy;
  return S_OK;
}
}  // namespace

PLATFORM_API HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!validType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = *pvargSrc;
  if (copy.vt == VT_BSTR && copy.bstrVal != nullptr) {
    copy.bstrVal =
        SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal), SysStringByteLen(pvargSrc->bstrVal));
    if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
  } else if ((copy.vt == VT_DISPATCH || copy.vt == VT_UNKNOWN) && copy.punkVal != nullptr) {
    copy.punkVal->AddRef();
  }
  return replaceWith(pvargDest, &copy);
}

PLATFORM_API HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!validType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
  if (pvargSrc->byref == nullptr) return E_INVALIDARG;
  VARTYPE base = pvargSrc->vt & VT_TYPEMASK;
  VARIANT value;
  VariantInit(&value);
  if (base == VT_VARIANT) {
    const VARIANT* inner = pvargSrc->pvarVal;
    if (inner->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
    value = *inner;
    if (value.vt & VT_BYREF) {
      // One level of reference is all that is followed.
      VARIANT tmp;
      VariantInit(&tmp);
      HRESULT hr = VariantCopyInd(&tmp, inner);
      if (FAILED(hr)) return hr;
      return replaceWith(pvarDest, &tmp);
    }
  } else {
    value.vt = base;
    switch (base) {
      case VT_I1: value.cVal = *pvargSrc->pcVal; break;
      case VT_UI1: value.bVal = *pvargSrc->pbVal; break;
      case VT_I2:
      case VT_BOOL: value.iVal = *pvargSrc->piVal; break;
      case VT_UI2: value.uiVal = *pvargSrc->puiVal; break;
      case VT_I4:
      case VT_INT:
      case VT_ERROR: value.lVal = *pvargSrc->plVal; break;
      case VT_UI4:
      case VT_UINT: value.ulVal = *pvargSrc->pulVal; break;
      case VT_R4: value.fltVal = *pvargSrc->pfltVal; break;
      case VT_R8:
      case VT_DATE: value.dblVal = *pvargSrc->pdblVal; break;
      case VT_I8:
      case VT_UI8:
      case VT_CY: value.llVal = *pvargSrc->pllVal; break;
      case VT_BSTR: value.bstrVal = *pvargSrc->pbstrVal; break;
      case VT_DISPATCH:
      case VT_UNKNOWN: value.punkVal = *pvargSrc->ppunkVal; break;
      default: return DISP_E_BADVARTYPE;
    }
  }
  VARIANT tmp;
  VariantInit(&tmp);
  HRESULT hr = VariantCopy(&tmp, &value);  // value borrows the referenced data; tmp owns a copy
  if (FAILED(hr)) return hr;
  return replaceWith(pvarDest, &tmp);
}

PLATFORM_API HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags,
                                         VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if ((vt & (VT_BYREF | VT_ARRAY | VT_RESERVED)) || !(vt == VT_EMPTY || vt == VT_NULL || isScalar(vt)))
    return DISP_E_BADVARTYPE;
  if (!validType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  VARIANT source;
  VariantInit(&source);
  HRESULT hr = VariantCopyInd(&source, pvarSrc);
  if (FAILED(hr)) return hr;
  VARIANT result;
  if (source.vt == vt) {
    result = source;
    VariantInit(&source);
  } else {
    hr = convert(source, wFlags, vt, &result);
    VariantClear(&source);
    if (FAILED(hr)) return hr;
  }
  return replaceWith(pvargDest, &result);
}

PLATFORM_API HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, 0, wFlags, vt);
}
