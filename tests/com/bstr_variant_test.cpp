// BSTR, VARIANT and GUID text: the contracts members and callers rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>

#include "ComTestSupport.h"
#include "platform/com.h"

using namespace comtest;  // the com tests' shared helpers

namespace {

struct Counted : IDispatch {
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
};

}  // namespace

TEST(Bstr, AllocationLengthsAndTerminators) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);

  BSTR a = SysAllocString(u"abc");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(SysStringLen(a), 3u);
  EXPECT_EQ(SysStringByteLen(a), 6u);
  EXPECT_EQ(a[3], 0);
  EXPECT_EQ(str(a), u"abc");
  SysFreeString(a);

  // Embedded NULs belong to the string; the length says where it ends.
  BSTR b = SysAllocStringLen(u"a\0b", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], u'b');
  EXPECT_EQ(b[3], 0);
  SysFreeString(b);

  BSTR z = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(SysStringLen(z), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(z[i], 0);
  SysFreeString(z);

  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);

  // An odd byte count keeps its exact length and is followed by a whole NUL character.
  BSTR bytes = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(SysStringByteLen(bytes), 3u);
  EXPECT_EQ(SysStringLen(bytes), 1u);
  const auto* raw = reinterpret_cast<const unsigned char*>(bytes);
  EXPECT_EQ(std::memcmp(raw, "abc", 3), 0);
  EXPECT_EQ(raw[3], 0);
  EXPECT_EQ(raw[4], 0);
  SysFreeString(bytes);

  // Lengths whose byte count would not fit are refused, not wrapped.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, ReallocationFromInsideTheOldStringAndOnFailure) {
  BSTR b = SysAllocString(u"hello world");
  ASSERT_TRUE(SysReAllocString(&b, b + 6));
  EXPECT_EQ(str(b), u"world");
  ASSERT_TRUE(SysReAllocStringLen(&b, b + 1, 3));
  EXPECT_EQ(str(b), u"orl");

  PlatformSysAllocFailAfter(0);
  EXPECT_FALSE(SysReAllocString(&b, u"lost"));
  EXPECT_EQ(SysAllocString(u"x"), nullptr);
  PlatformSysAllocFailAfter(-1);
  EXPECT_EQ(str(b), u"orl");  // a failed reallocation leaves the string as it was

  PlatformSysAllocFailAfter(1);
  BSTR first = SysAllocString(u"one");
  BSTR second = SysAllocString(u"two");
  PlatformSysAllocFailAfter(-1);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  SysFreeString(first);
  SysFreeString(b);
}

TEST(Variant, BooleanFieldIsTheLowSixteenBitsOfTheLongField) {
  EXPECT_EQ(sizeof(VARIANT), 16u);
  EXPECT_EQ(offsetof(VARIANT, vt), 0u);
  EXPECT_EQ(offsetof(VARIANT, lVal), 8u);
  EXPECT_EQ(offsetof(VARIANT, boolVal), 8u);
  EXPECT_EQ(offsetof(VARIANT, bstrVal), 8u);
  EXPECT_EQ(offsetof(VARIANT, dblVal), 8u);
  struct Case {
    LONG l;
    VARIANT_BOOL expected;
  } cases[] = {{-1, VARIANT_TRUE}, {1, 1}, {0, 0}, {0x0001FFFF, VARIANT_TRUE}, {0x00010000, 0}, {-65536, 0}};
  for (const auto& c : cases) {
    VARIANT v = vI4(c.l);
    EXPECT_EQ(v.boolVal, c.expected) << c.l;
  }
}

