// Certificate contexts: parsing into CERT_INFO, reference counting, properties.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "internal.h"
#include "platform/kernel.h"

namespace crypt_internal {

namespace {
constexpr ULONGLONG kTicksPerSecond = 10000000ULL;
constexpr long long kEpochDiffSeconds = 11644473600LL;

long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool asn1TimeToFileTime(const ASN1_TIME* t, FILETIME* out) {
  struct tm tm {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return false;
  long long days =
      daysFromCivil(tm.tm_year + 1900LL, static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday));
  long long secs = days * 86400 + tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec;
  long long since1601 = secs + kEpochDiffSeconds;
  if (since1601 < 0) since1601 = 0;
  *out = fileTimeFrom(static_cast<ULONGLONG>(since1601) * kTicksPerSecond);
  return true;
}

// One DER element: its header length and content length. False when it
// runs past the end.
bool readTlv(const BYTE* p, size_t n, size_t* header, size_t* length) {
  if (n < 2) return false;
  size_t pos = 1;
  if ((p[0] & 0x1F) == 0x1F) {  // high tag number
    while (pos < n && (p[pos] & 0x80) != 0) ++pos;
    ++pos;
  }
  if (pos >= n) return false;
  size_t len = p[pos++];
  if (len & 0x80) {
    size_t count = len & 0x7F;
    if (count == 0 || count > sizeof(size_t) || pos + count > n) return false;
    len = 0;
    for (size_t i = 0; i < count; ++i) len = (len << 8) | p[pos++];
  }
  if (len > n - pos) return false;
  *header = pos;
  *length = len;
  return true;
}

// An AlgorithmIdentifier split into its OID text and the DER of its parameters.
void splitAlgorithm(const X509_ALGOR* alg, std::string* oid, std::vector<BYTE>* params) {
  oid->clear();
  params->clear();
  if (alg == nullptr) return;
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
  char buf[128];
  if (obj != nullptr && OBJ_obj2txt(buf, sizeof buf, obj, 1) > 0) *oid = buf;
  unsigned char* der = nullptr;
  int n = i2d_X509_ALGOR(alg, &der);
  if (n <= 0) return;
  size_t hl, len;
  if (readTlv(der, static_cast<size_t>(n), &hl, &len)) {
    const BYTE* body = der + hl;
    size_t ohl, olen;
    if (readTlv(body, len, &ohl, &olen)) {
      size_t rest = ohl + olen;
      params->assign(body + rest, body + len);
    }
  }
  OPENSSL_free(der);
}

BOOL copyOut(const void* data, DWORD size, void* pv, DWORD* pcb) {
  if (pcb == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  if (pv == nullptr) {
    *pcb = size;
    return TRUE;
  }
  if (*pcb < size) {
    *pcb = size;
    setError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (size != 0) std::memcpy(pv, data, size);
  *pcb = size;
  return TRUE;
}

size_t alignUp(size_t v) { return (v + 7) & ~static_cast<size_t>(7); }
}  // namespace

ULONGLONG fileTimeValue(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
FILETIME fileTimeFrom(ULONGLONG v) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}
ULONGLONG nowFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return fileTimeValue(ft);
}

CertObject::~CertObject() { X509_free(x509); }

namespace {
// OpenSSL 3 decodes the public key of every certificate it parses through its
// provider framework, which costs several times more than the rest of the
// certificate. Certificates are parsed in a library context with only the
// "null" provider, so the key is left as its bytes; the few callers that need
// the key decode it with certPublicKey.
struct ParseContextHolder {
  OSSL_LIB_CTX* context = nullptr;
  OSSL_PROVIDER* provider = nullptr;
  ParseContextHolder() {
    context = OSSL_LIB_CTX_new();
    if (context != nullptr && (provider = OSSL_PROVIDER_load(context, "null")) == nullptr) {
      OSSL_LIB_CTX_free(context);
      context = nullptr;
    }
  }
  // At unload or exit, after the parse cache that refers to it has gone.
  ~ParseContextHolder() {
    if (provider != nullptr) OSSL_PROVIDER_unload(provider);
    OSSL_LIB_CTX_free(context);
  }
};
ParseContextHolder& parseContextHolder() {
  static ParseContextHolder* holder = [] {
    OPENSSL_init_crypto(0, nullptr);  // OpenSSL's own clean-up at exit runs after ours
    static ParseContextHolder h;
    return &h;
  }();
  return *holder;
}
OSSL_LIB_CTX* parseContext() { return parseContextHolder().context; }
}  // namespace

EVP_PKEY* certPublicKey(const CertObject* c) {
  unsigned char* der = nullptr;
  int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(c->x509), &der);
  if (n <= 0) {
    ERR_clear_error();
    return nullptr;
  }
  const unsigned char* p = der;
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, n);
  OPENSSL_free(der);
  if (key == nullptr) ERR_clear_error();
  return key;
}

