// Key providers and key containers.
//
// The software provider keeps each key container's private key in the file
// $PLATFORM_ROOT/keys/<container>.key (PKCS#8 PEM, unencrypted, mode 0600, in
// a folder of mode 0700). A certificate names its container, provider name,
// provider type and key spec in CERT_KEY_PROV_INFO_PROP_ID. The provider name
// is what the container reports (PP_NAME); unless named otherwise at import it
// is the system's software provider, "Microsoft Enhanced Cryptographic
// Provider v1.0".
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <unordered_map>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "internal.h"
#include "platform/kernel.h"

namespace crypt_internal {

namespace {
std::mutex& provMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::set<ProvObject*>& liveProvs() {
  static std::set<ProvObject*>* s = new std::set<ProvObject*>();
  return *s;
}

HCRYPTPROV registerProv(ProvObject* p) {
  std::lock_guard<std::mutex> lock(provMutex());
  liveProvs().insert(p);
  return reinterpret_cast<HCRYPTPROV>(p);
}

std::string keysDir() { return std::string(PlatformRoot()) + "/keys"; }

// Keys the software provider has loaded stay loaded for the life of the
// process, as the system keeps acquired keys: acquiring a key again costs a
// stat of its file. A file that changed (inode, time or size) is read again;
// a deleted container drops its entry.
// With the key, its signing set up per digest (padding and digest chosen):
// setting one up costs more than a copy of a prepared one.
struct CachedKey {
  uint64_t ino = 0;
  int64_t mtimeNs = 0;
  int64_t size = 0;
  EVP_PKEY* key = nullptr;
  std::vector<std::pair<std::string, EVP_PKEY_CTX*>> signings;  // by digest name
  void release() {
    for (auto& entry : signings) EVP_PKEY_CTX_free(entry.second);
    signings.clear();
    EVP_PKEY_free(key);
    key = nullptr;
  }
};
std::mutex& keyCacheMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::unordered_map<std::string, CachedKey>& keyCache() {
  static auto* c = new std::unordered_map<std::string, CachedKey>();
  return *c;
}

void forgetKey(const std::string& path) {
  std::lock_guard<std::mutex> lock(keyCacheMutex());
  auto it = keyCache().find(path);
  if (it == keyCache().end()) return;
  it->second.release();
  keyCache().erase(it);
}

// Loads the container's key (a new reference); sets the last error and
// returns null on failure.
EVP_PKEY* loadContainerKey(const std::string& container) {
  if (!validContainerName(container)) {
    setError(NTE_BAD_KEYSET);
    return nullptr;
  }
  std::string path = keyFilePath(container);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    setError(errno == ENOENT ? NTE_BAD_KEYSET : NTE_PERM);
    forgetKey(path);
    return nullptr;
  }
  const int64_t mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  {
    std::lock_guard<std::mutex> lock(keyCacheMutex());
    auto it = keyCache().find(path);
    if (it != keyCache().end() && it->second.ino == st.st_ino && it->second.mtimeNs == mtimeNs &&
        it->second.size == st.st_size && EVP_PKEY_up_ref(it->second.key) == 1)
      return it->second.key;
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    setError(errno == ENOENT ? NTE_BAD_KEYSET : NTE_PERM);
    return nullptr;
  }
  struct stat opened {};
  const bool same = fstat(fileno(f), &opened) == 0 && opened.st_ino == st.st_ino;
  EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, const_cast<char*>(""));
  std::fclose(f);
  if (key == nullptr) {
    ERR_clear_error();
    setError(NTE_KEYSET_ENTRY_BAD);
    forgetKey(path);
    return nullptr;
  }
  if (same && EVP_PKEY_up_ref(key) == 1) {
    std::lock_guard<std::mutex> lock(keyCacheMutex());
    CachedKey& entry = keyCache()[path];
    entry.release();
    entry.ino = static_cast<uint64_t>(st.st_ino);
    entry.mtimeNs = mtimeNs;
    entry.size = static_cast<int64_t>(st.st_size);
    entry.key = key;
  }
  return key;
}

