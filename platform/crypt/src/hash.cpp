// Hash objects and signatures of a hash: MD5 only, signed PKCS#1 v1.5 by the
// provider's key (software key or token key) and handed out least
// significant byte first, as CryptoAPI writes signatures.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "internal.h"

namespace crypt_internal {
namespace {

constexpr uint32_t kHashMagic = 0x48415348;  // "HASH"

struct HashObject {
  uint32_t magic = kHashMagic;
  ProvObject* prov = nullptr;  // a reference of the hash's own
  EVP_MD_CTX* md = nullptr;
  bool finished = false;  // signed once: no more data
  BYTE digest[EVP_MAX_MD_SIZE]{};
  unsigned int digestLength = 0;
  ~HashObject() {
    EVP_MD_CTX_free(md);
    releaseProv(prov);
  }
};

std::mutex& hashMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::set<HashObject*>& liveHashes() {
  static auto* s = new std::set<HashObject*>();
  return *s;
}
HashObject* hashFromHandle(HCRYPTHASH h) {
  auto* o = reinterpret_cast<HashObject*>(h);
  std::lock_guard<std::mutex> lock(hashMutex());
  return liveHashes().count(o) != 0 ? o : nullptr;
}

// PKCS#1 v1.5 signature of an MD5 digest, most significant byte first.
bool signMd5(ProvObject* p, const BYTE* digest, std::vector<BYTE>* signature) {
  static const BYTE kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                    0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  return provSignDigest(p, EVP_md5(), kMd5Prefix, sizeof kMd5Prefix, digest, signature);
}

}  // namespace
}  // namespace crypt_internal

using namespace crypt_internal;

PLATFORM_API BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
  if (phHash == nullptr) {
    setError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return FALSE;
  }
  *phHash = 0;
  ProvObject* p = provFromHandle(hProv);
  if (p == nullptr) {
    setError(NTE_BAD_UID);
    return FALSE;
  }
  if (Algid != CALG_MD5) {
    setError(NTE_BAD_ALGID);
    return FALSE;
  }
  if (hKey != 0) {
    setError(NTE_BAD_KEY);
    return FALSE;
  }
  if (dwFlags != 0) {
    setError(NTE_BAD_FLAGS);
    return FALSE;
  }
  auto* h = new HashObject();
  h->md = EVP_MD_CTX_new();
  if (h->md == nullptr || EVP_DigestInit_ex(h->md, EVP_md5(), nullptr) != 1) {
    ERR_clear_error();
    delete h;
    setError(NTE_NO_MEMORY);
    return FALSE;
  }
  provAddRef(p);
  h->prov = p;
  std::lock_guard<std::mutex> lock(hashMutex());
  liveHashes().insert(h);
  *phHash = reinterpret_cast<HCRYPTHASH>(h);
  return TRUE;
}

PLATFORM_API BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
  HashObject* h = hashFromHandle(hHash);
  if (h == nullptr) {
    setError(NTE_BAD_HASH);
    return FALSE;
  }
  if (dwFlags != 0) {
    setError(NTE_BAD_FLAGS);
    return FALSE;
  }
  if (pbData == nullptr && dwDataLen != 0) {
    setError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return FALSE;
  }
  if (h->finished) {
    setError(NTE_BAD_HASH_STATE);
    return FALSE;
  }
  if (dwDataLen != 0 && EVP_DigestUpdate(h->md, pbData, dwDataLen) != 1) {
    ERR_clear_error();
    setError(NTE_FAIL);
    return FALSE;
  }
  return TRUE;
}

PLATFORM_API BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                                 BYTE* pbSignature, DWORD* pdwSigLen) {
  HashObject* h = hashFromHandle(hHash);
  if (h == nullptr) {
    setError(NTE_BAD_HASH);
    return FALSE;
  }
  if (pdwSigLen == nullptr || szDescription != nullptr) {
    setError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return FALSE;
  }
  if (dwFlags != 0) {
    setError(NTE_BAD_FLAGS);
    return FALSE;
  }
  if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) {
    setError(NTE_BAD_KEY);
    return FALSE;
  }
  const size_t size = provSignatureSize(h->prov);
  if (size == 0) {
    setError(NTE_BAD_ALGID);
    return FALSE;
  }
  const DWORD need = static_cast<DWORD>(size);
  if (pbSignature == nullptr) {
    *pdwSigLen = need;
    return TRUE;
  }
  if (*pdwSigLen < need) {
    *pdwSigLen = need;
    setError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (!h->finished) {
    if (EVP_DigestFinal_ex(h->md, h->digest, &h->digestLength) != 1) {
      ERR_clear_error();
      setError(NTE_FAIL);
      return FALSE;
    }
    h->finished = true;
  }
  std::vector<BYTE> signature;
  if (!signMd5(h->prov, h->digest, &signature)) return FALSE;
  if (signature.size() != size) {
    setError(NTE_BAD_SIGNATURE);
    return FALSE;
  }
  std::reverse_copy(signature.begin(), signature.end(), pbSignature);
  *pdwSigLen = need;
  return TRUE;
}

PLATFORM_API BOOL CryptDestroyHash(HCRYPTHASH hHash) {
  auto* h = reinterpret_cast<HashObject*>(hHash);
  {
    std::lock_guard<std::mutex> lock(hashMutex());
    if (liveHashes().erase(h) == 0) {
      setError(NTE_BAD_HASH);
      return FALSE;
    }
  }
  h->magic = 0;
  delete h;
  return TRUE;
}
