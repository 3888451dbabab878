// Token serial number, PIN change and initialisation: on SoftHSM2 where a real
// token can do it, on the fake token for the vendor extension and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TestRoot.h"
#include "TokenHarness.h"
#include "signlib/PKCS11TokenUtil.h"

using p11test::FakeToken;
using p11test::SoftHsm;
using Names = std::vector<std::string>;

namespace {
std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool logHas(const std::string& text) {
  for (const std::string& line : p11test::allCalls()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}
}  // namespace

TEST(GetTokenSN, EqualsTheSerialPkcs11ToolPrints) {
  SoftHsm hsm("serial");
  std::string serial = hsm.initToken("bank", "87654321", "1234");
  ASSERT_FALSE(serial.empty());
  p11test::installForwarder();
  CPKCS11TokenUtil token;
  char out[17] = {};
  ASSERT_EQ(0, token.getTokenSN(p11test::kForwarder, out)) << token.getErrorText();
  EXPECT_EQ(upper(serial), out);
  // The module is finalised; a client of it can start over.
  EXPECT_FALSE(token.isInitialized());
  EXPECT_EQ(0, token.init(p11test::kForwarder)) << token.getErrorText();
}

TEST(GetTokenSN, SerialFieldAndFailures) {
  struct Case {
    const char* serial;
    const char* expected;
  } serials[] = {
      {"ab12cd", "AB12CD"},
      {"ab cd", "AB"},
      {"0123456789abcdef", "0123456789ABCDEF"},
  };
  for (const Case& c : serials) {
    SCOPED_TRACE(c.serial);
    FakeToken fake("vendor.dll");
    fake.set("serial", c.serial);
    CPKCS11TokenUtil token;
    char out[18];
    std::memset(out, 0, sizeof out);
    out[17] = 'x';
    ASSERT_EQ(0, token.getTokenSN("vendor.dll", out)) << token.getErrorText();
    EXPECT_STREQ(c.expected, out);
    EXPECT_EQ('x', out[17]);
    EXPECT_EQ("C_Finalize", fake.callNames().back());
  }
  struct Failure {
    const char* setting;
    const char* value;
    int code;
    const char* text;
  } failures[] = {
      {"tokens", "0", 23, "CPKCS11TokenUtil::getTokenSN -> error 0x37 during init"},
      {"tokens", "2", 23, "CPKCS11TokenUtil::getTokenSN -> error 0x3F during init"},
      {"fail", "C_GetTokenInfo=0x5", 23, "CPKCS11TokenUtil::getTokenSN -> error 0x5 during C_GetTokenInfo"},
      {"fail", "C_GetSlotList#3=0x30", 23, "CPKCS11TokenUtil::getTokenSN -> error 0x30 during C_GetSlotList"},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(std::string(f.setting) + "=" + f.value);
    FakeToken fake("vendor.dll");
    fake.set(f.setting, f.value);
    CPKCS11TokenUtil token;
    char out[17] = {};
    EXPECT_EQ(f.code, token.getTokenSN("vendor.dll", out));
    EXPECT_STREQ(f.text, token.getErrorText());
    EXPECT_STREQ("", out);
  }
}

TEST(SetUserPIN, ChangesTheRealTokensPin) {
  static const std::string kLong200(200, '9');
  SoftHsm hsm("setpin");
  hsm.initToken("bank", "87654321", "1234");
  p11test::installForwarder();
  {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.SetUserPIN(p11test::kForwarder, "1234", "5678")) << token.getErrorText();
  }
  EXPECT_EQ(0, hsm.tool("--token-label bank --login --pin 5678 -O"));
  EXPECT_NE(0, hsm.tool("--token-label bank --login --pin 1234 -O"));
  struct Case {
    const char* oldPin;
    const char* newPin;
    int code;
    const char* text;
  } cases[] = {
      {"1111", "2222", 50, "CPKCS11TokenUtil::SetUserPIN -> error 0x32 during Login"},
      {"5678", "12", 51, "CPKCS11TokenUtil::SetUserPIN -> error 0xA2 during C_SetPIN"},
      {"5678", kLong200.c_str(), 1, "CPKCS11TokenUtil::SetUserPIN -> parameter error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.newPin);
    CPKCS11TokenUtil token;
    EXPECT_EQ(c.code, token.SetUserPIN(p11test::kForwarder, c.oldPin, c.newPin));
    EXPECT_STREQ(c.text, token.getErrorText());
  }
  EXPECT_EQ(0, hsm.tool("--token-label bank --login --pin 5678 -O"));
}

TEST(SetUserPIN, FakeTokenOutcomes) {
  std::string long129(129, '7');
  struct Case {
    const char* setting;
    const char* value;
    std::string oldPin;
    std::string newPin;
    int code;
    const char* text;
  } cases[] = {
      {"locked", "1", "1234", "5678", 52, "CPKCS11TokenUtil::SetUserPIN -> error 0x34 during Login"},
      {"tokens", "0", "1234", "5678", 23, "CPKCS11TokenUtil::SetUserPIN -> error 0x37 during init"},
      {"fail", "C_SetPIN=0xA1", "1234", "5678", 51, "CPKCS11TokenUtil::SetUserPIN -> error 0xA1 during C_SetPIN"},
      {"fail", "C_SetPIN=0xA0", "1234", "5678", 50, "CPKCS11TokenUtil::SetUserPIN -> error 0xA0 during C_SetPIN"},
      {"fail", "C_SetPIN=0xA4", "1234", "5678", 52, "CPKCS11TokenUtil::SetUserPIN -> error 0xA4 during C_SetPIN"},
      {"fail", "C_SetPIN=0x5", "1234", "5678", 23, "CPKCS11TokenUtil::SetUserPIN -> error 0x5 during C_SetPIN"},
      // A PIN of more than 128 characters is refused whole, before the token
      // is asked anything: cut, it would become a PIN nobody chose.
      {"", "", "1234", long129, 1, "CPKCS11TokenUtil::SetUserPIN -> parameter error"},
      {"", "", long129, "5678", 1, "CPKCS11TokenUtil::SetUserPIN -> parameter error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + "=" + c.value);
    FakeToken fake("vendor.dll");
    if (*c.setting != '\0') {
      fake.set(c.setting, c.value);
    }
    CPKCS11TokenUtil token;
    EXPECT_EQ(c.code, token.SetUserPIN("vendor.dll", c.oldPin.c_str(), c.newPin.c_str()));
    EXPECT_STREQ(c.text, token.getErrorText());
    EXPECT_FALSE(logHas(c.oldPin));
    EXPECT_FALSE(logHas(c.newPin));
    if (c.newPin.size() > 128 || c.oldPin.size() > 128) {
      EXPECT_FALSE(logHas("C_Login"));
      EXPECT_FALSE(logHas("C_SetPIN"));
    }
  }
  FakeToken fake("vendor.dll");
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.SetUserPIN("vendor.dll", "1234", "2468"));
  EXPECT_EQ("2468", fake.get("pin"));
  EXPECT_TRUE(logHas("C_SetPIN old=4 new=4"));
  EXPECT_EQ(1, token.SetUserPIN("vendor.dll", nullptr, "1"));
}

// Login takes the PIN whole or not at all: a cut PIN would cost the user a
// wrong guess on the token.
TEST(Login, PinLongerThanTheClientHoldsIsNotTried) {
  FakeToken fake("vendor.dll");
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.init("vendor.dll")) << token.getErrorText();
  EXPECT_EQ(1, token.Login(std::string(129, '1').c_str()));
  EXPECT_FALSE(logHas("C_Login"));
  EXPECT_EQ(0, token.Login("1234")) << token.getErrorText();
}

