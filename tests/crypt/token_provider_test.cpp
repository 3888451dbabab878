// The token provider against SoftHSM2, reached through the initialised-only
// test module: import from the token, PINs set and checked, the PIN kept for
// the token key, the provider's own prompt (scripted user), and signatures
// that OpenSSL verifies.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "TestRoot.h"
#include "TokenHarness.h"
#include "platform/crypt.h"
#include "platform/kernel.h"
#include "platform/ui.h"
#include "platform/user.h"

using namespace platform::user;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr const char* kPin = "2468";

std::string q(const std::string& s) { return "'" + s + "'"; }

std::vector<BYTE> keyProvInfo(PCCERT_CONTEXT c) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) return {};
  std::vector<BYTE> buf(n);
  CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n);
  return buf;
}

std::string simpleName(PCCERT_CONTEXT c) {
  char buf[256] = {};
  CertGetNameStringA(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buf, sizeof buf);
  return buf;
}

struct Acquired {
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  BOOL ok = FALSE;
  Acquired(PCCERT_CONTEXT c, DWORD flags) {
    ok = CryptAcquireCertificatePrivateKey(c, flags, nullptr, &prov, &spec, &callerFree);
  }
  ~Acquired() {
    if (ok && callerFree) CryptReleaseContext(prov, 0);
  }
};

// Signs `data` with the key through a message; the message, or empty with
// *error set.
std::vector<BYTE> signWith(PCCERT_CONTEXT c, HCRYPTPROV prov, DWORD spec, const std::string& data, DWORD* error) {
  CMSG_SIGNER_ENCODE_INFO si{};
  si.cbSize = sizeof si;
  si.pCertInfo = c->pCertInfo;
  si.hCryptProv = prov;
  si.dwKeySpec = spec;
  si.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_OIWSEC_sha1);
  CERT_BLOB blob{c->cbCertEncoded, c->pbCertEncoded};
  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.cSigners = 1;
  info.rgSigners = &si;
  info.cCertEncoded = 1;
  info.rgCertEncoded = &blob;
  *error = 0;
  HCRYPTMSG msg = CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &info, nullptr, nullptr);
  if (msg == nullptr) {
    *error = GetLastError();
    return {};
  }
  std::vector<BYTE> out;
  if (!CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), TRUE)) {
    *error = GetLastError();
  } else {
    DWORD n = 0;
    CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &n);
    out.resize(n);
    CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, out.data(), &n);
  }
  CryptMsgClose(msg);
  return out;
}

bool verifies(const std::vector<BYTE>& der, const std::string& data) {
  std::string dir = testsupport::freshDir("verify");
  testsupport::writeFile(dir + "/m.der", std::string(der.begin(), der.end()));
  std::string out;
  int status = testsupport::run("openssl cms -verify -inform DER -binary -in " + q(dir + "/m.der") + " -CAfile " +
                                    q(fixtures::get("ca").certPem) + " -out " + q(dir + "/c") + " 2>&1",
                                &out);
  return status == 0 && testsupport::readFile(dir + "/c") == data;
}

Entry typePin(const std::string& pin) {
  return Entry{PLATFORM_TOKEN_PIN_DLG,
               {type(PLATFORM_TOKEN_PIN_EDIT, std::u16string(pin.begin(), pin.end())), click(IDOK)}};
}

class TokenProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    serial_ = hsm_.initToken("prov", "87654321", kPin);
    hsm_.addIdentity("prov", kPin, "user", "0b");
    hsm_.addIdentity("prov", kPin, "ku_sig", "0c", /*certOnly=*/true);  // no key on the token
    p11test::installForwarder();
  }
  // The token's certificates in a memory store; the first whose simple name
  // is `name`.
  PCCERT_CONTEXT import(const char* pin, const std::string& name) {
    store_ = PlatformTokenImportCertStore(p11test::kForwarder, pin, 0);
    if (store_ == nullptr) return nullptr;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store_, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store_, c))
      if (simpleName(c) == name) return CertDuplicateCertificateContext(c);
    return nullptr;
  }
  int countIn(HCERTSTORE s) {
    int n = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(s, c))
      ++n;
    return n;
  }
  void TearDown() override {
    if (store_ != nullptr) CertCloseStore(store_, 0);
  }
  p11test::SoftHsm hsm_{"prov"};
  std::string serial_;
  HCERTSTORE store_ = nullptr;
};