namespace {
// The last key found to be a certificate's, with that certificate's key bits:
// a page signs again and again with one certificate, and its loaded key stays
// the same object while its file is unchanged. The memo holds a reference, so
// no other key can come to have the same address while it is kept.
struct MatchMemo {
  std::mutex lock;
  EVP_PKEY* key = nullptr;
  std::vector<unsigned char> bits;
  ~MatchMemo() { EVP_PKEY_free(key); }
};
MatchMemo& matchMemo() {
  static MatchMemo* memo = [] {
    OPENSSL_init_crypto(0, nullptr);  // OpenSSL's own clean-up at exit runs after ours
    static MatchMemo m;
    return &m;
  }();
  return *memo;
}

bool rsaKeyMatches(const unsigned char* bits, int bitsLength, EVP_PKEY* key) {
  // Modulus and exponent compared as numbers: the two keys come from
  // different decoders, so their key objects are not compared whole.
  const unsigned char* p = bits;
  EVP_PKEY* certKey = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, bitsLength);
  BIGNUM *n1 = nullptr, *e1 = nullptr, *n2 = nullptr, *e2 = nullptr;
  const bool same = certKey != nullptr && EVP_PKEY_get_bn_param(certKey, "n", &n1) == 1 &&
                    EVP_PKEY_get_bn_param(certKey, "e", &e1) == 1 && EVP_PKEY_get_bn_param(key, "n", &n2) == 1 &&
                    EVP_PKEY_get_bn_param(key, "e", &e2) == 1 && BN_cmp(n1, n2) == 0 && BN_cmp(e1, e2) == 0;
  BN_free(n1);
  BN_free(e1);
  BN_free(n2);
  BN_free(e2);
  EVP_PKEY_free(certKey);
  return same;
}
}  // namespace

bool certKeyMatches(const CertObject* c, EVP_PKEY* key) {
  if (key == nullptr) return false;
  const ASN1_OBJECT* algorithm = nullptr;
  const unsigned char* bits = nullptr;
  int bitsLength = 0;
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(c->x509);
  if (pub == nullptr ||
      X509_PUBKEY_get0_param(const_cast<ASN1_OBJECT**>(&algorithm), &bits, &bitsLength, nullptr, pub) != 1 ||
      OBJ_obj2nid(algorithm) != NID_rsaEncryption || bitsLength <= 0) {
    EVP_PKEY* certKey = certPublicKey(c);
    const bool same = certKey != nullptr && EVP_PKEY_eq(certKey, key) == 1;
    EVP_PKEY_free(certKey);
    ERR_clear_error();
    return same;
  }
  MatchMemo& memo = matchMemo();
  {
    std::lock_guard<std::mutex> hold(memo.lock);
    if (memo.key == key && memo.bits.size() == static_cast<std::size_t>(bitsLength) &&
        std::memcmp(memo.bits.data(), bits, memo.bits.size()) == 0)
      return true;
  }
  const bool same = rsaKeyMatches(bits, bitsLength, key);
  ERR_clear_error();
  if (same && EVP_PKEY_up_ref(key) == 1) {
    try {
      std::vector<unsigned char> kept(bits, bits + bitsLength);
      std::lock_guard<std::mutex> hold(memo.lock);
      EVP_PKEY_free(memo.key);
      memo.key = key;
      memo.bits.swap(kept);
    } catch (const std::bad_alloc&) {
      EVP_PKEY_free(key);  // not kept; the answer stands
    }
  }
  return same;
}

