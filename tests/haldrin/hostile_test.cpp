// A page that calls the signature control with what no bank page sends:
// every dispatch identifier, as method, property get and property put, with
// too few and too many arguments of every script type (texts with a NUL
// inside, empty, null, very long, format directives, broken PEM, DER and
// Base64, numbers at their limits, floating values, null objects, values by
// reference, missing arguments). Whatever it sends, the control answers
// with a result or a dispatch failure code, its error text stays within its
// 512 bytes, and the sanitizer build sees nothing. A page of another host
// gets 61 from every member that reaches the user's certificates, a token,
// a module, a file or a protected-input dialog, and no window opens.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "HaldrinSupport.h"
#include "TestRoot.h"
#include "haldrin_h.h"

using namespace haldrintest;
using platform::user::ScriptedUser;

namespace {

// The values a hostile page sends; texts by reference point into `keep`.
struct Palette {
  std::vector<Value> values;
  BSTR byRef = nullptr;
  LONG longByRef = -7;
  Palette(const std::string& cert, const std::string& key) {
    auto add = [&](Value v) { values.push_back(std::move(v)); };
    add(text(u""));
    add(nullText());
    add(text(std::u16string(u"12\0 34", 6)));
    add(text(std::u16string(1, u'\0')));
    add(text(std::u16string(300000, u'9')));
    add(text(std::u16string(70000, u'{')));
    add(text(u"%s%s%s%n%x%p%999999d"));
    add(text(u"{1234}{}{{5678}}}{"));
    add(text(u"-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----"));
    add(text(u"MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA"));
    add(text(u"===="));
    add(text(u"\xD800x\xDFFF\xFFFF"));
    add(text(u"新細明體"));
    add(text(u"C:\\no\\such\\folder\\file"));
    add(text(u"donotshowDIALOG"));
    add(text(u"0123456789.0123456789.0123456789"));
    add(text(u"SHA1"));
    add(text(u"RSA"));
    add(text(u"zh_tw"));
    add(text(cert));
    add(text(cert.substr(0, cert.size() / 2)));
    add(text(key));
    add(text(key.substr(0, key.size() - 7)));
    for (LONG n : std::initializer_list<LONG>{0, 1, -1, 2, 23, 65535, INT_MIN, INT_MAX}) add(i4(n));
    add(r8(1e300));
    add(r8(-0.5));
    add(r8(std::nan("")));
    add(boolean(true));
    add(boolean(false));
    add(empty());
    add(null());
    Value big;
    big.v.vt = VT_I8;
    big.v.llVal = LLONG_MIN;
    add(big);
    Value object;
    object.v.vt = VT_DISPATCH;
    object.v.pdispVal = nullptr;
    add(object);
    Value missing;
    missing.v.vt = VT_ERROR;
    missing.v.scode = DISP_E_PARAMNOTFOUND;
    add(missing);
    byRef = SysAllocString(u"12");
    Value textRef;
    textRef.v.vt = VT_BSTR | VT_BYREF;
    textRef.v.pbstrVal = &byRef;
    add(textRef);
    Value longRef;
    longRef.v.vt = VT_I4 | VT_BYREF;
    longRef.v.plVal = &longByRef;
    add(longRef);
  }
  ~Palette() {
    values.clear();
    SysFreeString(byRef);
  }
};

struct Call {
  HRESULT hr;
  VARIANT value;
};

// One Invoke as a script engine makes it (arguments last first).
Call invokeRaw(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> args) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  Call c;
  VariantInit(&c.value);
  EXCEPINFO excep{};
  UINT argErr = 0;
  c.hr = d->Invoke(id, IID_NULL, 0, flags, &params, &c.value, &excep, &argErr);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  return c;
}

