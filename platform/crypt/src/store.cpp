// Certificate stores: memory stores and the file-backed system stores.
//
// A system store is the folder $PLATFORM_ROOT/stores/<NAME>/ with one file per
// certificate, "<SHA-1 in upper-case hex>.cert", holding the certificate and
// its key-container properties as "name=value" lines. Files are replaced
// atomically (temporary file, fsync, rename), so a reader sees the old or the
// new file, never half of one; anything else in the folder (temporary files
// of a crashed writer, foreign files) is ignored.
//
// Each process keeps one in-memory index per system store. Opening the store
// compares the folder's modification time with the index and re-reads only
// the files whose identity (inode, time, size) changed, so repeated opens and
// finds cost a stat and a hash lookup.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include <openssl/evp.h>

#include "internal.h"
#include "platform/kernel.h"

namespace crypt_internal {

State& state() {
  static State* s = new State();  // never destroyed: contexts may outlive static teardown
  return *s;
}

namespace {

int64_t mtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

std::string base64(const std::vector<BYTE>& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool unbase64(const std::string& text, std::vector<BYTE>* out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  out->assign(text.size() / 4 * 3, 0);
  int n =
      EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return false;
  size_t pad = 0;
  if (text.back() == '=') ++pad;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++pad;
  out->resize(static_cast<size_t>(n) - pad);
  return true;
}

// Values are UTF-8 with control characters and '%' written as %XX.
std::string escape(const std::string& v) {
  std::string out;
  for (unsigned char ch : v) {
    if (ch < 0x20 || ch == '%' || ch == 0x7F) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", ch);
      out += buf;
    } else {
      out.push_back(static_cast<char>(ch));
    }
  }
  return out;
}

std::string unescape(const std::string& v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '%' && i + 2 < v.size() && std::isxdigit(static_cast<unsigned char>(v[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(v[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(v[i]);
    }
  }
  return out;
}

std::string entryText(const CertObject* c) {
  std::string t = "# certificate store entry\n";
  t += "certificate=" + base64(c->der) + "\n";
  t += "added=" + std::to_string(c->added) + "\n";
  if (c->keyProv) {
    const KeyProvInfo& k = *c->keyProv;
    t += "key.container=" + escape(wideToUtf8(k.container)) + "\n";
    t += "key.provider=" + escape(wideToUtf8(k.provider)) + "\n";
    t += "key.provtype=" + std::to_string(k.provType) + "\n";
    t += "key.flags=" + std::to_string(k.flags) + "\n";
    t += "key.keyspec=" + std::to_string(k.keySpec) + "\n";
    t += "key.storage=" + escape(k.storage) + "\n";
    for (const KeyProvParam& p : k.params)
      t += "key.param=" + std::to_string(p.dwParam) + "," + std::to_string(p.dwFlags) + "," +
           hexUpper(p.data.data(), p.data.size()) + "\n";
    for (const auto& [name, value] : k.extra) t += "key." + name + "=" + escape(value) + "\n";
  }
  return t;
}

DWORD toDword(const std::string& s) {
  char* end = nullptr;
  unsigned long v = std::strtoul(s.c_str(), &end, 10);
  return static_cast<DWORD>(v);
}

// Hexadecimal digits in pairs; false for anything else (a damaged file).
bool fromHex(const std::string& s, std::vector<BYTE>* out) {
  auto nibble = [](char ch) -> int {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
  };
  out->clear();
  if (s.size() % 2 != 0) return false;
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = nibble(s[i]), lo = nibble(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<BYTE>(hi << 4 | lo));
  }
  return true;
}

// Reads one store file; null when it is not a valid entry for that name.
CertObject* readEntry(const std::string& path, const std::string& sha1Hex) {
  std::string text;
  {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return nullptr;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  std::vector<BYTE> der;
  ULONGLONG added = 0;
  std::unique_ptr<KeyProvInfo> key;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq), value = line.substr(eq + 1);
    if (name == "certificate") {
      if (!unbase64(value, &der)) return nullptr;
    } else if (name == "added") {
      added = std::strtoull(value.c_str(), nullptr, 10);
    } else if (name.rfind("key.", 0) == 0) {
      if (!key) key = std::make_unique<KeyProvInfo>();
      std::string field = name.substr(4);
      if (field == "container")
        key->container = utf8ToWide(unescape(value));
      else if (field == "provider")
        key->provider = utf8ToWide(unescape(value));
      else if (field == "provtype")
        key->provType = toDword(value);
      else if (field == "flags")
        key->flags = toDword(value);
      else if (field == "keyspec")
        key->keySpec = toDword(value);
      else if (field == "storage")
        key->storage = unescape(value);
      else if (field == "param") {
        size_t c1 = value.find(','), c2 = value.find(',', c1 == std::string::npos ? 0 : c1 + 1);
        if (c1 == std::string::npos || c2 == std::string::npos) continue;
        KeyProvParam p;
        p.dwParam = toDword(value.substr(0, c1));
        p.dwFlags = toDword(value.substr(c1 + 1, c2 - c1 - 1));
        if (!fromHex(value.substr(c2 + 1), &p.data)) continue;  // a damaged line is passed over
        key->params.push_back(std::move(p));
      } else {
        key->extra[field] = unescape(value);
      }
    }
  }
  if (der.empty()) return nullptr;
  CertObject* c = newCertObject(der.data(), der.size());
  if (c == nullptr) return nullptr;
  if (c->sha1Hex != sha1Hex) {  // a file under another certificate's name
    delete c;
    return nullptr;
  }
  c->keyProv = std::move(key);
  c->added = added;
  return c;
}

bool isEntryName(const char* name, std::string* sha1Hex) {
  size_t len = std::strlen(name);
  if (len != 45 || std::strcmp(name + 40, ".cert") != 0) return false;
  for (size_t i = 0; i < 40; ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i])) && !(name[i] >= 'A' && name[i] <= 'F')) return false;
  sha1Hex->assign(name, 40);
  return true;
}

