// A page's MultipleCriteria text: parsed, each criterion converted to the
// X.500 form, and used as an issuer list over a store of two certificates.
// Whatever the text, every call returns a code and frees what it made.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "../support/FuzzRoot.h"
#include "platform/crypt.h"
#include "signlib/CertificateDBClient.h"
#include "signlib/MyCertContext.h"

namespace {
void addCertificate(HCERTSTORE store, const char* issuerText) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("TW"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(issuerText), -1, -1, 0);
  X509_set_subject_name(x, name);
  X509_set_issuer_name(x, name);
  X509_NAME_free(name);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400 * 365);
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  unsigned char* der = nullptr;
  int n = i2d_X509(x, &der);
  CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, static_cast<DWORD>(n),
                                   CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  OPENSSL_free(der);
  X509_free(x);
  EVP_PKEY_free(key);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::root();
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  addCertificate(my, "Fuzz CA");
  addCertificate(my, "Other, CA");
  CertCloseStore(my, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  CCertificateDBClient client("MY");
  char** criteria = nullptr;
  int count = -1;
  int code = client.parsingMultipleCriteria(text.c_str(), &criteria, &count);
  if (code == 0) {
    if (count < 1 || criteria == nullptr) __builtin_trap();
    for (int i = 0; i < count; ++i) {
      if (criteria[i] == nullptr) __builtin_trap();
      CMyCertContext converter;
      int length = 0;
      DWORD type = 0;
      int len = static_cast<int>(std::strlen(criteria[i]));
      if (converter.covMyNameTypeToX500(criteria[i], len, nullptr, &length, &type) == 0) {
        std::string out(static_cast<size_t>(length) + 1, '\0');
        int capacity = length + 1;
        if (converter.covMyNameTypeToX500(criteria[i], len, out.data(), &capacity, &type) != 0) __builtin_trap();
        if (std::strlen(out.c_str()) > static_cast<size_t>(length)) __builtin_trap();
      }
    }
    client.freeMultipleCriteriaArray(criteria, count);
  } else if (code != 1 && code != 2) {
    __builtin_trap();
  }
  client.SelectLatestCert = 1;
  code = client.selectCertificateBySubject(MultipleCriteria{text.c_str()}, 0);
  if (std::strlen(client.getErrorMessage()) >= ERROR_TEXT_SIZE) __builtin_trap();
  if (code == 0 && client.getCertificateText() == nullptr) __builtin_trap();
  return 0;
}