// A dispatch failure: what the layer answers to arguments it cannot take.
bool dispatchRefusal(HRESULT hr) {
  switch (hr) {
    case DISP_E_BADPARAMCOUNT:
    case DISP_E_TYPEMISMATCH:
    case DISP_E_MEMBERNOTFOUND:
    case DISP_E_PARAMNOTOPTIONAL:
    case DISP_E_PARAMNOTFOUND:
    case DISP_E_OVERFLOW:
    case DISP_E_BADVARTYPE:
    case DISP_E_NONAMEDARGS:
    case DISP_E_UNKNOWNNAME:
    case E_INVALIDARG:
    case E_NOTIMPL: return true;
    default: return false;
  }
}

// The members that reach the user's certificates, a token, a module, a file
// or a protected-input dialog.
bool gated(DISPID id) {
  switch (id) {
    case 1:   // setDataContentByFile
    case 3:   // sign
    case 4:   // getSignedEnvelopByFile
    case 8:   // setLogFile
    case 10:  // MD5RSASignValue
    case 16:  // signUI
    case 17:  // signIO
    case 18:  // CheckP11TokenInOut
    case 19:  // CallGRD
    case 23:  // inquireProtectionData
    case 24:  // getProtectionDataPlain
    case 25:  // getProtectionDataCipher
    case 27:  // convertTextToImage
      return true;
    default: return false;
  }
}

// Each identifier's argument count (-1: no member there).
constexpr int kArity[32] = {-1, 1, 1, 3, 1, 0, 0,  0, 2, 1, 1,  1, 1, 1, 1,  0,
                            4,  4, 1, 2, 1, 1, -1, 3, 0, 0, -1, 3, 1, 0, -1, -1};
bool isPut(DISPID id) { return id == 9 || id == 11 || id == 13 || id == 14; }

class Hostile : public HaldrinTest {
 protected:
  void SetUp() override {
    HaldrinTest::SetUp();
    clearMy();
    importFixture("user");
    cert = certificateText("user");
  }
  std::string cert;

  // `rounds` calls with drawn members, flags and arguments; `check` sees
  // each answer that was not a dispatch refusal.
  template <class Check>
  void hammer(Haldrin& c, unsigned seed, int rounds, Check check) {
    Palette palette(cert, bankKey().publicBase64);
    std::mt19937 draw(seed);
    int answered = 0;
    const WORD flagSets[] = {DISPATCH_METHOD | DISPATCH_PROPERTYGET, DISPATCH_METHOD, DISPATCH_PROPERTYGET,
                             DISPATCH_PROPERTYPUT};
    for (int round = 0; round < rounds; ++round) {
      DISPID id = static_cast<DISPID>(draw() % 32);
      if (draw() % 16 == 0) id = static_cast<DISPID>(draw());  // not a member
      // Mostly the member's own way of calling and its own argument count,
      // so that the arguments reach the member; else anything.
      const bool own = id >= 0 && id < 32 && kArity[id] >= 0 && draw() % 4 != 0;
      WORD flags = own ? (isPut(id) ? WORD(DISPATCH_PROPERTYPUT) : WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET))
                       : flagSets[draw() % 4];
      size_t count = own ? static_cast<size_t>(kArity[id]) : draw() % 7;
      std::vector<VARIANT> args;
      std::string trace =
          "round " + std::to_string(round) + " id " + std::to_string(id) + " flags " + std::to_string(flags) + " args";
      for (size_t i = 0; i < count; ++i) {
        size_t pick = draw() % palette.values.size();
        args.push_back(palette.values[pick].v);
        trace += " " + std::to_string(pick);
      }
      SCOPED_TRACE(trace);
      Call r = invokeRaw(c.dispatch(), id, flags, args);
      if (!dispatchRefusal(r.hr)) {
        ++answered;
        EXPECT_TRUE(r.hr == S_OK || r.hr == S_FALSE) << std::hex << r.hr;
        EXPECT_TRUE(r.value.vt == VT_I4 || r.value.vt == VT_BSTR || r.value.vt == VT_EMPTY) << r.value.vt;
        check(id, flags, r);
      }
      VariantClear(&r.value);
      // The error text never outgrows its 511 bytes, whatever was formatted.
      EXPECT_LE(c.lastError().size(), 511u);
      if (::testing::Test::HasFailure()) return;
    }
    // Most calls reached a member.
    EXPECT_GT(answered, rounds / 3);
  }
};

}  // namespace