void insertMemberLocked(StoreObject* s, CertObject* c) {
  c->store = s;
  c->inStore = true;
  c->ctx.hCertStore = s;
  s->members[{c->added, c->sha1Hex}] = c;
  s->bySha1[c->sha1Hex] = c;
}

void removeMemberLocked(StoreObject* s, CertObject* c) {
  s->members.erase({c->added, c->sha1Hex});
  auto it = s->bySha1.find(c->sha1Hex);
  if (it != s->bySha1.end() && it->second == c) s->bySha1.erase(it);
  c->inStore = false;
  if (c->refs == 0) {
    c->magic = 0;
    delete c;
  }
}

// Brings the index of a system store up to date with its folder.
void refreshLocked(StoreObject* s) {
  struct stat st {};
  if (stat(s->dir.c_str(), &st) != 0) {
    PlatformMakeDirs(s->dir.c_str());
    if (stat(s->dir.c_str(), &st) != 0) return;
  }
  int64_t dirTime = mtimeNs(st);
  if (s->loaded && dirTime == s->dirMtimeNs) return;

  struct Seen {
    uint64_t ino;
    int64_t mtime;
    int64_t size;
  };
  std::unordered_map<std::string, Seen> seen;
  if (DIR* d = opendir(s->dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string sha1;
      if (!isEntryName(e->d_name, &sha1)) continue;
      struct stat fst {};
      std::string path = s->dir + "/" + e->d_name;
      if (stat(path.c_str(), &fst) != 0 || !S_ISREG(fst.st_mode)) continue;
      seen[sha1] = {static_cast<uint64_t>(fst.st_ino), mtimeNs(fst), static_cast<int64_t>(fst.st_size)};
    }
    closedir(d);
  }
  // Members whose file went away or changed.
  std::vector<CertObject*> stale;
  for (auto& [sha1, c] : s->bySha1) {
    auto it = seen.find(sha1);
    if (it == seen.end() || it->second.ino != c->fileIno || it->second.mtime != c->fileMtimeNs ||
        it->second.size != c->fileSize)
      stale.push_back(c);
  }
  for (CertObject* c : stale) removeMemberLocked(s, c);
  for (auto& [sha1, id] : seen) {
    if (s->bySha1.count(sha1) != 0) continue;
    CertObject* c = readEntry(s->dir + "/" + sha1 + ".cert", sha1);
    if (c == nullptr) continue;
    c->fileIno = id.ino;
    c->fileMtimeNs = id.mtime;
    c->fileSize = id.size;
    insertMemberLocked(s, c);
  }
  s->dirMtimeNs = dirTime;
  s->loaded = true;
}