TEST_F(TokenProvider, ImportBindsCertificatesToTheirKeys) {
  PCCERT_CONTEXT c = import(kPin, "Test User");
  ASSERT_NE(c, nullptr) << GetLastError();
  EXPECT_EQ(countIn(store_), 1);  // with a PIN, only the certificate whose key is on the token
  std::vector<BYTE> buf = keyProvInfo(c);
  ASSERT_FALSE(buf.empty());
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  EXPECT_EQ(std::u16string(info->pwszProvName), u"Platform PKCS#11 Token Provider");
  EXPECT_EQ(info->dwKeySpec, AT_KEYEXCHANGE);
  Acquired a(c, CRYPT_ACQUIRE_SILENT_FLAG);
  ASSERT_TRUE(a.ok);
  char name[128];
  DWORD len = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(a.prov, PP_NAME, reinterpret_cast<BYTE*>(name), &len, 0));
  EXPECT_STREQ(name, PLATFORM_TOKEN_PROV_A);
  len = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(a.prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &len, 0));
  EXPECT_EQ(std::string(name), "p11-" + serial_ + "-0B");
  CertFreeCertificateContext(c);
  CertCloseStore(store_, 0);

  // Without a PIN every certificate with a key id is bound: the key is looked
  // for when it signs.
  store_ = PlatformTokenImportCertStore(p11test::kForwarder, nullptr, 0);
  ASSERT_NE(store_, nullptr);
  EXPECT_EQ(countIn(store_), 2);

  struct Case {
    const char* module;
    const char* pin;
    DWORD error;
  } failures[] = {
      {p11test::kForwarder, "0000", SCARD_W_WRONG_CHV},
      {"nosuchmodule.dll", kPin, ERROR_MOD_NOT_FOUND},
      {"", kPin, static_cast<DWORD>(E_INVALIDARG)},
  };
  for (const Case& k : failures) {
    SCOPED_TRACE(k.module);
    SetLastError(0);
    EXPECT_EQ(PlatformTokenImportCertStore(k.module, k.pin, 0), nullptr);
    EXPECT_EQ(GetLastError(), k.error);
  }
}

TEST_F(TokenProvider, PinSetIsCheckedAndKeptForTheKey) {
  PCCERT_CONTEXT c = import(kPin, "Test User");
  ASSERT_NE(c, nullptr);
  Acquired first(c, 0);
  ASSERT_TRUE(first.ok);
  const BYTE* wrong = reinterpret_cast<const BYTE*>("1357");
  EXPECT_FALSE(CryptSetProvParam(first.prov, PP_KEYEXCHANGE_PIN, wrong, 0));
  EXPECT_EQ(GetLastError(), SCARD_W_WRONG_CHV);
  // The no-PIN marker and a null PIN are not tried on the token: they clear.
  EXPECT_TRUE(
      CryptSetProvParam(first.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(PLATFORM_NO_PIN_MARKER), 0));
  EXPECT_TRUE(CryptSetProvParam(first.prov, PP_SIGNATURE_PIN, nullptr, 0));
  ASSERT_TRUE(CryptSetProvParam(first.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));

  // Another handle on the same key, silent: the kept PIN signs, no prompt.
  ScriptedUser nobody;
  nobody.install();
  {
    Acquired second(c, CRYPT_ACQUIRE_SILENT_FLAG);
    ASSERT_TRUE(second.ok);
    DWORD error = 0;
    std::vector<BYTE> der = signWith(c, second.prov, second.spec, "kept pin", &error);
    ASSERT_EQ(error, 0u);
    EXPECT_TRUE(verifies(der, "kept pin"));
  }
  EXPECT_TRUE(nobody.ok());
  nobody.uninstall();

  // Cleared: a silent handle cannot sign, one that may show its prompt asks.
  ASSERT_TRUE(CryptSetProvParam(first.prov, PP_KEYEXCHANGE_PIN, nullptr, 0));
  {
    Acquired silent(c, CRYPT_ACQUIRE_SILENT_FLAG);
    DWORD error = 0;
    EXPECT_TRUE(signWith(c, silent.prov, silent.spec, "x", &error).empty());
    EXPECT_EQ(error, NTE_SILENT_CONTEXT);
  }
  CertFreeCertificateContext(c);
}