namespace {
// Points the public structures into the object's own buffers.
void wire(CertObject* c) {
  CERT_INFO& info = c->info;
  info.SerialNumber = {static_cast<DWORD>(c->serialLE.size()), c->serialLE.data()};
  info.SignatureAlgorithm.pszObjId = c->sigAlgOid.data();
  info.SignatureAlgorithm.Parameters = {static_cast<DWORD>(c->sigAlgParams.size()), c->sigAlgParams.data()};
  info.Issuer = {static_cast<DWORD>(c->issuer.size()), c->issuer.data()};
  info.Subject = {static_cast<DWORD>(c->subject.size()), c->subject.data()};
  info.SubjectPublicKeyInfo.Algorithm.pszObjId = c->pubAlgOid.data();
  info.SubjectPublicKeyInfo.Algorithm.Parameters = {static_cast<DWORD>(c->pubAlgParams.size()), c->pubAlgParams.data()};
  info.SubjectPublicKeyInfo.PublicKey = {static_cast<DWORD>(c->pubKey.size()), c->pubKey.data(), 0};
  for (size_t i = 0; i < c->exts.size(); ++i) {
    c->exts[i].pszObjId = c->extOids[i].data();
    c->exts[i].Value = {static_cast<DWORD>(c->extValues[i].size()), c->extValues[i].data()};
  }
  info.cExtension = static_cast<DWORD>(c->exts.size());
  info.rgExtension = c->exts.empty() ? nullptr : c->exts.data();
  c->ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  c->ctx.pbCertEncoded = c->der.data();
  c->ctx.cbCertEncoded = static_cast<DWORD>(c->der.size());
  c->ctx.pCertInfo = &c->info;
  c->ctx.hCertStore = nullptr;
}

// A new object with the parsed fields of another (the X509 shared).
CertObject* cloneCertObject(const CertObject& t) {
  if (X509_up_ref(t.x509) != 1) return nullptr;
  auto* c = new CertObject();
  c->x509 = t.x509;
  c->der = t.der;
  c->info = t.info;
  c->serialLE = t.serialLE;
  c->sigAlgOid = t.sigAlgOid;
  c->pubAlgOid = t.pubAlgOid;
  c->sigAlgParams = t.sigAlgParams;
  c->pubAlgParams = t.pubAlgParams;
  c->pubKey = t.pubKey;
  c->issuer = t.issuer;
  c->subject = t.subject;
  c->extOids = t.extOids;
  c->extValues = t.extValues;
  c->exts = t.exts;
  std::memcpy(c->sha1, t.sha1, sizeof c->sha1);
  c->sha1Hex = t.sha1Hex;
  wire(c);
  return c;
}

// The certificates parsed last, by their bytes: a context made again for
// the same certificate (the signing paths make several per signature) is
// copied instead of parsed. The entries are never handed out.
constexpr size_t kParsedCacheSize = 32;
struct ParsedCache {
  std::mutex mutex;
  std::list<std::pair<std::string, CertObject*>> order;  // most recent first
  std::unordered_map<std::string_view, std::list<std::pair<std::string, CertObject*>>::iterator> byDer;
};
// Freed when the family is unloaded (and at exit), so a host that loads and
// frees it, or a leak-checking run, finds nothing left. OpenSSL is set up
// before the cache exists, so its own clean-up at exit runs after this one.
struct ParsedCacheHolder {
  ParsedCache cache;
  ~ParsedCacheHolder() {
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.byDer.clear();
    for (auto& entry : cache.order) delete entry.second;
    cache.order.clear();
  }
};
ParsedCache& parsedCache() {
  static ParsedCacheHolder* holder = [] {
    parseContextHolder();  // made first, so it is freed after the cache
    static ParsedCacheHolder h;
    return &h;
  }();
  return holder->cache;
}

CertObject* parseCertObject(const BYTE* der, size_t n);
}  // namespace

