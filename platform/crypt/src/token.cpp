// The token provider: private keys that live on a PKCS#11 token.
//
// A certificate bound to the token provider names the module, the token and
// the key in its key properties. Each operation (checking a PIN, signing,
// importing) is self-contained: load the module, initialise it, find the
// token, open a session, log in, work, log out, close, finalise and unload.
// Another client in the process may hold the same module initialised or be
// logged in already; then "already initialised" and "already logged in" are
// accepted, and what that client set up is left for it to undo.
//
// PINs that worked are kept per token key for the life of the process, as
// the system's smart-card PIN cache keeps them, in memory only, wiped when
// replaced or cleared.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>

#include <p11-kit-1/p11-kit/pkcs11.h>

#include "internal.h"
#include "platform/kernel.h"

namespace crypt_internal {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

DWORD mapRv(CK_RV rv) {
  switch (rv) {
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE: return SCARD_W_WRONG_CHV;
    case CKR_PIN_LOCKED: return SCARD_W_CHV_BLOCKED;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_DEVICE_REMOVED:
    case CKR_SLOT_ID_INVALID:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED: return SCARD_E_NO_SMARTCARD;
    case CKR_HOST_MEMORY: return NTE_NO_MEMORY;
    case CKR_KEY_HANDLE_INVALID:
    case CKR_KEY_TYPE_INCONSISTENT:
    case CKR_KEY_FUNCTION_NOT_PERMITTED: return NTE_BAD_KEY;
    default: return NTE_FAIL;
  }
}

std::string trimmed(const CK_UTF8CHAR* field, size_t n) {
  std::string s(reinterpret_cast<const char*>(field), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::string fileNameOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

std::vector<BYTE> fromHex(const std::string& s) {
  std::vector<BYTE> out;
  if (s.size() % 2 != 0) return out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(s[i])) || !std::isxdigit(static_cast<unsigned char>(s[i + 1])))
      return {};
    out.push_back(static_cast<BYTE>(std::stoi(s.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string pinKeyOf(const TokenBinding& b) {
  return lower(b.module) + "\n" + b.serial + "\n" + b.label + "\n" + hexUpper(b.id.data(), b.id.size());
}

// ---- the PIN cache ----
std::mutex& pinMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::unordered_map<std::string, std::vector<char>>& pins() {
  static auto* p = new std::unordered_map<std::string, std::vector<char>>();
  return *p;
}

void clearPin(const std::string& key) {
  std::lock_guard<std::mutex> lock(pinMutex());
  auto it = pins().find(key);
  if (it == pins().end()) return;
  wipe(it->second.data(), it->second.size());
  pins().erase(it);
}

void keepPin(const std::string& key, const char* pin, size_t n) {
  std::lock_guard<std::mutex> lock(pinMutex());
  std::vector<char>& slot = pins()[key];
  wipe(slot.data(), slot.size());
  std::vector<char> fresh(pin, pin + n);
  slot.swap(fresh);
  wipe(fresh.data(), fresh.size());
}

bool cachedPin(const std::string& key, std::vector<char>* out) {
  std::lock_guard<std::mutex> lock(pinMutex());
  auto it = pins().find(key);
  if (it == pins().end()) return false;
  out->assign(it->second.begin(), it->second.end());
  return true;
}

// A PIN copy that is wiped when it goes.
struct Pin {
  std::vector<char> bytes;
  bool set = false;
  ~Pin() { wipe(bytes.data(), bytes.size()); }
  CK_UTF8CHAR_PTR data() { return reinterpret_cast<CK_UTF8CHAR_PTR>(bytes.data()); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(bytes.size()); }
};

// The modulus of an RSA public key, big-endian without leading zeros.
std::vector<BYTE> modulusOf(const EVP_PKEY* key) {
  std::vector<BYTE> out;
  BIGNUM* n = nullptr;
  if (key == nullptr || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1) {
    ERR_clear_error();
    return out;
  }
  out.resize(static_cast<size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, out.data());
  BN_free(n);
  return out;
}

std::vector<BYTE> stripZeros(std::vector<BYTE> v) {
  size_t i = 0;
  while (i < v.size() && v[i] == 0) ++i;
  v.erase(v.begin(), v.begin() + static_cast<long>(i));
  return v;
}

// One operation on one module.
class P11 {
 public:
  P11() = default;
  P11(const P11&) = delete;
  P11& operator=(const P11&) = delete;
  ~P11() { close(); }

  // Loads and initialises the module; 0 or a Windows error.
  DWORD load(const std::string& module) {
    module_ = LoadLibraryA(module.c_str());
    if (module_ == nullptr) {
      DWORD err = GetLastError();
      return err != 0 ? err : ERROR_MOD_NOT_FOUND;
    }
    auto get = reinterpret_cast<CK_C_GetFunctionList>(GetProcAddress(module_, "C_GetFunctionList"));
    if (get == nullptr || get(&f_) != CKR_OK || f_ == nullptr) return NTE_PROVIDER_DLL_FAIL;
    CK_RV rv = f_->C_Initialize(nullptr);
    if (rv == CKR_OK) {
      initialized_ = true;
    } else if (rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
      return NTE_PROVIDER_DLL_FAIL;
    }
    return 0;
  }

  // Slots with a token, with their token information.
  DWORD tokens(std::vector<std::pair<CK_SLOT_ID, CK_TOKEN_INFO>>* out) {
    CK_ULONG count = 0;
    CK_RV rv = f_->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) return mapRv(rv);
    std::vector<CK_SLOT_ID> slots(count + 1);
    rv = f_->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK) return mapRv(rv);
    for (CK_ULONG i = 0; i < count; ++i) {
      CK_TOKEN_INFO info{};
      if (f_->C_GetTokenInfo(slots[i], &info) == CKR_OK) out->emplace_back(slots[i], info);
    }
    return out->empty() ? SCARD_E_NO_SMARTCARD : 0;
  }

  // Opens a session on the token of the binding: same serial number (or,
  // when none was recorded, the same label).
  DWORD openToken(const TokenBinding& b) {
    std::vector<std::pair<CK_SLOT_ID, CK_TOKEN_INFO>> found;
    if (DWORD err = tokens(&found)) return err;
    for (const auto& [slot, info] : found) {
      std::string serial = trimmed(info.serialNumber, sizeof info.serialNumber);
      std::string label = trimmed(info.label, sizeof info.label);
      if (b.serial.empty() ? label == b.label : serial == b.serial) return openSession(slot);
    }
    return SCARD_E_NO_SMARTCARD;
  }

  DWORD openSession(CK_SLOT_ID slot) {
    closeSession();
    CK_RV rv = f_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session_);
    if (rv != CKR_OK) return mapRv(rv);
    sessionOpen_ = true;
    return 0;
  }

  DWORD login(Pin& pin) {
    CK_RV rv = f_->C_Login(session_, CKU_USER, pin.data(), pin.size());
    if (rv == CKR_OK) {
      loggedIn_ = true;
      return 0;
    }
    if (rv == CKR_USER_ALREADY_LOGGED_IN) return 0;
    return mapRv(rv);
  }

  // Handles of the objects that match the template (at most 64).
  DWORD find(CK_ATTRIBUTE* tmpl, CK_ULONG n, std::vector<CK_OBJECT_HANDLE>* out) {
    CK_RV rv = f_->C_FindObjectsInit(session_, tmpl, n);
    if (rv != CKR_OK) return mapRv(rv);
    CK_OBJECT_HANDLE handles[64];
    CK_ULONG count = 0;
    rv = f_->C_FindObjects(session_, handles, 64, &count);
    f_->C_FindObjectsFinal(session_);
    if (rv != CKR_OK) return mapRv(rv);
    out->assign(handles, handles + std::min<CK_ULONG>(count, 64));
    return 0;
  }

  // An attribute's value; false when it cannot be read.
  bool attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<BYTE>* value) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (f_->C_GetAttributeValue(session_, object, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
      return false;
    value->assign(a.ulValueLen, 0);
    a.pValue = value->data();
    if (f_->C_GetAttributeValue(session_, object, &a, 1) != CKR_OK) return false;
    value->resize(a.ulValueLen);
    return true;
  }

  // The private key with the id whose modulus (where the token shows it) is
  // the certificate's.
  DWORD findKey(const std::vector<BYTE>& id, const std::vector<BYTE>& modulus, CK_OBJECT_HANDLE* key) {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_ID, const_cast<BYTE*>(id.data()), static_cast<CK_ULONG>(id.size())}};
    std::vector<CK_OBJECT_HANDLE> found;
    if (DWORD err = find(tmpl, 2, &found)) return err;
    for (CK_OBJECT_HANDLE h : found) {
      std::vector<BYTE> n;
      if (!modulus.empty() && attribute(h, CKA_MODULUS, &n) && stripZeros(n) != modulus) continue;
      *key = h;
      return 0;
    }
    return NTE_NO_KEY;
  }

