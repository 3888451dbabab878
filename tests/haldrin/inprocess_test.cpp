// The PIN pad's main path, in process: the control's objects linked into
// the test with protected input, so that the test's random source decides
// which of the two pads opens (its first byte) while everything else stays
// unpredictable. The scripted user enters the PIN by the digits the keys
// show, types back the picture code and clicks the target digit; the page
// gets the PIN. A failing random source is the pad that cannot run (99),
// never the user's cancel. The host's C library generator is left alone.
#include <gtest/gtest.h>

#include <openssl/rand.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "BankKey.h"
#include "TestRoot.h"
#include "haldrin_h.h"
#include "platform/com.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/user.h"
#include "protinput/CVKB.h"
#include "protinput/RandomByte.h"

using namespace platform::user;

PLATFORM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

namespace {

// The first byte as given, then OpenSSL's.
class FirstByteSource : public RandomSource {
 public:
  explicit FirstByteSource(unsigned char first) : first_(first) {}
  bool fill(unsigned char* out, size_t n) override {
    size_t i = 0;
    if (!used_ && n > 0) {
      out[i++] = first_;
      used_ = true;
    }
    return i == n || RAND_bytes(out + i, static_cast<int>(n - i)) == 1;
  }

 private:
  unsigned char first_;
  bool used_ = false;
};

struct Pad {
  int tmpl, picture, code, target, rowFirst;
};
constexpr Pad kPad1{201, 1046, 1001, 1015, 1004};
constexpr Pad kPad2{202, 1047, 1043, 1026, 1016};
constexpr int kKeyIds[10] = {210, 201, 202, 203, 204, 205, 206, 207, 208, 209};

const ControlView* view(const DialogView& v, int id) { return v.control(id); }

// A person at the pad: the keys by the digits they show, then the code read
// off the picture and the row button with the target digit.
Action enterPin(const Pad& pad, const std::u16string& pin) {
  return react([pad, pin](const DialogView& v) {
    std::vector<Action> acts;
    for (char16_t digit : pin)
      for (int id : kKeyIds)
        if (view(v, id) != nullptr && view(v, id)->shown == std::u16string(1, digit)) acts.push_back(click(id));
    acts.push_back(react([pad](const DialogView& w) {
      std::u16string code = view(w, pad.picture)->shown;
      std::u16string target = view(w, pad.target)->text;
      int row = -1;
      for (int k = 0; k < 10; ++k)
        if (view(w, pad.rowFirst + k)->text == target) row = pad.rowFirst + k;
      return std::vector<Action>{type(pad.code, code), click(row)};
    }));
    return acts;
  });
}

class InProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("LC_ALL");
    setenv("LANG", "C.UTF-8", 1);
    PlatformResetLocale();
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    IClassFactory* cf = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_HaldrinCtrl, IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
    ASSERT_EQ(cf->CreateInstance(nullptr, IID_IHaldrinCtrl, reinterpret_cast<void**>(&ctl)), S_OK);
    cf->Release();
    ASSERT_EQ(PlatformCreateClientSite(u"http://localhost/", 0, &site), S_OK);
    IOleObject* ole = nullptr;
    ASSERT_EQ(ctl->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
    ASSERT_EQ(ole->SetClientSite(site), S_OK);
    ole->Release();
  }
  void TearDown() override {
    IOleObject* ole = nullptr;
    if (ctl != nullptr && ctl->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)) == S_OK) {
      ole->SetClientSite(nullptr);
      ole->Release();
    }
    if (site != nullptr) site->Release();
    if (ctl != nullptr) ctl->Release();
    CoUninitialize();
    SetThreadUILanguage(0);
  }
  LONG lastCode() {
    LONG code = -1;
    ctl->get_LastErrorCode(&code);
    return code;
  }
  std::u16string lastError() {
    BSTR text = nullptr;
    ctl->get_LastErrorStr(&text);
    std::u16string out = text != nullptr ? std::u16string(text, SysStringLen(text)) : u"";
    SysFreeString(text);
    return out;
  }
  IHaldrinCtrl* ctl = nullptr;
  IOleClientSite* site = nullptr;
};

}  // namespace

