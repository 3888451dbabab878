// CMyCertContext: the display fields of certificates in the user's "MY" store.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "../crypt/CertMaker.h"
#include "Fixtures.h"
#include "TestRoot.h"
#include "TzScope.h"
#include "platform/crypt.h"
#include "platform/kernel.h"
#include "signlib/MyCertContext.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string binDir() {
  const char* build = std::getenv("BUILD_DIR");
  if (build != nullptr && *build != '\0') return std::string(build) + "/bin";
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

// Puts the fixture's PKCS#12 into "MY"; the key goes to a software container.
void importToMy(const std::string& fixture) {
  std::string data = testsupport::readFile(fixtures::get(fixture).p12);
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), reinterpret_cast<BYTE*>(data.data())};
  HCERTSTORE pfx = PFXImportCertStore(&blob, u"test", CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
  ASSERT_NE(pfx, nullptr);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  ASSERT_NE(my, nullptr);
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(pfx, nullptr);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertFreeCertificateContext(c);
  CertCloseStore(my, 0);
  CertCloseStore(pfx, 0);
}

// Puts only the certificate into "MY", with no key.
void addCertOnlyToMy(const std::string& fixture) {
  std::vector<unsigned char> der = fixtures::get(fixture).der();
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  ASSERT_TRUE(CertAddEncodedCertificateToStore(my, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertCloseStore(my, 0);
}

std::string keyContainerOf(PCCERT_CONTEXT c) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) return "";
  std::vector<BYTE> buf(n);
  CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n);
  std::string out;
  for (const char16_t* w = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data())->pwszContainerName; *w; ++w)
    out.push_back(static_cast<char>(*w));
  return out;
}

using testsupport::TzScope;

const char* taipei() { return fs::exists("/usr/share/zoneinfo/Asia/Taipei") ? "Asia/Taipei" : "CST-8"; }

std::string str(const char* s) { return s != nullptr ? s : "(null)"; }

TEST(CMyCertContext, FieldsOfACertificateInMy) {
  importToMy("user");
  CMyCertContext ctx;
  ASSERT_EQ(ctx.setCertContext(fixtures::get("user").base64().c_str(), true, true), 0) << ctx.getErrorText();
  EXPECT_STREQ(ctx.getErrorText(), "");
  EXPECT_EQ(str(ctx.getSerialNumber()), "1001");
  EXPECT_EQ(str(ctx.getIssuer()), "C=TW,O=Test Bank,CN=Test Root CA");
  EXPECT_EQ(str(ctx.getIssuerCN()), "Test Root CA");
  EXPECT_EQ(str(ctx.getIssuerOrg()), "Test Bank");
  EXPECT_EQ(str(ctx.getSubject()), "C=TW,O=Test Bank,OU=Retail,CN=Test User");
  EXPECT_EQ(str(ctx.getSubjectCN()), "Test User");
  EXPECT_EQ(ctx.getVersion(), 2);
  EXPECT_EQ(ctx.getKeyUsage(), 1);
  EXPECT_EQ(ctx.getTokenType(), 2);
  EXPECT_STREQ(ctx.getProviderName(), "Microsoft Enhanced Cryptographic Provider v1.0");
  EXPECT_EQ(ctx.getPublicKeyLength(), 2048);
  // The store's own context is kept, with the key's properties.
  ASSERT_NE(ctx.getCertContext(), nullptr);
  EXPECT_NE(ctx.getCertContext()->hCertStore, nullptr);
  EXPECT_NE(keyContainerOf(ctx.getCertContext()), "");

  // The certificate text: Base64 of the DER, CR LF after every 76 characters.
  std::string text = str(ctx.getCertificateText()), joined;
  for (size_t pos = 0; pos < text.size();) {
    size_t eol = text.find("\r\n", pos);
    if (eol == std::string::npos) {  // the last, shorter line
      EXPECT_LT(text.size() - pos, 76u);
      joined += text.substr(pos);
      break;
    }
    EXPECT_EQ(eol - pos, 76u);
    joined += text.substr(pos, eol - pos);
    pos = eol + 2;
  }
  EXPECT_EQ(joined.find_first_of("\r\n"), std::string::npos);
  std::vector<unsigned char> der = fixtures::get("user").der();
  std::vector<unsigned char> decoded(joined.size());
  int n = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(joined.data()),
                          static_cast<int>(joined.size()));
  ASSERT_GT(n, 0);
  decoded.resize(der.size());
  EXPECT_EQ(decoded, der);
}