  DWORD sign(CK_OBJECT_HANDLE key, const BYTE* data, size_t n, size_t size, std::vector<BYTE>* signature) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    CK_RV rv = f_->C_SignInit(session_, &mechanism, key);
    if (rv != CKR_OK) return mapRv(rv);
    signature->assign(size != 0 ? size : 512, 0);
    CK_ULONG length = static_cast<CK_ULONG>(signature->size());
    rv = f_->C_Sign(session_, const_cast<BYTE*>(data), static_cast<CK_ULONG>(n), signature->data(), &length);
    if (rv != CKR_OK) return mapRv(rv);
    if (length == 0 || length > signature->size()) return NTE_FAIL;
    // A signature is as long as the modulus: restore leading zeros a token
    // may have dropped.
    if (size != 0 && length < size) {
      std::memmove(signature->data() + (size - length), signature->data(), length);
      std::memset(signature->data(), 0, size - length);
    } else {
      signature->resize(length);
    }
    return 0;
  }

  CK_FUNCTION_LIST_PTR functions() const { return f_; }
  CK_SESSION_HANDLE session() const { return session_; }

  void closeSession() {
    if (f_ == nullptr) return;
    if (loggedIn_) f_->C_Logout(session_);
    loggedIn_ = false;
    if (sessionOpen_) f_->C_CloseSession(session_);
    sessionOpen_ = false;
  }

  void close() {
    closeSession();
    if (f_ != nullptr && initialized_) f_->C_Finalize(nullptr);
    initialized_ = false;
    f_ = nullptr;
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }

 private:
  HMODULE module_ = nullptr;
  CK_FUNCTION_LIST_PTR f_ = nullptr;
  bool initialized_ = false;
  CK_SESSION_HANDLE session_ = 0;
  bool sessionOpen_ = false;
  bool loggedIn_ = false;
};

