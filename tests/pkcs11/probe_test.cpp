// The token probe of the insert-and-remove flow. Its module, function list and
// session live for the whole process, so each scenario runs in a child
// process of its own and starts from an empty probe.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "FreshProcess.h"
#include "TokenHarness.h"
#include "signlib/PKCS11TokenUtil.h"

using p11test::FakeToken;
using Names = std::vector<std::string>;

using testsupport::inFreshProcess;

namespace {
long count(const Names& names, const std::string& name) { return std::count(names.begin(), names.end(), name); }
}  // namespace

TEST(Probe, SlotCountFollowsTheToken) {
  FakeToken fake("vendor.dll");
  inFreshProcess([&] {
    CK_ULONG n = 9;
    EXPECT_EQ(24, getPKCS11SlotList(&n));  // nothing loaded yet
    EXPECT_EQ(0u, n);
    char field[256] = {};
    ASSERT_EQ(0, loadPKCS11FunctionList(field, sizeof field, "vendor.dll"));
    EXPECT_STREQ("vendor.dll", field);
    EXPECT_EQ(0, getPKCS11SlotList(&n));
    EXPECT_EQ(1u, n);
    fake.set("tokens", "0");  // pulled out
    n = 9;
    EXPECT_EQ(14, getPKCS11SlotList(&n));
    EXPECT_EQ(0u, n);
    fake.set("tokens", "2");
    EXPECT_EQ(0, getPKCS11SlotList(&n));
    EXPECT_EQ(2u, n);
    fake.set("fail", "C_GetTokenInfo=0x5");
    n = 9;
    EXPECT_EQ(24, getPKCS11SlotList(&n));
    EXPECT_EQ(0u, n);
  });
}

TEST(Probe, KeepsTheFirstModuleAndOneSession) {
  FakeToken a("vendorA.dll"), b("vendorB.dll");
  inFreshProcess([&] {
    char field[256] = {};
    ASSERT_EQ(0, loadPKCS11FunctionList(field, sizeof field, "vendorA.dll"));
    char other[256] = {};
    ASSERT_EQ(0, loadPKCS11FunctionList(other, sizeof other, "vendorB.dll"));
    EXPECT_STREQ("vendorB.dll", other);
    ASSERT_EQ(0, loadPKCS11FunctionList(field, sizeof field, "vendorA.dll"));
    EXPECT_TRUE(b.calls().empty());  // still talking to A
    Names names = a.callNames();
    EXPECT_EQ(1, count(names, "C_GetFunctionList"));
    EXPECT_EQ(3, count(names, "C_OpenSession"));
    // Each new session replaces the cached one.
    EXPECT_EQ(2, count(names, "C_CloseSession"));
    auto firstClose = std::find(names.begin(), names.end(), "C_CloseSession");
    auto secondOpen =
        std::find(std::find(names.begin(), names.end(), "C_OpenSession") + 1, names.end(), "C_OpenSession");
    EXPECT_LT(firstClose, secondOpen);
  });
}

TEST(Probe, LoadFailures) {
  struct Case {
    const char* setting;
    const char* value;
    int code;
  } cases[] = {
      {"tokens", "0", 14},
      {"fail", "C_GetFunctionList=0x5", 24},
      {"fail", "C_Initialize=0x6", 24},
      {"fail", "C_GetSlotList#1=0x30", 24},
      {"fail", "C_GetSlotList#2=0x30", 24},
      {"fail", "C_OpenSession=0xE0", 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + "=" + c.value);
    FakeToken fake("vendor.dll");
    fake.set(c.setting, c.value);
    inFreshProcess([&] {
      char field[256] = {};
      EXPECT_EQ(c.code, loadPKCS11FunctionList(field, sizeof field, "vendor.dll"));
      EXPECT_STREQ("", field);
      // Once the module answers, the probe works.
      fake.unset("fail");
      fake.set("tokens", "1");
      EXPECT_EQ(0, loadPKCS11FunctionList(field, sizeof field, "vendor.dll"));
      EXPECT_STREQ("vendor.dll", field);
    });
  }
  p11test::installNoEntry();
  inFreshProcess([&] {
    char field[256] = {};
    EXPECT_EQ(24, loadPKCS11FunctionList(field, sizeof field, "missing.dll"));
    std::string tooLong(256, 'm');
    EXPECT_EQ(1, loadPKCS11FunctionList(field, sizeof field, tooLong.c_str()));
    EXPECT_EQ(1, loadPKCS11FunctionList(field, 8, "vendor.dll"));
    EXPECT_EQ(0, loadPKCS11FunctionList(field, 11, "vendor.dll"));
    EXPECT_STREQ("vendor.dll", field);
  });
}

// The probe keeps its module initialised; a token client of the same module
// finalises it for the whole process on teardown. Both go on working.
TEST(Probe, SharesTheModuleWithTokenClients) {
  FakeToken etoken("eToken.dll");
  etoken.set("model", "eToken");
  inFreshProcess([&] {
    char field[256] = {};
    ASSERT_EQ(0, loadPKCS11FunctionList(field, sizeof field, "eToken.dll"));
    {
      CPKCS11TokenUtil token;
      // The eToken route meets a module the probe initialised.
      ASSERT_EQ(0, token.init("eToken.dll")) << token.getErrorText();
      ASSERT_EQ(0, token.Login("1234"));
    }  // C_Finalize
    CK_ULONG n = 0;
    EXPECT_EQ(0, getPKCS11SlotList(&n));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(0, loadPKCS11FunctionList(field, sizeof field, "eToken.dll"));
    // The probe noticed the finalise and initialised the module again.
    Names names = etoken.callNames();
    auto finalize = std::find(names.rbegin(), names.rend(), "C_Finalize");
    ASSERT_NE(names.rend(), finalize);
    EXPECT_NE(names.rbegin(), std::find(names.rbegin(), finalize, "C_Initialize"));
    EXPECT_NE(finalize, std::find(names.rbegin(), finalize, "C_Initialize"));
  });
}
