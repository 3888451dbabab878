// The token client against the fake token module: the calls it makes, in
// order, and how each failure a module can give is reported.
#include <gtest/gtest.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "TestRoot.h"
#include "TokenHarness.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/X509Certificate.h"

using p11test::FakeToken;
using Names = std::vector<std::string>;

namespace {
bool contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines) {
    if (l.find(text) != std::string::npos) return true;
  }
  return false;
}

Names tail(const Names& all, size_t from) { return Names(all.begin() + static_cast<long>(from), all.end()); }
}  // namespace

TEST(TokenClient, InitOpensOneSessionAndTeardownUndoesIt) {
  FakeToken fake("vendor.dll");
  {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init("vendor.dll")) << token.getErrorText();
    EXPECT_EQ((Names{"C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_OpenSession"}),
              fake.callNames());
    EXPECT_EQ("C_OpenSession slot=11 flags=6", fake.calls().back());
    EXPECT_EQ(1, token.tokenCount());
    EXPECT_TRUE(token.isSessionOpen());

    // A live session: init only checks it.
    size_t before = fake.callNames().size();
    ASSERT_EQ(0, token.init("vendor.dll"));
    EXPECT_EQ((Names{"C_GetSessionInfo"}), tail(fake.callNames(), before));

    ASSERT_EQ(0, token.Login("1234")) << token.getErrorText();
    before = fake.callNames().size();
  }
  Names last = fake.callNames();
  EXPECT_EQ((Names{"C_Logout", "C_CloseSession", "C_Finalize"}), tail(last, last.size() - 3));
}

TEST(TokenClient, InitFailures) {
  p11test::installNoEntry();
  struct Case {
    const char* setting;
    const char* value;
    int code;
    const char* text;
  } cases[] = {
      {"tokens", "0", 55, "CPKCS11TokenUtil::init -> No token present!"},
      {"tokens", "2", 63, "CPKCS11TokenUtil::init5200 -> Too many token present!"},
      {"fail", "C_GetFunctionList=0x5", 23, "CPKCS11TokenUtil::init -> error 0x5 during m_pC_GetFunctionList"},
      {"fail", "C_Initialize=0x6", 23, "CPKCS11TokenUtil::init -> error 0x6 during C_Initialize"},
      {"fail", "C_GetSlotList#1=0x30", 23, "CPKCS11TokenUtil::init -> error 0x30 during C_GetSlotList(1)"},
      {"fail", "C_GetSlotList#2=0x30", 23, "CPKCS11TokenUtil::init -> error 0x30 during C_GetSlotList(2)"},
      {"fail", "C_OpenSession=0xE0", 23, "CPKCS11TokenUtil::init -> error 0xE0 during C_OpenSession"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + "=" + c.value);
    FakeToken fake("vendor.dll");
    fake.set(c.setting, c.value);
    CPKCS11TokenUtil token;
    EXPECT_EQ(c.code, token.init("vendor.dll"));
    if (c.code != 0) {
      EXPECT_STREQ(c.text, token.getErrorText());
      EXPECT_FALSE(token.isSessionOpen());
    }
  }
  struct Unloadable {
    const char* name;
    const char* text;
  } unloadable[] = {
      {"missing.dll", "CPKCS11TokenUtil::init -> error during Load dll:missing.dll Failure."},
      {p11test::kNoEntry, "CPKCS11TokenUtil::init -> GetProcAddres Failure."},
  };
  for (const Unloadable& u : unloadable) {
    CPKCS11TokenUtil token;
    EXPECT_EQ(23, token.init(u.name));
    EXPECT_STREQ(u.text, token.getErrorText());
    // Nothing is called through a function list that was never bound.
    EXPECT_EQ(23, token.Login("1234"));
    EXPECT_EQ(0, token.Logout());
    int count = 5;
    EXPECT_EQ(23, token.getTokenCount(&count));
    EXPECT_EQ(23, token.openCertStore());
    token.teardown();
  }
  // A module another client initialised answers "already initialised": accepted.
  FakeToken fake("vendor.dll");
  CPKCS11TokenUtil first, second;
  ASSERT_EQ(0, first.init("vendor.dll"));
  EXPECT_EQ(0, second.init("vendor.dll")) << second.getErrorText();
  EXPECT_TRUE(second.isSessionOpen());
}