CertObject* newCertObject(const BYTE* der, size_t n) {
  if (der != nullptr && n != 0) {
    ParsedCache& cache = parsedCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    auto it = cache.byDer.find(std::string_view(reinterpret_cast<const char*>(der), n));
    if (it != cache.byDer.end()) {
      cache.order.splice(cache.order.begin(), cache.order, it->second);
      if (CertObject* c = cloneCertObject(*it->second->second)) return c;
    }
  }
  CertObject* c = parseCertObject(der, n);
  if (c == nullptr) return nullptr;
  CertObject* kept = cloneCertObject(*c);
  if (kept != nullptr) {
    ParsedCache& cache = parsedCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    std::string key(reinterpret_cast<const char*>(kept->der.data()), kept->der.size());
    if (cache.byDer.count(key) != 0) {
      delete kept;
    } else {
      cache.order.emplace_front(std::move(key), kept);
      cache.byDer[cache.order.front().first] = cache.order.begin();
      if (cache.order.size() > kParsedCacheSize) {
        cache.byDer.erase(cache.order.back().first);
        delete cache.order.back().second;
        cache.order.pop_back();
      }
    }
  }
  return c;
}

namespace {
CertObject* parseCertObject(const BYTE* der, size_t n) {
  if (der == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  if (n == 0) {
    setError(CRYPT_E_ASN1_EOD);
    return nullptr;
  }
  const unsigned char* p = der;
  X509* x = X509_new_ex(parseContext(), nullptr);
  if (x != nullptr && d2i_X509(&x, &p, static_cast<long>(n)) == nullptr) x = nullptr;
  if (x == nullptr) {
    ERR_clear_error();
    size_t hl, len;
    if (der[0] == 0x30 && !readTlv(der, n, &hl, &len))
      setError(CRYPT_E_ASN1_EOD);
    else
      setError(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  auto* c = new CertObject();
  c->x509 = x;
  c->der.assign(der, p);  // only the certificate's own bytes
  SHA1(c->der.data(), c->der.size(), c->sha1);
  c->sha1Hex = hexUpper(c->sha1, sizeof c->sha1);

  CERT_INFO& info = c->info;
  info.dwVersion = static_cast<DWORD>(X509_get_version(x));

  // Serial: the INTEGER's content octets (sign byte kept), least significant first.
  unsigned char* sder = nullptr;
  int sn = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &sder);
  if (sn > 0) {
    size_t hl, len;
    if (readTlv(sder, static_cast<size_t>(sn), &hl, &len)) c->serialLE.assign(sder + hl, sder + hl + len);
    OPENSSL_free(sder);
  }
  std::reverse(c->serialLE.begin(), c->serialLE.end());

  splitAlgorithm(X509_get0_tbs_sigalg(x), &c->sigAlgOid, &c->sigAlgParams);

  auto nameDer = [](const X509_NAME* name, std::vector<BYTE>* out) {
    const unsigned char* d = nullptr;
    size_t len = 0;
    if (name != nullptr && X509_NAME_get0_der(const_cast<X509_NAME*>(name), &d, &len) == 1) out->assign(d, d + len);
  };
  nameDer(X509_get_issuer_name(x), &c->issuer);
  nameDer(X509_get_subject_name(x), &c->subject);

  asn1TimeToFileTime(X509_get0_notBefore(x), &info.NotBefore);
  asn1TimeToFileTime(X509_get0_notAfter(x), &info.NotAfter);

  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  const unsigned char* pk = nullptr;
  int pklen = 0;
  X509_ALGOR* palg = nullptr;
  if (pub != nullptr && X509_PUBKEY_get0_param(nullptr, &pk, &pklen, &palg, pub) == 1) {
    splitAlgorithm(palg, &c->pubAlgOid, &c->pubAlgParams);
    if (pk != nullptr && pklen > 0) c->pubKey.assign(pk, pk + pklen);
  }

  int extCount = X509_get_ext_count(x);
  for (int i = 0; i < extCount; ++i) {
    X509_EXTENSION* ext = X509_get_ext(x, i);
    char buf[128];
    buf[0] = '\0';
    OBJ_obj2txt(buf, sizeof buf, X509_EXTENSION_get_object(ext), 1);
    c->extOids.emplace_back(buf);
    const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(ext);
    c->extValues.emplace_back(v->data, v->data + v->length);
  }
  for (int i = 0; i < extCount; ++i) {
    CERT_EXTENSION e{};
    e.fCritical = X509_EXTENSION_get_critical(X509_get_ext(x, i)) ? TRUE : FALSE;
    c->exts.push_back(e);
  }
  wire(c);
  return c;
}
}  // namespace

CertObject* certFromContext(PCCERT_CONTEXT ctx) {
  if (ctx == nullptr) return nullptr;
  auto* c = reinterpret_cast<CertObject*>(const_cast<CERT_CONTEXT*>(ctx));
  return c->magic == kCertMagic ? c : nullptr;
}

void addRefLocked(CertObject* c) {
  if (c->refs++ == 0 && c->store != nullptr) storeAddRefLocked(c->store);
}

ProvObject* releaseLocked(CertObject* c) {
  if (c->refs <= 0) return nullptr;
  if (--c->refs > 0) return nullptr;
  ProvObject* prov = c->cachedProv;
  c->cachedProv = nullptr;
  StoreObject* s = c->store;
  if (!c->inStore) {
    c->magic = 0;
    delete c;
  }
  if (s != nullptr) storeReleaseLocked(s);
  return prov;
}

size_t keyProvInfoSize(const KeyProvInfo& k) {
  size_t n = alignUp(sizeof(CRYPT_KEY_PROV_INFO));
  n += alignUp(sizeof(CRYPT_KEY_PROV_PARAM) * k.params.size());
  for (const KeyProvParam& p : k.params) n += alignUp(p.data.size());
  n += (k.container.size() + 1) * sizeof(WCHAR);
  n += (k.provider.size() + 1) * sizeof(WCHAR);
  return n;
}

void writeKeyProvInfo(const KeyProvInfo& k, BYTE* dst) {
  std::memset(dst, 0, keyProvInfoSize(k));
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(dst);
  size_t off = alignUp(sizeof(CRYPT_KEY_PROV_INFO));
  auto* params = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(dst + off);
  off += alignUp(sizeof(CRYPT_KEY_PROV_PARAM) * k.params.size());
  for (size_t i = 0; i < k.params.size(); ++i) {
    params[i].dwParam = k.params[i].dwParam;
    params[i].dwFlags = k.params[i].dwFlags;
    params[i].cbData = static_cast<DWORD>(k.params[i].data.size());
    params[i].pbData = dst + off;
    if (!k.params[i].data.empty()) std::memcpy(dst + off, k.params[i].data.data(), k.params[i].data.size());
    off += alignUp(k.params[i].data.size());
  }
  auto* container = reinterpret_cast<WCHAR*>(dst + off);
  std::memcpy(container, k.container.c_str(), (k.container.size() + 1) * sizeof(WCHAR));
  off += (k.container.size() + 1) * sizeof(WCHAR);
  auto* provider = reinterpret_cast<WCHAR*>(dst + off);
  std::memcpy(provider, k.provider.c_str(), (k.provider.size() + 1) * sizeof(WCHAR));
  info->pwszContainerName = container;
  info->pwszProvName = provider;
  info->dwProvType = k.provType;
  info->dwFlags = k.flags;
  info->cProvParam = static_cast<DWORD>(k.params.size());
  info->rgProvParam = k.params.empty() ? nullptr : params;
  info->dwKeySpec = k.keySpec;
}

KeyProvInfo keyProvInfoFrom(const CRYPT_KEY_PROV_INFO& in) {
  KeyProvInfo k;
  k.container = wideFrom(in.pwszContainerName);
  k.provider = wideFrom(in.pwszProvName);
  k.provType = in.dwProvType;
  k.flags = in.dwFlags;
  k.keySpec = in.dwKeySpec;
  for (DWORD i = 0; i < in.cProvParam && in.rgProvParam != nullptr; ++i) {
    KeyProvParam p;
    p.dwParam = in.rgProvParam[i].dwParam;
    p.dwFlags = in.rgProvParam[i].dwFlags;
    if (in.rgProvParam[i].pbData != nullptr)
      p.data.assign(in.rgProvParam[i].pbData, in.rgProvParam[i].pbData + in.rgProvParam[i].cbData);
    k.params.push_back(std::move(p));
  }
  return k;
}

}  // namespace crypt_internal

using namespace crypt_internal;

PLATFORM_API PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                                         DWORD cbCertEncoded) {
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  CertObject* c = newCertObject(pbCertEncoded, cbCertEncoded);
  if (c == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(state().mutex);
  addRefLocked(c);
  return &c->ctx;
}

PLATFORM_API PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  CertObject* c = certFromContext(pCertContext);
  if (c == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(state().mutex);
  addRefLocked(c);
  return pCertContext;
}

PLATFORM_API BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  CertObject* c = certFromContext(pCertContext);
  if (c == nullptr) return TRUE;
  ProvObject* prov;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    prov = releaseLocked(c);
  }
  if (prov != nullptr) releaseProv(prov);
  return TRUE;
}