bool validStoreName(const std::string& name) {
  if (name.empty() || name.size() > 100 || name[0] == '.') return false;
  for (unsigned char ch : name)
    if (ch < 0x20 || ch == '/' || ch == '\\' || ch == ':' || ch >= 0x80) return false;
  return true;
}

HCERTSTORE openSystemStore(const std::string& rawName, bool mustExist) {
  if (!validStoreName(rawName)) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  std::string name;
  for (unsigned char ch : rawName) name.push_back(static_cast<char>(std::toupper(ch)));
  std::string root = PlatformRoot();
  std::string dir = root + "/stores/" + name;
  std::lock_guard<std::mutex> lock(state().mutex);
  std::string key = root + std::string(1, '\0') + name;
  StoreObject* s;
  auto it = state().systemStores.find(key);
  if (it != state().systemStores.end()) {
    s = it->second;
  } else {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
      if (mustExist) {
        setError(ERROR_FILE_NOT_FOUND);
        return nullptr;
      }
      if (!PlatformMakeDirs(dir.c_str())) return nullptr;  // last error set by the kernel
    }
    s = new StoreObject();
    s->kind = StoreKind::System;
    s->name = name;
    s->dir = dir;
    s->refs = 1;  // the index keeps it
    state().systemStores[key] = s;
    state().liveStores[s] = s;
  }
  refreshLocked(s);
  storeAddRefLocked(s);
  return s;
}

}  // namespace

void storeAddRefLocked(StoreObject* s) { ++s->refs; }

void storeReleaseLocked(StoreObject* s) {
  if (s->kind == StoreKind::System) {
    // The index's own reference stays: an extra close must not free the index.
    if (s->refs > 1) --s->refs;
    return;
  }
  if (--s->refs > 0) return;
  std::vector<CertObject*> all;
  for (auto& [k, c] : s->members) all.push_back(c);
  s->members.clear();
  s->bySha1.clear();
  for (CertObject* c : all) {
    c->inStore = false;
    c->store = nullptr;
    if (c->refs == 0) {
      c->magic = 0;
      delete c;
    }
  }
  state().liveStores.erase(s);
  delete s;
}

StoreObject* storeFromHandle(HCERTSTORE h) {
  auto it = state().liveStores.find(h);
  return it == state().liveStores.end() ? nullptr : it->second;
}

std::string entryPath(const StoreObject* s, const CertObject* c) { return s->dir + "/" + c->sha1Hex + ".cert"; }

// Leftovers of a writer that was killed: its temporary files (a key's holds
// the whole private key) and key files whose certificate never reached a
// store. Removed the first time this process writes to a store. Only what is
// older than kStaleSeconds goes, so a writer at work in another process (an
// import between writing the key and adding its certificate) keeps its files.
constexpr int64_t kStaleSeconds = 300;

bool stale(const std::string& path, time_t now) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && now - st.st_mtime >= kStaleSeconds;
}

std::vector<std::string> folderNames(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
    }
    closedir(d);
  }
  return out;
}

bool isTemporary(const std::string& name, const char* suffix) {
  std::string marker = std::string(suffix) + ".tmp.";
  return name.find(marker) != std::string::npos && name[0] != '.';
}

