// Internal objects of the crypt family.
//
// A certificate context is a CertObject whose first member is the public
// CERT_CONTEXT, so the PCCERT_CONTEXT handed out is the object's address.
// Reference counting follows CryptoAPI:
//   - CertObject::refs counts the references callers hold. A context that
//     belongs to a store is kept by the store while refs is 0; the store's
//     membership is not a reference, so there is no cycle.
//   - A context of a store with refs > 0 holds one reference on its store, so
//     a store outlives the contexts taken from it.
// All of it is guarded by one mutex (state()), which keeps the bookkeeping
// simple; nothing here is on a hot path that would need finer locking.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/crypt.h"
#include "platform/kernel.h"
#include "platform/utf.h"

namespace crypt_internal {

inline void setError(DWORD code) { SetLastError(code); }
inline void setError(HRESULT code) { SetLastError(static_cast<DWORD>(code)); }

// ---- text ----
inline std::u16string utf8ToWide(const std::string& s) { return platform::utf::toUtf16(s); }
inline std::string wideToUtf8(const std::u16string& s) { return platform::utf::toUtf8(s); }
std::u16string wideFrom(LPCWSTR s);  // NULL gives ""
// Wide text in the ANSI code page, and the byte offset after each code point
// (so a short buffer can be cut between characters).
std::string wideToAnsi(const std::u16string& s, std::vector<size_t>* boundaries = nullptr);
std::u16string ansiToWide(const char* s);
std::string hexUpper(const BYTE* data, size_t n);

// ---- key provider information kept with a certificate ----
struct KeyProvParam {
  DWORD dwParam = 0;
  DWORD dwFlags = 0;
  std::vector<BYTE> data;
};
struct KeyProvInfo {
  std::u16string container;
  std::u16string provider;
  DWORD provType = 0;
  DWORD flags = 0;
  DWORD keySpec = 0;
  std::vector<KeyProvParam> params;
  // How the provider reaches the key: "file" for the software provider's key
  // files. Further entries ("key.*" lines of a store file) are kept as read,
  // so a store written by a newer provider survives a rewrite.
  std::string storage = "file";
  std::map<std::string, std::string> extra;
};

struct StoreObject;
struct ProvObject;

constexpr uint32_t kCertMagic = 0x43455254;  // "CERT"

struct CertObject {
  CERT_CONTEXT ctx{};  // must stay first
  uint32_t magic = kCertMagic;
  long refs = 0;
  StoreObject* store = nullptr;
  bool inStore = false;

  std::vector<BYTE> der;
  X509* x509 = nullptr;
  CERT_INFO info{};
  std::vector<BYTE> serialLE;
  std::string sigAlgOid, pubAlgOid;
  std::vector<BYTE> sigAlgParams, pubAlgParams, pubKey, issuer, subject;
  std::vector<std::string> extOids;
  std::vector<std::vector<BYTE>> extValues;
  std::vector<CERT_EXTENSION> exts;
  BYTE sha1[20]{};
  std::string sha1Hex;  // upper case

  std::unique_ptr<KeyProvInfo> keyProv;
  ULONGLONG added = 0;  // FILETIME when it joined its store: the store's order
  ProvObject* cachedProv = nullptr;

  // Identity of the file a system-store member was read from.
  uint64_t fileIno = 0;
  int64_t fileMtimeNs = 0;
  int64_t fileSize = 0;