PLATFORM_API BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                                    DWORD* pcbData) {
  CertObject* c = certFromContext(pCertContext);
  if (c == nullptr || pcbData == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  switch (dwPropId) {
    case CERT_SHA1_HASH_PROP_ID: return copyOut(c->sha1, sizeof c->sha1, pvData, pcbData);
    case CERT_MD5_HASH_PROP_ID: {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int len = 0;
      if (EVP_Digest(c->der.data(), c->der.size(), md, &len, EVP_md5(), nullptr) != 1) {
        ERR_clear_error();
        setError(NTE_BAD_ALGID);
        return FALSE;
      }
      return copyOut(md, len, pvData, pcbData);
    }
    case CERT_KEY_PROV_INFO_PROP_ID:
    case CERT_KEY_SPEC_PROP_ID: {
      KeyProvInfo copy;
      {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (!c->keyProv) {
          setError(CRYPT_E_NOT_FOUND);
          return FALSE;
        }
        copy = *c->keyProv;
      }
      if (dwPropId == CERT_KEY_SPEC_PROP_ID) return copyOut(&copy.keySpec, sizeof(DWORD), pvData, pcbData);
      DWORD size = static_cast<DWORD>(keyProvInfoSize(copy));
      if (pvData == nullptr) {
        *pcbData = size;
        return TRUE;
      }
      if (*pcbData < size) {
        *pcbData = size;
        setError(ERROR_MORE_DATA);
        return FALSE;
      }
      writeKeyProvInfo(copy, static_cast<BYTE*>(pvData));
      *pcbData = size;
      return TRUE;
    }
    default: setError(CRYPT_E_NOT_FOUND); return FALSE;
  }
}

PLATFORM_API BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD /*dwFlags*/,
                                                    const void* pvData) {
  CertObject* c = certFromContext(pCertContext);
  if (c == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  if (dwPropId != CERT_KEY_PROV_INFO_PROP_ID) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  std::unique_ptr<KeyProvInfo> next;
  if (pvData != nullptr)
    next = std::make_unique<KeyProvInfo>(keyProvInfoFrom(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData)));
  std::lock_guard<std::mutex> lock(state().mutex);
  // Keep how the provider reaches the key when only the names change.
  if (next && c->keyProv) {
    next->storage = c->keyProv->storage;
    next->extra = c->keyProv->extra;
  }
  std::swap(c->keyProv, next);
  if (c->inStore && c->store != nullptr && c->store->kind == StoreKind::System) {
    if (!writeEntry(c->store, c)) {
      DWORD err = GetLastError();
      std::swap(c->keyProv, next);  // the file still holds the old properties
      setError(err);
      return FALSE;
    }
  }
  return TRUE;
}

PLATFORM_API LONG CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo) {
  if (pCertInfo == nullptr) return 0;
  ULONGLONG t = pTimeToVerify != nullptr ? fileTimeValue(*pTimeToVerify) : nowFileTime();
  if (t < fileTimeValue(pCertInfo->NotBefore)) return -1;
  if (t > fileTimeValue(pCertInfo->NotAfter)) return 1;
  return 0;
}