TEST(CMyCertContext, WithoutStoreLookupTheContextIsDuplicated) {
  PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, fixtures::get("ku_sig").der().data(),
                                                  static_cast<DWORD>(fixtures::get("ku_sig").der().size()));
  ASSERT_NE(c, nullptr);
  CMyCertContext ctx;
  ASSERT_EQ(ctx.setCertContext(c, false, false), 0);
  EXPECT_EQ(ctx.getCertContext(), c);
  CertFreeCertificateContext(c);  // the object holds a reference of its own
  EXPECT_EQ(str(ctx.getSubjectCN()), "KU Sig");
  EXPECT_EQ(ctx.getTokenType(), 0);
  EXPECT_STREQ(ctx.getProviderName(), "");
  // Handing the object the context it holds already.
  ASSERT_EQ(ctx.setCertContext(ctx.getCertContext(), false, false), 0);
  EXPECT_EQ(str(ctx.getSubjectCN()), "KU Sig");
  EXPECT_EQ(ctx.IsCertExpired(), 0);
}

TEST(CMyCertContext, FailuresAndTheirTexts) {
  CMyCertContext ctx;
  EXPECT_EQ(ctx.IsCertExpired(), 3);
  EXPECT_STREQ(ctx.getErrorText(), "CMyCertContext::IsCertExpired -> please call setCertContext first");

  EXPECT_EQ(ctx.setCertContext(static_cast<PCCERT_CONTEXT>(nullptr), false, false), 1);
  EXPECT_STREQ(ctx.getErrorText(), "CMyCertContext::setCertContext -> parameter error");
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"AAAA", "CMyCertContext::setCertContext -> error 8009310b durning CertCreateCertificateContext"},
      {"", "CMyCertContext::setCertContext -> error 80093102 durning CertCreateCertificateContext"},
      {"MIIB", "CMyCertContext::setCertContext -> error 80093102 durning CertCreateCertificateContext"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(ctx.setCertContext(k.text, false, false), 3);
    EXPECT_STREQ(ctx.getErrorText(), k.message);
  }
  // A certificate that "MY" does not hold.
  EXPECT_EQ(ctx.setCertContext(fixtures::get("ku_enc").base64().c_str(), false, true), 23);
  EXPECT_STREQ(ctx.getErrorText(),
               "CMyCertContext::setCertContext -> error 0x80092004 durning CertFindCertificateInStore");
  EXPECT_EQ(ctx.getCertContext(), nullptr);
  EXPECT_EQ(ctx.setSerialNumber(), 3);
  EXPECT_STREQ(ctx.getErrorText(), "CMyCertContext::setSerialNumber -> please call setCertContext first");

  // A success leaves the last failure's text in place.
  ASSERT_EQ(ctx.setCertContext(fixtures::get("ku_enc").base64().c_str(), false, false), 0);
  EXPECT_STREQ(ctx.getErrorText(), "CMyCertContext::setSerialNumber -> please call setCertContext first");
}

TEST(CMyCertContext, SerialNumbers) {
  struct Case {
    const char* fixture;
    const char* serial;
  } cases[] = {
      {"user", "1001"},
      {"serial_01a2", "01A2"},
      {"serial_high", "0080"},
      {"serial20", "7F0102030405060708090A0B0C0D0E0F10111213"},
      {"serial_high20", "00A50102030405060708090A0B0C0D0E0F10111213"},
  };
  CMyCertContext ctx;  // one object for all: each certificate replaces the last
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fixture);
    ASSERT_EQ(ctx.setCertContext(fixtures::get(k.fixture).base64().c_str(), false, false), 0);
    EXPECT_EQ(str(ctx.getSerialNumber()), k.serial);
  }
}

TEST(CMyCertContext, KeyUsageVersionAndKeyLength) {
  struct Case {
    const char* fixture;
    int keyUsage;
    int version;
    int bits;
  } cases[] = {
      {"ku_none", 0, 2, 2048},
      {"ku_sig", 1, 2, 2048},
      {"ku_enc", 2, 2, 2048},
      {"ku_sig_enc", 1, 2, 2048},
      {"ku_enc_data", 2, 2, 2048},
      {"ku_sig_enc_data", 2, 2, 2048},
      {"ku_sig_enc_agree", 2, 2, 2048},
      {"ku_nonrep", 0, 2, 2048},
      {"user", 1, 2, 2048},
      {"v1", 0, 0, 2048},
      {"rsa1024", 1, 2, 1024},
      {"rsa3072", 1, 2, 3072},
      {"rsa4096", 1, 2, 4096},
      {"ec", 1, 2, 256},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fixture);
    CMyCertContext ctx;
    ASSERT_EQ(ctx.setCertContext(fixtures::get(k.fixture).base64().c_str(), false, false), 0);
    EXPECT_EQ(ctx.getKeyUsage(), k.keyUsage);
    EXPECT_EQ(ctx.getVersion(), k.version);
    EXPECT_EQ(ctx.getPublicKeyLength(), k.bits);
  }
}

