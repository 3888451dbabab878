#include "StoreSupport.h"

#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "Fixtures.h"
#include "OpenSslNames.h"
#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace fs = std::filesystem;

namespace storetest {
namespace {
constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using testsupport::quote;

std::string binDir() {
  const char* build = std::getenv("BUILD_DIR");
  if (build != nullptr && *build != '\0') return std::string(build) + "/bin";
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

EVP_PKEY* readKey(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw std::runtime_error("cannot open " + path);
  EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (key == nullptr) throw std::runtime_error("cannot read key " + path);
  return key;
}

X509* readCert(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw std::runtime_error("cannot open " + path);
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (cert == nullptr) throw std::runtime_error("cannot read certificate " + path);
  return cert;
}

}  // namespace

// ---- the store ----

void clearMy() {
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  ASSERT_NE(my, nullptr);
  for (;;) {
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr);
    if (c == nullptr) break;
    ASSERT_TRUE(CertDeleteCertificateFromStore(c));
  }
  CertCloseStore(my, 0);
}

void addToMy(const std::vector<unsigned char>& der) {
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  ASSERT_NE(my, nullptr);
  ASSERT_TRUE(CertAddEncodedCertificateToStore(my, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertCloseStore(my, 0);
}

void addFixtureToMy(const std::string& fixture) { addToMy(fixtures::get(fixture).der()); }

void importFixtureWithTool(const std::string& fixture) {
  std::string out;
  int status =
      testsupport::run(quote(binDir() + "/certstore") + " import --store MY --pfx " +
                           quote(fixtures::get(fixture).p12) + " --password " + fixtures::kP12Password + " 2>&1",
                       &out);
  ASSERT_EQ(status, 0) << out;
}

std::vector<std::vector<unsigned char>> myInOrder() {
  std::vector<std::vector<unsigned char>> out;
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(my, c))
    out.push_back(derOf(c));
  CertCloseStore(my, 0);
  return out;
}

// ---- certificates made on the spot ----

std::vector<unsigned char> makeCertificate(const CertSpec& spec) {
  static EVP_PKEY* subjectKey = readKey(fixtures::get("ku_sig").keyPem);  // a pooled fixture key
  const fixtures::Fixture& issuerFixture = fixtures::get(spec.issuer);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> issuerKey(readKey(issuerFixture.keyPem), &EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> issuerCert(readCert(issuerFixture.certPem), &X509_free);

  std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), &X509_free);
  X509_set_version(x.get(), X509_VERSION_3);
  BIGNUM* bn = BN_bin2bn(spec.serial.data(), static_cast<int>(spec.serial.size()), nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get()));
  BN_free(bn);
  X509_NAME* name = X509_NAME_new();
  for (const auto& [field, value] : spec.subject) {
    if (X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size()),
                                   -1, 0) != 1)
      throw std::runtime_error("name attribute " + field);
  }
  X509_set_subject_name(x.get(), name);
  X509_NAME_free(name);
  X509_set_issuer_name(x.get(), X509_get_subject_name(issuerCert.get()));
  X509_gmtime_adj(X509_getm_notBefore(x.get()), spec.notBeforeDays * 86400L);
  if (!spec.notAfter.empty())
    ASN1_TIME_set_string_X509(X509_getm_notAfter(x.get()), spec.notAfter.c_str());
  else
    X509_gmtime_adj(X509_getm_notAfter(x.get()), spec.notAfterDays * 86400L);
  X509_set_pubkey(x.get(), subjectKey);
  if (!spec.keyUsage.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuerCert.get(), x.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, ("critical," + spec.keyUsage).c_str());
    if (ext == nullptr) throw std::runtime_error("key usage " + spec.keyUsage);
    X509_add_ext(x.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(x.get(), issuerKey.get(), EVP_sha256()) <= 0) throw std::runtime_error("X509_sign");
  unsigned char* der = nullptr;
  int n = i2d_X509(x.get(), &der);
  if (n <= 0) throw std::runtime_error("i2d_X509");
  std::vector<unsigned char> out(der, der + n);
  OPENSSL_free(der);
  return out;
}

std::string writePem(const std::vector<unsigned char>& der, const std::string& name) {
  std::string dir = testsupport::platformRoot() + "/made";
  fs::create_directories(dir);
  std::string path = dir + "/" + name + ".pem";
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
  if (!x) throw std::runtime_error("d2i_X509");
  FILE* f = std::fopen(path.c_str(), "wb");
  PEM_write_X509(f, x.get());
  std::fclose(f);
  return path;
}

// ---- what OpenSSL says ----

std::string nameFromOpenSsl(const std::string& pem, const std::string& which, const std::string& sep) {
  return testsupport::nameFromOpenSsl(pem, which, sep, " ");
}

std::vector<std::string> keyUsageFromOpenSsl(const std::string& pem) {
  std::string out;
  testsupport::run("openssl x509 -noout -ext keyUsage -in " + quote(pem) + " 2>/dev/null", &out);
  std::vector<std::string> usages;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("X509v3 Key Usage") != std::string::npos || line.find_first_not_of(' ') == std::string::npos)
      continue;
    std::stringstream items(line);
    std::string item;
    while (std::getline(items, item, ',')) {
      std::size_t a = item.find_first_not_of(' '), b = item.find_last_not_of(' ');
      if (a != std::string::npos) usages.push_back(item.substr(a, b - a + 1));
    }
  }
  return usages;
}

int verifyErrorFromOpenSsl(const std::string& pem) {
  std::string out;
  testsupport::run("openssl verify -CAfile " + quote(fixtures::get("ca").certPem) + " " + quote(pem) + " 2>&1", &out);
  std::size_t at = out.find("error ");
  if (at == std::string::npos) return 0;
  return std::atoi(out.c_str() + at + 6);
}

// ---- text ----

std::string base64(const std::vector<unsigned char>& der) {
  std::string out(4 * ((der.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), der.data(), static_cast<int>(der.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string str(const char* text) { return text != nullptr ? text : "(null)"; }

std::string fromUtf8(const std::string& text, const char* charset) {
  iconv_t cd = iconv_open(charset, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(std::string("iconv ") + charset);
  std::string in = text, out(text.size() * 4 + 4, '\0');
  char* ip = in.data();
  char* op = out.data();
  std::size_t il = in.size(), ol = out.size();
  std::size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1)) throw std::runtime_error(std::string("not representable in ") + charset);
  out.resize(out.size() - ol);
  return out;
}

// ---- the recording client ----

int RecordingClient::getSelectCertByUI(PCCERT_CONTEXT* candidates, int count, int* chosenIndex) {
  ++hookCalls;
  shown.clear();
  for (int i = 0; i < count; ++i) shown.push_back(derOf(candidates[i]));
  *chosenIndex = answer;
  return answerCode;
}

void RecordingClient::allowProviders(const std::vector<std::string>& names) {
  for (int i = 0; i < m_iAllowedProviderCount; ++i) std::free(m_ppchAllowedProviders[i]);
  std::free(m_ppchAllowedProviders);
  m_ppchAllowedProviders = static_cast<char**>(std::calloc(names.size() + 1, sizeof(char*)));
  for (std::size_t i = 0; i < names.size(); ++i) m_ppchAllowedProviders[i] = strdup(names[i].c_str());
  m_iAllowedProviderCount = static_cast<int>(names.size());
}

std::vector<unsigned char> derOf(PCCERT_CONTEXT context) {
  if (context == nullptr) return {};
  return std::vector<unsigned char>(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
}

}  // namespace storetest
