// A PKCS#11 module for the tests: token models, PIN states, removal and
// failures that no real module offers on demand, and a log of every call.
//
// Copies of this one library are installed under several names (a copy is a
// separate image with its own state). Each copy reads its settings from files
// in $PLATFORM_ROOT/fakep11/<its own file name>/, at every call, so a test or a
// shell command can change the token between two calls:
//   tokens     number of tokens present, 0 to 2 (default 1); slots 11 and 12
//   model      the tokens' model (default "Fake Token")
//   serial     the first token's serial number (default "fa5e0001"; the
//              second token's ends in "2" instead)
//   label      the tokens' label (default "Fake")
//   pin        the user PIN (default "1234"); C_SetPIN and ETC_InitPIN rewrite it
//   locked     "1": C_Login, C_SetPIN answer CKR_PIN_LOCKED
//   fail       lines "NAME=RV" (every call of NAME returns RV) or "NAME#N=RV"
//              (only the N-th call of NAME recorded in the log)
//   cert*.der  certificate objects (handles 100...)
//   key*.pem   private RSA keys (handles 200...), found by CKA_MODULUS and
//              visible only after login; C_Sign signs with them
//   cert*.id, key*.id  the object's CKA_ID bytes (default: the file's
//              name between "cert"/"key" and the extension, as text)
// Each call appends "<file name> <call> [details]" to $PLATFORM_ROOT/fakep11/calls.log
// (never a PIN, only its length); C_CreateObject writes the template it was
// given to <dir>/template.log, one "type len hex" line per attribute.
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "signlib/PKCS11TokenUtil.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr CK_SLOT_ID kFirstSlot = 11;
constexpr int kSlots = 2;

std::string selfName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&selfName), &info) == 0 || info.dli_fname == nullptr) return "fake";
  std::string path = info.dli_fname;
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string rootDir() {
  const char* root = std::getenv("PLATFORM_ROOT");
  return std::string(root != nullptr ? root : "/tmp") + "/fakep11";
}

std::string stateDir() { return rootDir() + "/" + selfName(); }

