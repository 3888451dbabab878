#include "signlib/SignatureCheck.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
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
// With it, an RSA key's verification set up per digest (padding and digest
// chosen): setting one up costs a quarter of the verification, a copy of a
// prepared one next to nothing.
struct LastKey {
  std::mutex lock;
  std::vector<unsigned char> der;
  EVP_PKEY* key = nullptr;
  std::vector<std::pair<std::string, EVP_PKEY_CTX*>> prepared;  // by digest name
  void dropPrepared() {
    for (auto& entry : prepared) EVP_PKEY_CTX_free(entry.second);
    prepared.clear();
  }
  ~LastKey() {
    dropPrepared();
    EVP_PKEY_free(key);
  }
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
        last.dropPrepared();
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

// An RSA key's verification of PKCS#1 v1.5 signatures over digests made with
// `md`: a new context, to be freed, or null.
EVP_PKEY_CTX* newRsaVerification(EVP_PKEY* key, const EVP_MD* md) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  if (ctx == nullptr || EVP_PKEY_verify_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx, md) != 1) {
    EVP_PKEY_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

// The same, copied from the prepared one when `key` is the kept key.
EVP_PKEY_CTX* rsaVerification(EVP_PKEY* key, const char* digestName, const EVP_MD* md) {
  LastKey& last = lastKey();
  std::lock_guard<std::mutex> hold(last.lock);
  if (key != last.key) return newRsaVerification(key, md);
  for (auto& entry : last.prepared)
    if (entry.first == digestName) return EVP_PKEY_CTX_dup(entry.second);
  EVP_PKEY_CTX* prepared = newRsaVerification(key, md);
  if (prepared == nullptr) return nullptr;
  try {
    last.prepared.emplace_back(digestName, prepared);
  } catch (const std::bad_alloc&) {
    return prepared;  // not kept: this check uses it alone
  }
  return EVP_PKEY_CTX_dup(prepared);
}

// ---- the direct reading of a SignedData ----
//
// Decoding a whole message with the library's templates builds every carried
// certificate (names, extensions, key) and costs about as much as the check
// itself. The direct reading takes only what the check needs from the DER:
// the content, and per signer its digest algorithm, signed attributes,
// signature and the bytes of its certificate, found by the DER of issuer and
// serial number. It only ever says yes: on anything it does not expect (not
// DER, several certificates of one serial number, a name written otherwise
// than in the certificate, a failed signature) the full decoding below
// decides, so every answer is the full decoding's.

// One DER element: its tag byte, its whole encoding and its contents.
struct Element {
  unsigned char tag = 0;
  const unsigned char* begin = nullptr;  // the tag byte
  const unsigned char* body = nullptr;   // the contents
  const unsigned char* end = nullptr;    // one past the contents
  std::size_t size() const { return static_cast<std::size_t>(end - begin); }
  std::size_t bodySize() const { return static_cast<std::size_t>(end - body); }
};

// Reads the next element of [*at, end): low tag numbers and definite
// lengths only, in their shortest form, the contents inside the range.
bool readElement(const unsigned char** at, const unsigned char* end, Element* out) {
  const unsigned char* p = *at;
  if (end - p < 2 || (p[0] & 0x1F) == 0x1F) return false;
  Element e;
  e.tag = p[0];
  e.begin = p;
  std::size_t length = p[1];
  p += 2;
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4 || static_cast<std::size_t>(end - p) < count || p[0] == 0) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | p[i];
    p += count;
    if (length < 0x80) return false;
  }
  if (static_cast<std::size_t>(end - p) < length) return false;
  e.body = p;
  e.end = p + length;
  *out = e;
  *at = e.end;
  return true;
}

// The next element of a constructed element's contents, of the tag given.
bool readTagged(const unsigned char** at, const unsigned char* end, unsigned char tag, Element* out) {
  return readElement(at, end, out) && out->tag == tag;
}

bool sameBytes(const Element& a, const Element& b) {
  return a.size() == b.size() && std::memcmp(a.begin, b.begin, a.size()) == 0;
}

bool isOid(const Element& e, const unsigned char* oid, std::size_t n) {
  return e.tag == 0x06 && e.bodySize() == n && std::memcmp(e.body, oid, n) == 0;
}

constexpr unsigned char kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr unsigned char kDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
constexpr unsigned char kMessageDigestOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};