  ~CertObject();
};

// Parses the DER; null with the last error set when it is no certificate.
CertObject* newCertObject(const BYTE* der, size_t n);
CertObject* certFromContext(PCCERT_CONTEXT ctx);  // null when not ours
// The certificate's public key (a new reference), or null.
EVP_PKEY* certPublicKey(const CertObject* c);
// Whether `key` (a private key, or a public one) has the certificate's public
// key. Cheap for RSA: the certificate's key is read from its bit string, not
// through the key decoders.
bool certKeyMatches(const CertObject* c, EVP_PKEY* key);

enum class StoreKind { Memory, System };

struct StoreObject {
  StoreKind kind = StoreKind::Memory;
  long refs = 0;     // open handles + contexts with refs > 0 (+1 for the system-store index)
  std::string name;  // system stores: upper-case name
  std::string dir;   // system stores: folder of the files
  // Members in the store's order: (added, SHA-1).
  std::map<std::pair<ULONGLONG, std::string>, CertObject*> members;
  std::unordered_map<std::string, CertObject*> bySha1;
  // System stores: the folder's modification time when last read; -1 forces a re-read.
  int64_t dirMtimeNs = -1;
  bool loaded = false;
};

struct State {
  std::mutex mutex;
  std::unordered_map<std::string, StoreObject*> systemStores;  // key: root + NUL + name
  std::unordered_map<void*, StoreObject*> liveStores;
};
State& state();

// ---- reference counting (caller holds state().mutex) ----
void addRefLocked(CertObject* c);
// Returns a cached provider to release once the lock is dropped (or null).
ProvObject* releaseLocked(CertObject* c);
void storeAddRefLocked(StoreObject* s);
void storeReleaseLocked(StoreObject* s);
StoreObject* storeFromHandle(HCERTSTORE h);  // caller holds the lock
void releaseProv(ProvObject* p);

// Certificate file of a system-store member.
std::string entryPath(const StoreObject* s, const CertObject* c);
// Writes the member's file (the certificate and its key properties), atomically.
bool writeEntry(StoreObject* s, CertObject* c);

// ---- key containers ----
const char* defaultProviderName();
bool validContainerName(const std::string& name);
std::string keyFilePath(const std::string& container);
// Writes a new key container for the key; returns its name ("" on failure,
// last error set).
std::string createKeyContainer(EVP_PKEY* key);
// The CERT_KEY_PROV_INFO_PROP_ID layout: the structure, then its parameters
// and strings in the same buffer (pointers point into it).
size_t keyProvInfoSize(const KeyProvInfo& k);
void writeKeyProvInfo(const KeyProvInfo& k, BYTE* dst);
KeyProvInfo keyProvInfoFrom(const CRYPT_KEY_PROV_INFO& in);

// ---- key providers ----
// The software provider holds the key itself; the token provider reaches a
// key on a PKCS#11 token, named by the certificate's key properties
// (key.storage=pkcs11 with key.module, key.token.serial, key.token.label and
// key.id).
struct TokenBinding {
  std::string module;    // the module's file name, resolved as LoadLibraryA does
  std::string serial;    // the token's serial number, blanks trimmed
  std::string label;     // the token's label, blanks trimmed
  std::vector<BYTE> id;  // CKA_ID of the key
};

constexpr uint32_t kProvMagic = 0x50524F56;  // "PROV"

struct ProvObject {
  uint32_t magic = kProvMagic;
  std::atomic<long> refs{1};
  std::string provName;   // UTF-8
  std::string container;  // UTF-8
  DWORD provType = PROV_RSA_FULL;
  DWORD keySpec = AT_KEYEXCHANGE;
  bool silent = false;      // no user interface may be shown for this handle
  EVP_PKEY* key = nullptr;  // software provider: the private key

  bool token = false;
  TokenBinding binding;
  std::string pinKey;           // the token key's entry in the process's PIN cache
  EVP_PKEY* certKey = nullptr;  // token provider: the certificate's public key
  std::u16string subjectName;   // shown by the token provider's PIN prompt

  ~ProvObject() {
    EVP_PKEY_free(key);
    EVP_PKEY_free(certKey);
  }
};

// A live provider handle, or null (no reference is taken).
ProvObject* provFromHandle(HCRYPTPROV h);
void provAddRef(ProvObject* p);

// Bytes of the signatures the provider's key makes; 0 when not an RSA key.
size_t provSignatureSize(const ProvObject* p);
// PKCS#1 v1.5 signature of a SHA-1 digest (20 bytes). Sets the last error
// on failure; the token provider may show its PIN prompt.
bool provSignSha1(ProvObject* p, const BYTE* digest, std::vector<BYTE>* signature);
// The same for a digest of md: prefix is its DigestInfo's DER up to the
// digest (at most kMaxDigestInfoPrefix bytes), which the token signs whole.
constexpr size_t kMaxDigestInfoPrefix = 32;
bool provSignDigest(ProvObject* p, const EVP_MD* md, const BYTE* prefix, size_t prefixLength, const BYTE* digest,
                    std::vector<BYTE>* signature);

// ---- token provider ----
const char* tokenProviderName();
bool tokenProvFromInfo(const KeyProvInfo& info, ProvObject* p);
// Sets (pin: the PIN, checked by logging in) or clears (pin null) the PIN of
// the token key in the process's PIN cache.
bool tokenSetPin(ProvObject* p, const char* pin);
bool tokenSignDigestInfo(ProvObject* p, const BYTE* digestInfo, size_t n, std::vector<BYTE>* signature);
// The token provider's PIN prompt: TRUE with the PIN typed (ANSI code page),
// or FALSE with the last error (SCARD_W_CANCELLED_BY_USER when cancelled).
bool promptTokenPin(const std::u16string& subject, const std::string& tokenLabel, std::vector<char>* pin);

// Bytes that hold a secret: overwritten when they go.
void wipe(void* data, size_t n);

// ---- FILETIME ----
ULONGLONG fileTimeValue(const FILETIME& ft);
FILETIME fileTimeFrom(ULONGLONG v);
ULONGLONG nowFileTime();

}  // namespace crypt_internal
