// Low-level messages: attached PKCS#7 SignedData without signed attributes
// to encode; any PKCS#7 / CMS message to decode, read by OpenSSL's CMS parser
// (its PKCS#7 parser refuses signers named by key identifier).
//
// Encoding:
//   ContentInfo { signedData, [0] SignedData {
//     version 1, digestAlgorithms SET { sha1 NULL },
//     contentInfo { data, [0] OCTET STRING content },
//     certificates [0] IMPLICIT { the certificates given, in order },
//     signerInfos SET { one per signer, in order:
//       { version 1, issuerAndSerialNumber, sha1 NULL, rsaEncryption NULL,
//         encryptedDigest: PKCS#1 v1.5 signature of the content's SHA-1 } } } }
//
// The encoding is written here directly: RSA PKCS#1 v1.5 signatures always
// have the modulus' length, so the length of the message is known exactly
// before anything is signed.
#include <cstring>
#include <mutex>
#include <set>
#include <type_traits>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "internal.h"

namespace crypt_internal {
namespace {

constexpr uint32_t kMsgMagic = 0x434D5347;  // "CMSG"

const BYTE kOidSignedData[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const BYTE kOidData[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const BYTE kAlgSha1[] = {0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
const BYTE kAlgRsa[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

size_t lengthBytes(size_t n) {
  if (n < 0x80) return 1;
  size_t k = 1;
  while (n >>= 8) ++k;
  return 1 + k;
}
size_t tlvSize(size_t n) { return 1 + lengthBytes(n) + n; }

void putHeader(std::vector<BYTE>& out, BYTE tag, size_t n) {
  out.push_back(tag);
  if (n < 0x80) {
    out.push_back(static_cast<BYTE>(n));
    return;
  }
  size_t k = lengthBytes(n) - 1;
  out.push_back(static_cast<BYTE>(0x80 | k));
  for (size_t i = k; i-- > 0;) out.push_back(static_cast<BYTE>((n >> (8 * i)) & 0xFF));
}
void put(std::vector<BYTE>& out, const BYTE* p, size_t n) { out.insert(out.end(), p, p + n); }

struct Signer {
  ProvObject* prov = nullptr;  // a reference of the message's own
  std::vector<BYTE> issuer;    // DER of the issuer's name
  std::vector<BYTE> serial;    // DER INTEGER content, most significant first
  size_t signatureSize = 0;
};

struct MsgObject {
  uint32_t magic = kMsgMagic;
  std::vector<Signer> signers;
  std::vector<std::vector<BYTE>> certs;
  std::vector<BYTE> content;  // collected from updates that were not final
  bool finished = false;      // the final update came (successful or not)
  bool encodedOk = false;
  std::vector<BYTE> encoded;

  // Decoding: the bytes collected, then the parsed message.
  bool decode = false;
  DWORD wantType = 0;  // 0: whatever the message is
  CMS_ContentInfo* cms = nullptr;
  DWORD type = 0;
  std::vector<std::vector<BYTE>> decodedCerts;
  std::vector<std::vector<BYTE>> signerInfoBuffers;  // CMSG_SIGNER_INFO each, laid out

  ~MsgObject() {
    for (Signer& s : signers) releaseProv(s.prov);
    CMS_ContentInfo_free(cms);
  }
};

std::mutex& msgMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::set<MsgObject*>& liveMsgs() {
  static auto* s = new std::set<MsgObject*>();
  return *s;
}
MsgObject* msgFromHandle(HCRYPTMSG h) {
  auto* m = static_cast<MsgObject*>(h);
  std::lock_guard<std::mutex> lock(msgMutex());
  return liveMsgs().count(m) != 0 ? m : nullptr;
}

// Reads the encode info into signers and certificates; false with the last
// error set when something is not offered.
bool readEncodeInfo(DWORD encodingType, DWORD flags, DWORD msgType, const void* info, LPCSTR inner,
                    std::vector<Signer>* signers, std::vector<std::vector<BYTE>>* certs) {
  if ((encodingType & PKCS_7_ASN_ENCODING) == 0 || info == nullptr || flags != 0) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return false;
  }
  if (msgType != CMSG_SIGNED) {
    setError(CRYPT_E_INVALID_MSG_TYPE);
    return false;
  }
  if (inner != nullptr && std::strcmp(inner, szOID_RSA_data) != 0) {
    setError(static_cast<DWORD>(E_NOTIMPL));
    return false;
  }
  const auto* e = static_cast<const CMSG_SIGNED_ENCODE_INFO*>(info);
  if (e->cbSize < sizeof(CMSG_SIGNED_ENCODE_INFO) || (e->cSigners != 0 && e->rgSigners == nullptr) ||
      (e->cCertEncoded != 0 && e->rgCertEncoded == nullptr)) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return false;
  }
  if (e->cCrlEncoded != 0) {
    setError(static_cast<DWORD>(E_NOTIMPL));
    return false;
  }
  auto drop = [&]() {
    for (Signer& s : *signers) releaseProv(s.prov);
    signers->clear();
  };
  for (DWORD i = 0; i < e->cSigners; ++i) {
    const CMSG_SIGNER_ENCODE_INFO& si = e->rgSigners[i];
    DWORD error = 0;
    ProvObject* prov = nullptr;
    if (si.cbSize < sizeof(CMSG_SIGNER_ENCODE_INFO) || si.pCertInfo == nullptr)
      error = static_cast<DWORD>(E_INVALIDARG);
    else if (si.HashAlgorithm.pszObjId == nullptr || std::strcmp(si.HashAlgorithm.pszObjId, szOID_OIWSEC_sha1) != 0)
      error = CRYPT_E_UNKNOWN_ALGO;
    else if (si.cAuthAttr != 0 || si.cUnauthAttr != 0)
      error = static_cast<DWORD>(E_NOTIMPL);
    else if ((prov = provFromHandle(si.hCryptProv)) == nullptr)
      error = NTE_BAD_UID;
    else if (provSignatureSize(prov) == 0)
      error = NTE_BAD_ALGID;
    if (error != 0) {
      drop();
      setError(error);
      return false;
    }
    Signer s;
    provAddRef(prov);
    s.prov = prov;
    s.signatureSize = provSignatureSize(prov);
    const CERT_INFO& ci = *si.pCertInfo;
    if (ci.Issuer.pbData != nullptr) s.issuer.assign(ci.Issuer.pbData, ci.Issuer.pbData + ci.Issuer.cbData);
    // The serial blob is least significant first.
    for (DWORD k = ci.SerialNumber.cbData; k-- > 0;) s.serial.push_back(ci.SerialNumber.pbData[k]);
    if (s.serial.empty()) s.serial.push_back(0);
    signers->push_back(std::move(s));
  }
  for (DWORD i = 0; i < e->cCertEncoded; ++i) {
    const CERT_BLOB& b = e->rgCertEncoded[i];
    if (b.cbData == 0 || b.pbData == nullptr) {
      drop();
      setError(static_cast<DWORD>(E_INVALIDARG));
      return false;
    }
    certs->emplace_back(b.pbData, b.pbData + b.cbData);
  }
  return true;
}

// The SignerInfos' SET, with the signatures given (or zeros of the right
// length when none are given).
std::vector<BYTE> signerInfos(const std::vector<Signer>& signers, const std::vector<std::vector<BYTE>>* signatures) {
  std::vector<BYTE> body;
  for (size_t i = 0; i < signers.size(); ++i) {
    const Signer& s = signers[i];
    // issuerAndSerialNumber: the issuer's Name DER as it is, then the INTEGER.
    size_t iasBody = s.issuer.size() + tlvSize(s.serial.size());
    size_t sig = s.signatureSize;
    size_t siBody = 3 + tlvSize(iasBody) + sizeof kAlgSha1 + sizeof kAlgRsa + tlvSize(sig);
    putHeader(body, 0x30, siBody);
    const BYTE version[] = {0x02, 0x01, 0x01};
    put(body, version, sizeof version);
    putHeader(body, 0x30, iasBody);
    put(body, s.issuer.data(), s.issuer.size());
    putHeader(body, 0x02, s.serial.size());
    put(body, s.serial.data(), s.serial.size());
    put(body, kAlgSha1, sizeof kAlgSha1);
    put(body, kAlgRsa, sizeof kAlgRsa);
    putHeader(body, 0x04, sig);
    if (signatures != nullptr)
      put(body, (*signatures)[i].data(), sig);
    else
      body.insert(body.end(), sig, 0);
  }
  std::vector<BYTE> set;
  set.reserve(tlvSize(body.size()));
  putHeader(set, 0x31, body.size());
  put(set, body.data(), body.size());
  return set;
}

struct Layout {
  size_t contentInfoBody = 0, signedDataBody = 0, signedData = 0, outerBody = 0, total = 0, certs = 0;
  bool hasCerts = false;
};

Layout layout(size_t contentLength, const std::vector<std::vector<BYTE>>& certs, size_t signerInfosSize,
              bool anySigner) {
  Layout l;
  for (const auto& c : certs) l.certs += c.size();
  l.hasCerts = !certs.empty();
  size_t digestAlgs = anySigner ? tlvSize(sizeof kAlgSha1) : tlvSize(0);
  l.contentInfoBody = sizeof kOidData + tlvSize(tlvSize(contentLength));
  l.signedDataBody =
      3 + digestAlgs + tlvSize(l.contentInfoBody) + (l.hasCerts ? tlvSize(l.certs) : 0) + signerInfosSize;
  l.signedData = tlvSize(l.signedDataBody);
  l.outerBody = sizeof kOidSignedData + tlvSize(l.signedData);
  l.total = tlvSize(l.outerBody);
  return l;
}

void encode(const BYTE* content, size_t contentLength, const std::vector<std::vector<BYTE>>& certs,
            const std::vector<BYTE>& infos, bool anySigner, std::vector<BYTE>* out) {
  Layout l = layout(contentLength, certs, infos.size(), anySigner);
  out->clear();
  out->reserve(l.total);
  putHeader(*out, 0x30, l.outerBody);
  put(*out, kOidSignedData, sizeof kOidSignedData);
  putHeader(*out, 0xA0, l.signedData);
  putHeader(*out, 0x30, l.signedDataBody);
  const BYTE version[] = {0x02, 0x01, 0x01};
  put(*out, version, sizeof version);
  if (anySigner) {
    putHeader(*out, 0x31, sizeof kAlgSha1);
    put(*out, kAlgSha1, sizeof kAlgSha1);
  } else {
    putHeader(*out, 0x31, 0);
  }
  putHeader(*out, 0x30, l.contentInfoBody);
  put(*out, kOidData, sizeof kOidData);
  putHeader(*out, 0xA0, tlvSize(contentLength));
  putHeader(*out, 0x04, contentLength);
  if (contentLength != 0) put(*out, content, contentLength);
  if (l.hasCerts) {
    putHeader(*out, 0xA0, l.certs);
    for (const auto& c : certs) put(*out, c.data(), c.size());
  }
  put(*out, infos.data(), infos.size());
}

// ---- decoding ----

size_t align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

bool copyOut(const BYTE* data, size_t n, void* pvData, DWORD* pcbData) {
  if (n > 0xFFFFFFFFULL) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return false;
  }
  DWORD need = static_cast<DWORD>(n);
  if (pvData == nullptr) {
    *pcbData = need;
    return true;
  }
  if (*pcbData < need) {
    *pcbData = need;
    setError(ERROR_MORE_DATA);
    return false;
  }
  if (n != 0) std::memcpy(pvData, data, n);
  *pcbData = need;
  return true;
}

bool copyDword(DWORD v, void* pvData, DWORD* pcbData) {
  return copyOut(reinterpret_cast<const BYTE*>(&v), sizeof v, pvData, pcbData);
}

std::string oidOf(const ASN1_OBJECT* o) {
  char buf[128];
  int n = OBJ_obj2txt(buf, sizeof buf, o, 1);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::vector<BYTE> derOf(int (*i2d)(const void*, unsigned char**), const void* object) {
  unsigned char* der = nullptr;
  int n = i2d(object, &der);
  if (n <= 0) return {};
  std::vector<BYTE> out(der, der + n);
  OPENSSL_free(der);
  return out;
}

struct Alg {
  std::string oid;
  std::vector<BYTE> params;
};

Alg algOf(const X509_ALGOR* a) {
  Alg out;
  if (a == nullptr) return out;
  const ASN1_OBJECT* obj = nullptr;
  int ptype = V_ASN1_UNDEF;
  const void* pval = nullptr;
  X509_ALGOR_get0(&obj, &ptype, &pval, a);
  out.oid = oidOf(obj);
  if (ptype != V_ASN1_UNDEF) {
    ASN1_TYPE* t = ASN1_TYPE_new();
    if (t != nullptr && ASN1_TYPE_set1(t, ptype, pval) == 1) {
      unsigned char* der = nullptr;
      int n = i2d_ASN1_TYPE(t, &der);
      if (n > 0) out.params.assign(der, der + n);
      OPENSSL_free(der);
    }
    ASN1_TYPE_free(t);
  }
  return out;
}

struct AttrValues {
  std::string oid;
  std::vector<std::vector<BYTE>> values;  // each value's DER
};

AttrValues attrOf(X509_ATTRIBUTE* a) {
  AttrValues out;
  out.oid = oidOf(X509_ATTRIBUTE_get0_object(a));
  for (int i = 0; i < X509_ATTRIBUTE_count(a); ++i) {
    ASN1_TYPE* t = X509_ATTRIBUTE_get0_type(a, i);
    unsigned char* der = nullptr;
    int n = t != nullptr ? i2d_ASN1_TYPE(t, &der) : -1;
    out.values.emplace_back();
    if (n > 0) out.values.back().assign(der, der + n);
    OPENSSL_free(der);
  }
  return out;
}

// The name CryptoAPI gives a signer named by key identifier: one RDN of one
// attribute szOID_KEYID_RDN whose value is an OCTET STRING of the identifier.
std::vector<BYTE> keyIdName(const ASN1_OCTET_STRING* keyid) {
  static const BYTE kOid[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x0A, 0x07, 0x01};
  const size_t idLength = static_cast<size_t>(ASN1_STRING_length(keyid));
  std::vector<BYTE> value;
  putHeader(value, 0x04, idLength);
  put(value, ASN1_STRING_get0_data(keyid), idLength);
  std::vector<BYTE> attr;
  putHeader(attr, 0x30, sizeof kOid + value.size());
  put(attr, kOid, sizeof kOid);
  put(attr, value.data(), value.size());
  std::vector<BYTE> set;
  putHeader(set, 0x31, attr.size());
  put(set, attr.data(), attr.size());
  std::vector<BYTE> name;
  putHeader(name, 0x30, set.size());
  put(name, set.data(), set.size());
  return name;
}

// A CMSG_SIGNER_INFO and what it points to, in one buffer.
bool layOutSignerInfo(CMS_SignerInfo* si, std::vector<BYTE>* out) {
  ASN1_OCTET_STRING* keyid = nullptr;
  X509_NAME* issuer = nullptr;
  ASN1_INTEGER* serial = nullptr;
  if (CMS_SignerInfo_get0_signer_id(si, &keyid, &issuer, &serial) != 1) return false;
  DWORD version = 1;
  std::vector<BYTE> issuerDer, serialLE;
  if (keyid != nullptr) {
    version = 3;
    issuerDer = keyIdName(keyid);
  } else {
    issuerDer = derOf(reinterpret_cast<int (*)(const void*, unsigned char**)>(i2d_X509_NAME), issuer);
    std::vector<BYTE> integer =
        derOf(reinterpret_cast<int (*)(const void*, unsigned char**)>(i2d_ASN1_INTEGER), serial);
    if (issuerDer.empty() || integer.size() < 2) return false;
    // Skip the INTEGER's tag and length; the content octets least significant first.
    size_t header = 2;
    if (integer[1] & 0x80) header += integer[1] & 0x7F;
    for (size_t k = integer.size(); k-- > header;) serialLE.push_back(integer[k]);
  }
  X509_ALGOR* digestAlg = nullptr;
  X509_ALGOR* signatureAlg = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digestAlg, &signatureAlg);
  Alg hash = algOf(digestAlg), encryption = algOf(signatureAlg);
  const ASN1_OCTET_STRING* sig = CMS_SignerInfo_get0_signature(si);
  std::vector<AttrValues> auth, unauth;
  for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) auth.push_back(attrOf(CMS_signed_get_attr(si, i)));
  for (int i = 0; i < CMS_unsigned_get_attr_count(si); ++i) unauth.push_back(attrOf(CMS_unsigned_get_attr(si, i)));

  // Sizes first: the structure, the attribute arrays, then the bytes.
  size_t need = align8(sizeof(CMSG_SIGNER_INFO));
  auto attrsSize = [](const std::vector<AttrValues>& list) {
    size_t n = align8(list.size() * sizeof(CRYPT_ATTRIBUTE));
    for (const AttrValues& a : list) {
      n += align8(a.values.size() * sizeof(CRYPT_ATTR_BLOB)) + align8(a.oid.size() + 1);
      for (const auto& v : a.values) n += align8(v.size());
    }
    return n;
  };
  need += attrsSize(auth) + attrsSize(unauth);
  need += align8(issuerDer.size()) + align8(serialLE.size()) + align8(hash.oid.size() + 1) +
          align8(hash.params.size()) + align8(encryption.oid.size() + 1) + align8(encryption.params.size()) +
          align8(static_cast<size_t>(sig != nullptr ? ASN1_STRING_length(sig) : 0));
  out->assign(need, 0);
  BYTE* base = out->data();
  auto* info = reinterpret_cast<CMSG_SIGNER_INFO*>(base);
  size_t at = align8(sizeof(CMSG_SIGNER_INFO));
  auto blob = [&](const BYTE* data, size_t n) {
    CRYPTOAPI_BLOB b{static_cast<DWORD>(n), n != 0 ? base + at : nullptr};
    if (n != 0) std::memcpy(base + at, data, n);
    at += align8(n);
    return b;
  };
  auto text = [&](const std::string& t) {
    auto* p = reinterpret_cast<LPSTR>(base + at);
    std::memcpy(base + at, t.c_str(), t.size() + 1);
    at += align8(t.size() + 1);
    return p;
  };
  auto attrs = [&](const std::vector<AttrValues>& list) {
    CRYPT_ATTRIBUTES a{static_cast<DWORD>(list.size()), nullptr};
    if (list.empty()) return a;
    a.rgAttr = reinterpret_cast<CRYPT_ATTRIBUTE*>(base + at);
    at += align8(list.size() * sizeof(CRYPT_ATTRIBUTE));
    for (size_t i = 0; i < list.size(); ++i) {
      CRYPT_ATTRIBUTE& one = a.rgAttr[i];
      one.pszObjId = text(list[i].oid);
      one.cValue = static_cast<DWORD>(list[i].values.size());
      one.rgValue = reinterpret_cast<CRYPT_ATTR_BLOB*>(base + at);
      at += align8(list[i].values.size() * sizeof(CRYPT_ATTR_BLOB));
      for (size_t v = 0; v < list[i].values.size(); ++v)
        one.rgValue[v] = blob(list[i].values[v].data(), list[i].values[v].size());
    }
    return a;
  };
  info->dwVersion = version;
  info->AuthAttrs = attrs(auth);
  info->UnauthAttrs = attrs(unauth);
  info->Issuer = blob(issuerDer.data(), issuerDer.size());
  info->SerialNumber = blob(serialLE.data(), serialLE.size());
  info->HashAlgorithm.pszObjId = text(hash.oid);
  info->HashAlgorithm.Parameters = blob(hash.params.data(), hash.params.size());
  info->HashEncryptionAlgorithm.pszObjId = text(encryption.oid);
  info->HashEncryptionAlgorithm.Parameters = blob(encryption.params.data(), encryption.params.size());
  if (sig != nullptr)
    info->EncryptedHash = blob(ASN1_STRING_get0_data(sig), static_cast<size_t>(ASN1_STRING_length(sig)));
  return at == need;
}

DWORD typeOf(const CMS_ContentInfo* cms) {
  switch (OBJ_obj2nid(CMS_get0_type(cms))) {
    case NID_pkcs7_data: return CMSG_DATA;
    case NID_pkcs7_signed: return CMSG_SIGNED;
    case NID_pkcs7_enveloped: return CMSG_ENVELOPED;
    case NID_pkcs7_signedAndEnveloped: return CMSG_SIGNED_AND_ENVELOPED;
    case NID_pkcs7_digest: return CMSG_HASHED;
    case NID_pkcs7_encrypted: return CMSG_ENCRYPTED;
    default: return 0;
  }
}

bool finishDecode(MsgObject* m, const BYTE* pbData, DWORD cbData) {
  const BYTE* bytes = pbData;
  size_t length = cbData;
  if (!m->content.empty()) {
    if (cbData != 0) m->content.insert(m->content.end(), pbData, pbData + cbData);
    bytes = m->content.data();
    length = m->content.size();
  }
  CMS_ContentInfo* cms = nullptr;
  if (length != 0 && length <= 0x7FFFFFFF) {
    BIO* bio = BIO_new_mem_buf(bytes, static_cast<int>(length));
    if (bio != nullptr) cms = d2i_CMS_bio(bio, nullptr);
    BIO_free(bio);
  }
  std::vector<BYTE>().swap(m->content);
  ERR_clear_error();
  if (cms == nullptr) {
    setError(length == 0 ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_BADTAG);
    return false;
  }
  const DWORD type = typeOf(cms);
  if (type == 0 || (m->wantType != 0 && m->wantType != type)) {
    CMS_ContentInfo_free(cms);
    setError(CRYPT_E_INVALID_MSG_TYPE);
    return false;
  }
  if (type == CMSG_SIGNED) {
    STACK_OF(X509)* certs = CMS_get1_certs(cms);
    for (int i = 0; i < sk_X509_num(certs); ++i)
      m->decodedCerts.push_back(
          derOf(reinterpret_cast<int (*)(const void*, unsigned char**)>(i2d_X509), sk_X509_value(certs, i)));
    sk_X509_pop_free(certs, X509_free);
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
      m->signerInfoBuffers.emplace_back();
      if (!layOutSignerInfo(sk_CMS_SignerInfo_value(infos, i), &m->signerInfoBuffers.back())) {
        ERR_clear_error();
        CMS_ContentInfo_free(cms);
        m->decodedCerts.clear();
        m->signerInfoBuffers.clear();
        setError(CRYPT_E_ASN1_BADTAG);
        return false;
      }
    }
  }
  ERR_clear_error();
  m->cms = cms;
  m->type = type;
  m->encodedOk = true;
  return true;
}

// Moves the pointers of a laid-out CMSG_SIGNER_INFO copied from src to dst.
void rebaseSignerInfo(const BYTE* src, BYTE* dst, size_t n) {
  auto move = [&](auto*& p) {
    if (p == nullptr) return;
    const BYTE* b = reinterpret_cast<const BYTE*>(p);
    if (b < src || b >= src + n) return;
    p = reinterpret_cast<std::remove_reference_t<decltype(p)>>(dst + (b - src));
  };
  auto* info = reinterpret_cast<CMSG_SIGNER_INFO*>(dst);
  move(info->Issuer.pbData);
  move(info->SerialNumber.pbData);
  move(info->HashAlgorithm.pszObjId);
  move(info->HashAlgorithm.Parameters.pbData);
  move(info->HashEncryptionAlgorithm.pszObjId);
  move(info->HashEncryptionAlgorithm.Parameters.pbData);
  move(info->EncryptedHash.pbData);
  for (CRYPT_ATTRIBUTES* list : {&info->AuthAttrs, &info->UnauthAttrs}) {
    move(list->rgAttr);
    for (DWORD i = 0; i < list->cAttr; ++i) {
      CRYPT_ATTRIBUTE& a = list->rgAttr[i];
      move(a.pszObjId);
      move(a.rgValue);
      for (DWORD v = 0; v < a.cValue; ++v) move(a.rgValue[v].pbData);
    }
  }
}

bool decodedParam(MsgObject* m, DWORD param, DWORD index, void* pvData, DWORD* pcbData) {
  if (!m->encodedOk) {
    setError(CRYPT_E_MSG_ERROR);
    return false;
  }
  auto indexed = [&](const std::vector<std::vector<BYTE>>& list) {
    if (index >= list.size()) {
      setError(CRYPT_E_INVALID_INDEX);
      return false;
    }
    return copyOut(list[index].data(), list[index].size(), pvData, pcbData);
  };
  switch (param) {
    case CMSG_TYPE_PARAM: return copyDword(m->type, pvData, pcbData);
    case CMSG_CONTENT_PARAM: {
      if (m->type != CMSG_SIGNED && m->type != CMSG_DATA) break;
      ASN1_OCTET_STRING** content = CMS_get0_content(m->cms);
      if (content == nullptr || *content == nullptr) return copyOut(nullptr, 0, pvData, pcbData);
      return copyOut(ASN1_STRING_get0_data(*content), static_cast<size_t>(ASN1_STRING_length(*content)), pvData,
                     pcbData);
    }
    case CMSG_CERT_COUNT_PARAM:
      if (m->type != CMSG_SIGNED) break;
      return copyDword(static_cast<DWORD>(m->decodedCerts.size()), pvData, pcbData);
    case CMSG_CERT_PARAM:
      if (m->type != CMSG_SIGNED) break;
      return indexed(m->decodedCerts);
    case CMSG_SIGNER_COUNT_PARAM:
      if (m->type != CMSG_SIGNED) break;
      return copyDword(static_cast<DWORD>(m->signerInfoBuffers.size()), pvData, pcbData);
    case CMSG_SIGNER_INFO_PARAM: {
      if (m->type != CMSG_SIGNED) break;
      if (index >= m->signerInfoBuffers.size()) {
        setError(CRYPT_E_INVALID_INDEX);
        return false;
      }
      // The pointers inside point into the message's copy; the caller gets
      // the same layout rebased onto its own buffer.
      const std::vector<BYTE>& src = m->signerInfoBuffers[index];
      if (!copyOut(src.data(), src.size(), pvData, pcbData)) return false;
      if (pvData != nullptr) rebaseSignerInfo(src.data(), static_cast<BYTE*>(pvData), src.size());
      return true;
    }
    default: break;
  }
  setError(CRYPT_E_INVALID_MSG_TYPE);
  return false;
}

}  // namespace
}  // namespace crypt_internal