// A page of another host: every gated member that takes its arguments is
// 61, nothing opens, no file appears and nothing the user typed is read.
TEST_F(Hostile, ForeignPageGetsNothingWhateverItSends) {
  std::string drive = testsupport::platformRoot() + "/drives/c";
  std::filesystem::create_directories(drive);
  size_t filesBefore = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(drive)) filesBefore += e.is_regular_file();
  // Another site's page, a container that names no page, and no container.
  for (Site site : {Site::Page, Site::NoMoniker, Site::None}) {
    SCOPED_TRACE(static_cast<int>(site));
    Haldrin c(u"http://evil.example/", site);
    ScriptedUser nobody;
    nobody.install();
    int refused = 0;
    hammer(c, 20261210 + static_cast<unsigned>(site), 3000, [&](DISPID id, WORD, const Call& r) {
      if (!gated(id)) return;
      ++refused;
      if (r.value.vt == VT_I4) {
        EXPECT_EQ(r.value.lVal, 61);
      }
      if (r.value.vt == VT_BSTR) {
        EXPECT_EQ(r.value.bstrVal, nullptr);
      }
      EXPECT_EQ(c.lastCode(), 61);
    });
    EXPECT_GT(refused, 500);
    EXPECT_TRUE(nobody.seen().empty()) << failuresOf(nobody);
  }
  size_t filesAfter = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(drive)) filesAfter += e.is_regular_file();
  EXPECT_EQ(filesAfter, filesBefore);
}

// The bank's own page sending nonsense: every dialog that opens is ended by
// the user, every call answers with a code.
TEST_F(Hostile, AllowedPageSendingNonsenseGetsCodes) {
  std::string dir = testsupport::freshDir("hostile-cwd");
  auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir);  // log files a page names relatively land here
  {
    Haldrin c;
    ScriptedUser closesEverything;
    closesEverything.install();
    hammer(c, 7, 3000, [](DISPID, WORD, const Call&) {});
    closesEverything.uninstall();
  }
  std::filesystem::current_path(cwd);
}

// Result texts that cannot be allocated, at the first, second, third and
// fourth allocation: the page gets no text together with a failure it can
// see (a failing HRESULT or a non-zero LastErrorCode), never a silent empty
// success; once memory is there again every member gives its text as before.
TEST_F(Hostile, ResultTextsThatCannotBeAllocated) {
  Haldrin c;
  const std::string key = bankKey().publicBase64;
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("data")}), 0);
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0);
  IHaldrinCtrl* ctrl = nullptr;
  ASSERT_EQ(c.dispatch()->QueryInterface(IID_IHaldrinCtrl, reinterpret_cast<void**>(&ctrl)), S_OK);
  BSTR keyText = SysAllocString(wide(key).c_str());
  BSTR digits = SysAllocString(u"0123");
  BSTR hidden = SysAllocString(u"DONOTSHOWDIALOG");
  struct Case {
    const char* member;
    std::function<HRESULT(BSTR*)> call;
  } cases[] = {
      {"getSignedEnvelopByString", [&](BSTR* out) { return ctrl->getSignedEnvelopByString(out); }},
      {"result", [&](BSTR* out) { return ctrl->get_result(out); }},
      {"LastErrorStr", [&](BSTR* out) { return ctrl->get_LastErrorStr(out); }},
      {"VERSION", [&](BSTR* out) { return ctrl->get_VERSION(out); }},
      {"getProtectionDataPlain", [&](BSTR* out) { return ctrl->getProtectionDataPlain(out); }},
      {"getProtectionDataCipher", [&](BSTR* out) { return ctrl->getProtectionDataCipher(out); }},
      {"convertTextToImage", [&](BSTR* out) { return ctrl->convertTextToImage(digits, keyText, hidden, out); }},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(t.member);
    for (int failAfter : {0, 1, 2, 3}) {
      SCOPED_TRACE(failAfter);
      BSTR out = reinterpret_cast<BSTR>(1);
      PlatformSysAllocFailAfter(failAfter);
      HRESULT hr = t.call(&out);
      PlatformSysAllocFailAfter(-1);
      if (out == nullptr) {
        LONG code = 0;
        ctrl->get_LastErrorCode(&code);
        EXPECT_TRUE(hr != S_OK || code != 0) << std::hex << hr;
      } else {
        EXPECT_NE(out, reinterpret_cast<BSTR>(1));
        SysFreeString(out);
      }
    }
    BSTR again = nullptr;
    EXPECT_EQ(t.call(&again), S_OK);
    EXPECT_NE(again, nullptr);
    SysFreeString(again);
  }
  SysFreeString(keyText);
  SysFreeString(digits);
  SysFreeString(hidden);
  ctrl->Release();
  EXPECT_EQ(verifyEnvelopeText(c.callText(u"getSignedEnvelopByString")).status, 0);
}