// Screenshots go to HALDRIN_SHOTS when it names a folder.
std::vector<Action> shotAs(const std::string& name) {
  const char* dir = std::getenv("HALDRIN_SHOTS");
  if (dir == nullptr || *dir == '\0') return {};
  return {shot(std::string(dir) + "/" + name + ".png")};
}

TEST_F(InProcess, PinPadGivesThePinEnteredOnEitherLayout) {
  struct Case {
    unsigned char first;
    Pad pad;
    const char* language;
    std::u16string pin;
  } cases[] = {{0, kPad1, "en", u"2580"},
               {1, kPad2, "zh_tw", u"13579"},
               {42, kPad1, "zh_cn", u"0000"},
               {255, kPad2, "EN", u"9"}};
  for (auto& t : cases) {
    SCOPED_TRACE(t.language);
    BSTR language = SysAllocString(reinterpret_cast<const OLECHAR*>(
        std::u16string(t.language, t.language + std::char_traits<char>::length(t.language)).c_str()));
    LONG code = -1;
    ASSERT_EQ(ctl->setLanguage(language, &code), S_OK);
    SysFreeString(language);
    FirstByteSource source(t.first);
    ScopedRandomSource scoped(&source);
    // The host's own generator, seeded by the host: the pad must not touch it.
    std::srand(777);
    const int hostFirst = std::rand();
    std::srand(777);
    ScriptedUser u;
    std::vector<Action> acts = shotAs(std::string("pinpad-") + t.language);
    acts.push_back(enterPin(t.pad, t.pin));
    u.expect(t.pad.tmpl, acts);
    u.install();
    BSTR title = SysAllocString(u"Token PIN");
    BSTR pin = nullptr;
    EXPECT_EQ(ctl->CallGRD(title, 8, &pin), S_OK);
    SysFreeString(title);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    u.uninstall();
    ASSERT_NE(pin, nullptr) << std::string(lastError().begin(), lastError().end());
    EXPECT_EQ(std::u16string(pin, SysStringLen(pin)), t.pin);
    SysFreeString(pin);
    EXPECT_EQ(lastCode(), 0);
    EXPECT_EQ(std::rand(), hostFirst);
  }
}

// A pad that cannot run is not the user's cancel: 99, no PIN, S_OK; the
// keypad keeps the earlier result and the hidden confirmation gives nothing.
TEST_F(InProcess, FailingRandomSourceIsAnUnknownErrorNotACancel) {
  FailingRandomSource failing;
  ScopedRandomSource scoped(&failing);
  ScriptedUser nobody;
  nobody.install();
  BSTR title = SysAllocString(u"PIN");
  BSTR pin = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(ctl->CallGRD(title, 8, &pin), S_OK);
  EXPECT_EQ(pin, nullptr);
  EXPECT_EQ(lastCode(), 99);
  EXPECT_EQ(lastError(), u"CHaldrinCtrl::CallGRD ->Unknown error");

  LONG code = -1;
  BSTR empty = SysAllocString(u"");
  EXPECT_EQ(ctl->inquireProtectionData(title, empty, 0, &code), S_OK);
  EXPECT_EQ(code, 99);
  EXPECT_EQ(lastError(), u"CHaldrinCtrl::inquireProtectionData >> Unknow Error");
  BSTR plain = nullptr;
  EXPECT_EQ(ctl->getProtectionDataPlain(&plain), S_OK);
  EXPECT_EQ(SysStringLen(plain), 0u);
  SysFreeString(plain);

  BSTR digits = SysAllocString(u"1234");
  BSTR hidden = SysAllocString(u"DONOTSHOWDIALOG");
  BSTR cipher = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(ctl->convertTextToImage(digits, empty, hidden, &cipher), S_OK);
  EXPECT_EQ(cipher, nullptr);
  EXPECT_EQ(lastCode(), 99);
  EXPECT_EQ(lastError(), u"CHaldrinCtrl::convertTextToImage >> Unknow Error");
  cipher = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(ctl->convertTextToImage(digits, empty, title, &cipher), S_OK);
  EXPECT_EQ(cipher, nullptr);
  EXPECT_EQ(lastCode(), 99);
  EXPECT_TRUE(nobody.ok()) << testing::PrintToString(nobody.failures());
  for (BSTR b : {title, empty, digits, hidden}) SysFreeString(b);
}