using namespace crypt_internal;

PLATFORM_API DWORD CryptMsgCalculateEncodedLength(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                  const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                                  DWORD cbData) {
  std::vector<Signer> signers;
  std::vector<std::vector<BYTE>> certs;
  if (!readEncodeInfo(dwMsgEncodingType, dwFlags, dwMsgType, pvMsgEncodeInfo, pszInnerContentObjID, &signers, &certs))
    return 0;
  size_t infos = signerInfos(signers, nullptr).size();
  Layout l = layout(cbData, certs, infos, !signers.empty());
  for (Signer& s : signers) releaseProv(s.prov);
  if (l.total > 0xFFFFFFFFULL) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return 0;
  }
  return static_cast<DWORD>(l.total);
}

PLATFORM_API HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                            const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                            PCMSG_STREAM_INFO pStreamInfo) {
  if (pStreamInfo != nullptr) {
    setError(static_cast<DWORD>(E_NOTIMPL));
    return nullptr;
  }
  auto* m = new MsgObject();
  if (!readEncodeInfo(dwMsgEncodingType, dwFlags, dwMsgType, pvMsgEncodeInfo, pszInnerContentObjID, &m->signers,
                      &m->certs)) {
    DWORD err = GetLastError();
    delete m;
    setError(err);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(msgMutex());
  liveMsgs().insert(m);
  return m;
}

PLATFORM_API BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal) {
  MsgObject* m = msgFromHandle(hCryptMsg);
  if (m == nullptr || (pbData == nullptr && cbData != 0)) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  if (m->finished) {
    setError(CRYPT_E_MSG_ERROR);
    return FALSE;
  }
  if (!fFinal) {
    if (cbData != 0) m->content.insert(m->content.end(), pbData, pbData + cbData);
    return TRUE;
  }
  m->finished = true;
  if (m->decode) return finishDecode(m, pbData, cbData) ? TRUE : FALSE;
  // A single final update is used where it lies, without a copy.
  const BYTE* content = pbData;
  size_t length = cbData;
  if (!m->content.empty()) {
    if (cbData != 0) m->content.insert(m->content.end(), pbData, pbData + cbData);
    content = m->content.data();
    length = m->content.size();
  }
  static const BYTE kEmpty = 0;
  if (content == nullptr) content = &kEmpty;
  BYTE digest[SHA_DIGEST_LENGTH];
  SHA1(content, length, digest);
  std::vector<std::vector<BYTE>> signatures;
  for (Signer& s : m->signers) {
    std::vector<BYTE> sig;
    if (!provSignSha1(s.prov, digest, &sig)) {
      DWORD err = GetLastError();
      std::vector<BYTE>().swap(m->content);
      setError(err);
      return FALSE;
    }
    if (sig.size() != s.signatureSize) {
      std::vector<BYTE>().swap(m->content);
      setError(NTE_BAD_SIGNATURE);
      return FALSE;
    }
    signatures.push_back(std::move(sig));
  }
  std::vector<BYTE> infos = signerInfos(m->signers, &signatures);
  encode(content, length, m->certs, infos, !m->signers.empty(), &m->encoded);
  std::vector<BYTE>().swap(m->content);
  m->encodedOk = true;
  return TRUE;
}