TEST(TokenClient, NothingIsCalledAfterTheFunctionListFailed) {
  FakeToken fake("vendor.dll");
  fake.set("fail", "C_GetFunctionList=0x5");
  {
    CPKCS11TokenUtil token;
    EXPECT_EQ(23, token.init("vendor.dll"));
    EXPECT_EQ(23, token.Login("1234"));
  }
  EXPECT_EQ((Names{"C_GetFunctionList"}), fake.callNames());
}

TEST(TokenClient, LoginMapsPinFailuresAndKeepsThePinOut) {
  struct Case {
    const char* locked;
    const char* pin;
    int code;
    const char* text;
  } cases[] = {
      {"0", "1234", 0, ""},
      {"0", "9876", 50, "CPKCS11TokenUtil::Login -> error 0xA0 during C_Login"},
      {"1", "1234", 52, "CPKCS11TokenUtil::Login -> error 0xA4 during C_Login"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pin);
    FakeToken fake("vendor.dll");
    fake.set("locked", c.locked);
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init("vendor.dll"));
    size_t before = fake.callNames().size();
    EXPECT_EQ(c.code, token.Login(c.pin));
    EXPECT_EQ((Names{"C_Logout", "C_CloseSession", "C_GetSlotList", "C_GetSlotList", "C_OpenSession", "C_Login"}),
              tail(fake.callNames(), before));
    EXPECT_EQ("C_Login user len=4", fake.calls().back());
    EXPECT_EQ(c.code == 0, token.isLoggedIn());
    if (c.code != 0) {
      EXPECT_STREQ(c.text, token.getErrorText());
    }
    EXPECT_EQ(nullptr, std::strstr(token.getErrorText(), c.pin));
    EXPECT_FALSE(contains(p11test::allCalls(), c.pin));
  }
  // Already logged in counts as logged in.
  FakeToken fake("vendor.dll");
  fake.set("fail", "C_Login=0x100");
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.init("vendor.dll"));
  EXPECT_EQ(0, token.Login("0000"));
  EXPECT_TRUE(token.isLoggedIn());
}

TEST(TokenClient, LoginAfterTheTokenWasPulled) {
  FakeToken fake("vendor.dll");
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.init("vendor.dll"));
  fake.set("tokens", "0");
  EXPECT_EQ(55, token.Login("1234"));
  EXPECT_STREQ("CPKCS11TokenUtil::init -> No token present!", token.getErrorText());
  // init sees the dead session and finds no token either; back in, it works.
  EXPECT_EQ(55, token.init("vendor.dll"));
  fake.set("tokens", "1");
  EXPECT_EQ(0, token.init("vendor.dll")) << token.getErrorText();
  EXPECT_EQ(0, token.Login("1234"));
}

TEST(TokenClient, Logout) {
  FakeToken fake("vendor.dll");
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.init("vendor.dll"));
  EXPECT_EQ(0, token.Logout());  // nobody logged in: the module says 0x101
  EXPECT_EQ("C_Logout", fake.callNames().back());
  ASSERT_EQ(0, token.Login("1234"));
  EXPECT_EQ(0, token.Logout());
  EXPECT_FALSE(token.isLoggedIn());
  ASSERT_EQ(0, token.Login("1234"));
  fake.set("fail", "C_Logout=0x5");
  EXPECT_EQ(23, token.Logout());
  EXPECT_STREQ("CPKCS11TokenUtil::Logout -> error 0x5 during C_Logout", token.getErrorText());
}

// A failed C_FindObjects still ends the search, so the next one can start.
TEST(TokenClient, EverySearchIsFinished) {
  FakeToken fake("vendor.dll");
  fake.addIdentity("user", 1);
  CX509Certificate cert;
  ASSERT_EQ(0, cert.LoadX509Cert(p11test::certificateBase64("user").c_str()));
  struct Case {
    const char* fail;
    int code;
    const char* text;
  } cases[] = {
      {"C_FindObjects#1=0x5", 23, "CPKCS11TokenUtil::findPrivateKeyByCertEx -> error 0x5 during cert C_FindObjects"},
      {"C_FindObjects#2=0x5", 23,
       "CPKCS11TokenUtil::findPrivateKeyByCertEx -> error 0x5 during privateKey C_FindObjects"},
      {"C_FindObjectsInit#1=0x5", 23,
       "CPKCS11TokenUtil::findPrivateKeyByCertEx -> error 0x5 during cert C_FindObjectsInit"},
      {"C_FindObjectsFinal#2=0x5", 23,
       "CPKCS11TokenUtil::findPrivateKeyByCertEx -> error 0x5 during privateKey C_FindObjectsFinal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail);
    p11test::clearCallLog();
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init("vendor.dll"));
    ASSERT_EQ(0, token.Login("1234"));
    fake.set("fail", c.fail);
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(c.code, token.findPrivateKeyByCertEx(&cert, &key));
    EXPECT_STREQ(c.text, token.getErrorText());
    Names names = fake.callNames();
    if (std::string(c.fail).rfind("C_FindObjects#", 0) == 0) {
      EXPECT_EQ("C_FindObjectsFinal", names.back());
    }
    fake.unset("fail");
    if (std::string(c.fail).find("Final") != std::string::npos) continue;  // the module's search stays open
    EXPECT_EQ(0, token.findPrivateKeyByCertEx(&cert, &key)) << token.getErrorText();
    EXPECT_EQ(200u, key);
  }
}