// The keypad and the text confirmation in the page's language (1033 for
// "en", else 1028: "zh_cn" falls back to the Traditional Chinese resources).
TEST_F(InProcess, KeypadAndConfirmationInThePagesLanguage) {
  struct Case {
    const char* language;
    std::u16string confirm;
  } cases[] = {{"en", u"Confirm"}, {"zh_tw", u"確認"}, {"zh_cn", u"確認"}, {"EN", u"確認"}};
  for (auto& t : cases) {
    SCOPED_TRACE(t.language);
    std::u16string code(t.language, t.language + std::char_traits<char>::length(t.language));
    BSTR language = SysAllocString(code.c_str());
    LONG result = -1;
    ASSERT_EQ(ctl->setLanguage(language, &result), S_OK);
    SysFreeString(language);
    std::u16string keypadConfirm, pictureConfirm;
    ScriptedUser u;
    std::vector<Action> keypad = shotAs(std::string("keypad-") + t.language);
    keypad.push_back(inspect([&](const DialogView& v) { keypadConfirm = v.control(1036)->text; }));
    keypad.push_back(click(IDCANCEL));
    std::vector<Action> picture = shotAs(std::string("confirm-text-") + t.language);
    picture.push_back(inspect([&](const DialogView& v) { pictureConfirm = v.control(1036)->text; }));
    picture.push_back(click(IDCANCEL));
    u.expect(204, keypad).expect(203, picture);
    u.install();
    BSTR title = SysAllocString(u"Amount");
    BSTR empty = SysAllocString(u"");
    BSTR digits = SysAllocString(u"1250.75");
    EXPECT_EQ(ctl->inquireProtectionData(title, empty, 1, &result), S_OK);
    EXPECT_EQ(result, 28);
    BSTR cipher = nullptr;
    EXPECT_EQ(ctl->convertTextToImage(digits, empty, title, &cipher), S_OK);
    EXPECT_EQ(cipher, nullptr);
    for (BSTR b : {title, empty, digits}) SysFreeString(b);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(keypadConfirm, t.confirm);
    EXPECT_EQ(pictureConfirm, t.confirm);
  }
}

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string narrow(BSTR b) { return b == nullptr ? std::string() : std::string(b, b + SysStringLen(b)); }

