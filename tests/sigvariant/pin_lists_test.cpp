// The PIN-value list (IllegalPINList) and the provider error-code lists.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SigTestSupport.h"
#include "VariantClient.h"
#include "signlib/PKCS7MsgUtils.h"

using namespace sigtest;
using varianttest::ScriptedClient;

namespace {

std::vector<std::string> entries(const ScriptedClient& c) {
  std::vector<std::string> out;
  for (int i = 0; i < c.getIllegalPINCount(); ++i) out.push_back(c.getIllegalPIN(i));
  return out;
}

TEST(IllegalPinList, FormAndOrder) {
  struct Case {
    const char* text;
    int code;
    std::vector<std::string> list;  // after the call, entry 0 first
  } cases[] = {
      {"{1111}{2222}", 0, {"2222", "1111"}},  // the last value of the text is entry 0
      {"ab{123456}cd", 0, {"123456"}},        // text outside braces is ignored
      {"x{a}y{b}z{c}", 0, {"c", "b", "a"}},
      {"", 0, {}},
      {"no braces", 0, {}},
      {"{1{2}}", 1, {"keep"}},  // nested
      {"{123", 1, {"keep"}},    // not closed
      {"123}", 1, {"keep"}},    // closed without opening
      {"}{1}", 1, {"keep"}},    // closed before the first opening
      {"{}", 1, {"keep"}},      // empty value
      {"{1}{}", 1, {"keep"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    ScriptedClient c;
    ASSERT_EQ(c.setIllegalPIN("{keep}"), 0);
    EXPECT_EQ(c.setIllegalPIN(k.text), k.code);
    EXPECT_EQ(entries(c), k.list);
    if (k.code == 1) {
      EXPECT_STREQ(c.getErrorText(), "CPKCS7SignatureClient::setIllegalPIN -> MultipleIllegalPIN setting format error");
    }
  }
  ScriptedClient c;
  EXPECT_EQ(c.setIllegalPIN(nullptr), 1);
}

TEST(CodeLists, EveryValueInOrder) {
  for (int n : {1, 5, 6, 10, 11, 20, 100}) {
    SCOPED_TRACE(n);
    ScriptedClient c;
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(c.addCancelPINCode(0x80100000u + static_cast<DWORD>(i)), 0);
      ASSERT_EQ(c.addIncorrectPINCode(static_cast<DWORD>(i * 7)), 0);
    }
    ASSERT_EQ(c.getCancelCodeCount(), n);
    ASSERT_EQ(c.getIncorrectCodeCount(), n);
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(c.getCancelCodes()[i], 0x80100000u + static_cast<DWORD>(i));
      EXPECT_EQ(c.getIncorrectCodes()[i], static_cast<DWORD>(i * 7));
    }
    EXPECT_TRUE(c.isCancelPINCode(0x80100000u + static_cast<DWORD>(n - 1)));
    EXPECT_FALSE(c.isCancelPINCode(0x80100000u + static_cast<DWORD>(n)));
  }
  ScriptedClient c;
  c.addCancelPINCode(7);
  c.addCancelPINCode(7);  // duplicates are kept
  EXPECT_EQ(c.getCancelCodeCount(), 2);
}

// On the CryptoAPI login through the token provider a listed PIN is refused
// with 51 after the provider accepted it, and the PIN is never shown.
TEST(IllegalPinList, LoginRefusesAListedPin) {
  Token token("user");
  for (const char* listed : {"{0000}{5147}", "{5147}{0000}"}) {
    SCOPED_TRACE(listed);
    ScriptedClient c;
    c.EnableLoginAgency = 1;
    ASSERT_EQ(c.setIllegalPIN(listed), 0);
    c.answers = {kPin};
    ASSERT_EQ(c.setDataContentByString("x"), 0);
    EXPECT_EQ(c.sign(b64("user").c_str(), "SHA1", "RSA"), 51);
    EXPECT_EQ(std::string(c.getErrorText()).find(kPin), std::string::npos) << c.getErrorText();
  }
  // A wrong PIN whose provider error is in the wrong-password list is 21.
  ScriptedClient c;
  c.EnableLoginAgency = 1;
  ASSERT_EQ(c.addIncorrectPINCode(SCARD_W_WRONG_CHV), 0);
  c.answers = {"0000"};
  EXPECT_EQ(c.sign(b64("user").c_str(), "SHA1", "RSA"), 21);
}

TEST(CodeLists, Add2ArrayContract) {
  DWORD* list = nullptr;
  int count = 0;
  char text[ERROR_TEXT_SIZE] = {};
  for (DWORD v = 0; v < 12; ++v) ASSERT_EQ(CPKCS7MsgUtils::add2Array(&list, &count, v, text), 0);
  EXPECT_EQ(count, 12);
  EXPECT_EQ(list[11], 11u);
  EXPECT_EQ(CPKCS7MsgUtils::add2Array(nullptr, &count, 1, text), 99);
  std::free(list);
}

}  // namespace