TEST(InitTokenCV, VendorExtensionCallsInOrder) {
  FakeToken fake("vendor.dll");
  {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.InitTokenCV("vendor.dll", "New Label", "so-secret-pin", "user-pin-1")) << token.getErrorText();
  }
  EXPECT_EQ((Names{"C_GetFunctionList", "ETC_GetFunctionListEx", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                   "C_GetSlotInfo", "C_GetTokenInfo", "ETC_InitTokenInit", "C_CreateObject", "ETC_InitPIN",
                   "ETC_InitTokenFinal", "C_CloseSession", "C_Finalize"}),
            fake.callNames());
  Names calls = fake.calls();
  EXPECT_EQ("ETC_InitTokenInit slot=11 soPinLen=13 retries=10 label=New Label", calls[7]);
  EXPECT_EQ("C_CreateObject count=15", calls[8]);
  EXPECT_EQ("ETC_InitPIN len=10 retries=10 null", calls[9]);
  EXPECT_EQ("user-pin-1", fake.get("pin"));
  EXPECT_EQ("New Label", fake.get("label"));
  EXPECT_EQ("0", fake.get("initialising"));
  EXPECT_FALSE(logHas("so-secret-pin"));
  EXPECT_FALSE(logHas("user-pin-1"));

  // The token-settings object: class, feature type, then the vendor's 13.
  std::string expected =
      "0x0 8 0500000000000000\n"
      "0x300 8 0350008000000000\n"
      "0x80001201 4 01000000\n"
      "0x80001205 4 00000000\n"
      "0x80001204 4 00000000\n"
      "0x80001206 4 00000000\n"
      "0x80001202 4 00000000\n"
      "0x80001207 4 00000000\n"
      "0x80001209 4 00000000\n"
      "0x80001203 1 00\n"
      "0x8000120e 4 00000000\n"
      "0x8000120a 4 00000000\n"
      "0x8000120b 4 00000000\n"
      "0x8000120c 4 00000000\n"
      "0x8000120d 4 00000000\n";
  EXPECT_EQ(expected, fake.get("template.log"));
}

