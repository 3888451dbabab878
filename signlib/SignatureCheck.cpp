#include "signlib/SignatureCheck.h"

#include <climits>
#include <cstring>
#include <vector>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/objects.h>
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
// kept per thread: a page signs again and again with the same one.
EVP_PKEY* certificateKey(const unsigned char* certDer, std::size_t certLength) {
  struct Last {
    std::vector<unsigned char> der;
    EVP_PKEY* key = nullptr;
    ~Last() { EVP_PKEY_free(key); }
  };
  thread_local Last last;
  if (last.key != nullptr && last.der.size() == certLength && std::memcmp(last.der.data(), certDer, certLength) == 0 &&
      EVP_PKEY_up_ref(last.key) == 1)
    return last.key;
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
  if (key != nullptr && EVP_PKEY_up_ref(key) == 1) {
    EVP_PKEY_free(last.key);
    last.key = key;
    last.der.assign(certDer, certDer + certLength);
  }
  return key;
}

}  // namespace

bool signedDataVerifies(const unsigned char* der, std::size_t length, std::string* why) {
  if (der == nullptr || length == 0 || length > static_cast<std::size_t>(LONG_MAX)) return fail(why, "no message");
  const unsigned char* p = der;
  CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(length));
  if (cms == nullptr) return fail(why, "the message cannot be read");
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
  if (signers == nullptr || sk_CMS_SignerInfo_num(signers) == 0) {
    CMS_ContentInfo_free(cms);
    return fail(why, "the message has no signer");
  }
  // Only the signature and the content digest: the chain is the relying
  // party's business, the key is ours. The content is taken as bytes.
  BIO* sink = BIO_new(BIO_s_null());
  int ok = sink != nullptr ? CMS_verify(cms, nullptr, nullptr, nullptr, sink,
                                        CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY)
                           : 0;
  BIO_free(sink);
  CMS_ContentInfo_free(cms);
  if (ok != 1) return fail(why, "the signature does not verify");
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
           EVP_DigestVerify(ctx, signature, signatureLength, data != nullptr ? data : reinterpret_cast<const unsigned char*>(""),
                            dataLength) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  EVP_PKEY_free(key);
  if (!ok) return fail(why, "the signature does not verify");
  ERR_clear_error();
  return true;
}

}  // namespace sigcheck