// Every key container a store entry names, in every store of the root; false
// when an entry cannot be read (then no key file counts as an orphan).
bool referencedContainers(const std::string& storesDir, std::set<std::string>* out) {
  for (const std::string& store : folderNames(storesDir)) {
    std::string dir = storesDir + "/" + store;
    for (const std::string& name : folderNames(dir)) {
      if (name.size() < 5 || name.compare(name.size() - 5, 5, ".cert") != 0) continue;
      FILE* f = std::fopen((dir + "/" + name).c_str(), "rb");
      if (f == nullptr) return false;
      char line[1024];
      while (std::fgets(line, sizeof line, f) != nullptr) {
        static const char kKey[] = "key.container=";
        if (std::strncmp(line, kKey, sizeof kKey - 1) != 0) continue;
        std::string value = line + sizeof kKey - 1;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
        out->insert(value);
      }
      bool failed = std::ferror(f) != 0;
      std::fclose(f);
      if (failed) return false;
    }
  }
  return true;
}

void tidyLeftovers(const StoreObject* s) {
  static std::set<std::string>* done = new std::set<std::string>();  // per store folder, once a process
  if (!done->insert(s->dir).second) return;
  const time_t now = time(nullptr);
  for (const std::string& name : folderNames(s->dir)) {
    std::string path = s->dir + "/" + name;
    if (isTemporary(name, ".cert") && stale(path, now)) unlink(path.c_str());
  }
  std::string keys = std::string(PlatformRoot()) + "/keys";
  std::set<std::string> referenced;
  const bool known = referencedContainers(std::string(PlatformRoot()) + "/stores", &referenced);
  for (const std::string& name : folderNames(keys)) {
    std::string path = keys + "/" + name;
    if (isTemporary(name, ".key")) {
      if (stale(path, now)) unlink(path.c_str());
      continue;
    }
    if (!known || name.size() <= 4 || name.compare(name.size() - 4, 4, ".key") != 0) continue;
    std::string container = name.substr(0, name.size() - 4);
    if (validContainerName(container) && referenced.count(container) == 0 && stale(path, now)) {
      unlink(path.c_str());
    }
  }
}

bool writeEntry(StoreObject* s, CertObject* c) {
  tidyLeftovers(s);
  std::string path = entryPath(s, c);
  std::string text = entryText(c);
  if (!PlatformWriteFileAtomic(path.c_str(), text.data(), text.size())) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    c->fileIno = static_cast<uint64_t>(st.st_ino);
    c->fileMtimeNs = mtimeNs(st);
    c->fileSize = static_cast<int64_t>(st.st_size);
  }
  s->dirMtimeNs = -1;  // re-read the folder at the next open; our own file is known
  return true;
}

}  // namespace crypt_internal

using namespace crypt_internal;