TEST(Variant, ChangeTypeCoercions) {
  struct Case {
    const char* what;
    VARIANT src;
    VARTYPE to;
    USHORT flags;
    HRESULT hr;
    const char16_t* text;  // expected BSTR result
    double number;         // expected numeric result otherwise
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Case cases[] = {
      {"I4 to text", vI4(42), VT_BSTR, 0, S_OK, u"42", 0},
      {"negative I4 to text", vI4(-7), VT_BSTR, 0, S_OK, u"-7", 0},
      {"R8 to text", vR8(1.5), VT_BSTR, 0, S_OK, u"1.5", 0},
      {"R8 0.1 to text", vR8(0.1), VT_BSTR, 0, S_OK, u"0.1", 0},
      {"R8 third to text", vR8(1.0 / 3), VT_BSTR, 0, S_OK, u"0.333333333333333", 0},
      {"large R8 to text", vR8(1e21), VT_BSTR, 0, S_OK, u"1E+21", 0},
      {"negative zero to text", vR8(-0.0), VT_BSTR, 0, S_OK, u"0", 0},
      {"true to text", vBool(true), VT_BSTR, 0, S_OK, u"-1", 0},
      {"false to text", vBool(false), VT_BSTR, 0, S_OK, u"0", 0},
      {"true to words", vBool(true), VT_BSTR, VARIANT_ALPHABOOL, S_OK, u"True", 0},
      {"empty to text", vType(VT_EMPTY), VT_BSTR, 0, S_OK, u"", 0},
      {"null to text", vType(VT_NULL), VT_BSTR, 0, DISP_E_TYPEMISMATCH, nullptr, 0},
      {"text to I4", vStr(u"123"), VT_I4, 0, S_OK, nullptr, 123},
      {"blanks and sign", vStr(u" -5 "), VT_I4, 0, S_OK, nullptr, -5},
      {"half rounds to even down", vStr(u"2.5"), VT_I4, 0, S_OK, nullptr, 2},
      {"half rounds to even up", vStr(u"3.5"), VT_I4, 0, S_OK, nullptr, 4},
      {"exponent", vStr(u"1e3"), VT_I4, 0, S_OK, nullptr, 1000},
      {"words to I4", vStr(u"abc"), VT_I4, 0, DISP_E_TYPEMISMATCH, nullptr, 0},
      {"empty text to I4", vStr(u""), VT_I4, 0, DISP_E_TYPEMISMATCH, nullptr, 0},
      {"trailing junk", vStr(u"12x"), VT_I4, 0, DISP_E_TYPEMISMATCH, nullptr, 0},
      {"text beyond I4", vStr(u"99999999999"), VT_I4, 0, DISP_E_OVERFLOW, nullptr, 0},
      {"R8 half to I4", vR8(2.5), VT_I4, 0, S_OK, nullptr, 2},
      {"negative R8 half to I4", vR8(-2.5), VT_I4, 0, S_OK, nullptr, -2},
      {"R8 beyond I4", vR8(2147483648.0), VT_I4, 0, DISP_E_OVERFLOW, nullptr, 0},
      {"NaN to I4", vR8(nan), VT_I4, 0, DISP_E_OVERFLOW, nullptr, 0},
      {"R8 beyond I8", vR8(9.3e18), VT_I8, 0, DISP_E_OVERFLOW, nullptr, 0},
      {"true to I4", vBool(true), VT_I4, 0, S_OK, nullptr, -1},
      {"empty to I4", vType(VT_EMPTY), VT_I4, 0, S_OK, nullptr, 0},
      {"null to I4", vType(VT_NULL), VT_I4, 0, DISP_E_TYPEMISMATCH, nullptr, 0},
      {"I4 300 to UI1", vI4(300), VT_UI1, 0, DISP_E_OVERFLOW, nullptr, 0},
      {"I4 -1 to UI4", vI4(-1), VT_UI4, 0, DISP_E_OVERFLOW, nullptr, 0},
      {"I4 to UI4", vI4(7), VT_UI4, 0, S_OK, nullptr, 7},
      {"zero to BOOL", vI4(0), VT_BOOL, 0, S_OK, nullptr, VARIANT_FALSE},
      {"two to BOOL", vI4(2), VT_BOOL, 0, S_OK, nullptr, VARIANT_TRUE},
      {"True to BOOL", vStr(u"True"), VT_BOOL, 0, S_OK, nullptr, VARIANT_TRUE},
      {"false to BOOL", vStr(u"false"), VT_BOOL, 0, S_OK, nullptr, VARIANT_FALSE},
      {"text 0 to BOOL", vStr(u"0"), VT_BOOL, 0, S_OK, nullptr, VARIANT_FALSE},
      {"yes to BOOL", vStr(u"yes"), VT_BOOL, 0, DISP_E_TYPEMISMATCH, nullptr, 0},
      {"R8 half to BOOL", vR8(0.5), VT_BOOL, 0, S_OK, nullptr, VARIANT_TRUE},
      {"text to R8", vStr(u"1.25"), VT_R8, 0, S_OK, nullptr, 1.25},
      {"I4 to R8", vI4(-3), VT_R8, 0, S_OK, nullptr, -3},
      {"empty to null", vType(VT_EMPTY), VT_NULL, 0, S_OK, nullptr, 0},
      {"I4 to null", vI4(1), VT_NULL, 0, DISP_E_TYPEMISMATCH, nullptr, 0},
      {"to an array", vI4(1), static_cast<VARTYPE>(VT_ARRAY | VT_I4), 0, DISP_E_BADVARTYPE, nullptr, 0},
      {"to a reference", vI4(1), static_cast<VARTYPE>(VT_BYREF | VT_I4), 0, DISP_E_BADVARTYPE, nullptr, 0},
  };
  for (auto& c : cases) {
    VARIANT out;
    VariantInit(&out);
    HRESULT hr = VariantChangeType(&out, &c.src, c.flags, c.to);
    EXPECT_EQ(hr, c.hr) << c.what;
    if (SUCCEEDED(hr) && hr == c.hr) {
      EXPECT_EQ(out.vt, c.to) << c.what;
      if (c.text != nullptr) {
        ASSERT_NE(out.bstrVal, nullptr) << c.what;
        EXPECT_EQ(narrow(str(out.bstrVal)), narrow(c.text)) << c.what;
      } else if (c.to == VT_I4) {
        EXPECT_EQ(out.lVal, static_cast<LONG>(c.number)) << c.what;
      } else if (c.to == VT_UI4) {
        EXPECT_EQ(out.ulVal, static_cast<ULONG>(c.number)) << c.what;
      } else if (c.to == VT_BOOL) {
        EXPECT_EQ(out.boolVal, static_cast<VARIANT_BOOL>(c.number)) << c.what;
      } else if (c.to == VT_R8) {
        EXPECT_EQ(out.dblVal, c.number) << c.what;
      }
    } else {
      EXPECT_EQ(out.vt, VT_EMPTY) << c.what << ": a failed coercion leaves the destination alone";
    }
    VariantClear(&out);
    VariantClear(&c.src);
  }
}

TEST(Variant, ChangeTypeInPlaceAndThroughReferences) {
  VARIANT v = vStr(u"12");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the old BSTR is freed (the sanitizer build checks)
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 12);

  LONG target = 99;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &target;
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(str(out.bstrVal), u"99");
  VariantClear(&out);

  BSTR owned = SysAllocString(u"by reference");
  VARIANT sref;
  VariantInit(&sref);
  sref.vt = VT_BYREF | VT_BSTR;
  sref.pbstrVal = &owned;
  ASSERT_EQ(VariantCopyInd(&out, &sref), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_NE(out.bstrVal, owned);
  EXPECT_EQ(str(out.bstrVal), u"by reference");
  VariantClear(&out);
  EXPECT_EQ(VariantClear(&sref), S_OK);  // a reference owns nothing
  EXPECT_EQ(str(owned), u"by reference");
  SysFreeString(owned);
}

TEST(Variant, CopyAndClearOwnTheirContents) {
  BSTR withNul = SysAllocStringLen(u"a\0b", 3);
  VARIANT src;
  VariantInit(&src);
  src.vt = VT_BSTR;
  src.bstrVal = withNul;
  VARIANT dst = vI4(5);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_NE(dst.bstrVal, src.bstrVal);
  EXPECT_EQ(SysStringLen(dst.bstrVal), 3u);
  EXPECT_EQ(std::memcmp(dst.bstrVal, withNul, 6), 0);
  VariantClear(&src);
  EXPECT_EQ(src.vt, VT_EMPTY);
  EXPECT_EQ(str(dst.bstrVal), std::u16string(u"a\0b", 3));
  VariantClear(&dst);

  Counted obj;
  VARIANT d;
  VariantInit(&d);
  d.vt = VT_DISPATCH;
  d.pdispVal = &obj;
  obj.AddRef();  // the VARIANT's reference
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &d), S_OK);
  EXPECT_EQ(obj.refs, 3u);
  VARIANT unk;
  VariantInit(&unk);
  ASSERT_EQ(VariantChangeType(&unk, &copy, 0, VT_UNKNOWN), S_OK);
  EXPECT_EQ(unk.vt, VT_UNKNOWN);
  EXPECT_EQ(obj.refs, 4u);
  VariantClear(&unk);
  VariantClear(&copy);
  VariantClear(&d);
  EXPECT_EQ(obj.refs, 1u);

  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 0x0FFF;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  VARIANT out;
  VariantInit(&out);
  EXPECT_EQ(VariantCopy(&out, &bad), DISP_E_BADVARTYPE);
}