PLATFORM_API BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                                   DWORD* pcbData) {
  MsgObject* m = msgFromHandle(hCryptMsg);
  if (m == nullptr || pcbData == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  if (m->decode) return decodedParam(m, dwParamType, dwIndex, pvData, pcbData) ? TRUE : FALSE;
  if (dwParamType != CMSG_CONTENT_PARAM || dwIndex != 0) {
    setError(CRYPT_E_INVALID_MSG_TYPE);
    return FALSE;
  }
  if (!m->encodedOk) {
    setError(CRYPT_E_MSG_ERROR);
    return FALSE;
  }
  if (m->encoded.size() > 0xFFFFFFFFULL) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  DWORD need = static_cast<DWORD>(m->encoded.size());
  if (pvData == nullptr) {
    *pcbData = need;
    return TRUE;
  }
  if (*pcbData < need) {
    *pcbData = need;
    setError(ERROR_MORE_DATA);
    return FALSE;
  }
  std::memcpy(pvData, m->encoded.data(), need);
  *pcbData = need;
  return TRUE;
}

PLATFORM_API BOOL CryptMsgClose(HCRYPTMSG hCryptMsg) {
  if (hCryptMsg == nullptr) return TRUE;
  auto* m = static_cast<MsgObject*>(hCryptMsg);
  {
    std::lock_guard<std::mutex> lock(msgMutex());
    if (liveMsgs().erase(m) == 0) {
      setError(static_cast<DWORD>(E_INVALIDARG));
      return FALSE;
    }
  }
  m->magic = 0;
  delete m;
  return TRUE;
}

PLATFORM_API HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                            HCRYPTPROV_LEGACY hCryptProv, PCMSG_RECIPIENT_INFO pRecipientInfo,
                                            PCMSG_STREAM_INFO pStreamInfo) {
  if ((dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0 || (dwFlags & ~CMSG_DETACHED_FLAG) != 0) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  if (hCryptProv != 0 || pRecipientInfo != nullptr || pStreamInfo != nullptr) {
    setError(static_cast<DWORD>(E_NOTIMPL));
    return nullptr;
  }
  if (dwMsgType > CMSG_ENCRYPTED) {
    setError(CRYPT_E_INVALID_MSG_TYPE);
    return nullptr;
  }
  auto* m = new MsgObject();
  m->decode = true;
  m->wantType = dwMsgType;
  std::lock_guard<std::mutex> lock(msgMutex());
  liveMsgs().insert(m);
  return m;
}
