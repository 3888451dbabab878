#include "signlib/SignatureCheck.h"

#include <climits>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

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
  const unsigned char* p = certDer;
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certLength));
  if (cert == nullptr) return fail(why, "the certificate cannot be read");
  EVP_PKEY* key = X509_get_pubkey(cert);
  X509_free(cert);
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