std::string utf8OrDefault(const std::u16string& name) {
  return name.empty() ? std::string(defaultProviderName()) : wideToUtf8(name);
}

BOOL copyText(const std::string& utf8, BYTE* pbData, DWORD* pdwDataLen) {
  std::string text = wideToAnsi(utf8ToWide(utf8));
  DWORD need = static_cast<DWORD>(text.size() + 1);
  if (pbData == nullptr) {
    *pdwDataLen = need;
    return TRUE;
  }
  if (*pdwDataLen < need) {
    *pdwDataLen = need;
    setError(ERROR_MORE_DATA);
    return FALSE;
  }
  std::memcpy(pbData, text.c_str(), need);
  *pdwDataLen = need;
  return TRUE;
}
}  // namespace

ProvObject* provFromHandle(HCRYPTPROV h) {
  auto* p = reinterpret_cast<ProvObject*>(h);
  std::lock_guard<std::mutex> lock(provMutex());
  return liveProvs().count(p) != 0 ? p : nullptr;
}

void provAddRef(ProvObject* p) {
  std::lock_guard<std::mutex> lock(provMutex());
  ++p->refs;
}

void wipe(void* data, size_t n) {
  if (data != nullptr && n != 0) OPENSSL_cleanse(data, n);
}

size_t provSignatureSize(const ProvObject* p) {
  const EVP_PKEY* k = p->token ? p->certKey : p->key;
  if (k == nullptr || EVP_PKEY_get_base_id(k) != EVP_PKEY_RSA) return 0;
  int n = EVP_PKEY_get_size(k);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// A new RSA signing context for PKCS#1 v1.5 signatures of `md` digests, or null.
EVP_PKEY_CTX* newRsaSigning(EVP_PKEY* key, const EVP_MD* md) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  if (ctx == nullptr || EVP_PKEY_sign_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx, md) != 1) {
    EVP_PKEY_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

// The same, copied from the prepared one of a loaded key.
EVP_PKEY_CTX* rsaSigning(EVP_PKEY* key, const EVP_MD* md) {
  const char* name = EVP_MD_get0_name(md);
  std::lock_guard<std::mutex> lock(keyCacheMutex());
  for (auto& [path, cached] : keyCache()) {
    if (cached.key != key || name == nullptr) continue;
    for (auto& entry : cached.signings)
      if (entry.first == name) return EVP_PKEY_CTX_dup(entry.second);
    EVP_PKEY_CTX* prepared = newRsaSigning(key, md);
    if (prepared == nullptr) return nullptr;
    try {
      cached.signings.emplace_back(name, prepared);
    } catch (const std::bad_alloc&) {
      return prepared;  // not kept: this signature uses it alone
    }
    return EVP_PKEY_CTX_dup(prepared);
  }
  return newRsaSigning(key, md);
}

bool provSignDigest(ProvObject* p, const EVP_MD* md, const BYTE* prefix, size_t prefixLength, const BYTE* digest,
                    std::vector<BYTE>* signature) {
  const size_t digestLength = static_cast<size_t>(EVP_MD_get_size(md));
  if (p->token) {
    // The token signs the DigestInfo itself (CKM_RSA_PKCS).
    BYTE info[kMaxDigestInfoPrefix + EVP_MAX_MD_SIZE];
    std::memcpy(info, prefix, prefixLength);
    std::memcpy(info + prefixLength, digest, digestLength);
    return tokenSignDigestInfo(p, info, prefixLength + digestLength, signature);
  }
  if (p->key == nullptr || EVP_PKEY_get_base_id(p->key) != EVP_PKEY_RSA) {
    setError(NTE_BAD_ALGID);
    return false;
  }
  EVP_PKEY_CTX* ctx = rsaSigning(p->key, md);
  size_t n = provSignatureSize(p);
  bool ok = ctx != nullptr;
  if (ok) {
    signature->assign(n, 0);
    ok = EVP_PKEY_sign(ctx, signature->data(), &n, digest, digestLength) == 1;
    // A signature is always as long as the modulus (leading zero bytes kept).
    if (ok && n < signature->size()) {
      size_t pad = signature->size() - n;
      std::memmove(signature->data() + pad, signature->data(), n);
      std::memset(signature->data(), 0, pad);
    }
  }
  EVP_PKEY_CTX_free(ctx);
  if (!ok) {
    ERR_clear_error();
    setError(NTE_BAD_KEY);
  }
  return ok;
}

bool provSignSha1(ProvObject* p, const BYTE* digest, std::vector<BYTE>* signature) {
  static const BYTE kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                     0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  return provSignDigest(p, EVP_sha1(), kSha1Prefix, sizeof kSha1Prefix, digest, signature);
}

void releaseProv(ProvObject* p) {
  if (p == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(provMutex());
    if (liveProvs().count(p) == 0) return;
    if (--p->refs > 0) return;
    liveProvs().erase(p);
  }
  p->magic = 0;
  delete p;
}

const char* defaultProviderName() { return MS_ENHANCED_PROV_A; }

// Container names become file names: letters, digits and - _ { } . only, not
// beginning with '.'.
bool validContainerName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name[0] == '.') return false;
  for (unsigned char ch : name)
    if (!(std::isalnum(ch) || ch == '-' || ch == '_' || ch == '{' || ch == '}' || ch == '.')) return false;
  return true;
}