TEST_F(TokenProvider, OwnPromptWhenNoPinWasSet) {
  PCCERT_CONTEXT c = import(nullptr, "Test User");
  ASSERT_NE(c, nullptr);
  Acquired a(c, 0);
  ASSERT_TRUE(a.ok);
  struct Case {
    const char* name;
    std::vector<Entry> user;
    DWORD error;
  } cases[] = {
      {"cancelled", {Entry{PLATFORM_TOKEN_PIN_DLG, {click(IDCANCEL)}}}, SCARD_W_CANCELLED_BY_USER},
      {"closed", {Entry{PLATFORM_TOKEN_PIN_DLG, {close()}}}, SCARD_W_CANCELLED_BY_USER},
      {"wrong PIN", {typePin("8642")}, SCARD_W_WRONG_CHV},
      {"right PIN, Enter",
       {Entry{PLATFORM_TOKEN_PIN_DLG, {type(PLATFORM_TOKEN_PIN_EDIT, u"2468"), key(VK_RETURN)}}},
       0},
      {"kept from the prompt: no second one", {}, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedUser user(k.user);
    user.install();
    DWORD error = 0;
    std::vector<BYTE> der = signWith(c, a.prov, a.spec, "prompt", &error);
    EXPECT_EQ(error, k.error);
    if (k.error == 0) {
      EXPECT_TRUE(verifies(der, "prompt"));
    }
    EXPECT_TRUE(user.ok()) << testing::PrintToString(user.failures());
    for (const DialogView& v : user.seen()) {
      ASSERT_NE(v.control(PLATFORM_TOKEN_PIN_EDIT), nullptr);
      EXPECT_NE(v.control(PLATFORM_TOKEN_PIN_EDIT)->style & ES_PASSWORD, 0u);
      EXPECT_EQ(v.control(PLATFORM_TOKEN_PIN_NAME)->text, u"Test User\r\n(prov)");
    }
    user.uninstall();
  }
}

// A key the token does not hold, and a token that is gone.
TEST_F(TokenProvider, MissingKeyOrToken) {
  PCCERT_CONTEXT noKey = import(nullptr, "KU Sig");
  ASSERT_NE(noKey, nullptr);
  PCCERT_CONTEXT user = nullptr;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store_, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store_, c))
    if (simpleName(c) == "Test User") user = CertDuplicateCertificateContext(c);
  ASSERT_NE(user, nullptr);
  {
    Acquired a(noKey, 0);
    ASSERT_TRUE(a.ok);
    ASSERT_TRUE(CryptSetProvParam(a.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    DWORD error = 0;
    EXPECT_TRUE(signWith(noKey, a.prov, a.spec, "x", &error).empty());
    EXPECT_EQ(error, NTE_NO_KEY);
  }
  ASSERT_EQ(testsupport::run("softhsm2-util --delete-token --token prov >/dev/null 2>&1"), 0);
  {
    Acquired a(user, 0);
    ASSERT_TRUE(a.ok);  // acquiring does not touch the token
    EXPECT_FALSE(CryptSetProvParam(a.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    EXPECT_EQ(GetLastError(), SCARD_E_NO_SMARTCARD);
  }
  CertFreeCertificateContext(noKey);
  CertFreeCertificateContext(user);
}

// An MD5 hash signed by the token key: the same bytes as openssl's signature
// with the key the token was given, least significant byte first.
TEST_F(TokenProvider, Md5HashSignedOnTheToken) {
  PCCERT_CONTEXT c = import(kPin, "Test User");
  ASSERT_NE(c, nullptr);
  Acquired a(c, CRYPT_ACQUIRE_SILENT_FLAG);
  ASSERT_TRUE(a.ok);
  ASSERT_TRUE(CryptSetProvParam(a.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
  for (const std::string& data : {std::string(), std::string("token md5")}) {
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(a.prov, CALG_MD5, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0));
    DWORD n = 0;
    ASSERT_TRUE(CryptSignHashA(hash, a.spec, nullptr, 0, nullptr, &n));
    std::vector<BYTE> sig(n);
    ASSERT_TRUE(CryptSignHashA(hash, a.spec, nullptr, 0, sig.data(), &n)) << std::hex << GetLastError();
    CryptDestroyHash(hash);
    std::string dir = testsupport::freshDir("md5");
    testsupport::writeFile(dir + "/data", data);
    std::string expected;
    ASSERT_EQ(testsupport::run("openssl dgst -md5 -sign " + q(fixtures::get("user").keyPem) + " " + q(dir + "/data"),
                               &expected),
              0);
    EXPECT_EQ(std::string(sig.rbegin(), sig.rend()), expected);
  }
  // Without a PIN a silent handle cannot sign.
  ASSERT_TRUE(CryptSetProvParam(a.prov, PP_KEYEXCHANGE_PIN, nullptr, 0));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(a.prov, CALG_MD5, 0, 0, &hash));
  std::vector<BYTE> sig(256);
  DWORD n = 256;
  EXPECT_FALSE(CryptSignHashA(hash, a.spec, nullptr, 0, sig.data(), &n));
  EXPECT_EQ(GetLastError(), NTE_SILENT_CONTEXT);
  CryptDestroyHash(hash);
  CertFreeCertificateContext(c);
}

}  // namespace