// The keypad's RSA key as a page may hand it: odd lengths and exponents are
// used as they are (the bank's side, openssl, reads the text back with its
// private half), down to the smallest keys OpenSSL makes and up to exponents
// of more than 64 bits where the wrap takes them (moduli of up to 3072
// bits); a key cut short or with a blank inside its text is no key (an empty
// cipher text), never a crash or a cipher the bank cannot read.
TEST_F(Hostile, KeypadKeysOfOddLengthsAndExponents) {
  Haldrin c;
  const std::string dir = testsupport::freshDir("oddkeys");
  const std::string digits = "0123456789.5";
  auto encipher = [&](const std::string& key) {
    ScriptedUser nobody;
    nobody.install();
    Result r = c.call(u"convertTextToImage", {text(digits), text(key), text("DONOTSHOWDIALOG")});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_TRUE(nobody.seen().empty());
    return r.isNullText() ? std::string() : r.asText();
  };
  struct Case {
    int bits;
    const char* exponent;
  } cases[] = {{512, "65537"},
               {512, "3"},
               {1023, "65537"},
               {1025, "3"},
               {2047, "4294967297"},
               {3072, "65537"},
               {3072, "36893488147419103233"},
               {4096, "4294967297"}};
  for (const Case& t : cases) {
    SCOPED_TRACE(std::to_string(t.bits) + " bits, e = " + t.exponent);
    // Made once per build folder: the larger keys take seconds.
    const std::string pem = testsupport::cachedRsaKey(t.bits, t.exponent);
    std::string key;
    ASSERT_EQ(testsupport::run("openssl pkey -in " + pem + " -pubout -outform DER | base64 -w0", &key), 0);
    const std::string cipher = encipher(key);
    const size_t bar = cipher.find('|');
    ASSERT_NE(bar, std::string::npos) << cipher;
    testsupport::writeFile(dir + "/text.b64", cipher.substr(0, bar) + "\n");
    testsupport::writeFile(dir + "/key.b64", cipher.substr(bar + 1) + "\n");
    std::string keyHex, plain;
    ASSERT_EQ(testsupport::run("base64 -d " + dir + "/key.b64 | openssl pkeyutl -decrypt -inkey " + pem +
                                   " -pkeyopt rsa_padding_mode:pkcs1 | od -An -tx1 | tr -d ' \\n'",
                               &keyHex),
              0);
    ASSERT_EQ(testsupport::run("base64 -d " + dir + "/text.b64 | openssl enc -d -des-ede -nosalt -K " + keyHex, &plain),
              0);
    EXPECT_EQ(plain, digits);

    for (const std::string& broken :
         {key.substr(0, key.size() - 8), key.substr(0, key.size() / 2) + " " + key.substr(key.size() / 2),
          key.substr(0, 40)}) {
      SCOPED_TRACE(broken);
      EXPECT_EQ(encipher(broken), "");
    }
  }
}