std::string keyFilePath(const std::string& container) { return keysDir() + "/" + container + ".key"; }

std::string createKeyContainer(EVP_PKEY* key) {
  std::string dir = keysDir();
  if (!PlatformMakeDirs(dir.c_str())) return std::string();
  chmod(dir.c_str(), 0700);
  std::string name;
  for (int attempt = 0; attempt < 8 && name.empty(); ++attempt) {
    unsigned char r[16];
    if (RAND_bytes(r, sizeof r) != 1) {
      setError(NTE_FAIL);
      return std::string();
    }
    std::string hex = hexUpper(r, sizeof r);
    std::string candidate = "{" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
                            hex.substr(16, 4) + "-" + hex.substr(20, 12) + "}";
    if (access(keyFilePath(candidate).c_str(), F_OK) != 0) name = candidate;
  }
  if (name.empty()) {
    setError(NTE_EXISTS);
    return std::string();
  }
  BIO* bio = BIO_new(BIO_s_secmem());
  if (bio == nullptr) bio = BIO_new(BIO_s_mem());
  if (bio == nullptr || PEM_write_bio_PKCS8PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    BIO_free(bio);
    ERR_clear_error();
    setError(NTE_BAD_KEY);
    return std::string();
  }
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  // The kernel's atomic write creates its temporary file with mode 0600.
  BOOL ok = PlatformWriteFileAtomic(keyFilePath(name).c_str(), data, static_cast<SIZE_T>(n));
  if (data != nullptr && n > 0) OPENSSL_cleanse(data, static_cast<size_t>(n));
  BIO_free(bio);
  if (!ok) return std::string();
  chmod(keyFilePath(name).c_str(), 0600);
  return name;
}

}  // namespace crypt_internal

using namespace crypt_internal;

namespace crypt_internal {
namespace {
// Registers the new provider and hands it out, kept with the context when
// CRYPT_ACQUIRE_CACHE_FLAG asks for it.
BOOL finishAcquire(CertObject* c, ProvObject* p, DWORD dwFlags, HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProv,
                   DWORD* pdwKeySpec, BOOL* pfCallerFreeProv);
}  // namespace
}  // namespace crypt_internal