TEST(CMyCertContext, DatesInLocalTime) {
  struct Case {
    const char* tz;
    const char* fixture;
    const char* notBefore;
    const char* notAfter;
  } cases[] = {
      {"UTC", "utc_1600", "20240301160000", "20340301160000"},
      {taipei(), "utc_1600", "20240302000000", "20340302000000"},
      {"UTC", "utc_0030", "20240102003000", "20340102160000"},
      {taipei(), "utc_0030", "20240102083000", "20340103000000"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.tz) + " " + k.fixture);
    TzScope tz(k.tz);
    CMyCertContext ctx;
    ASSERT_EQ(ctx.setCertContext(fixtures::get(k.fixture).base64().c_str(), false, false), 0);
    EXPECT_EQ(str(ctx.getNotBefore()), k.notBefore);
    EXPECT_EQ(str(ctx.getNotAfter()), k.notAfter);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ctx.getNotBeforeLocal(), &st));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    EXPECT_STREQ(buf, k.notBefore);
  }
}

TEST(CMyCertContext, Expiry) {
  struct Case {
    const char* fixture;
    int expected;
  } cases[] = {{"user", 0}, {"expired", 8}, {"notyet", 8}, {"utc_0030", 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fixture);
    CMyCertContext ctx;
    ASSERT_EQ(ctx.setCertContext(fixtures::get(k.fixture).base64().c_str(), false, false), 0);
    EXPECT_EQ(ctx.IsCertExpired(), k.expected);
  }
}

TEST(CMyCertContext, IssuerOrganisation) {
  using certmaker::Attr;
  struct Case {
    std::vector<Attr> name;
    const char* org;  // null: none
  } cases[] = {
      {{{"C", "TW"}, {"O", "Bank"}, {"O", "Second"}, {"CN", "X"}}, "Bank"},
      {{{"C", "TW"}, {"OU", "Only Unit"}, {"CN", "X"}}, nullptr},
      // "O=" inside a quoted value is not the organisation.
      {{{"CN", "CO=X"}, {"O", "Real"}}, "Real"},
      {{{"CN", "Solo"}}, nullptr},
  };
  for (const Case& k : cases) {
    CMyCertContext ctx;
    PCCERT_CONTEXT c = nullptr;
    std::vector<unsigned char> der = certmaker::selfSigned(k.name);
    c = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_EQ(ctx.setCertContext(c, false, false), 0);
    CertFreeCertificateContext(c);
    SCOPED_TRACE(str(ctx.getIssuer()));
    if (k.org == nullptr) {
      EXPECT_EQ(ctx.getIssuerOrg(), nullptr);
    } else {
      EXPECT_EQ(str(ctx.getIssuerOrg()), k.org);
    }
  }
}

TEST(CMyCertContext, NameFormConversions) {
  CMyCertContext ctx;
  struct Case {
    const char* x500;
    const char* own;
  } toOwn[] = {
      {"CN=A, O=B, C=TW", "CN=A,O=B,C=TW"},
      {"CN=A", "CN=A"},
      {"", ""},
      {"CN=\"Lee, Ann\", O=B", "CN=\"Lee,Ann\",O=B"},
  };
  for (const Case& k : toOwn) {
    int len = 0;
    ASSERT_EQ(ctx.covX500ToMyNameType(k.x500, static_cast<int>(std::strlen(k.x500)), nullptr, &len), 0);
    EXPECT_EQ(len, static_cast<int>(std::strlen(k.own)) + 1);
    std::vector<char> buf(static_cast<size_t>(len));
    ASSERT_EQ(ctx.covX500ToMyNameType(k.x500, static_cast<int>(std::strlen(k.x500)), buf.data(), &len), 0);
    EXPECT_STREQ(buf.data(), k.own);
  }
  struct Back {
    const char* own;
    const char* x500;
    DWORD type;
  } toX500[] = {
      {"CN=A,O=B,C=TW", "CN=A, O=B, C=TW", 0x24000003},
      {"CN=A, O=B", "CN=A, O=B", 0x24000003},
      {"CN=A;O=B", "CN=A; O=B", 0x60000003},
      {"CN=A,B;O=C", "CN=A,B; O=C", 0x60000003},
  };
  for (const Back& k : toX500) {
    int len = 0;
    DWORD type = 0;
    ASSERT_EQ(ctx.covMyNameTypeToX500(k.own, static_cast<int>(std::strlen(k.own)), nullptr, &len, &type), 0);
    std::vector<char> buf(static_cast<size_t>(len) + 1, 'x');
    ASSERT_EQ(ctx.covMyNameTypeToX500(k.own, static_cast<int>(std::strlen(k.own)), buf.data(), &len, &type), 0);
    EXPECT_STREQ(buf.data(), k.x500);
    EXPECT_EQ(type, k.type);
  }
  // Short destinations: 1 and the exact texts (each ends with a blank).
  char small[4];
  int len = sizeof small;
  EXPECT_EQ(ctx.covX500ToMyNameType("CN=A, O=B", 9, small, &len), 1);
  EXPECT_STREQ(ctx.getErrorText(),
               "CMyCertContext::covX500ToMyNameType -> destination buffer size 4 < 9 is not enough ");
  DWORD type = 0;
  EXPECT_EQ(ctx.covMyNameTypeToX500("CN=A,O=B", 8, small, &len, &type), 1);
  EXPECT_STREQ(ctx.getErrorText(),
               "CMyCertContext::covMyNameTypeToX500 -> destination buffer size 4 < 10 is not enough ");
  // Only the given length of the text counts.
  len = 16;
  char out[16];
  ASSERT_EQ(ctx.covX500ToMyNameType("CN=A, O=B, C=TW", 9, out, &len), 0);
  EXPECT_STREQ(out, "CN=A,O=B");
  // The issuer criterion of the store client, round trip through the certificate's own text.
  ASSERT_EQ(ctx.setCertContext(fixtures::get("user").base64().c_str(), false, false), 0);
  len = 0;
  ASSERT_EQ(ctx.covMyNameTypeToX500(ctx.getIssuer(), -1, nullptr, &len, &type), 0);
  std::vector<char> x500(static_cast<size_t>(len));
  ASSERT_EQ(ctx.covMyNameTypeToX500(ctx.getIssuer(), -1, x500.data(), &len, &type), 0);
  std::vector<char> rendered(256);
  CertNameToStrA(kEnc, &ctx.getCertContext()->pCertInfo->Issuer, type, rendered.data(), 256);
  EXPECT_STREQ(x500.data(), rendered.data());
}

