// Low-level messages: attached PKCS#7 SignedData without signed attributes.
//
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

#include <openssl/sha.h>

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
  ~MsgObject() {
    for (Signer& s : signers) releaseProv(s.prov);
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
    if (signatures != nullptr) put(body, (*signatures)[i].data(), sig);
    else body.insert(body.end(), sig, 0);
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

}  // namespace
}  // namespace crypt_internal

using namespace crypt_internal;

PLATFORM_API DWORD CryptMsgCalculateEncodedLength(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                  const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                                  DWORD cbData) {
  std::vector<Signer> signers;
  std::vector<std::vector<BYTE>> certs;
  if (!readEncodeInfo(dwMsgEncodingType, dwFlags, dwMsgType, pvMsgEncodeInfo, pszInnerContentObjID, &signers,
                      &certs))
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
