// The module list (PKCS11LibNames) and the detection of the one module that
// sees a token.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TestRoot.h"
#include "TokenHarness.h"
#include "signlib/PKCS11TokenUtil.h"

using p11test::FakeToken;
using Names = std::vector<std::string>;

namespace {
Names parsed(const CPKCS11TokenUtil& t) {
  Names out;
  for (int i = 0; i < t.moduleCount(); ++i) out.push_back(t.moduleName(i));
  return out;
}

bool called(const FakeToken& f, const std::string& call) {
  Names n = f.callNames();
  return std::find(n.begin(), n.end(), call) != n.end();
}

// Every module the walk touched is closed and finalised again.
void expectReleased(const FakeToken& f) {
  Names n = f.callNames();
  if (n.empty()) return;
  EXPECT_EQ("C_Finalize", n.back()) << f.name();
  EXPECT_EQ(std::count(n.begin(), n.end(), "C_OpenSession"), std::count(n.begin(), n.end(), "C_CloseSession"))
      << f.name();
}
}  // namespace

TEST(DllListParser, Forms) {
  std::string name255(255, 'm');
  std::string name256(256, 'm');
  std::string list260 = "{" + std::string(120, 'a') + "}{" + std::string(136, 'b') + "}";
  std::string list261 = list260 + " ";
  struct Case {
    std::string list;
    int code;
    Names names;
    const char* message;
  } cases[] = {
      {"vendor.dll", 0, {"vendor.dll"}, ""},
      {"C:\\Windows\\System32\\vendor.dll", 0, {"C:\\Windows\\System32\\vendor.dll"}, ""},
      {"{a.dll}{b.dll}", 0, {"a.dll", "b.dll"}, ""},
      {"{a.dll} and {b.dll}", 0, {"a.dll", "b.dll"}, ""},
      {"{a.dll}{a.dll}", 1, {}, "DllListParser()->dllNameList error, dll name dupicated in dll name list."},
      {"{a.dll}{b.dll", 1, {}, "DllListParser()->dllNameList format error, { Count:0x[2], } Count:0x[1]"},
      {"}a.dll{", 1, {}, "DllListParser()->dllNameList format error, { & } not in pairs"},
      {"{{{a.dll}}}", 1, {}, "DllListParser()->dllNameList format error, { & } not in pairs"},
      // One level of nesting passes the check; each "{" starts a name up to the next "}".
      {"{x{y}}", 0, {"x{y", "y"}, ""},
      {"{" + name255 + "}", 0, {name255}, ""},
      {"{" + name256 + "}", 1, {}, "DllListParser()->dll name longer than 255 characters in dll name list."},
      {name256, 1, {}, "DllListParser()->dll name longer than 255 characters in dll name list."},
      {list260, 0, {std::string(120, 'a'), std::string(136, 'b')}, ""},
      {list261, 1, {}, "DllListParser()->dllNameList longer than 260 characters."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    CPKCS11TokenUtil token;
    char seed[ERROR_TEXT_SIZE] = {};
    ASSERT_EQ(0, token.DllListParser("{old.dll}", seed));
    char message[ERROR_TEXT_SIZE] = {};
    EXPECT_EQ(c.code, token.DllListParser(c.list.c_str(), message));
    if (c.code == 0) {
      EXPECT_EQ(c.names, parsed(token));
    } else {
      EXPECT_STREQ(c.message, message);
      EXPECT_EQ((Names{"old.dll"}), parsed(token));  // a refused list leaves the old one
    }
  }
}

TEST(DetectToken, FindsTheOneModuleThatSeesAToken) {
  FakeToken a("vendorA.dll"), b("vendorB.dll"), c("vendorC.dll");
  a.set("tokens", "0");
  c.set("tokens", "0");
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.detectTokenByModule("{vendorA.dll}{vendorB.dll}{missing.dll}{vendorC.dll}"))
      << token.getErrorText();
  EXPECT_STREQ("vendorB.dll", token.detectedModule());
  for (const FakeToken* f : {&a, &b, &c}) expectReleased(*f);
  EXPECT_FALSE(token.isInitialized());
  EXPECT_FALSE(token.isSessionOpen());
}

TEST(DetectToken, Outcomes) {
  struct Case {
    const char* list;
    const char* tokensA;
    const char* tokensB;
    int code;
    const char* text;
  } cases[] = {
      {"{vendorA.dll}{vendorB.dll}", "1", "1", 63, "detectTokenByModule()->DllInitialize()->Find multi tokens."},
      {"{vendorA.dll}{vendorB.dll}", "0", "0", 55, "detectTokenByModule()->DllInitialize()->Can't find any token."},
      {"{vendorA.dll}{vendorB.dll}", "2", "1", 63, "detectTokenByModule()->DllInitialize()->Find multi tokens."},
      {"{vendorA.dll}{vendorA.dll}", "1", "0", 1,
       "SetDll()->DllListParser()->DllListParser()->dllNameList error, dll name dupicated in dll name list."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " " + c.tokensA + c.tokensB);
    FakeToken a("vendorA.dll"), b("vendorB.dll");
    a.set("tokens", c.tokensA);
    b.set("tokens", c.tokensB);
    CPKCS11TokenUtil token;
    EXPECT_EQ(c.code, token.detectTokenByModule(c.list));
    EXPECT_STREQ(c.text, token.getErrorText());
    EXPECT_STREQ("", token.detectedModule());
    expectReleased(a);
    expectReleased(b);
    // A module that sees two tokens ends the walk at once.
    if (std::string(c.tokensA) == "2") {
      EXPECT_TRUE(b.calls().empty());
    }
  }
}