// Every failure has a code of its own, and after C_Initialize every way out
// finalises the module.
TEST(InitTokenCV, Failures) {
  struct Case {
    const char* setting;
    const char* value;
    int code;
    const char* text;
    bool finalised;
  } cases[] = {
      {"fail", "C_GetFunctionList=0x5", 64,
       "CPKCS11TokenUtil::InitTokenCV -> error durring in pC_GetFunctionList return code[5]", false},
      {"fail", "ETC_GetFunctionListEx=0x5", 64, nullptr, false},
      {"fail", "C_Initialize=0x6", 64, "CPKCS11TokenUtil::InitTokenCV -> error durring in C_Initialize return code[6]",
       false},
      {"fail", "C_GetSlotList#1=0x30", 55,
       "CPKCS11TokenUtil::InitTokenCV -> error durring in C_GetSlotList return code[48]", true},
      {"tokens", "0", 55, "CPKCS11TokenUtil::InitTokenCV -> No token present!", true},
      {"fail", "C_GetSlotList#2=0x30", 55,
       "CPKCS11TokenUtil::InitTokenCV -> error durring in C_GetSlotList 2 return code[48]", true},
      {"fail", "C_GetSlotInfo=0x5", 55,
       "CPKCS11TokenUtil::InitTokenCV -> error durring in C_GetSlotInfo return code[5]", true},
      {"fail", "C_GetTokenInfo=0x5", 55,
       "CPKCS11TokenUtil::InitTokenCV -> error durring in C_GetSlotInfo 2 return code[5]", true},
      {"fail", "ETC_InitTokenInit=0x5", 65,
       "CPKCS11TokenUtil::InitTokenCV -> error durring in ETC_InitTokenInit return code[5]", true},
      {"fail", "ETC_InitPIN=0xA2", 65, "CPKCS11TokenUtil::InitTokenCV -> error durring in ETC_InitPIN return code[162]",
       true},
      // The settings object's result does not matter.
      {"fail", "C_CreateObject=0x5", 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + "=" + c.value);
    FakeToken fake("vendor.dll");
    fake.set(c.setting, c.value);
    CPKCS11TokenUtil token;
    EXPECT_EQ(c.code, token.InitTokenCV("vendor.dll", "Label", "87654321", "1234"));
    if (c.text != nullptr && c.code != 0) {
      EXPECT_STREQ(c.text, token.getErrorText());
    }
    Names names = fake.callNames();
    EXPECT_EQ(c.finalised, std::find(names.begin(), names.end(), "C_Finalize") != names.end());
    if (c.finalised) {
      EXPECT_EQ("C_Finalize", names.back());
    }
    bool opened = std::find(names.begin(), names.end(), "ETC_InitTokenInit") != names.end() && c.code != 65;
    if (opened || std::string(c.value) == "ETC_InitPIN=0xA2") {
      EXPECT_EQ("C_CloseSession", names[names.size() - 2]);
    }
    if (c.code == 65) {
      EXPECT_EQ(names.end(), std::find(names.begin(), names.end(), "ETC_InitTokenFinal"));
    }
  }
  CPKCS11TokenUtil token;
  EXPECT_EQ(64, token.InitTokenCV("missing.dll", "Label", "87654321", "1234"));
  EXPECT_STREQ("CPKCS11TokenUtil::InitTokenCV -> error durring in LoadLibrary return code[126]", token.getErrorText());
  EXPECT_EQ(1, token.InitTokenCV("vendor.dll", nullptr, "87654321", "1234"));
}

// A module without the vendor extension leaves the token as it was.
TEST(InitTokenCV, ModuleWithoutTheExtension) {
  SoftHsm hsm("initcv");
  hsm.initToken("bank", "87654321", "1234");
  p11test::installForwarder();
  CPKCS11TokenUtil token;
  EXPECT_EQ(64, token.InitTokenCV(p11test::kForwarder, "Erased", "87654321", "1234"));
  EXPECT_STREQ("CPKCS11TokenUtil::InitTokenCV -> error durring in GetProcessAddress f_CK_ETC_GetFunctionListEx",
               token.getErrorText());
  std::string out;
  EXPECT_EQ(0, hsm.tool("-L", &out));
  EXPECT_NE(std::string::npos, out.find("bank")) << out;
  EXPECT_EQ(0, hsm.tool("--token-label bank --login --pin 1234 -O"));
}
