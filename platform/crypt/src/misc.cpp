// Key usage and public-key length.
#include <algorithm>
#include <cstring>
#include <vector>

#include <openssl/err.h>
#include <openssl/x509.h>

#include "internal.h"

using namespace crypt_internal;

namespace {
void putLength(std::vector<BYTE>& out, size_t n) {
  if (n < 0x80) {
    out.push_back(static_cast<BYTE>(n));
    return;
  }
  std::vector<BYTE> len;
  for (size_t v = n; v != 0; v >>= 8) len.insert(len.begin(), static_cast<BYTE>(v & 0xFF));
  out.push_back(static_cast<BYTE>(0x80 | len.size()));
  out.insert(out.end(), len.begin(), len.end());
}

void putTlv(std::vector<BYTE>& out, BYTE tag, const std::vector<BYTE>& body) {
  out.push_back(tag);
  putLength(out, body.size());
  out.insert(out.end(), body.begin(), body.end());
}
}  // namespace

PLATFORM_API BOOL CertGetIntendedKeyUsage(DWORD, PCERT_INFO pCertInfo, BYTE* pbKeyUsage, DWORD cbKeyUsage) {
  if (pbKeyUsage != nullptr && cbKeyUsage != 0) std::memset(pbKeyUsage, 0, cbKeyUsage);
  if (pCertInfo == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  for (DWORD i = 0; i < pCertInfo->cExtension; ++i) {
    const CERT_EXTENSION& e = pCertInfo->rgExtension[i];
    if (e.pszObjId == nullptr || std::strcmp(e.pszObjId, szOID_KEY_USAGE) != 0) continue;
    const unsigned char* p = e.Value.pbData;
    ASN1_BIT_STRING* bits = d2i_ASN1_BIT_STRING(nullptr, &p, static_cast<long>(e.Value.cbData));
    if (bits == nullptr) {
      ERR_clear_error();
      setError(CRYPT_E_ASN1_BADTAG);
      return FALSE;
    }
    size_t n = static_cast<size_t>(ASN1_STRING_length(bits));
    if (pbKeyUsage != nullptr) std::memcpy(pbKeyUsage, ASN1_STRING_get0_data(bits), std::min<size_t>(n, cbKeyUsage));
    ASN1_BIT_STRING_free(bits);
    return TRUE;
  }
  setError(static_cast<DWORD>(0));
  return FALSE;
}

PLATFORM_API DWORD CertGetPublicKeyLength(DWORD, PCERT_PUBLIC_KEY_INFO pPublicKey) {
  if (pPublicKey == nullptr || pPublicKey->Algorithm.pszObjId == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return 0;
  }
  // Put the SubjectPublicKeyInfo back together and let OpenSSL read the key.
  ASN1_OBJECT* obj = OBJ_txt2obj(pPublicKey->Algorithm.pszObjId, 1);
  if (obj == nullptr) {
    ERR_clear_error();
    setError(NTE_BAD_ALGID);
    return 0;
  }
  unsigned char* oidDer = nullptr;
  int oidLen = i2d_ASN1_OBJECT(obj, &oidDer);
  ASN1_OBJECT_free(obj);
  if (oidLen <= 0) {
    ERR_clear_error();
    setError(NTE_BAD_ALGID);
    return 0;
  }
  std::vector<BYTE> alg(oidDer, oidDer + oidLen);
  OPENSSL_free(oidDer);
  const CRYPT_OBJID_BLOB& params = pPublicKey->Algorithm.Parameters;
  if (params.pbData != nullptr) alg.insert(alg.end(), params.pbData, params.pbData + params.cbData);
  std::vector<BYTE> bits{static_cast<BYTE>(pPublicKey->PublicKey.cUnusedBits & 7)};
  if (pPublicKey->PublicKey.pbData != nullptr)
    bits.insert(bits.end(), pPublicKey->PublicKey.pbData, pPublicKey->PublicKey.pbData + pPublicKey->PublicKey.cbData);
  std::vector<BYTE> body, spki;
  putTlv(body, 0x30, alg);
  putTlv(body, 0x03, bits);
  putTlv(spki, 0x30, body);
  const unsigned char* p = spki.data();
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
  if (key == nullptr) {
    ERR_clear_error();
    setError(NTE_BAD_KEY);
    return 0;
  }
  int n = EVP_PKEY_get_bits(key);
  EVP_PKEY_free(key);
  if (n <= 0) {
    setError(NTE_BAD_KEY);
    return 0;
  }
  return static_cast<DWORD>(n);
}