Pin pinFrom(const char* text) {
  Pin p;
  p.bytes.assign(text, text + std::strlen(text));
  p.set = true;
  return p;
}

}  // namespace

const char* tokenProviderName() { return PLATFORM_TOKEN_PROV_A; }

bool tokenProvFromInfo(const KeyProvInfo& info, ProvObject* p) {
  auto field = [&](const char* name) {
    auto it = info.extra.find(name);
    return it == info.extra.end() ? std::string() : it->second;
  };
  p->token = true;
  p->binding.module = fileNameOf(field("module"));
  p->binding.serial = field("token.serial");
  p->binding.label = field("token.label");
  p->binding.id = fromHex(field("id"));
  if (p->binding.module.empty() || p->binding.id.empty() || (p->binding.serial.empty() && p->binding.label.empty())) {
    setError(NTE_BAD_KEYSET);
    return false;
  }
  p->pinKey = pinKeyOf(p->binding);
  p->provName = info.provider.empty() ? std::string(tokenProviderName()) : wideToUtf8(info.provider);
  p->container = wideToUtf8(info.container);
  return true;
}

bool tokenSetPin(ProvObject* p, const char* pin) {
  // Whatever happens, the PIN kept before no longer stands.
  clearPin(p->pinKey);
  if (pin == nullptr) return true;
  Pin copy = pinFrom(pin);
  P11 token;
  DWORD err = token.load(p->binding.module);
  if (err == 0) err = token.openToken(p->binding);
  if (err == 0) err = token.login(copy);
  token.close();
  if (err != 0) {
    setError(err);
    return false;
  }
  keepPin(p->pinKey, copy.bytes.data(), copy.bytes.size());
  return true;
}