PLATFORM_API BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void*,
                                                    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProv, DWORD* pdwKeySpec,
                                                    BOOL* pfCallerFreeProv) {
  CertObject* c = certFromContext(pCert);
  if (c == nullptr || phCryptProv == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  *phCryptProv = 0;
  KeyProvInfo info;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if ((dwFlags & CRYPT_ACQUIRE_CACHE_FLAG) && c->cachedProv != nullptr) {
      ProvObject* p = c->cachedProv;
      *phCryptProv = reinterpret_cast<HCRYPTPROV>(p);
      if (pdwKeySpec != nullptr) *pdwKeySpec = p->keySpec;
      if (pfCallerFreeProv != nullptr) *pfCallerFreeProv = FALSE;
      return TRUE;
    }
    if (!c->keyProv) {
      setError(CRYPT_E_NO_KEY_PROPERTY);
      return FALSE;
    }
    info = *c->keyProv;
  }
  if (info.storage == "pkcs11") {
    // The token is not touched here: the provider logs in when a PIN is set
    // and when it signs.
    auto* p = new ProvObject();
    if (!tokenProvFromInfo(info, p)) {
      delete p;
      return FALSE;
    }
    p->certKey = certPublicKey(c);
    p->provType = info.provType != 0 ? info.provType : PROV_RSA_FULL;
    p->keySpec = info.keySpec != 0 ? info.keySpec : AT_KEYEXCHANGE;
    p->silent = (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) != 0;
    DWORD n = CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (n > 1) {
      p->subjectName.assign(n, u'\0');
      CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, p->subjectName.data(), n);
      p->subjectName.resize(n - 1);
    }
    return finishAcquire(c, p, dwFlags, phCryptProv, pdwKeySpec, pfCallerFreeProv);
  }
  if (info.storage != "file") {
    setError(NTE_BAD_PROVIDER);
    return FALSE;
  }
  std::string container = wideToUtf8(info.container);
  EVP_PKEY* key = loadContainerKey(container);
  if (key == nullptr) return FALSE;
  if (dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) {
    if (!certKeyMatches(c, key)) {
      EVP_PKEY_free(key);
      setError(NTE_BAD_PUBLIC_KEY);
      return FALSE;
    }
  }
  auto* p = new ProvObject();
  p->provName = utf8OrDefault(info.provider);
  p->container = container;
  p->provType = info.provType != 0 ? info.provType : PROV_RSA_FULL;
  p->keySpec = info.keySpec != 0 ? info.keySpec : AT_KEYEXCHANGE;
  p->silent = (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) != 0;
  p->key = key;
  return finishAcquire(c, p, dwFlags, phCryptProv, pdwKeySpec, pfCallerFreeProv);
}

namespace crypt_internal {
namespace {
BOOL finishAcquire(CertObject* c, ProvObject* p, DWORD dwFlags, HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProv,
                   DWORD* pdwKeySpec, BOOL* pfCallerFreeProv) {
  HCRYPTPROV h = registerProv(p);
  bool callerFree = true;
  if (dwFlags & CRYPT_ACQUIRE_CACHE_FLAG) {
    ProvObject* old = nullptr;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      if (c->refs > 0) {
        // Another thread may have cached one meanwhile; keep the first.
        if (c->cachedProv == nullptr) {
          c->cachedProv = p;
        } else {
          old = p;
          p = c->cachedProv;
          h = reinterpret_cast<HCRYPTPROV>(p);
        }
        callerFree = false;
      }
    }
    if (old != nullptr) releaseProv(old);
  }
  *phCryptProv = h;
  if (pdwKeySpec != nullptr) *pdwKeySpec = p->keySpec;
  if (pfCallerFreeProv != nullptr) *pfCallerFreeProv = callerFree ? TRUE : FALSE;
  return TRUE;
}
}  // namespace
}  // namespace crypt_internal