TEST(CMyCertContext, TokenTypeFromTheKeyProvider) {
  // A container imported under another provider name.
  std::string out;
  ASSERT_EQ(testsupport::run(binDir() + "/certstore import --store MY --pfx '" + fixtures::get("rsa1024").p12 +
                                 "' --password test --provider 'Some Token CSP'",
                             &out),
            0)
      << out;
  CMyCertContext ctx;
  ASSERT_EQ(ctx.setCertContext(fixtures::get("rsa1024").base64().c_str(), true, false), 0) << ctx.getErrorText();
  EXPECT_EQ(ctx.getTokenType(), 1);
  EXPECT_STREQ(ctx.getProviderName(), "Some Token CSP");
  EXPECT_STREQ(ctx.getErrorText(), "");

  // The default software provider.
  importToMy("rsa3072");
  ASSERT_EQ(ctx.setCertContext(fixtures::get("rsa3072").base64().c_str(), true, true), 0);
  EXPECT_EQ(ctx.getTokenType(), 2);
  EXPECT_STREQ(ctx.getProviderName(), "Microsoft Enhanced Cryptographic Provider v1.0");

  // Read without the provider: the fields of the previous certificate do not linger.
  ASSERT_EQ(ctx.setCertContext(fixtures::get("rsa3072").base64().c_str(), false, true), 0);
  EXPECT_EQ(ctx.getTokenType(), 0);
  EXPECT_STREQ(ctx.getProviderName(), "");

  // No key at all, and a key file that has gone: type 1, the text written, result 0.
  addCertOnlyToMy("ku_sig_enc");
  ASSERT_EQ(ctx.setCertContext(fixtures::get("ku_sig_enc").base64().c_str(), true, true), 0);
  EXPECT_EQ(ctx.getTokenType(), 1);
  EXPECT_STREQ(ctx.getErrorText(),
               "CMyCertContext::setTokenType -> error 0x8009200b during CryptAcquireCertificatePrivateKey");
  EXPECT_EQ(str(ctx.getSubjectCN()), "KU Sig Enc");

  importToMy("ku_enc_data");
  CMyCertContext probe;
  ASSERT_EQ(probe.setCertContext(fixtures::get("ku_enc_data").base64().c_str(), false, true), 0);
  std::string keyFile = testsupport::platformRoot() + "/keys/" + keyContainerOf(probe.getCertContext()) + ".key";
  ASSERT_TRUE(fs::exists(keyFile));
  fs::remove(keyFile);
  ASSERT_EQ(ctx.setCertContext(fixtures::get("ku_enc_data").base64().c_str(), true, true), 0);
  EXPECT_EQ(ctx.getTokenType(), 1);
  EXPECT_STREQ(ctx.getErrorText(),
               "CMyCertContext::setTokenType -> error 0x80090016 during CryptAcquireCertificatePrivateKey");
}

}  // namespace