TEST(TokenClient, FindPrivateKeyReopensADeadSession) {
  FakeToken fake("vendor.dll");
  fake.addIdentity("user", 1);
  CX509Certificate cert;
  ASSERT_EQ(0, cert.LoadX509Cert(p11test::certificateBase64("user").c_str()));
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.init("vendor.dll"));
  fake.set("fail", "C_GetSessionInfo=0xB3");
  size_t before = fake.callNames().size();
  CK_OBJECT_HANDLE key = 0;
  // The fresh session is not logged in: the private key stays hidden.
  EXPECT_EQ(13, token.findPrivateKeyByCertEx(&cert, &key));
  Names names = tail(fake.callNames(), before);
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ((Names{"C_GetSessionInfo", "C_CloseSession", "C_OpenSession"}), Names(names.begin(), names.begin() + 3));
  fake.set("fail", "C_GetSessionInfo=0xB3\nC_OpenSession=0xE0");
  EXPECT_EQ(23, token.findPrivateKeyByCertEx(&cert, &key));
  EXPECT_STREQ("CPKCS11TokenUtil::findPrivateKeyByCertEx -> error 0xE0 during cert C_FindObjectsInit",
               token.getErrorText());
}

// The list holds exactly the certificates that were read, even when reading
// stops part-way.
TEST(TokenClient, OpenCertStoreCountsWhatItFilled) {
  FakeToken fake("vendor.dll");
  fake.addIdentity("user", 1, true);
  fake.addIdentity("rsa1024", 2, true);
  fake.addIdentity("rsa3072", 3, true);
  struct Case {
    const char* fail;
    int code;
    unsigned count;
    const char* text;
  } cases[] = {
      {"", 0, 3, ""},
      // Length query of the second certificate (calls: length, value per certificate).
      {"C_GetAttributeValue#3=0x5", 23, 1,
       "CPKCS11TokenUtil::openCertStore -> error 0x5 during 1. C_GetAttributeValue"},
      {"C_GetAttributeValue#4=0x5", 23, 1,
       "CPKCS11TokenUtil::openCertStore -> error 0x5 during 2. C_GetAttributeValue"},
      {"C_FindObjects=0x5", 23, 0, "CPKCS11TokenUtil::openCertStore -> error 0x5 during cert C_FindObjects"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail);
    p11test::clearCallLog();
    fake.set("fail", c.fail);
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init("vendor.dll"));
    EXPECT_EQ(c.code, token.openCertStore());
    if (c.code != 0) {
      EXPECT_STREQ(c.text, token.getErrorText());
    }
    ASSERT_EQ(c.count, token.tokenCertificateCount());
    for (unsigned i = 0; i < c.count; ++i) {
      CX509Certificate cert;
      EXPECT_EQ(0, cert.LoadX509Cert(token.tokenCertificate(i)));
    }
    EXPECT_EQ(nullptr, token.tokenCertificate(c.count));
    Names names = fake.callNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "C_FindObjectsInit"),
              std::count(names.begin(), names.end(), "C_FindObjectsFinal"));
  }
  // Reading again replaces the list.
  fake.unset("fail");
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.init("vendor.dll"));
  ASSERT_EQ(0, token.openCertStore());
  ASSERT_EQ(0, token.openCertStore());
  EXPECT_EQ(3u, token.tokenCertificateCount());
  fake.unset("cert1.der");
  fake.unset("cert2.der");
  fake.unset("cert3.der");
  EXPECT_EQ(4, token.openCertStore());
  EXPECT_STREQ("CPKCS11TokenUtil::openCertStore -> certificate not found in token", token.getErrorText());
  EXPECT_EQ(0u, token.tokenCertificateCount());
}