TEST(DetectToken, ETokenRoute) {
  struct Case {
    const char* model;
    const char* fallbackTokens;  // "" when DKCK201.DLL is not installed
    int code;
    const char* detected;
  } cases[] = {
      {"eToken", "", 0, "eToken.dll"},
      {"eToken PRO", "", 0, "eToken.dll"},
      // The other model is served by its own module, reported under the name
      // the pages know; the fall-back really is that module.
      {"Model 330", "1", 0, "DKCK201.dll"},
      {"Model 330", "0", 55, ""},
      {"Model 330", "", 55, ""},
      {"Model 330", "2", 63, ""},
      {"Other", "1", 55, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " fallback tokens " + c.fallbackTokens);
    FakeToken etoken("eToken.dll");
    etoken.set("model", c.model);
    std::unique_ptr<FakeToken> fallback;
    if (*c.fallbackTokens != '\0') {
      fallback = std::make_unique<FakeToken>("DKCK201.DLL");
      fallback->set("tokens", c.fallbackTokens);
    } else {
      std::filesystem::remove(testsupport::platformRoot() + "/modules/DKCK201.DLL");
    }
    p11test::clearCallLog();
    CPKCS11TokenUtil token;
    EXPECT_EQ(c.code, token.detectTokenByModule("{eToken.dll}"));
    EXPECT_STREQ(c.detected, token.detectedModule());
    expectReleased(etoken);
    if (fallback) {
      expectReleased(*fallback);
      EXPECT_EQ(std::string(c.model) == "Model 330", called(*fallback, "C_GetSlotList"));
      // The eToken module's session was never asked to stand in for it.
      Names calls = etoken.callNames();
      EXPECT_EQ(0, std::count(calls.begin(), calls.end(), "C_OpenSession"));
    }
  }
}

// The other-model flag of one module does not rename a later module's find.
TEST(DetectToken, FoundNameBelongsToTheModuleThatFoundIt) {
  FakeToken etoken("eToken.dll"), fallback("DKCK201.DLL"), b("vendorB.dll");
  etoken.set("model", "Model 330");
  fallback.set("tokens", "0");
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.detectTokenByModule("{eToken.dll}{vendorB.dll}")) << token.getErrorText();
  EXPECT_STREQ("vendorB.dll", token.detectedModule());
  EXPECT_TRUE(token.otherModelSeen());
}

TEST(Init5200, ModelChecksAndMessages) {
  struct Case {
    const char* model;
    const char* tokens;
    int code;
    const char* text;
    bool otherModel;
  } cases[] = {
      {"eToken", "1", 0, "", false},
      {"Model 330", "1", 55, "CPKCS11TokenUtil::init5200 -> This is not eToken, this is iKey!", true},
      {"Something", "1", 55, "CPKCS11TokenUtil::init5200 -> No token present!", false},
      {"eToken", "0", 55, "CPKCS11TokenUtil::init5200 -> No token present!", false},
      {"eToken", "2", 63, "CPKCS11TokenUtil::init5200 -> Too many token present!", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.tokens);
    FakeToken etoken("eToken.dll");
    etoken.set("model", c.model);
    etoken.set("tokens", c.tokens);
    CPKCS11TokenUtil token;
    // init hands names containing "eToken.dll" to the eToken route.
    EXPECT_EQ(c.code, token.init("C:\\Program Files\\eToken.dll"));
    if (c.code != 0) {
      EXPECT_STREQ(c.text, token.getErrorText());
      EXPECT_FALSE(token.isSessionOpen());
    }
    EXPECT_EQ(c.otherModel, token.otherModelSeen());
    if (std::string(c.tokens) == "1") {
      Names n = etoken.callNames();
      EXPECT_NE(n.end(), std::find(n.begin(), n.end(), "C_GetSlotInfo"));
      EXPECT_NE(n.end(), std::find(n.begin(), n.end(), "C_GetTokenInfo"));
    }
  }
  FakeToken etoken("eToken.dll");
  etoken.set("model", "eToken");
  struct Failure {
    const char* fail;
    const char* text;
    int tokenCount;
  } failures[] = {
      {"C_GetSlotInfo=0x5", "CPKCS11TokenUtil::init5200 -> error 0x5 during C_GetSlotInfo", 0},
      {"C_GetTokenInfo=0x5", "CPKCS11TokenUtil::init5200 -> error 0x5 during C_GetTokenInfo", 0},
      {"C_GetSlotList#2=0x30", "CPKCS11TokenUtil::init5200 -> error 0x30 during C_GetSlotList(2)", 1},
  };
  for (const Failure& f : failures) {
    p11test::clearCallLog();
    etoken.set("fail", f.fail);
    CPKCS11TokenUtil token;
    EXPECT_EQ(23, token.init5200("eToken.dll"));
    EXPECT_STREQ(f.text, token.getErrorText());
    EXPECT_EQ(f.tokenCount, token.tokenCount());
  }
  // Initialised by another client already: accepted here too.
  etoken.unset("fail");
  CPKCS11TokenUtil first, second;
  ASSERT_EQ(0, first.init5200("eToken.dll"));
  EXPECT_EQ(0, second.init5200("eToken.dll")) << second.getErrorText();
}