PLATFORM_API BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                                       DWORD dwFlags) {
  if (phProv == nullptr) {
    setError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return FALSE;
  }
  *phProv = 0;
  std::string container = wideToUtf8(wideFrom(szContainer));
  DWORD action = dwFlags & ~(CRYPT_SILENT | CRYPT_MACHINE_KEYSET);
  if (action == CRYPT_DELETEKEYSET) {
    if (!validContainerName(container)) {
      setError(NTE_BAD_KEYSET);
      return FALSE;
    }
    forgetKey(keyFilePath(container));
    if (unlink(keyFilePath(container).c_str()) != 0) {
      setError(errno == ENOENT ? NTE_BAD_KEYSET : NTE_PERM);
      return FALSE;
    }
    return TRUE;
  }
  // Making new key sets and verify-only contexts is not offered.
  if (action != 0) {
    setError(NTE_BAD_FLAGS);
    return FALSE;
  }
  EVP_PKEY* key = loadContainerKey(container);
  if (key == nullptr) return FALSE;
  auto* p = new ProvObject();
  p->provName = utf8OrDefault(wideFrom(szProvider));
  p->container = container;
  p->provType = dwProvType != 0 ? dwProvType : PROV_RSA_FULL;
  p->silent = (dwFlags & CRYPT_SILENT) != 0;
  p->key = key;
  *phProv = registerProv(p);
  return TRUE;
}

PLATFORM_API BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                       DWORD dwFlags) {
  std::u16string container = ansiToWide(szContainer);
  std::u16string provider = ansiToWide(szProvider);
  return CryptAcquireContextW(phProv, szContainer != nullptr ? container.c_str() : nullptr,
                              szProvider != nullptr ? provider.c_str() : nullptr, dwProvType, dwFlags);
}

PLATFORM_API BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags) {
  if (pdwReserved != nullptr || dwFlags != 0) {
    setError(NTE_BAD_FLAGS);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(provMutex());
  auto* p = reinterpret_cast<ProvObject*>(hProv);
  if (liveProvs().count(p) == 0) {
    setError(NTE_BAD_UID);
    return FALSE;
  }
  ++p->refs;
  return TRUE;
}

PLATFORM_API BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  ProvObject* p = provFromHandle(hProv);
  if (p == nullptr) {
    setError(NTE_BAD_UID);
    return FALSE;
  }
  releaseProv(p);
  if (dwFlags != 0) {
    setError(NTE_BAD_FLAGS);
    return FALSE;
  }
  return TRUE;
}

PLATFORM_API BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD) {
  ProvObject* p = provFromHandle(hProv);
  if (p == nullptr) {
    setError(NTE_BAD_UID);
    return FALSE;
  }
  if (pdwDataLen == nullptr) {
    setError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return FALSE;
  }
  switch (dwParam) {
    case PP_NAME: return copyText(p->provName, pbData, pdwDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER: return copyText(p->container, pbData, pdwDataLen);
    case PP_PROVTYPE: {
      if (pbData == nullptr) {
        *pdwDataLen = sizeof(DWORD);
        return TRUE;
      }
      if (*pdwDataLen < sizeof(DWORD)) {
        *pdwDataLen = sizeof(DWORD);
        setError(ERROR_MORE_DATA);
        return FALSE;
      }
      std::memcpy(pbData, &p->provType, sizeof(DWORD));
      *pdwDataLen = sizeof(DWORD);
      return TRUE;
    }
    default: setError(NTE_BAD_TYPE); return FALSE;
  }
}

PLATFORM_API BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  ProvObject* p = provFromHandle(hProv);
  if (p == nullptr) {
    setError(NTE_BAD_UID);
    return FALSE;
  }
  if (dwParam != PP_KEYEXCHANGE_PIN && dwParam != PP_SIGNATURE_PIN) {
    setError(NTE_BAD_TYPE);
    return FALSE;
  }
  if (dwFlags != 0) {
    setError(NTE_BAD_FLAGS);
    return FALSE;
  }
  // A software key has no PIN: any PIN is accepted and nothing is kept.
  if (!p->token) return TRUE;
  const char* pin = reinterpret_cast<const char*>(pbData);
  if (pin != nullptr && std::strcmp(pin, PLATFORM_NO_PIN_MARKER) == 0) pin = nullptr;
  return tokenSetPin(p, pin) ? TRUE : FALSE;
}

