#include "signlib/SignatureCheck.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "signlib/QuietLibraryContext.h"

namespace sigcheck {
namespace {

bool fail(std::string* why, const char* what) {
  if (why != nullptr) {
    *why = what;
    unsigned long e = ERR_peek_last_error();
    if (e != 0) {
      char buf[256];
      ERR_error_string_n(e, buf, sizeof buf);
      *why += ": ";
      *why += buf;
    }
  }
  ERR_clear_error();
  return false;
}

// The certificate's public key (a new reference), or null. Parsed without
// the provider's key decoders (which cost more than the check itself); an RSA
// key is read straight from its bit string. The last certificate's key is
// kept: a page signs again and again with the same one. It is kept in the
// module, not per thread: a thread-local with a destructor would pin this
// library in memory after the last control is gone.
struct LastKey {
  std::mutex lock;
  std::vector<unsigned char> der;
  EVP_PKEY* key = nullptr;
  ~LastKey() { EVP_PKEY_free(key); }
};
LastKey& lastKey() {
  static LastKey last;
  return last;
}

EVP_PKEY* certificateKey(const unsigned char* certDer, std::size_t certLength) {
  LastKey& last = lastKey();
  {
    std::lock_guard<std::mutex> hold(last.lock);
    if (last.key != nullptr && last.der.size() == certLength &&
        std::memcmp(last.der.data(), certDer, certLength) == 0 && EVP_PKEY_up_ref(last.key) == 1)
      return last.key;
  }
  const unsigned char* p = certDer;
  X509* cert = X509_new_ex(quietLibraryContext(), nullptr);
  if (cert == nullptr || d2i_X509(&cert, &p, static_cast<long>(certLength)) == nullptr) {
    X509_free(cert);
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  const ASN1_OBJECT* algorithm = nullptr;
  const unsigned char* bits = nullptr;
  int bitsLength = 0;
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(cert);
  if (X509_PUBKEY_get0_param(const_cast<ASN1_OBJECT**>(&algorithm), &bits, &bitsLength, nullptr, pub) == 1 &&
      OBJ_obj2nid(algorithm) == NID_rsaEncryption)
    key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &bits, bitsLength);
  X509_free(cert);
  if (key == nullptr) {
    // Other key types through the default decoders.
    p = certDer;
    X509* full = d2i_X509(nullptr, &p, static_cast<long>(certLength));
    key = full != nullptr ? X509_get_pubkey(full) : nullptr;
    X509_free(full);
  }
  if (key != nullptr) {
    try {
      std::vector<unsigned char> der(certDer, certDer + certLength);
      if (EVP_PKEY_up_ref(key) == 1) {
        std::lock_guard<std::mutex> hold(last.lock);
        EVP_PKEY_free(last.key);
        last.key = key;
        last.der.swap(der);
      }
    } catch (const std::bad_alloc&) {
      // Not kept; this check goes on with its own reference.
    }
  }
  return key;
}

}  // namespace

bool signedDataVerifies(const unsigned char* der, std::size_t length, std::string* why) {
  if (der == nullptr || length == 0 || length > static_cast<std::size_t>(LONG_MAX)) return fail(why, "no message");
  // Parsed in the quiet context: the carried certificates' keys are not
  // decoded here (that costs more than the check); each signer's key comes
  // from its certificate's bytes below.
  PKCS7* p7 = PKCS7_new_ex(quietLibraryContext(), nullptr);
  const unsigned char* p = der;
  if (p7 == nullptr || d2i_PKCS7(&p7, &p, static_cast<long>(length)) == nullptr) {
    PKCS7_free(p7);
    return fail(why, "the message cannot be read");
  }
  const char* problem = nullptr;
  STACK_OF(PKCS7_SIGNER_INFO)* signers = nullptr;
  const ASN1_OCTET_STRING* content = nullptr;
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr) {
    problem = "the message has no signer";
  } else {
    signers = p7->d.sign->signer_info;
    PKCS7* inner = p7->d.sign->contents;
    if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) == 0)
      problem = "the message has no signer";
    else if (inner == nullptr || !PKCS7_type_is_data(inner) || inner->d.data == nullptr)
      problem = "the signature does not verify: no content";
    else
      content = inner->d.data;
  }
  for (int i = 0; problem == nullptr && i < sk_PKCS7_SIGNER_INFO_num(signers); ++i) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, i);
    X509* cert = si->issuer_and_serial != nullptr
                     ? X509_find_by_issuer_and_serial(p7->d.sign->cert, si->issuer_and_serial->issuer,
                                                      si->issuer_and_serial->serial)
                     : nullptr;
    unsigned char* certDer = nullptr;
    const int certLength = cert != nullptr ? i2d_X509(cert, &certDer) : 0;
    const char* digestName = si->digest_alg != nullptr ? OBJ_nid2sn(OBJ_obj2nid(si->digest_alg->algorithm)) : nullptr;
    const unsigned char* contentBytes =
        content->data != nullptr ? content->data : reinterpret_cast<const unsigned char*>("");
    if (certLength <= 0) {
      problem = "the signature does not verify: no signer certificate";
    } else if (digestName == nullptr || si->enc_digest == nullptr) {
      problem = "the signature does not verify";
    } else if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
      // Signed attributes: the content's digest is in them, and the
      // signature is over their DER (as a SET OF).
      ASN1_OCTET_STRING* expected = PKCS7_digest_from_attributes(si->auth_attr);
      EVP_MD* md = EVP_MD_fetch(nullptr, digestName, nullptr);
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int digestLength = 0;
      unsigned char* attributes = nullptr;
      int attributesLength = -1;
      if (expected == nullptr || md == nullptr ||
          EVP_Digest(contentBytes, static_cast<std::size_t>(content->length), digest, &digestLength, md, nullptr) !=
              1 ||
          static_cast<int>(digestLength) != expected->length || std::memcmp(digest, expected->data, digestLength) != 0)
        problem = "the signature does not verify: content digest mismatch";
      else if ((attributesLength = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attributes,
                                                 ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY))) <= 0 ||
               !signatureVerifies(certDer, static_cast<std::size_t>(certLength), digestName, attributes,
                                  static_cast<std::size_t>(attributesLength), si->enc_digest->data,
                                  static_cast<std::size_t>(si->enc_digest->length), nullptr))
        problem = "the signature does not verify";
      OPENSSL_free(attributes);
      EVP_MD_free(md);
    } else if (!signatureVerifies(certDer, static_cast<std::size_t>(certLength), digestName, contentBytes,
                                  static_cast<std::size_t>(content->length), si->enc_digest->data,
                                  static_cast<std::size_t>(si->enc_digest->length), nullptr)) {
      problem = "the signature does not verify";
    }
    OPENSSL_free(certDer);
  }
  PKCS7_free(p7);
  if (problem != nullptr) return fail(why, problem);
  ERR_clear_error();
  return true;
}

bool signatureVerifies(const unsigned char* certDer, std::size_t certLength, const char* digestName,
                       const unsigned char* data, std::size_t dataLength, const unsigned char* signature,
                       std::size_t signatureLength, std::string* why) {
  if (certDer == nullptr || certLength == 0 || certLength > static_cast<std::size_t>(LONG_MAX))
    return fail(why, "no certificate");
  if (digestName == nullptr || signature == nullptr || signatureLength == 0 || (data == nullptr && dataLength != 0))
    return fail(why, "no signature");
  EVP_PKEY* key = certificateKey(certDer, certLength);
  if (key == nullptr) return fail(why, "the certificate's public key cannot be read");
  EVP_MD* md = EVP_MD_fetch(nullptr, digestName, nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  int ok = md != nullptr && ctx != nullptr && EVP_DigestVerifyInit(ctx, &pctx, md, nullptr, key) == 1 &&
           (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1) &&
           EVP_DigestVerify(ctx, signature, signatureLength,
                            data != nullptr ? data : reinterpret_cast<const unsigned char*>(""), dataLength) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  EVP_PKEY_free(key);
  if (!ok) return fail(why, "the signature does not verify");
  ERR_clear_error();
  return true;
}

}  // namespace sigcheck