std::string readText(const std::string& path, bool* exists = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (exists != nullptr) *exists = static_cast<bool>(in);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string setting(const char* key, const char* fallback) {
  bool exists = false;
  std::string v = trimmed(readText(stateDir() + "/" + key, &exists));
  return exists ? v : fallback;
}

void writeSetting(const char* key, const std::string& value) {
  mkdir(rootDir().c_str(), 0700);
  mkdir(stateDir().c_str(), 0700);
  std::ofstream(stateDir() + "/" + key, std::ios::binary | std::ios::trunc) << value;
}

int tokensPresent() { return std::atoi(setting("tokens", "1").c_str()); }

void logCall(const std::string& call, const std::string& details = "") {
  mkdir(rootDir().c_str(), 0700);
  std::ofstream out(rootDir() + "/calls.log", std::ios::app);
  out << selfName() << ' ' << call;
  if (!details.empty()) out << ' ' << details;
  out << '\n';
}

// Number of recorded calls of this module's NAME (this one included).
int callOrdinal(const std::string& name) {
  std::istringstream log(readText(rootDir() + "/calls.log"));
  std::string prefix = selfName() + " " + name;
  std::string line;
  int n = 0;
  while (std::getline(log, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0 && (line.size() == prefix.size() || line[prefix.size()] == ' '))
      ++n;
  }
  return n;
}

// Logs the call and answers with an injected failure when one is set for it.
bool enter(const char* name, CK_RV* rv, const std::string& details = "") {
  logCall(name, details);
  std::istringstream fails(readText(stateDir() + "/fail"));
  std::string line;
  while (std::getline(fails, line)) {
    line = trimmed(line);
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    CK_RV value = std::strtoul(line.c_str() + eq + 1, nullptr, 0);
    size_t hash = key.find('#');
    if (key.substr(0, hash) != name) continue;
    if (hash != std::string::npos && std::atoi(key.c_str() + hash + 1) != callOrdinal(name)) continue;
    *rv = value;
    return true;
  }
  return false;
}

#define ENTER(name, details)                                \
  do {                                                      \
    CK_RV injected_;                                        \
    if (enter(name, &injected_, details)) return injected_; \
  } while (0)

void padded(CK_UTF8CHAR* field, size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::string hex(const void* data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

struct Object {
  CK_OBJECT_HANDLE handle;
  CK_OBJECT_CLASS cls;
  std::vector<unsigned char> value;    // certificate DER
  std::vector<unsigned char> modulus;  // private key modulus
  std::string keyPath;
  std::vector<unsigned char> id;  // CKA_ID
};

// CKA_ID of the object file "<prefix><index>.<ext>": its .id file, or the index text.
std::vector<unsigned char> idOf(const std::string& file) {
  std::string base = file.substr(0, file.size() - 4);
  std::string path = stateDir() + "/" + base + ".id";
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
    std::string v = readText(path);
    return {v.begin(), v.end()};
  }
  size_t digits = base.find_first_of("0123456789");
  std::string index = digits == std::string::npos ? std::string() : base.substr(digits);
  return {index.begin(), index.end()};
}

std::vector<Object> objects() {
  std::vector<std::string> certs, keys;
  if (DIR* d = opendir(stateDir().c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.rfind("cert", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".der") certs.push_back(n);
      if (n.rfind("key", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".pem") keys.push_back(n);
    }
    closedir(d);
  }
  std::sort(certs.begin(), certs.end());
  std::sort(keys.begin(), keys.end());
  std::vector<Object> out;
  for (size_t i = 0; i < certs.size(); ++i) {
    std::string der = readText(stateDir() + "/" + certs[i]);
    out.push_back({100 + i, CKO_CERTIFICATE, {der.begin(), der.end()}, {}, "", idOf(certs[i])});
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    std::string path = stateDir() + "/" + keys[i];
    Object o{200 + i, CKO_PRIVATE_KEY, {}, {}, path, idOf(keys[i])};
    if (FILE* f = std::fopen(path.c_str(), "r")) {
      EVP_PKEY* pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
      std::fclose(f);
      BIGNUM* n = nullptr;
      if (pkey != nullptr && EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &n) == 1) {
        o.modulus.resize(BN_num_bytes(n));
        BN_bn2bin(n, o.modulus.data());
      }
      BN_free(n);
      EVP_PKEY_free(pkey);
    }
    out.push_back(o);
  }
  return out;
}

struct Session {
  int slotIndex = 0;
  CK_FLAGS flags = 0;
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> results;
  size_t next = 0;
  bool signing = false;
  CK_MECHANISM_TYPE mechanism = 0;
  CK_OBJECT_HANDLE key = 0;
};

bool gInitialized = false;
bool gLoggedIn = false;
CK_SESSION_HANDLE gNextSession = 1;
std::map<CK_SESSION_HANDLE, Session> gSessions;

// A session whose token has gone is no longer valid.
Session* sessionFor(CK_SESSION_HANDLE h) {
  auto it = gSessions.find(h);
  if (it == gSessions.end()) return nullptr;
  if (it->second.slotIndex >= tokensPresent()) {
    gSessions.erase(it);
    if (gSessions.empty()) gLoggedIn = false;
    return nullptr;
  }
  return &it->second;
}

int slotIndexOf(CK_SLOT_ID slot) {
  if (slot < kFirstSlot || slot >= kFirstSlot + kSlots) return -1;
  return static_cast<int>(slot - kFirstSlot);
}

std::string serialOf(int index) {
  std::string s = setting("serial", "fa5e0001");
  if (index > 0 && !s.empty()) s.back() = '2';
  return s;
}

bool matches(const Object& o, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& a = tmpl[i];
    const auto* v = static_cast<const unsigned char*>(a.pValue);
    if (a.type == CKA_CLASS) {
      if (a.ulValueLen != sizeof(CK_OBJECT_CLASS) || *static_cast<CK_OBJECT_CLASS*>(a.pValue) != o.cls) return false;
    } else if (a.type == CKA_VALUE) {
      if (o.cls != CKO_CERTIFICATE || a.ulValueLen != o.value.size() ||
          !std::equal(v, v + a.ulValueLen, o.value.begin()))
        return false;
    } else if (a.type == CKA_MODULUS) {
      if (o.cls != CKO_PRIVATE_KEY || a.ulValueLen != o.modulus.size() ||
          !std::equal(v, v + a.ulValueLen, o.modulus.begin()))
        return false;
    } else if (a.type == CKA_ID) {
      if (a.ulValueLen != o.id.size() || !std::equal(v, v + a.ulValueLen, o.id.begin())) return false;
    } else {
      return false;
    }
  }
  return true;
}

// ---- general functions ----
CK_RV Fake_Initialize(CK_VOID_PTR) {
  ENTER("C_Initialize", "");
  if (gInitialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  gInitialized = true;
  return CKR_OK;
}

CK_RV Fake_Finalize(CK_VOID_PTR) {
  ENTER("C_Finalize", "");
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  gInitialized = false;
  gSessions.clear();
  gLoggedIn = false;
  return CKR_OK;
}

CK_RV Fake_GetInfo(CK_INFO_PTR info) {
  ENTER("C_GetInfo", "");
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  std::memset(info, 0, sizeof *info);
  info->cryptokiVersion = {2, 20};
  padded(info->manufacturerID, sizeof info->manufacturerID, "Fake Vendor");
  padded(info->libraryDescription, sizeof info->libraryDescription, "Fake token module");
  return CKR_OK;
}

CK_RV Fake_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  ENTER("C_GetSlotList", std::string("present=") + (tokenPresent ? "1" : "0") + (list == nullptr ? " null" : ""));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  std::vector<CK_SLOT_ID> slots;
  int present = tokensPresent();
  for (int i = 0; i < kSlots; ++i) {
    if (!tokenPresent || i < present) slots.push_back(kFirstSlot + i);
  }
  if (list == nullptr) {
    *count = slots.size();
    return CKR_OK;
  }
  if (*count < slots.size()) {
    *count = slots.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(slots.begin(), slots.end(), list);
  *count = slots.size();
  return CKR_OK;
}

CK_RV Fake_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  ENTER("C_GetSlotInfo", "slot=" + std::to_string(slot));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  int index = slotIndexOf(slot);
  if (index < 0) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  padded(info->slotDescription, sizeof info->slotDescription, "Fake reader " + std::to_string(index));
  padded(info->manufacturerID, sizeof info->manufacturerID, "Fake Vendor");
  info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (index < tokensPresent() ? CKF_TOKEN_PRESENT : 0);
  return CKR_OK;
}

CK_RV Fake_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  ENTER("C_GetTokenInfo", "slot=" + std::to_string(slot));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  int index = slotIndexOf(slot);
  if (index < 0) return CKR_SLOT_ID_INVALID;
  if (index >= tokensPresent()) return CKR_TOKEN_NOT_PRESENT;
  std::memset(info, 0, sizeof *info);
  padded(info->label, sizeof info->label, setting("label", "Fake"));
  padded(info->manufacturerID, sizeof info->manufacturerID, "Fake Vendor");
  padded(info->model, sizeof info->model, setting("model", "Fake Token"));
  padded(info->serialNumber, sizeof info->serialNumber, serialOf(index));
  info->flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED |
                (setting("locked", "0") == "1" ? CKF_USER_PIN_LOCKED : 0);
  info->ulMaxPinLen = 16;
  info->ulMinPinLen = 4;
  return CKR_OK;
}