// The certificate's serial number and issuer (tbsCertificate's second and
// fourth elements after the optional version).
bool certificateIssuerAndSerial(const Element& cert, Element* serial, Element* issuer) {
  const unsigned char* at = cert.body;
  Element tbs, e;
  if (!readTagged(&at, cert.end, 0x30, &tbs)) return false;
  at = tbs.body;
  if (!readElement(&at, tbs.end, &e)) return false;
  if (e.tag == 0xA0 && !readElement(&at, tbs.end, &e)) return false;
  if (e.tag != 0x02) return false;
  *serial = e;
  return readTagged(&at, tbs.end, 0x30, &e) && readTagged(&at, tbs.end, 0x30, issuer);
}

// The value of the messageDigest attribute among the signed attributes
// (the contents of [0]); false when it is missing, repeated or not one
// OCTET STRING.
bool messageDigestAttribute(const Element& attributes, Element* value) {
  bool found = false;
  for (const unsigned char* at = attributes.body; at != attributes.end;) {
    Element attribute, type, values;
    if (!readTagged(&at, attributes.end, 0x30, &attribute)) return false;
    const unsigned char* in = attribute.body;
    if (!readTagged(&in, attribute.end, 0x06, &type) || !readTagged(&in, attribute.end, 0x31, &values) ||
        in != attribute.end)
      return false;
    if (!isOid(type, kMessageDigestOid, sizeof kMessageDigestOid)) continue;
    const unsigned char* v = values.body;
    if (found || !readTagged(&v, values.end, 0x04, value) || v != values.end) return false;
    found = true;
  }
  return found;
}

// The OpenSSL name of the digest algorithm whose identifier is `algorithm`.
const char* digestNameOf(const Element& algorithm) {
  const unsigned char* at = algorithm.body;
  Element oid;
  if (!readTagged(&at, algorithm.end, 0x06, &oid)) return nullptr;
  const unsigned char* p = oid.begin;
  ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid.size()));
  const char* name = object != nullptr ? OBJ_nid2sn(OBJ_obj2nid(object)) : nullptr;
  ASN1_OBJECT_free(object);
  return name;
}

bool signerVerifies(const Element& signer, const Element& certificates, const Element& content) {
  const unsigned char* at = signer.body;
  Element version, issuerAndSerial, digestAlgorithm, attributes, encryption, signature;
  if (!readTagged(&at, signer.end, 0x02, &version) || !readTagged(&at, signer.end, 0x30, &issuerAndSerial) ||
      !readTagged(&at, signer.end, 0x30, &digestAlgorithm) || !readElement(&at, signer.end, &attributes))
    return false;
  const bool signedAttributes = attributes.tag == 0xA0;
  if (signedAttributes ? !readTagged(&at, signer.end, 0x30, &encryption) : attributes.tag != 0x30) return false;
  if (!readTagged(&at, signer.end, 0x04, &signature) || signature.bodySize() == 0) return false;
  if (at != signer.end) {
    Element unsignedAttributes;
    if (!readTagged(&at, signer.end, 0xA1, &unsignedAttributes) || at != signer.end) return false;
  }
  Element issuer, serial;
  const unsigned char* in = issuerAndSerial.body;
  if (!readTagged(&in, issuerAndSerial.end, 0x30, &issuer) || !readTagged(&in, issuerAndSerial.end, 0x02, &serial) ||
      in != issuerAndSerial.end)
    return false;

  // Exactly one carried certificate has the serial number, and its issuer
  // is written as in the signer's reference.
  bool found = false;
  Element match;
  for (const unsigned char* c = certificates.body; c != certificates.end;) {
    Element cert, certSerial, certIssuer;
    if (!readTagged(&c, certificates.end, 0x30, &cert) || !certificateIssuerAndSerial(cert, &certSerial, &certIssuer))
      return false;
    if (!sameBytes(certSerial, serial)) continue;
    if (found || !sameBytes(certIssuer, issuer)) return false;
    match = cert;
    found = true;
  }
  if (!found) return false;

  const char* digestName = digestNameOf(digestAlgorithm);
  if (digestName == nullptr) return false;
  if (!signedAttributes)
    return signatureVerifies(match.begin, match.size(), digestName, content.body, content.bodySize(), signature.body,
                             signature.bodySize(), nullptr);

  Element expected;
  if (attributes.bodySize() == 0 || !messageDigestAttribute(attributes, &expected)) return false;
  EVP_MD* md = EVP_MD_fetch(nullptr, digestName, nullptr);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  const bool digestAgrees =
      md != nullptr && EVP_Digest(content.body, content.bodySize(), digest, &digestLength, md, nullptr) == 1 &&
      digestLength == expected.bodySize() && std::memcmp(digest, expected.body, digestLength) == 0;
  EVP_MD_free(md);
  if (!digestAgrees) return false;
  // The signature is over the attributes' DER as a SET OF: the same bytes
  // under the SET tag.
  std::vector<unsigned char> signedBytes(attributes.begin, attributes.end);
  signedBytes[0] = 0x31;
  return signatureVerifies(match.begin, match.size(), digestName, signedBytes.data(), signedBytes.size(),
                           signature.body, signature.bodySize(), nullptr);
}