namespace {

// Adds a copy of src (its certificate and key properties) to the store.
BOOL addLocked(StoreObject* s, CertObject* src, DWORD disposition, PCCERT_CONTEXT* out) {
  if (out != nullptr) *out = nullptr;
  auto it = s->bySha1.find(src->sha1Hex);
  CertObject* existing = it == s->bySha1.end() ? nullptr : it->second;
  bool inherit = false;
  switch (disposition) {
    case CERT_STORE_ADD_NEW:
      if (existing != nullptr) {
        setError(CRYPT_E_EXISTS);
        return FALSE;
      }
      break;
    case CERT_STORE_ADD_USE_EXISTING:
      if (existing != nullptr) {
        if (!existing->keyProv && src->keyProv) {
          existing->keyProv = std::make_unique<KeyProvInfo>(*src->keyProv);
          if (s->kind == StoreKind::System && !writeEntry(s, existing)) {
            existing->keyProv.reset();
            return FALSE;
          }
        }
        if (out != nullptr) {
          addRefLocked(existing);
          *out = &existing->ctx;
        }
        return TRUE;
      }
      break;
    case CERT_STORE_ADD_REPLACE_EXISTING:
    case CERT_STORE_ADD_ALWAYS: break;
    case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES: inherit = true; break;
    case CERT_STORE_ADD_NEWER:
    case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES:
      if (existing != nullptr && fileTimeValue(existing->info.NotBefore) >= fileTimeValue(src->info.NotBefore)) {
        setError(CRYPT_E_EXISTS);
        return FALSE;
      }
      inherit = disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES;
      break;
    default: setError(static_cast<DWORD>(E_INVALIDARG)); return FALSE;
  }
  CertObject* c = newCertObject(src->der.data(), src->der.size());
  if (c == nullptr) return FALSE;
  if (src->keyProv)
    c->keyProv = std::make_unique<KeyProvInfo>(*src->keyProv);
  else if (inherit && existing != nullptr && existing->keyProv)
    c->keyProv = std::make_unique<KeyProvInfo>(*existing->keyProv);
  if (existing != nullptr) {
    c->added = existing->added;  // a replacement keeps its place in the store's order
  } else {
    c->added = nowFileTime();
  }
  if (s->kind == StoreKind::System && !writeEntry(s, c)) {
    DWORD err = GetLastError();
    c->magic = 0;
    delete c;
    setError(err);
    return FALSE;
  }
  if (existing != nullptr) removeMemberLocked(s, existing);
  insertMemberLocked(s, c);
  if (out != nullptr) {
    addRefLocked(c);
    *out = &c->ctx;
  }
  return TRUE;
}

// The first member after prev (or the first of all) that passes the test.
template <class Pred>
CertObject* nextMatchLocked(StoreObject* s, CertObject* prev, Pred pred) {
  auto it = prev == nullptr ? s->members.begin() : s->members.upper_bound({prev->added, prev->sha1Hex});
  for (; it != s->members.end(); ++it)
    if (pred(it->second)) return it->second;
  return nullptr;
}

}  // namespace

PLATFORM_API HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY, LPCSTR szSubsystemProtocol) {
  if (szSubsystemProtocol == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  return openSystemStore(wideToUtf8(ansiToWide(szSubsystemProtocol)), false);
}

PLATFORM_API HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY, LPCWSTR szSubsystemProtocol) {
  if (szSubsystemProtocol == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  return openSystemStore(wideToUtf8(szSubsystemProtocol), false);
}

PLATFORM_API HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV_LEGACY, DWORD dwFlags,
                                      const void* pvPara) {
  if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
    auto* s = new StoreObject();
    s->kind = StoreKind::Memory;
    s->refs = 1;
    std::lock_guard<std::mutex> lock(state().mutex);
    state().liveStores[s] = s;
    return s;
  }
  bool mustExist = (dwFlags & CERT_STORE_OPEN_EXISTING_FLAG) != 0;
  if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A && pvPara != nullptr)
    return openSystemStore(wideToUtf8(ansiToWide(static_cast<const char*>(pvPara))), mustExist);
  if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W && pvPara != nullptr)
    return openSystemStore(wideToUtf8(static_cast<LPCWSTR>(pvPara)), mustExist);
  setError(static_cast<DWORD>(E_INVALIDARG));
  return nullptr;
}

PLATFORM_API HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore) {
  std::lock_guard<std::mutex> lock(state().mutex);
  StoreObject* s = storeFromHandle(hCertStore);
  if (s == nullptr) return nullptr;
  storeAddRefLocked(s);
  return s;
}

PLATFORM_API BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  if (hCertStore == nullptr) return TRUE;
  std::lock_guard<std::mutex> lock(state().mutex);
  StoreObject* s = storeFromHandle(hCertStore);
  if (s == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  bool pending = false;
  if (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG)
    for (auto& [k, c] : s->members)
      if (c->refs > 0) pending = true;
  storeReleaseLocked(s);
  if (pending) {
    setError(CRYPT_E_PENDING_CLOSE);
    return FALSE;
  }
  return TRUE;
}