bool tokenSignDigestInfo(ProvObject* p, const BYTE* digestInfo, size_t n, std::vector<BYTE>* signature) {
  P11 token;
  DWORD err = token.load(p->binding.module);
  if (err == 0) err = token.openToken(p->binding);
  if (err != 0) {
    setError(err);
    return false;
  }
  Pin pin;
  pin.set = cachedPin(p->pinKey, &pin.bytes);
  bool prompted = false;
  if (!pin.set) {
    if (p->silent) {
      setError(NTE_SILENT_CONTEXT);
      return false;
    }
    if (!promptTokenPin(p->subjectName, p->binding.label, &pin.bytes)) return false;
    pin.set = prompted = true;
  }
  err = token.login(pin);
  if (err != 0) {
    // A kept PIN that no longer works (changed meanwhile) is dropped.
    if (!prompted) clearPin(p->pinKey);
    setError(err);
    return false;
  }
  if (prompted) keepPin(p->pinKey, pin.bytes.data(), pin.bytes.size());
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  err = token.findKey(p->binding.id, modulusOf(p->certKey), &key);
  if (err == 0) err = token.sign(key, digestInfo, n, provSignatureSize(p), signature);
  if (err != 0) {
    setError(err);
    return false;
  }
  return true;
}

}  // namespace crypt_internal

using namespace crypt_internal;

PLATFORM_API HCERTSTORE PlatformTokenImportCertStore(LPCSTR moduleName, LPCSTR pin, DWORD dwFlags) {
  if (moduleName == nullptr || *moduleName == '\0' || dwFlags != 0) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  const std::string module = fileNameOf(moduleName);
  P11 token;
  DWORD err = token.load(module);
  std::vector<std::pair<CK_SLOT_ID, CK_TOKEN_INFO>> found;
  if (err == 0) err = token.tokens(&found);
  if (err != 0) {
    setError(err);
    return nullptr;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) return nullptr;
  std::u16string providerName = utf8ToWide(tokenProviderName());
  for (const auto& [slot, info] : found) {
    const std::string serial = trimmed(info.serialNumber, sizeof info.serialNumber);
    const std::string label = trimmed(info.label, sizeof info.label);
    err = token.openSession(slot);
    if (err == 0 && pin != nullptr) {
      Pin copy = pinFrom(pin);
      err = token.login(copy);
    }
    std::vector<CK_OBJECT_HANDLE> certs;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_CERTIFICATE_TYPE, &type, sizeof type}};
    if (err == 0) err = token.find(tmpl, 2, &certs);
    if (err != 0) {
      CertCloseStore(store, 0);
      setError(err);
      return nullptr;
    }
    for (CK_OBJECT_HANDLE h : certs) {
      std::vector<BYTE> der, id;
      if (!token.attribute(h, CKA_VALUE, &der) || der.empty()) continue;
      if (!token.attribute(h, CKA_ID, &id) || id.empty()) continue;  // nothing to find its key by
      PCCERT_CONTEXT ctx = CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size()));
      if (ctx == nullptr) continue;
      if (pin != nullptr) {
        EVP_PKEY* pub = certPublicKey(certFromContext(ctx));
        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        bool found =
            pub != nullptr && EVP_PKEY_get_base_id(pub) == EVP_PKEY_RSA && token.findKey(id, modulusOf(pub), &key) == 0;
        EVP_PKEY_free(pub);
        if (!found) {
          CertFreeCertificateContext(ctx);
          continue;
        }
      }
      PCCERT_CONTEXT added = nullptr;
      BOOL ok = CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_REPLACE_EXISTING, &added);
      CertFreeCertificateContext(ctx);
      if (!ok) continue;
      std::string name = "p11-" + (serial.empty() ? label : serial) + "-" + hexUpper(id.data(), id.size());
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_') ch = '_';
      std::u16string container = utf8ToWide(name);
      CRYPT_KEY_PROV_INFO prov{};
      prov.pwszContainerName = container.data();
      prov.pwszProvName = providerName.data();
      prov.dwProvType = PROV_RSA_FULL;
      prov.dwKeySpec = AT_KEYEXCHANGE;
      if (!CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &prov)) {
        CertDeleteCertificateFromStore(added);  // a certificate without its key is not imported
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(state().mutex);
        KeyProvInfo& k = *certFromContext(added)->keyProv;
        k.storage = "pkcs11";
        k.extra["module"] = module;
        k.extra["token.serial"] = serial;
        k.extra["token.label"] = label;
        k.extra["id"] = hexUpper(id.data(), id.size());
      }
      CertFreeCertificateContext(added);
    }
    token.closeSession();
  }
  return store;
}