bool verifiesDirectly(const unsigned char* der, std::size_t length) {
  const unsigned char* at = der;
  const unsigned char* end = der + length;
  Element info, type, explicitContent, signedData;
  if (!readTagged(&at, end, 0x30, &info) || at != end) return false;
  at = info.body;
  if (!readTagged(&at, info.end, 0x06, &type) || !isOid(type, kSignedDataOid, sizeof kSignedDataOid) ||
      !readTagged(&at, info.end, 0xA0, &explicitContent) || at != info.end)
    return false;
  at = explicitContent.body;
  if (!readTagged(&at, explicitContent.end, 0x30, &signedData) || at != explicitContent.end) return false;

  at = signedData.body;
  const unsigned char* const sdEnd = signedData.end;
  Element version, digestAlgorithms, contentInfo, element, certificates, signerInfos;
  if (!readTagged(&at, sdEnd, 0x02, &version) || !readTagged(&at, sdEnd, 0x31, &digestAlgorithms) ||
      !readTagged(&at, sdEnd, 0x30, &contentInfo) || !readElement(&at, sdEnd, &element))
    return false;
  if (element.tag != 0xA0) return false;  // no certificates: the full decoding says why
  certificates = element;
  if (!readElement(&at, sdEnd, &element)) return false;
  if (element.tag == 0xA1 && !readElement(&at, sdEnd, &element)) return false;
  if (element.tag != 0x31 || at != sdEnd || element.bodySize() == 0) return false;
  signerInfos = element;

  // The content: id-data with its octets attached.
  Element contentType, wrapped, content;
  at = contentInfo.body;
  if (!readTagged(&at, contentInfo.end, 0x06, &contentType) || !isOid(contentType, kDataOid, sizeof kDataOid) ||
      !readTagged(&at, contentInfo.end, 0xA0, &wrapped) || at != contentInfo.end)
    return false;
  at = wrapped.body;
  if (!readTagged(&at, wrapped.end, 0x04, &content) || at != wrapped.end) return false;

  for (at = signerInfos.body; at != signerInfos.end;) {
    Element signer;
    if (!readTagged(&at, signerInfos.end, 0x30, &signer) || !signerVerifies(signer, certificates, content))
      return false;
  }
  return true;
}

}  // namespace

bool signedDataVerifies(const unsigned char* der, std::size_t length, std::string* why) {
  if (der == nullptr || length == 0 || length > static_cast<std::size_t>(LONG_MAX)) return fail(why, "no message");
  if (verifiesDirectly(der, length)) {
    ERR_clear_error();
    return true;
  }
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
  if (md != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
    // The digest, then the signature over it: what a digest verification
    // does, with the verification set up once per key and digest.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_PKEY_CTX* verification = rsaVerification(key, digestName, md);
    bool ok = verification != nullptr &&
              EVP_Digest(data != nullptr ? data : reinterpret_cast<const unsigned char*>(""), dataLength, digest,
                         &digestLength, md, nullptr) == 1 &&
              EVP_PKEY_verify(verification, signature, signatureLength, digest, digestLength) == 1;
    EVP_PKEY_CTX_free(verification);
    EVP_MD_free(md);
    EVP_PKEY_free(key);
    if (!ok) return fail(why, "the signature does not verify");
    ERR_clear_error();
    return true;
  }
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