PLATFORM_API BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                                   DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
  if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
  CertObject* src = certFromContext(pCertContext);
  std::lock_guard<std::mutex> lock(state().mutex);
  StoreObject* s = storeFromHandle(hCertStore);
  if (s == nullptr || src == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  return addLocked(s, src, dwAddDisposition, ppStoreContext);
}

PLATFORM_API BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                   DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
  if (ppCertContext != nullptr) *ppCertContext = nullptr;
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  std::unique_ptr<CertObject> src(newCertObject(pbCertEncoded, cbCertEncoded));
  if (!src) return FALSE;
  std::lock_guard<std::mutex> lock(state().mutex);
  StoreObject* s = storeFromHandle(hCertStore);
  if (s == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  return addLocked(s, src.get(), dwAddDisposition, ppCertContext);
}

PLATFORM_API BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  CertObject* c = certFromContext(pCertContext);
  if (c == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  BOOL ok = TRUE;
  DWORD err = 0;
  ProvObject* prov;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    StoreObject* s = c->store;
    if (s == nullptr || !c->inStore) {
      ok = FALSE;
      err = CRYPT_E_NOT_FOUND;
    } else {
      if (s->kind == StoreKind::System) {
        std::string path = entryPath(s, c);
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
          ok = FALSE;
          err = ERROR_ACCESS_DENIED;
        }
        s->dirMtimeNs = -1;
      }
      if (ok) removeMemberLocked(s, c);
    }
    prov = releaseLocked(c);
  }
  if (prov != nullptr) releaseProv(prov);
  if (!ok) setError(err);
  return ok;
}

PLATFORM_API PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
  return CertFindCertificateInStore(hCertStore, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr,
                                    pPrevCertContext);
}

PLATFORM_API PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType,
                                                       const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
  CertObject* prev = certFromContext(pPrevCertContext);
  CertObject* found = nullptr;
  DWORD err = CRYPT_E_NOT_FOUND;
  ProvObject* prov = nullptr;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    StoreObject* s = storeFromHandle(hCertStore);
    if (s == nullptr) {
      err = static_cast<DWORD>(E_INVALIDARG);
    } else if (dwFindType == CERT_FIND_ANY) {
      found = nextMatchLocked(s, prev, [](CertObject*) { return true; });
    } else if (dwFindType == CERT_FIND_SHA1_HASH || dwFindType == CERT_FIND_EXISTING) {
      std::string want;
      if (dwFindType == CERT_FIND_SHA1_HASH) {
        auto* blob = static_cast<const CRYPT_HASH_BLOB*>(pvFindPara);
        if (blob != nullptr && blob->pbData != nullptr && blob->cbData == 20)
          want = hexUpper(blob->pbData, 20);
        else if (blob == nullptr)
          err = static_cast<DWORD>(E_INVALIDARG);
      } else {
        auto* other = static_cast<PCCERT_CONTEXT>(pvFindPara);
        if (CertObject* oc = certFromContext(other)) {
          want = oc->sha1Hex;
        } else if (other != nullptr && other->pbCertEncoded != nullptr) {
          std::unique_ptr<CertObject> tmp(newCertObject(other->pbCertEncoded, other->cbCertEncoded));
          if (tmp) want = tmp->sha1Hex;
        } else {
          err = static_cast<DWORD>(E_INVALIDARG);
        }
      }
      if (!want.empty()) {
        if (prev == nullptr) {
          auto it = s->bySha1.find(want);
          if (it != s->bySha1.end()) found = it->second;
        } else {
          found = nextMatchLocked(s, prev, [&](CertObject* c) { return c->sha1Hex == want; });
        }
      }
    } else {
      err = static_cast<DWORD>(E_INVALIDARG);
    }
    if (found != nullptr) addRefLocked(found);
    if (prev != nullptr) prov = releaseLocked(prev);
  }
  if (prov != nullptr) releaseProv(prov);
  if (found == nullptr) {
    setError(err);
    return nullptr;
  }
  return &found->ctx;
}