PLATFORM_API HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags) {
  if (pPFX == nullptr || pPFX->pbData == nullptr || pPFX->cbData == 0) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  if (dwFlags & PKCS12_NO_PERSIST_KEY) {  // keys live only in containers here
    setError(NTE_BAD_FLAGS);
    return nullptr;
  }
  const unsigned char* p = pPFX->pbData;
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(pPFX->cbData));
  if (p12 == nullptr) {
    ERR_clear_error();
    setError(CRYPT_E_BAD_ENCODE);
    return nullptr;
  }
  std::string password = wideToUtf8(wideFrom(szPassword));
  // An empty password may have been encoded as no password or as "".
  const char* pass = password.c_str();
  if (PKCS12_mac_present(p12)) {
    if (PKCS12_verify_mac(p12, pass, -1) != 1) {
      if (password.empty() && PKCS12_verify_mac(p12, nullptr, 0) == 1) {
        pass = nullptr;
      } else {
        PKCS12_free(p12);
        OPENSSL_cleanse(password.data(), password.size());
        ERR_clear_error();
        setError(ERROR_INVALID_PASSWORD);
        return nullptr;
      }
    }
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  int parsed = PKCS12_parse(p12, pass, &key, &cert, &ca);
  PKCS12_free(p12);
  OPENSSL_cleanse(password.data(), password.size());
  if (parsed != 1) {
    ERR_clear_error();
    setError(CRYPT_E_BAD_ENCODE);
    return nullptr;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  bool ok = true;
  auto addCert = [&](X509* x, EVP_PKEY* k) {
    unsigned char* der = nullptr;
    int n = i2d_X509(x, &der);
    if (n <= 0) {
      setError(CRYPT_E_BAD_ENCODE);
      return false;
    }
    PCCERT_CONTEXT ctx = nullptr;
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der,
                                                  static_cast<DWORD>(n), CERT_STORE_ADD_REPLACE_EXISTING, &ctx);
    OPENSSL_free(der);
    if (!added) return false;
    if (k != nullptr) {
      std::string container = createKeyContainer(k);
      if (container.empty()) {
        CertFreeCertificateContext(ctx);
        return false;
      }
      std::u16string wc = utf8ToWide(container);
      std::u16string wp = utf8ToWide(defaultProviderName());
      CRYPT_KEY_PROV_INFO info{};
      info.pwszContainerName = wc.data();
      info.pwszProvName = wp.data();
      info.dwProvType = PROV_RSA_FULL;
      info.dwKeySpec = AT_KEYEXCHANGE;
      if (!CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        HCRYPTPROV none;
        CryptAcquireContextW(&none, wc.c_str(), nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        CertFreeCertificateContext(ctx);
        return false;
      }
    }
    CertFreeCertificateContext(ctx);
    return true;
  };
  if (cert != nullptr) ok = addCert(cert, key);
  for (int i = 0; ok && ca != nullptr && i < sk_X509_num(ca); ++i) ok = addCert(sk_X509_value(ca, i), nullptr);
  DWORD err = ok ? 0 : GetLastError();
  EVP_PKEY_free(key);
  X509_free(cert);
  sk_X509_pop_free(ca, X509_free);
  if (!ok) {
    // Remove the containers made so far, so a failed import leaves no key behind.
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c)) {
      CertObject* o = certFromContext(c);
      if (o != nullptr && o->keyProv) unlink(keyFilePath(wideToUtf8(o->keyProv->container)).c_str());
    }
    CertCloseStore(store, 0);
    setError(err);
    return nullptr;
  }
  return store;
}
