// Small self-signed certificates made on the spot with OpenSSL, for names and
// extensions that the shared fixture catalogue does not carry.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace certmaker {

struct Attr {
  std::string field;         // OpenSSL short name or dotted OID
  std::string value;         // bytes of the value, in the encoding given by type
  int type = MBSTRING_UTF8;  // MBSTRING_UTF8, or an ASN.1 string type (V_ASN1_BMPSTRING, V_ASN1_T61STRING, ...)
  bool multi = false;        // joins the previous RDN
};

inline EVP_PKEY* sharedKey() {
  static EVP_PKEY* key = EVP_EC_gen("P-256");  // fast to make; these tests never use the key
  return key;
}

// DER of a self-signed certificate with that subject (and issuer), and an
// rfc822 subject alternative name when email is not empty.
inline std::vector<unsigned char> selfSigned(const std::vector<Attr>& subject, const std::string& email = "") {
  X509* x = X509_new();
  X509_set_version(x, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
  X509_NAME* name = X509_NAME_new();
  for (const Attr& a : subject) {
    if (X509_NAME_add_entry_by_txt(name, a.field.c_str(), a.type,
                                   reinterpret_cast<const unsigned char*>(a.value.data()),
                                   static_cast<int>(a.value.size()), -1, a.multi ? -1 : 0) != 1)
      throw std::runtime_error("name attribute " + a.field);
  }
  X509_set_subject_name(x, name);
  X509_set_issuer_name(x, name);
  X509_NAME_free(name);
  ASN1_TIME_set_string_X509(X509_getm_notBefore(x), "20240101000000Z");
  ASN1_TIME_set_string_X509(X509_getm_notAfter(x), "20440101000000Z");
  X509_set_pubkey(x, sharedKey());
  if (!email.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, ("email:" + email).c_str());
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(x, sharedKey(), EVP_sha256());
  unsigned char* der = nullptr;
  int n = i2d_X509(x, &der);
  X509_free(x);
  if (n <= 0) throw std::runtime_error("i2d_X509");
  std::vector<unsigned char> out(der, der + n);
  OPENSSL_free(der);
  return out;
}

}  // namespace certmaker