TEST(Guid, TextForms) {
  const GUID g = {0x0C2B72B9, 0x059E, 0x42E3, {0x88, 0x58, 0xE9, 0xF8, 0x29, 0x88, 0x0D, 0x0D}};
  OLECHAR buf[39];
  EXPECT_EQ(StringFromGUID2(g, buf, 38), 0);
  ASSERT_EQ(StringFromGUID2(g, buf, 39), 39);
  EXPECT_EQ(std::u16string(buf), u"{0C2B72B9-059E-42E3-8858-E9F829880D0D}");

  struct Case {
    const char16_t* text;
    HRESULT clsid;
    HRESULT iid;
  } cases[] = {
      {u"{0C2B72B9-059E-42E3-8858-E9F829880D0D}", S_OK, S_OK},
      {u"{0c2b72b9-059e-42e3-8858-e9f829880d0d}", S_OK, S_OK},
      {u"{0C2B72B9-059E-42E3-8858-E9F829880D0}", CO_E_CLASSSTRING, E_INVALIDARG},
      {u"{0C2B72B9-059E-42E3-8858-E9F829880D0DX", CO_E_CLASSSTRING, E_INVALIDARG},
      {u"{0C2B72B9x059E-42E3-8858-E9F829880D0D}", CO_E_CLASSSTRING, E_INVALIDARG},
      {u"{0C2B72B9-059E-42E3-8858-E9F829880DGD}", CO_E_CLASSSTRING, E_INVALIDARG},
      {u"No.Such.ProgId", CO_E_CLASSSTRING, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    CLSID out{};
    EXPECT_EQ(CLSIDFromString(c.text, &out), c.clsid);
    EXPECT_TRUE(out == (c.clsid == S_OK ? g : CLSID_NULL));
    IID iid{};
    EXPECT_EQ(IIDFromString(c.text, &iid), c.iid);
  }

  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(g, &text), S_OK);
  EXPECT_EQ(std::u16string(text), u"{0C2B72B9-059E-42E3-8858-E9F829880D0D}");
  CoTaskMemFree(text);

  GUID a{}, b{};
  ASSERT_EQ(CoCreateGuid(&a), S_OK);
  ASSERT_EQ(CoCreateGuid(&b), S_OK);
  EXPECT_FALSE(a == b);
  EXPECT_EQ(a.Data3 >> 12, 4);         // random GUIDs are version 4
  EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);  // of the RFC 4122 variant
}