// A key that passed its check but whose wrap fails at the end of the window
// gives 99 with the member's text, never 0 with an empty cipher text; the
// keypad's earlier result stays as it was. The check's trial wrap runs once
// for a new key.
TEST_F(InProcess, WrapFailingAtTheEndIsAnUnknownErrorNotAnEmptyCipher) {
  const std::string key = testsupport::bankKey().publicBase64;
  BSTR keyText = SysAllocString(wide(key).c_str());
  BSTR title = SysAllocString(u"Account");
  auto typeDigits = [](const std::u16string& digits) {
    std::vector<Action> a;
    for (char16_t ch : digits) a.push_back(clickShown(std::u16string(1, ch)));
    a.push_back(click(1036));
    return a;
  };
  // The keypad's result as a page reads it: the cipher text, or the plain value.
  auto readBack = [&](bool cipher) {
    BSTR out = nullptr;
    EXPECT_EQ(cipher ? ctl->getProtectionDataCipher(&out) : ctl->getProtectionDataPlain(&out), S_OK);
    std::string text = narrow(out);
    SysFreeString(out);
    return text;
  };

  // A confirmed keypad the bank reads; the key is new, so its check makes
  // the trial wrap, and the session key's wrap follows.
  LONG code = -1;
  {
    WrapsFailingAfter counting(100);
    ScopedWrapFault scope(&counting);
    ScriptedUser u;
    u.expect(107, typeDigits(u"2468"));
    u.install();
    EXPECT_EQ(ctl->inquireProtectionData(title, keyText, 0, &code), S_OK);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(counting.calls, 2);
  }
  const std::string cipherBefore = readBack(true);
  std::string plain;
  ASSERT_TRUE(testsupport::bankDecrypt(cipherBefore, &plain));
  EXPECT_EQ(plain, "2468");

  // The key is known now: no trial wrap, and the one wrap left fails.
  struct Case {
    const char16_t* member;
    LONG showDot;
    int templateId;
    const char16_t* title;
  } cases[] = {{u"inquireProtectionData", 0, 107, u"Account"},
               {u"inquireProtectionData", 1, 204, u"Account"},
               {u"convertTextToImage", 0, 203, u"Amount"},
               {u"convertTextToImage", 0, 0, u"DONOTSHOWDIALOG"}};
  for (const Case& t : cases) {
    SCOPED_TRACE(std::string(t.member, t.member + std::char_traits<char16_t>::length(t.member)) + " " +
                 std::to_string(t.templateId));
    WrapsFailingAfter failing(0);
    ScopedWrapFault scope(&failing);
    ScriptedUser u;
    if (t.templateId == 203) u.expect(203, {click(1036)});
    if (t.templateId == 107) u.expect(107, typeDigits(u"135"));
    if (t.templateId == 204) u.expect(204, typeDigits(u"13.5"));
    u.install();
    BSTR caption = SysAllocString(t.title);
    if (std::u16string(t.member) == u"inquireProtectionData") {
      code = -1;
      EXPECT_EQ(ctl->inquireProtectionData(caption, keyText, t.showDot, &code), S_OK);
      EXPECT_EQ(code, 99);
      EXPECT_EQ(lastError(), u"CHaldrinCtrl::inquireProtectionData >> Unknow Error");
    } else {
      BSTR digits = SysAllocString(u"100.25");
      BSTR cipher = reinterpret_cast<BSTR>(1);
      EXPECT_EQ(ctl->convertTextToImage(digits, keyText, caption, &cipher), S_OK);
      EXPECT_EQ(cipher, nullptr);
      EXPECT_EQ(lastError(), u"CHaldrinCtrl::convertTextToImage >> Unknow Error");
      SysFreeString(digits);
    }
    SysFreeString(caption);
    EXPECT_EQ(lastCode(), 99);
    EXPECT_EQ(failing.calls, 1);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(readBack(false), "2468");
    EXPECT_EQ(readBack(true), cipherBefore);
  }

  // A new key whose trial wrap fails is refused before any window, as every
  // key the wrap cannot use is.
  {
    std::string other;
    ASSERT_EQ(testsupport::run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 2>/dev/null | "
                               "openssl pkey -pubout -outform DER | base64 -w0",
                               &other),
              0);
    BSTR otherText = SysAllocString(wide(other).c_str());
    WrapsFailingAfter failing(0);
    ScopedWrapFault scope(&failing);
    ScriptedUser nobody;
    nobody.install();
    code = -1;
    EXPECT_EQ(ctl->inquireProtectionData(title, otherText, 0, &code), S_OK);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(lastError(), u"CHaldrinCtrl::inquireProtectionData >> error during invalid parameter(keyValue)!");
    EXPECT_EQ(failing.calls, 1);
    EXPECT_TRUE(nobody.seen().empty()) << testing::PrintToString(nobody.failures());
    SysFreeString(otherText);
  }
  EXPECT_EQ(readBack(false), "2468");
  SysFreeString(title);
  SysFreeString(keyText);
}