TEST(TokenClient, SignRsaMapsFailures) {
  FakeToken fake("vendor.dll");
  fake.addIdentity("user", 1);
  CX509Certificate cert;
  ASSERT_EQ(0, cert.LoadX509Cert(p11test::certificateBase64("user").c_str()));
  struct Case {
    const char* fail;
    int code;
    const char* text;
  } cases[] = {
      {"C_SignInit=0xA4", 52, "CPKCS11TokenUtil::signRSA -> error 0xA4 during C_SignInit"},
      {"C_SignInit=0xA0", 50, "CPKCS11TokenUtil::signRSA -> error 0xA0 during C_SignInit"},
      {"C_Sign=0xA0", 50, "CPKCS11TokenUtil::signRSA -> error 0xA0 during C_Sign"},
      {"C_Sign=0xA4", 52, "CPKCS11TokenUtil::signRSA -> error 0xA4 during C_Sign"},
      {"C_Sign=0x150", 23, "CPKCS11TokenUtil::signRSA -> error 0x150 during C_Sign"},
      {"C_SignInit=0x70", 23, "CPKCS11TokenUtil::signRSA -> error 0x70 during C_SignInit"},
  };
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.init("vendor.dll"));
  ASSERT_EQ(0, token.Login("1234"));
  CK_OBJECT_HANDLE key = 0;
  ASSERT_EQ(0, token.findPrivateKeyByCertEx(&cert, &key));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail);
    fake.set("fail", c.fail);
    unsigned char sig[256];
    CK_ULONG len = sizeof sig;
    EXPECT_EQ(c.code, token.signRSA(key, reinterpret_cast<const unsigned char*>("abc"), 3, sig, &len));
    EXPECT_STREQ(c.text, token.getErrorText());
    // A failed C_Sign may leave the operation active in the module; start over.
    fake.unset("fail");
    token.Login("1234");
    token.findPrivateKeyByCertEx(&cert, &key);
  }
  unsigned char sig[256];
  CK_ULONG len = sizeof sig;
  EXPECT_EQ(0, token.signRSA(key, reinterpret_cast<const unsigned char*>("abc"), 3, sig, &len));
  EXPECT_EQ(256u, len);
}

// The signature buffer follows the key, and the length the token returns is
// the one used.
TEST(TokenClient, SignatureBufferFollowsTheKey) {
  for (const char* fixture : {"rsa1024", "rsa4096"}) {
    SCOPED_TRACE(fixture);
    FakeToken fake("vendor.dll");
    fake.addIdentity(fixture, 1);
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init("vendor.dll"));
    unsigned char* der = nullptr;
    int len = 0;
    ASSERT_EQ(0, token.signPKCS7("1234", p11test::certificateBase64(fixture).c_str(), "SHA1", "RSA",
                                 reinterpret_cast<const unsigned char*>("data"), 4, &der, &len))
        << token.getErrorText();
    OPENSSL_free(der);
    int bytes = fixtures::get(fixture).bits / 8;
    EXPECT_TRUE(contains(fake.calls(), "C_Sign len=")) << "no signature";
    std::string expected = "buffer=" + std::to_string(bytes);
    EXPECT_TRUE(contains(fake.calls(), expected)) << expected;
    EXPECT_TRUE(contains(fake.calls(), "C_SignInit mech=0x6"));
  }
}

// signPKCS7 passes the login and search failures on, and leaves no result.
TEST(TokenClient, SignPkcs7Failures) {
  struct Case {
    const char* setting;
    const char* value;
    int code;
  } cases[] = {
      {"locked", "1", 52},
      {"tokens", "0", 55},
      {"fail", "C_Sign=0xA4", 52},
      {"fail", "C_FindObjectsInit=0x5", 23},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + "=" + c.value);
    FakeToken fake("vendor.dll");
    fake.addIdentity("user", 1);
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init("vendor.dll"));
    fake.set(c.setting, c.value);
    unsigned char* der = nullptr;
    int len = -1;
    EXPECT_EQ(c.code, token.signPKCS7("1234", p11test::certificateBase64("user").c_str(), "sha256", "RSA",
                                      reinterpret_cast<const unsigned char*>("data"), 4, &der, &len));
    EXPECT_EQ(nullptr, der);
    EXPECT_EQ(0, len);
  }
}
