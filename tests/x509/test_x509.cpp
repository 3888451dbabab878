// CX509Certificate against `openssl x509` on the fixture catalogue, PKCS#7
// bundles, and inputs that are not what they should be.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "TestRoot.h"
#include "signlib/Base64.h"
#include "signlib/X509Certificate.h"

namespace {

std::string hex(const unsigned char* p, int n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string oneLineBase64(const std::vector<unsigned char>& der) {
  std::string out(4 * ((der.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), der.data(), static_cast<int>(der.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::vector<unsigned char> fileBytes(const std::string& path) {
  std::string s = testsupport::readFile(path);
  return std::vector<unsigned char>(s.begin(), s.end());
}

// `openssl x509 -in FILE -noout ARGS`, trimmed of its final line end.
std::string opensslX509(const std::string& pem, const std::string& args) {
  std::string out;
  EXPECT_EQ(testsupport::run("openssl x509 -in " + pem + " -noout " + args, &out), 0) << args;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// openssl's multi-line name block ("subject=\n    C=TW\n    O=...") in the form
// the reader keeps: one RDN a line, each ended by "\n", no indent.
std::string nameLines(const std::string& block) {
  std::string lines;
  size_t pos = block.find('\n');
  while (pos != std::string::npos) {
    size_t next = block.find('\n', pos + 1);
    std::string line = block.substr(pos + 1, next == std::string::npos ? next : next - pos - 1);
    if (line.rfind("    ", 0) == 0) line = line.substr(4);
    lines += line + "\n";
    pos = next;
  }
  return lines;
}

std::string opensslNameLines(const std::string& pem, const char* which) {
  return nameLines(opensslX509(pem, std::string("-") + which + " -nameopt sep_multiline,utf8"));
}

// "Jan  2 00:30:00 2024 GMT" as "20240102003000".
std::string compactDate(const std::string& v) {
  static const std::map<std::string, int> months = {{"Jan", 1}, {"Feb", 2},  {"Mar", 3},  {"Apr", 4},
                                                    {"May", 5}, {"Jun", 6},  {"Jul", 7},  {"Aug", 8},
                                                    {"Sep", 9}, {"Oct", 10}, {"Nov", 11}, {"Dec", 12}};
  char mon[4] = {};
  int day = 0, h = 0, m = 0, s = 0, y = 0;
  EXPECT_EQ(sscanf(v.c_str(), "%3s %d %d:%d:%d %d", mon, &day, &h, &m, &s, &y), 6) << v;
  auto month = months.find(mon);
  if (month == months.end()) return "<unreadable " + v + ">";
  char buf[32];
  snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", y, month->second, day, h, m, s);
  return buf;
}

// The one-line answers of `openssl x509` (serial, Modulus, notBefore,
// notAfter) by key, from one run.
std::map<std::string, std::string> opensslFields(const std::string& pem) {
  std::string out = opensslX509(pem, "-serial -modulus -startdate -enddate");
  std::map<std::string, std::string> fields;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    pos = end + 1;
  }
  return fields;
}

std::string opensslModulus(const std::string& pem) { return opensslFields(pem)["Modulus"]; }

// ---- certificates made by the tests themselves ----

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;
using P7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;

KeyPtr fixtureKey(const std::string& name) {
  std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> bio(BIO_new_file(fixtures::get(name).keyPem.c_str(), "r"));
  return KeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr fixtureCert(const std::string& name) {
  std::vector<unsigned char> der = fixtures::get(name).der();
  const unsigned char* p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// A name of (field, value) pairs, values as UTF8String of any length.
NamePtr makeName(const std::vector<std::pair<std::string, std::string>>& attrs) {
  NamePtr name(X509_NAME_new());
  for (const auto& [field, value] : attrs)
    X509_NAME_add_entry_by_txt(name.get(), field.c_str(), V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size()), -1,
                               0);
  return name;
}

X509Ptr makeCert(X509_NAME* subject, X509_NAME* issuer, EVP_PKEY* pub, EVP_PKEY* signer, long serial) {
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_set_subject_name(cert.get(), subject);
  X509_set_issuer_name(cert.get(), issuer);
  ASN1_TIME_set_string_X509(X509_getm_notBefore(cert.get()), "20240101000000Z");
  ASN1_TIME_set_string_X509(X509_getm_notAfter(cert.get()), "20440101000000Z");
  X509_set_pubkey(cert.get(), pub);
  EXPECT_GT(X509_sign(cert.get(), signer, EVP_sha256()), 0);
  return cert;
}

std::vector<unsigned char> derOf(X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  std::vector<unsigned char> v(der, der + n);
  OPENSSL_free(der);
  return v;
}

std::string writePem(X509* cert, const std::string& name) {
  std::string path = testsupport::freshDir(name) + "/cert.pem";
  std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> bio(BIO_new_file(path.c_str(), "w"));
  PEM_write_bio_X509(bio.get(), cert);
  return path;
}

// Base64 (one line) of a certs-only SignedData holding the given certificates.
std::string bundleText(const std::vector<X509*>& certs) {
  P7Ptr p7(PKCS7_new());
  PKCS7_set_type(p7.get(), NID_pkcs7_signed);
  PKCS7_content_new(p7.get(), NID_pkcs7_data);
  for (X509* c : certs) PKCS7_add_certificate(p7.get(), c);
  unsigned char* der = nullptr;
  int n = i2d_PKCS7(p7.get(), &der);
  std::vector<unsigned char> v(der, der + n);
  OPENSSL_free(der);
  return oneLineBase64(v);
}

// ---- the fixture catalogue itself ----

// Every fixture's key file and PKCS#12 hold the key of its certificate, and
// the certificate verifies under its issuer's key: other suites import and
// sign with these.
TEST(FixtureCatalogue, KeysMatchCertificatesAndIssuersSignThem) {
  for (const std::string& name : fixtures::names()) {
    SCOPED_TRACE(name);
    const fixtures::Fixture& f = fixtures::get(name);
    X509Ptr cert = fixtureCert(name);
    ASSERT_TRUE(cert);
    KeyPtr key = fixtureKey(name);
    ASSERT_TRUE(key);
    EXPECT_EQ(X509_check_private_key(cert.get(), key.get()), 1);

    std::vector<unsigned char> p12Der = fileBytes(f.p12);
    const unsigned char* p = p12Der.data();
    std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>> p12(
        d2i_PKCS12(nullptr, &p, static_cast<long>(p12Der.size())));
    ASSERT_TRUE(p12);
    EVP_PKEY* p12Key = nullptr;
    X509* p12Cert = nullptr;
    ASSERT_EQ(PKCS12_parse(p12.get(), fixtures::kP12Password, &p12Key, &p12Cert, nullptr), 1);
    EXPECT_EQ(X509_cmp(p12Cert, cert.get()), 0);
    EXPECT_EQ(X509_check_private_key(p12Cert, p12Key), 1);
    EVP_PKEY_free(p12Key);
    X509_free(p12Cert);

    X509Ptr issuer = fixtureCert(f.issuer.empty() ? name : f.issuer);
    EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(issuer.get())), 1);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert.get()), X509_get_subject_name(issuer.get())), 0);
  }
}

// ---- fields ----

const char* const kRsaFixtures[] = {
    "ca",        "ca2",         "user",          "ku_none",         "ku_sig",
    "ku_enc",    "ku_sig_enc",  "ku_enc_data",   "ku_sig_enc_data", "ku_sig_enc_agree",
    "ku_nonrep", "expired",     "notyet",        "utc_0030",        "utc_1600",
    "serial20",  "serial_high", "serial_high20", "serial_01a2",     "zh_tw",
    "zh_cn",     "separators",  "multi_ou",      "rsa1024",         "rsa3072",
    "rsa4096",   "v1",
};

TEST(X509Certificate, FieldsAgreeWithOpenSSL) {
  for (const char* name : kRsaFixtures) {
    SCOPED_TRACE(name);
    const fixtures::Fixture& f = fixtures::get(name);
    CX509Certificate cert;
    ASSERT_EQ(cert.LoadX509Cert(f.base64().c_str()), 0) << cert.getErrorText();

    std::map<std::string, std::string> ossl = opensslFields(f.certPem);
    EXPECT_STREQ(cert.getSerialNum(), ossl["serial"].c_str());
    EXPECT_EQ(hex(cert.getModulus(), cert.getModulusLen()), ossl["Modulus"]);
    EXPECT_EQ(cert.getModulusLen(), f.bits / 8);
    EXPECT_EQ(hex(cert.getExponent(), cert.getExponentLen()), "010001");
    EXPECT_EQ(cert.getCertRecord().modulusHex, ossl["Modulus"]);
    EXPECT_STREQ(cert.getSubject(), opensslNameLines(f.certPem, "subject").c_str());
    EXPECT_STREQ(cert.getIssuer(), opensslNameLines(f.certPem, "issuer").c_str());
    EXPECT_STREQ(cert.getNotBefore(), compactDate(ossl["notBefore"]).c_str());
    EXPECT_STREQ(cert.getNotAfter(), compactDate(ossl["notAfter"]).c_str());
    EXPECT_EQ(cert.getBinaryX509CertLen(), static_cast<int>(f.der().size()));
    EXPECT_EQ(
        std::vector<unsigned char>(cert.getBinaryX509Cert(), cert.getBinaryX509Cert() + cert.getBinaryX509CertLen()),
        f.der());
    EXPECT_STREQ(cert.getB64X509Cert(), f.base64().c_str());
  }
}

TEST(X509Certificate, SerialNumbersOfAnyLength) {
  const struct {
    const char* name;
    const char* serial;
  } cases[] = {
      {"serial20", "7F0102030405060708090A0B0C0D0E0F10111213"},
      {"serial_high20", "A50102030405060708090A0B0C0D0E0F10111213"},
      {"serial_high", "80"},
      {"serial_01a2", "01A2"},
      {"user", "1001"},
  };
  for (const auto& c : cases) {
    CX509Certificate cert;
    ASSERT_EQ(cert.LoadX509Cert(fixtures::get(c.name).base64().c_str()), 0) << c.name;
    EXPECT_STREQ(cert.getSerialNum(), c.serial) << c.name;
    EXPECT_EQ(cert.getCertRecord().serialNo, c.serial) << c.name;
  }
}

TEST(X509Certificate, KeyUsageLetterAndText) {
  const struct {
    const char* name;
    char letter;
    const char* text;
  } cases[] = {
      {"ku_none", ' ', "Unknown"},
      {"v1", ' ', "Unknown"},
      {"ku_sig", 'S', "Sign"},
      {"user", 'S', "Sign"},
      {"ku_enc", 'E', "Encrypt"},
      {"ku_enc_data", 'E', "Encrypt"},
      {"ku_sig_enc", 'B', "Sign_Encrypt"},
      {"ku_sig_enc_data", 'B', "Sign_Encrypt"},
      {"ku_sig_enc_agree", 'B', "Sign_Encrypt"},
      {"ku_nonrep", 'U', "Unknown"},
      {"ca", 'U', "Unknown"},
  };
  for (const auto& c : cases) {
    CX509Certificate cert;
    ASSERT_EQ(cert.LoadX509Cert(fixtures::get(c.name).base64().c_str()), 0) << c.name;
    EXPECT_EQ(cert.getKeyUsageFlag(), c.letter) << c.name;
    EXPECT_STREQ(cert.getKeyUsage(), c.text) << c.name;
  }
}

TEST(X509Certificate, SubjectCommonNameLine) {
  const struct {
    const char* name;
    const char* cn;
  } cases[] = {
      {"user", "CN=Test User"},
      {"zh_tw", "CN=\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E"},
      {"separators", "CN=Lee, Ann; Jr."},
      {"multi_ou", "CN=Multi + UID=42"},
  };
  for (const auto& c : cases) {
    CX509Certificate cert;
    ASSERT_EQ(cert.LoadX509Cert(fixtures::get(c.name).base64().c_str()), 0) << c.name;
    EXPECT_STREQ(cert.getSubjectCN(), c.cn) << c.name;
  }
}

// The dates are the certificate's own UTC time, whatever the local zone.
TEST(X509Certificate, ValidityInUtcWhateverTheTimeZone) {
  const char* oldTz = std::getenv("TZ");
  std::string saved = oldTz != nullptr ? oldTz : "";
  setenv("TZ", "Asia/Taipei", 1);
  tzset();
  const struct {
    const char* name;
    const char* notBefore;
    const char* notAfter;
  } cases[] = {
      {"utc_0030", "20240102003000", "20340102160000"},
      {"utc_1600", "20240301160000", "20340301160000"},
  };
  for (const auto& c : cases) {
    CX509Certificate cert;
    ASSERT_EQ(cert.LoadX509Cert(fixtures::get(c.name).base64().c_str()), 0) << c.name;
    EXPECT_STREQ(cert.getNotBefore(), c.notBefore) << c.name;
    EXPECT_STREQ(cert.getNotAfter(), c.notAfter) << c.name;
    EXPECT_EQ(cert.getCertRecord().notBefore[3], c.notBefore[8] == '0' ? 0 : 16) << c.name;
  }
  if (oldTz != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(X509Certificate, ExpiredFlag) {
  const struct {
    const char* name;
    int expired;
  } cases[] = {{"expired", 1}, {"notyet", 0}, {"user", 0}};
  for (const auto& c : cases) {
    CX509Certificate cert;
    ASSERT_EQ(cert.LoadX509Cert(fixtures::get(c.name).base64().c_str()), 0) << c.name;
    EXPECT_EQ(cert.isExpired(), c.expired) << c.name;
  }
}

TEST(X509Certificate, NonRsaKeyLeavesModulusEmpty) {
  const fixtures::Fixture& f = fixtures::get("ec");
  CX509Certificate cert;
  ASSERT_EQ(cert.LoadX509Cert(f.base64().c_str()), 0) << cert.getErrorText();
  EXPECT_EQ(cert.getModulus(), nullptr);
  EXPECT_EQ(cert.getModulusLen(), 0);
  EXPECT_EQ(cert.getExponent(), nullptr);
  EXPECT_EQ(cert.getExponentLen(), 0);
  EXPECT_TRUE(cert.getCertRecord().modulusHex.empty());
  EXPECT_STREQ(cert.getSerialNum(), "1015");
  EXPECT_STREQ(cert.getSubjectCN(), "CN=EC User");
  EXPECT_STREQ(cert.getKeyUsage(), "Sign");
}

// An RSA key whose modulus is 0 (found by fuzzing): the modulus text and its
// bytes must still agree, as every user of the record assumes.
TEST(X509Certificate, ZeroModulusTextAndBytesAgree) {
  std::string der =
      testsupport::readFile(std::string(std::getenv("SOURCE_DIR")) + "/fuzz/seeds/fuzz_x509/x509-zero-modulus.der");
  ASSERT_FALSE(der.empty());
  CX509Certificate cert;
  int code = cert.LoadCertificate(reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
  ASSERT_EQ(code, 0) << cert.getErrorText();
  EXPECT_EQ(cert.getCertRecord().modulusHex, "00");
  ASSERT_EQ(cert.getModulusLen(), 1);
  ASSERT_NE(cert.getModulus(), nullptr);
  EXPECT_EQ(cert.getModulus()[0], 0);
  EXPECT_EQ(cert.getCertRecord().exponentHex.size(), 2 * static_cast<size_t>(cert.getExponentLen()));
}

TEST(X509Certificate, LoadFromDerAndFromLineBrokenText) {
  const fixtures::Fixture& f = fixtures::get("user");
  std::vector<unsigned char> der = f.der();
  CX509Certificate cert;
  ASSERT_EQ(cert.LoadCertificate(der.data(), static_cast<int>(der.size())), 0) << cert.getErrorText();
  EXPECT_STREQ(cert.getSerialNum(), "1001");
  EXPECT_EQ(
      std::vector<unsigned char>(cert.getBinaryX509Cert(), cert.getBinaryX509Cert() + cert.getBinaryX509CertLen()),
      der);
  // The kept text is the library's own Base64, CR LF lines.
  char* expected = base64Encode(der.data(), static_cast<int>(der.size()));
  EXPECT_STREQ(cert.getB64X509Cert(), expected);
  EXPECT_NE(std::string(cert.getB64X509Cert()).find("\r\n"), std::string::npos);
  std::free(expected);

  // The PEM body with its LF lines (armour removed) reads the same.
  std::string pem = f.pem();
  size_t begin = pem.find('\n') + 1;
  size_t end = pem.find("-----END");
  CX509Certificate fromText;
  ASSERT_EQ(fromText.LoadX509Cert(pem.substr(begin, end - begin).c_str()), 0) << fromText.getErrorText();
  EXPECT_STREQ(fromText.getSerialNum(), "1001");
  EXPECT_EQ(fromText.getBinaryX509CertLen(), static_cast<int>(der.size()));
}

// ---- PKCS#7 bundles ----

TEST(X509Certificate, BundleGivesTheUserCertificateInEitherOrder) {
  std::vector<unsigned char> userDer = fixtures::get("user").der();
  X509Ptr user = fixtureCert("user");
  unsigned char* issuerDer = nullptr;
  int issuerLen = i2d_X509_NAME(X509_get_issuer_name(user.get()), &issuerDer);
  unsigned char* subjectDer = nullptr;
  int subjectLen = i2d_X509_NAME(X509_get_subject_name(user.get()), &subjectDer);

  std::vector<std::string> texts;
  for (const char* b : {"user_ca", "ca_user", "single"}) texts.push_back(testsupport::readFile(fixtures::bundle(b)));
  texts.push_back(oneLineBase64(fileBytes(fixtures::bundleDer("ca_user"))));
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 40));
    CX509Certificate cert;
    ASSERT_EQ(cert.loadPKCS7Cert(text.c_str()), 0) << cert.getErrorText();
    EXPECT_STREQ(cert.getSerialNum(), "1001");
    EXPECT_STREQ(cert.getSubjectCN(), "CN=Test User");
    EXPECT_EQ(
        std::vector<unsigned char>(cert.getBinaryX509Cert(), cert.getBinaryX509Cert() + cert.getBinaryX509CertLen()),
        userDer);
    EXPECT_EQ(hex(cert.getIssuerNameDER(), cert.getIssuerNameDERLen()), hex(issuerDer, issuerLen));
    EXPECT_EQ(hex(cert.getSubjectNameDER(), cert.getSubjectNameDERLen()), hex(subjectDer, subjectLen));
    EXPECT_EQ(hex(cert.getSerialBytes(), cert.getSerialBytesLen()), "1001");
  }
  OPENSSL_free(issuerDer);
  OPENSSL_free(subjectDer);
}

TEST(X509Certificate, BundlesWithoutAUsableSigner) {
  X509Ptr ca = fixtureCert("ca"), ca2 = fixtureCert("ca2");
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {testsupport::readFile(fixtures::bundle("unrelated")),
       "loadB64CertData -> no matched CAert with Subject commonName(Test Root CA)!"},
      // Two roots: each issued itself, so no certificate issued none.
      {bundleText({ca.get(), ca2.get()}), "loadCertB64 -> The Cert from PKCS7 format error!"},
      // Not a bundle at all but a certificate.
      {fixtures::get("user").base64(), "loadB64CertData -> sz2pkcs7 failed! rtn:0x[11]"},
      // A SignedData without certificates.
      {bundleText({}), "loadB64CertData -> sz2pkcs7 failed! rtn:0x[11]"},
      {"garbage!", "loadB64CertData -> sz2pkcs7 failed! rtn:0x[11]"},
  };
  for (const auto& c : cases) {
    CX509Certificate cert;
    ASSERT_EQ(cert.LoadX509Cert(fixtures::get("ku_sig").base64().c_str()), 0);
    EXPECT_EQ(cert.loadPKCS7Cert(c.text.c_str()), rc::INPUT_FORMAT_ERROR) << c.message;
    EXPECT_STREQ(cert.getErrorText(), c.message);
    // The certificate loaded before is gone.
    EXPECT_EQ(cert.getSerialNum(), nullptr);
    EXPECT_EQ(cert.getBinaryX509Cert(), nullptr);
  }
}

TEST(X509Certificate, Sz2pkcs7ReadsBundlesAndRefusesOtherTypes) {
  CX509Certificate cert;
  std::string text = testsupport::readFile(fixtures::bundle("user_ca"));
  int code = -1;
  PKCS7* p7 = cert.sz2pkcs7(text.c_str(), static_cast<int>(text.size()), &code);
  ASSERT_NE(p7, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(sk_X509_num(p7->d.sign->cert), 2);
  PKCS7_free(p7);

  // A data-type PKCS#7 parses but is no bundle.
  P7Ptr data(PKCS7_new());
  PKCS7_set_type(data.get(), NID_pkcs7_data);
  unsigned char* der = nullptr;
  int n = i2d_PKCS7(data.get(), &der);
  std::string dataText = oneLineBase64(std::vector<unsigned char>(der, der + n));
  OPENSSL_free(der);
  code = -1;
  EXPECT_EQ(cert.sz2pkcs7(dataText.c_str(), static_cast<int>(dataText.size()), &code), nullptr);
  EXPECT_EQ(code, rc::INPUT_FORMAT_ERROR);

  code = -1;
  EXPECT_EQ(cert.sz2pkcs7(nullptr, 0, &code), nullptr);
  EXPECT_EQ(code, rc::WRONG_PARAMETER);
}

// ---- bad input ----

TEST(X509Certificate, RefusesBadInput) {
  std::vector<unsigned char> der = fixtures::get("user").der();
  std::vector<unsigned char> half(der.begin(), der.begin() + der.size() / 2);
  std::string halfText = oneLineBase64(half);
  std::vector<unsigned char> noise(300);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<unsigned char>(i * 37 + 11);

  struct Case {
    const char* what;
    int (*call)(CX509Certificate&, const void*);
    const void* arg;
    int code;
    const char* message;  // nullptr: not checked
  };
  auto loadText = [](CX509Certificate& c, const void* a) { return c.LoadX509Cert(static_cast<const char*>(a)); };
  auto loadPkcs7 = [](CX509Certificate& c, const void* a) { return c.loadPKCS7Cert(static_cast<const char*>(a)); };
  const Case cases[] = {
      {"null text", loadText, nullptr, rc::WRONG_PARAMETER, nullptr},
      {"empty text", loadText, "", rc::INPUT_FORMAT_ERROR, "LoadBinaryX509Cert() error, return code:0x[11]."},
      {"no Base64", loadText, "!!!! ????", rc::INPUT_FORMAT_ERROR, nullptr},
      {"half a certificate", loadText, halfText.c_str(), rc::INPUT_FORMAT_ERROR,
       "LoadBinaryX509Cert() error, return code:0x[11]."},
      {"null bundle", loadPkcs7, nullptr, rc::WRONG_PARAMETER,
       "loadPKCS7Cert -> loadPKCS7Cert can't be null or empty string"},
      {"empty bundle", loadPkcs7, "", rc::WRONG_PARAMETER,
       "loadPKCS7Cert -> loadPKCS7Cert can't be null or empty string"},
  };
  for (const Case& c : cases) {
    CX509Certificate cert;
    ASSERT_EQ(cert.LoadCertificate(der.data(), static_cast<int>(der.size())), 0);
    EXPECT_EQ(c.call(cert, c.arg), c.code) << c.what;
    if (c.message != nullptr) {
      EXPECT_STREQ(cert.getErrorText(), c.message) << c.what;
    }
    EXPECT_EQ(cert.getSerialNum(), nullptr) << c.what;
    EXPECT_EQ(cert.getBinaryX509Cert(), nullptr) << c.what;
  }

  CX509Certificate cert;
  EXPECT_EQ(cert.LoadCertificate(nullptr, 10), rc::WRONG_PARAMETER);
  EXPECT_STREQ(cert.getErrorText(), "LoadCertificate() error, puchBinaryCert is NULL.");
  EXPECT_EQ(cert.LoadCertificate(der.data(), 0), rc::WRONG_PARAMETER);
  EXPECT_STREQ(cert.getErrorText(), "LoadCertificate() error, BinaryCertLen:0x[0] is invalid.");
  EXPECT_EQ(cert.LoadCertificate(noise.data(), static_cast<int>(noise.size())), rc::INPUT_FORMAT_ERROR);
  EXPECT_EQ(cert.LoadBinaryX509Cert(noise.data(), static_cast<int>(noise.size())), rc::INPUT_FORMAT_ERROR);
  EXPECT_STREQ(cert.getErrorText(), "ParsingCertificate() error, return code:0x[23F1].");
  EXPECT_EQ(cert.ParsingCertificate(nullptr, 5), CX509Certificate::PARSE_NULL_INPUT);
  EXPECT_EQ(cert.LoadBinaryX509Cert(half.data(), static_cast<int>(half.size())), rc::INPUT_FORMAT_ERROR);
}

// ---- sizes beyond the old fixed buffers ----

TEST(X509Certificate, LongNamesAreKeptWhole) {
  KeyPtr key = fixtureKey("user");
  const std::string longOrg(200, 'O'), longUnit(200, 'U'), longCN(200, 'C');
  NamePtr name = makeName({{"C", "TW"}, {"O", longOrg}, {"OU", longUnit}, {"CN", longCN}});
  X509Ptr self = makeCert(name.get(), name.get(), key.get(), key.get(), 77);
  std::string pem = writePem(self.get(), "longnames");
  std::vector<unsigned char> der = derOf(self.get());

  CX509Certificate cert;
  ASSERT_EQ(cert.LoadCertificate(der.data(), static_cast<int>(der.size())), 0) << cert.getErrorText();
  std::string expected = "C=TW\nO=" + longOrg + "\nOU=" + longUnit + "\nCN=" + longCN + "\n";
  EXPECT_STREQ(cert.getSubject(), expected.c_str());
  EXPECT_STREQ(cert.getIssuer(), expected.c_str());
  EXPECT_STREQ(cert.getSubject(), opensslNameLines(pem, "subject").c_str());
  // A common-name line longer than 128 characters is not kept.
  EXPECT_STREQ(cert.getSubjectCN(), "");

  // 128 characters exactly ("CN=" and 125) are kept; 129 are not.
  for (size_t valueLen : {125u, 126u}) {
    NamePtr n = makeName({{"C", "TW"}, {"CN", std::string(valueLen, 'x')}});
    X509Ptr c = makeCert(n.get(), n.get(), key.get(), key.get(), 78);
    std::vector<unsigned char> d = derOf(c.get());
    CX509Certificate r;
    ASSERT_EQ(r.LoadCertificate(d.data(), static_cast<int>(d.size())), 0);
    EXPECT_EQ(std::string(r.getSubjectCN()), valueLen == 125 ? "CN=" + std::string(125, 'x') : std::string())
        << valueLen;
  }
}

TEST(X509Certificate, LargeModulusAndExponentAreReadWhole) {
  // A public key alone (no private half is needed to certify it): a
  // 12288-bit modulus and a 100-byte exponent, both beyond the sizes
  // ("2048 and 128 hexadecimal digits") the reader once kept.
  std::vector<unsigned char> nBytes(1536), eBytes(100);
  for (size_t i = 0; i < nBytes.size(); ++i) nBytes[i] = static_cast<unsigned char>(i * 7 + 3);
  for (size_t i = 0; i < eBytes.size(); ++i) eBytes[i] = static_cast<unsigned char>(i * 13 + 5);
  nBytes[0] = 0xC1;
  nBytes.back() |= 1;
  eBytes[0] = 0x9D;
  eBytes.back() |= 1;
  BIGNUM* n = BN_bin2bn(nBytes.data(), static_cast<int>(nBytes.size()), nullptr);
  BIGNUM* e = BN_bin2bn(eBytes.data(), static_cast<int>(eBytes.size()), nullptr);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* raw = nullptr;
  ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
  ASSERT_EQ(EVP_PKEY_fromdata(ctx, &raw, EVP_PKEY_PUBLIC_KEY, params), 1);
  KeyPtr pub(raw);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(n);
  BN_free(e);

  KeyPtr caKey = fixtureKey("ca");
  X509Ptr ca = fixtureCert("ca");
  NamePtr subject = makeName({{"C", "TW"}, {"CN", "Big Key"}});
  X509Ptr big = makeCert(subject.get(), X509_get_subject_name(ca.get()), pub.get(), caKey.get(), 79);
  std::string pem = writePem(big.get(), "bigkey");
  std::vector<unsigned char> der = derOf(big.get());

  CX509Certificate cert;
  ASSERT_EQ(cert.LoadCertificate(der.data(), static_cast<int>(der.size())), 0) << cert.getErrorText();
  EXPECT_EQ(cert.getModulusLen(), 1536);
  EXPECT_EQ(hex(cert.getModulus(), cert.getModulusLen()), hex(nBytes.data(), 1536));
  EXPECT_EQ(hex(cert.getModulus(), cert.getModulusLen()), opensslModulus(pem));
  EXPECT_EQ(cert.getExponentLen(), 100);
  EXPECT_EQ(hex(cert.getExponent(), cert.getExponentLen()), hex(eBytes.data(), 100));
  EXPECT_EQ(cert.getCertRecord().exponentHex, hex(eBytes.data(), 100));
}

TEST(X509Certificate, LongCommonNameInMessageIsCutAt511) {
  KeyPtr key = fixtureKey("user");
  NamePtr issuer = makeName({{"CN", std::string(600, 'I')}});
  NamePtr subject = makeName({{"CN", "Orphan"}});
  X509Ptr orphan = makeCert(subject.get(), issuer.get(), key.get(), key.get(), 80);
  X509Ptr ca2 = fixtureCert("ca2");
  std::string text = bundleText({orphan.get(), ca2.get()});
  CX509Certificate cert;
  EXPECT_EQ(cert.loadPKCS7Cert(text.c_str()), rc::INPUT_FORMAT_ERROR);
  std::string message = cert.getErrorText();
  EXPECT_EQ(message.size(), 511u);
  EXPECT_EQ(message.rfind("loadB64CertData -> no matched CAert with Subject commonName(III", 0), 0u);
}

}  // namespace