// ---- sessions ----
CK_RV Fake_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
  ENTER("C_OpenSession", "slot=" + std::to_string(slot) + " flags=" + std::to_string(flags));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  int index = slotIndexOf(slot);
  if (index < 0) return CKR_SLOT_ID_INVALID;
  if (index >= tokensPresent()) return CKR_TOKEN_NOT_PRESENT;
  if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  Session s;
  s.slotIndex = index;
  s.flags = flags;
  *session = gNextSession++;
  gSessions[*session] = s;
  return CKR_OK;
}

CK_RV Fake_CloseSession(CK_SESSION_HANDLE h) {
  ENTER("C_CloseSession", "");
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (gSessions.erase(h) == 0) return CKR_SESSION_HANDLE_INVALID;
  if (gSessions.empty()) gLoggedIn = false;
  return CKR_OK;
}

CK_RV Fake_CloseAllSessions(CK_SLOT_ID) {
  ENTER("C_CloseAllSessions", "");
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  gSessions.clear();
  gLoggedIn = false;
  return CKR_OK;
}

CK_RV Fake_GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info) {
  ENTER("C_GetSessionInfo", "");
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Session* s = sessionFor(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  std::memset(info, 0, sizeof *info);
  info->slotID = kFirstSlot + s->slotIndex;
  info->flags = s->flags;
  info->state = gLoggedIn ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION;
  return CKR_OK;
}

CK_RV Fake_Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
  ENTER("C_Login", std::string(user == CKU_USER ? "user" : "so") + " len=" + std::to_string(len));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (sessionFor(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
  if (setting("locked", "0") == "1") return CKR_PIN_LOCKED;
  if (gLoggedIn) return CKR_USER_ALREADY_LOGGED_IN;
  std::string expected = setting("pin", "1234");
  if (pin == nullptr || len != expected.size() || std::memcmp(pin, expected.data(), len) != 0) return CKR_PIN_INCORRECT;
  gLoggedIn = true;
  return CKR_OK;
}

CK_RV Fake_Logout(CK_SESSION_HANDLE h) {
  ENTER("C_Logout", "");
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (sessionFor(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!gLoggedIn) return CKR_USER_NOT_LOGGED_IN;
  gLoggedIn = false;
  return CKR_OK;
}

CK_RV Fake_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin,
                  CK_ULONG newLen) {
  ENTER("C_SetPIN", "old=" + std::to_string(oldLen) + " new=" + std::to_string(newLen));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Session* s = sessionFor(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!(s->flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
  if (setting("locked", "0") == "1") return CKR_PIN_LOCKED;
  std::string expected = setting("pin", "1234");
  if (oldPin == nullptr || oldLen != expected.size() || std::memcmp(oldPin, expected.data(), oldLen) != 0)
    return CKR_PIN_INCORRECT;
  if (newPin == nullptr || newLen < 4 || newLen > 16) return CKR_PIN_LEN_RANGE;
  for (CK_ULONG i = 0; i < newLen; ++i) {
    if (newPin[i] < 0x21 || newPin[i] > 0x7e) return CKR_PIN_INVALID;
  }
  writeSetting("pin", std::string(reinterpret_cast<char*>(newPin), newLen));
  return CKR_OK;
}

// ---- objects ----
CK_RV Fake_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR object) {
  ENTER("C_CreateObject", "count=" + std::to_string(count));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (sessionFor(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  std::ostringstream out;
  for (CK_ULONG i = 0; i < count; ++i) {
    char type[32];
    std::snprintf(type, sizeof type, "0x%lx", tmpl[i].type);
    out << type << ' ' << tmpl[i].ulValueLen << ' ' << hex(tmpl[i].pValue, tmpl[i].ulValueLen) << '\n';
  }
  writeSetting("template.log", out.str());
  if (object != nullptr) *object = 900;
  return CKR_OK;
}

CK_RV Fake_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  ENTER("C_GetAttributeValue", "object=" + std::to_string(object));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (sessionFor(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  std::vector<Object> all = objects();
  auto it = std::find_if(all.begin(), all.end(), [&](const Object& o) { return o.handle == object; });
  if (it == all.end() || (it->cls == CKO_PRIVATE_KEY && !gLoggedIn)) return CKR_OBJECT_HANDLE_INVALID;
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    std::vector<unsigned char> value;
    if (tmpl[i].type == CKA_CLASS) {
      value.resize(sizeof(CK_OBJECT_CLASS));
      std::memcpy(value.data(), &it->cls, sizeof(CK_OBJECT_CLASS));
    } else if (tmpl[i].type == CKA_VALUE && it->cls == CKO_CERTIFICATE) {
      value = it->value;
    } else if (tmpl[i].type == CKA_MODULUS && it->cls == CKO_PRIVATE_KEY) {
      value = it->modulus;
    } else if (tmpl[i].type == CKA_ID) {
      value = it->id;
    } else {
      tmpl[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    if (tmpl[i].pValue == nullptr) {
      tmpl[i].ulValueLen = value.size();
    } else if (tmpl[i].ulValueLen < value.size()) {
      tmpl[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_BUFFER_TOO_SMALL;
    } else {
      std::memcpy(tmpl[i].pValue, value.data(), value.size());
      tmpl[i].ulValueLen = value.size();
    }
  }
  return rv;
}

CK_RV Fake_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  ENTER("C_FindObjectsInit", "count=" + std::to_string(count));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Session* s = sessionFor(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->finding) return CKR_OPERATION_ACTIVE;
  s->finding = true;
  s->results.clear();
  s->next = 0;
  for (const Object& o : objects()) {
    if (o.cls == CKO_PRIVATE_KEY && !gLoggedIn) continue;
    if (matches(o, tmpl, count)) s->results.push_back(o.handle);
  }
  return CKR_OK;
}

CK_RV Fake_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR found, CK_ULONG max, CK_ULONG_PTR count) {
  ENTER("C_FindObjects", "max=" + std::to_string(max));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Session* s = sessionFor(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
  CK_ULONG n = 0;
  while (n < max && s->next < s->results.size()) found[n++] = s->results[s->next++];
  *count = n;
  return CKR_OK;
}

CK_RV Fake_FindObjectsFinal(CK_SESSION_HANDLE h) {
  ENTER("C_FindObjectsFinal", "");
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Session* s = sessionFor(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
  s->finding = false;
  return CKR_OK;
}

// ---- signing ----
const EVP_MD* digestFor(CK_MECHANISM_TYPE m) {
  switch (m) {
    case CKM_MD5_RSA_PKCS: return EVP_md5();
    case CKM_SHA1_RSA_PKCS: return EVP_sha1();
    case CKM_SHA256_RSA_PKCS: return EVP_sha256();
    case CKM_SHA384_RSA_PKCS: return EVP_sha384();
    case CKM_SHA512_RSA_PKCS: return EVP_sha512();
    default: return nullptr;
  }
}

CK_RV Fake_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  char mech[32];
  std::snprintf(mech, sizeof mech, "mech=0x%lx", mechanism != nullptr ? mechanism->mechanism : 0UL);
  ENTER("C_SignInit", mech);
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Session* s = sessionFor(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->signing) return CKR_OPERATION_ACTIVE;
  if (!gLoggedIn) return CKR_USER_NOT_LOGGED_IN;
  if (mechanism == nullptr || digestFor(mechanism->mechanism) == nullptr) return CKR_MECHANISM_INVALID;
  std::vector<Object> all = objects();
  if (std::none_of(all.begin(), all.end(),
                   [&](const Object& o) { return o.handle == key && o.cls == CKO_PRIVATE_KEY; }))
    return CKR_KEY_HANDLE_INVALID;
  s->signing = true;
  s->mechanism = mechanism->mechanism;
  s->key = key;
  return CKR_OK;
}

CK_RV Fake_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR signature, CK_ULONG_PTR sigLen) {
  ENTER("C_Sign", "len=" + std::to_string(len) + " buffer=" + std::to_string(sigLen != nullptr ? *sigLen : 0));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Session* s = sessionFor(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->signing) return CKR_OPERATION_NOT_INITIALIZED;
  std::vector<Object> all = objects();
  auto it = std::find_if(all.begin(), all.end(), [&](const Object& o) { return o.handle == s->key; });
  EVP_PKEY* pkey = nullptr;
  if (it != all.end()) {
    if (FILE* f = std::fopen(it->keyPath.c_str(), "r")) {
      pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
      std::fclose(f);
    }
  }
  if (pkey == nullptr) {
    s->signing = false;
    return CKR_KEY_HANDLE_INVALID;
  }
  CK_ULONG size = static_cast<CK_ULONG>(EVP_PKEY_get_size(pkey));
  CK_RV rv = CKR_OK;
  if (signature == nullptr) {
    *sigLen = size;  // a length query keeps the operation active
  } else if (*sigLen < size) {
    *sigLen = size;
    rv = CKR_BUFFER_TOO_SMALL;
  } else {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t out = *sigLen;
    if (ctx == nullptr || EVP_DigestSignInit(ctx, nullptr, digestFor(s->mechanism), nullptr, pkey) != 1 ||
        EVP_DigestSign(ctx, signature, &out, data, len) != 1) {
      rv = CKR_FUNCTION_FAILED;
    } else {
      *sigLen = out;
    }
    EVP_MD_CTX_free(ctx);
    s->signing = false;
  }
  EVP_PKEY_free(pkey);
  return rv;
}

// ---- the vendor extension ----
CK_RV Fake_ETC_InitTokenInit(CK_SLOT_ID slot, CK_UTF8CHAR_PTR soPin, CK_ULONG soPinLen, CK_ULONG maxRetries,
                             CK_UTF8CHAR_PTR label, CK_SESSION_HANDLE_PTR session) {
  std::string text = label != nullptr ? reinterpret_cast<const char*>(label) : "";
  ENTER("ETC_InitTokenInit", "slot=" + std::to_string(slot) + " soPinLen=" + std::to_string(soPinLen) +
                                 " retries=" + std::to_string(maxRetries) + " label=" + text);
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  int index = slotIndexOf(slot);
  if (index < 0) return CKR_SLOT_ID_INVALID;
  if (index >= tokensPresent()) return CKR_TOKEN_NOT_PRESENT;
  if (soPin == nullptr || soPinLen == 0 || session == nullptr) return CKR_ARGUMENTS_BAD;
  writeSetting("label", text);
  writeSetting("initialising", "1");
  Session s;
  s.slotIndex = index;
  s.flags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
  *session = gNextSession++;
  gSessions[*session] = s;
  return CKR_OK;
}

CK_RV Fake_ETC_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG len, CK_ULONG maxRetries,
                       CK_VOID_PTR reserved) {
  ENTER("ETC_InitPIN", "len=" + std::to_string(len) + " retries=" + std::to_string(maxRetries) +
                           (reserved == nullptr ? " null" : " reserved"));
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (sessionFor(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (pin == nullptr || len < 4 || len > 16) return CKR_PIN_LEN_RANGE;
  writeSetting("pin", std::string(reinterpret_cast<char*>(pin), len));
  return CKR_OK;
}

CK_RV Fake_ETC_InitTokenFinal(CK_SESSION_HANDLE h) {
  ENTER("ETC_InitTokenFinal", "");
  if (!gInitialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (sessionFor(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  writeSetting("initialising", "0");
  return CKR_OK;
}

CK_FUNCTION_LIST gList = [] {
  CK_FUNCTION_LIST l{};
  l.version = {2, 20};
  l.C_Initialize = Fake_Initialize;
  l.C_Finalize = Fake_Finalize;
  l.C_GetInfo = Fake_GetInfo;
  l.C_GetSlotList = Fake_GetSlotList;
  l.C_GetSlotInfo = Fake_GetSlotInfo;
  l.C_GetTokenInfo = Fake_GetTokenInfo;
  l.C_SetPIN = Fake_SetPIN;
  l.C_OpenSession = Fake_OpenSession;
  l.C_CloseSession = Fake_CloseSession;
  l.C_CloseAllSessions = Fake_CloseAllSessions;
  l.C_GetSessionInfo = Fake_GetSessionInfo;
  l.C_Login = Fake_Login;
  l.C_Logout = Fake_Logout;
  l.C_CreateObject = Fake_CreateObject;
  l.C_GetAttributeValue = Fake_GetAttributeValue;
  l.C_FindObjectsInit = Fake_FindObjectsInit;
  l.C_FindObjects = Fake_FindObjects;
  l.C_FindObjectsFinal = Fake_FindObjectsFinal;
  l.C_SignInit = Fake_SignInit;
  l.C_Sign = Fake_Sign;
  return l;
}();

CK_ETC_FUNCTION_LIST_EX gExtension = {{1, 0}, Fake_ETC_InitTokenInit, Fake_ETC_InitPIN, Fake_ETC_InitTokenFinal};

}  // namespace

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  ENTER("C_GetFunctionList", "");
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  gList.C_GetFunctionList = C_GetFunctionList;
  *list = &gList;
  return CKR_OK;
}

EXPORT CK_RV ETC_GetFunctionListEx(CK_ETC_FUNCTION_LIST_EX_PTR* list) {
  ENTER("ETC_GetFunctionListEx", "");
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  *list = &gExtension;
  return CKR_OK;
}
