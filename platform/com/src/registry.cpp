// The registry, kept in one text file per hive under $PLATFORM_ROOT/registry/.
//
// Every call looks at the hive file first and reads it again when another
// process has replaced it since (the file's identity changes with each
// replacement). A change is made under an exclusive lock on
// registry/.lock: read the current file, apply the change, write the whole
// hive to a temporary file and rename it over the old one. Two processes
// therefore never lose each other's changes, and a crash leaves the old or
// the new file, never a mixture.
//
// File form (UTF-8, one record a line, strings in double quotes with \\ \"
// \n \r \t \xHH \uXXXX escapes):
//   PLATFORM-REGISTRY 1
//   key "Software" "Classes" "CLSID"          (the path from the hive's root)
//   value "" sz "text"                        (the default value of that key)
//   value "Count" dword 10
//   value "Data" hex 3 "0a0bff"               (any type, the raw bytes)
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "internal.h"
#include "platform/kernel.h"

using namespace com_internal;

namespace {

constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

struct Value {
  std::u16string name;
  DWORD type = REG_NONE;
  std::string data;
};

struct Key {
  std::u16string name;
  std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by folded name
  std::vector<Value> values;

  Key* child(const std::u16string& n) {
    auto it = subkeys.find(fold(n));
    return it == subkeys.end() ? nullptr : it->second.get();
  }
  // The subkey n, made (with that spelling) when there is none.
  Key* childOrMade(const std::u16string& n, bool* made) {
    if (Key* existing = child(n)) return existing;
    auto fresh = std::make_unique<Key>();
    fresh->name = n;
    Key* k = fresh.get();
    subkeys[fold(n)] = std::move(fresh);
    *made = true;
    return k;
  }
  Value* value(const std::u16string& n) {
    for (auto& v : values)
      if (equalsNoCase(v.name, n)) return &v;
    return nullptr;
  }
};

struct Stamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtimeNs = 0;
  bool operator==(const Stamp& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs;
  }
};

struct Hive {
  std::unique_ptr<Key> root = std::make_unique<Key>();
  Stamp stamp;
  bool valid = false;  // root reflects the file with `stamp`
};

enum HiveId { kMachine = 0, kUser = 1 };
const char* const kHiveFiles[] = {"HKEY_LOCAL_MACHINE.reg", "HKEY_CURRENT_USER.reg"};

struct KeyHandle {
  HiveId hive;
  std::vector<std::u16string> path;
  REGSAM access;
};

std::mutex gMutex;
std::map<std::string, Hive>& hives() {
  static auto* m = new std::map<std::string, Hive>();
  return *m;
}
std::set<KeyHandle*>& handles() {
  static auto* s = new std::set<KeyHandle*>();
  return *s;
}

std::string registryDir() { return std::string(PlatformRoot()) + "/registry"; }
std::string hiveFile(HiveId id) { return registryDir() + "/" + kHiveFiles[id]; }

Stamp stampOf(const struct stat& st) {
  Stamp s;
  s.exists = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return s;
}

// ---------------------------------------------------------------- text form
void appendQuoted(std::string* out, const std::u16string& text) {
  out->push_back('"');
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    char buf[12];
    if (c == u'\\') {
      *out += "\\\\";
    } else if (c == u'"') {
      *out += "\\\"";
    } else if (c == u'\n') {
      *out += "\\n";
    } else if (c == u'\r') {
      *out += "\\r";
    } else if (c == u'\t') {
      *out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
      *out += buf;
    } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      *out += toUtf8(text.substr(i, 2));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      *out += buf;
    } else {
      *out += toUtf8(std::u16string(1, c));
    }
  }
  out->push_back('"');
}

bool isPlainString(const Value& v, std::u16string* text) {
  if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return false;
  if (v.data.size() < 2 || v.data.size() % 2 != 0) return false;
  size_t n = v.data.size() / 2;
  std::u16string s(n, 0);
  std::memcpy(s.data(), v.data.data(), v.data.size());
  if (s.back() != 0) return false;
  s.pop_back();
  if (s.find(char16_t(0)) != std::u16string::npos) return false;
  *text = s;
  return true;
}

void writeKey(std::string* out, const Key& key, std::vector<std::u16string>* path) {
  *out += "key";
  for (const auto& p : *path) {
    out->push_back(' ');
    appendQuoted(out, p);
  }
  out->push_back('\n');
  for (const auto& v : key.values) {
    *out += "value ";
    appendQuoted(out, v.name);
    std::u16string text;
    if (isPlainString(v, &text)) {
      *out += v.type == REG_SZ ? " sz " : " expand ";
      appendQuoted(out, text);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      DWORD d;
      std::memcpy(&d, v.data.data(), 4);
      *out += " dword " + std::to_string(d);
    } else {
      *out += " hex " + std::to_string(v.type) + " \"";
      static const char* digits = "0123456789abcdef";
      for (unsigned char b : v.data) {
        out->push_back(digits[b >> 4]);
        out->push_back(digits[b & 15]);
      }
      out->push_back('"');
    }
    out->push_back('\n');
  }
  for (const auto& [folded, child] : key.subkeys) {
    path->push_back(child->name);
    writeKey(out, *child, path);
    path->pop_back();
  }
}

std::string serialize(const Key& root) {
  std::string out = "PLATFORM-REGISTRY 1\n";
  std::vector<std::u16string> path;
  writeKey(&out, root, &path);
  return out;
}

// Splits a line into bare words and quoted strings; false on a malformed string.
bool tokenize(const std::string& line, std::vector<std::pair<bool, std::u16string>>* tokens) {
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
      continue;
    }
    if (line[i] != '"') {
      size_t j = i;
      while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
      tokens->emplace_back(false, toUtf16(line.substr(i, j - i)));
      i = j;
      continue;
    }
    ++i;
    std::u16string text;
    std::string run;  // plain UTF-8 bytes not yet converted
    bool closed = false;
    while (i < line.size()) {
      char c = line[i];
      if (c == '"') {
        closed = true;
        ++i;
        break;
      }
      if (c != '\\') {
        run.push_back(c);
        ++i;
        continue;
      }
      text += toUtf16(run);
      run.clear();
      if (i + 1 >= line.size()) return false;
      char e = line[i + 1];
      i += 2;
      switch (e) {
        case '\\': text.push_back(u'\\'); break;
        case '"': text.push_back(u'"'); break;
        case 'n': text.push_back(u'\n'); break;
        case 'r': text.push_back(u'\r'); break;
        case 't': text.push_back(u'\t'); break;
        case 'x':
        case 'u': {
          size_t n = e == 'x' ? 2 : 4;
          if (i + n > line.size()) return false;
          unsigned v = 0;
          for (size_t k = 0; k < n; ++k) {
            char h = line[i + k];
            int d = (h >= '0' && h <= '9')   ? h - '0'
                    : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                    : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                             : -1;
            if (d < 0) return false;
            v = v * 16 + static_cast<unsigned>(d);
          }
          text.push_back(static_cast<char16_t>(v));
          i += n;
          break;
        }
        default: return false;
      }
    }
    if (!closed) return false;
    text += toUtf16(run);
    tokens->emplace_back(true, text);
  }
  return true;
}

bool parse(const std::string& text, Key* root) {
  size_t pos = 0;
  bool first = true;
  Key* current = root;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (first) {
      if (line != "PLATFORM-REGISTRY 1") return false;
      first = false;
      continue;
    }
    std::vector<std::pair<bool, std::u16string>> t;
    if (!tokenize(line, &t)) return false;
    if (t.empty()) continue;
    if (t[0].first) return false;
    if (t[0].second == u"key") {
      current = root;
      for (size_t k = 1; k < t.size(); ++k) {
        if (!t[k].first || t[k].second.empty()) return false;
        Key* next = current->child(t[k].second);
        if (next == nullptr) {
          auto fresh = std::make_unique<Key>();
          fresh->name = t[k].second;
          next = fresh.get();
          current->subkeys[fold(t[k].second)] = std::move(fresh);
        }
        current = next;
      }
    } else if (t[0].second == u"value") {
      if (t.size() < 4 || !t[1].first || t[2].first) return false;
      Value v;
      v.name = t[1].second;
      const std::u16string& kind = t[2].second;
      if ((kind == u"sz" || kind == u"expand") && t.size() == 4 && t[3].first) {
        v.type = kind == u"sz" ? REG_SZ : REG_EXPAND_SZ;
        std::u16string s = t[3].second;
        s.push_back(0);
        v.data.assign(reinterpret_cast<const char*>(s.data()), s.size() * 2);
      } else if (kind == u"dword" && t.size() == 4 && !t[3].first) {
        std::string n = toUtf8(t[3].second);
        char* endp = nullptr;
        unsigned long long d = std::strtoull(n.c_str(), &endp, 10);
        if (n.empty() || *endp != 0 || d > 0xFFFFFFFFull) return false;
        v.type = REG_DWORD;
        DWORD dw = static_cast<DWORD>(d);
        v.data.assign(reinterpret_cast<const char*>(&dw), 4);
      } else if (kind == u"hex" && t.size() == 5 && !t[3].first && t[4].first) {
        std::string n = toUtf8(t[3].second);
        char* endp = nullptr;
        unsigned long long type = std::strtoull(n.c_str(), &endp, 10);
        if (n.empty() || *endp != 0 || type > 0xFFFFFFFFull) return false;
        v.type = static_cast<DWORD>(type);
        const std::u16string& h = t[4].second;
        if (h.size() % 2 != 0) return false;
        for (size_t k = 0; k < h.size(); k += 2) {
          auto digit = [](char16_t c) {
            return (c >= u'0' && c <= u'9') ? c - u'0' : (c >= u'a' && c <= u'f') ? c - u'a' + 10 : -1;
          };
          int a = digit(h[k]), b = digit(h[k + 1]);
          if (a < 0 || b < 0) return false;
          v.data.push_back(static_cast<char>(a * 16 + b));
        }
      } else {
        return false;
      }
      if (current->value(v.name) != nullptr) return false;
      current->values.push_back(std::move(v));
    } else {
      return false;
    }
  }
  return !first;
}

// Brings the hive up to date with its file. Caller holds gMutex.
LSTATUS refresh(const std::string& file, Hive& hive) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return ERROR_BADDB;
    if (!(hive.valid && !hive.stamp.exists)) {
      hive.root = std::make_unique<Key>();
      hive.stamp = Stamp{};
      hive.valid = true;
    }
    return ERROR_SUCCESS;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    close(fd);
    return ERROR_BADDB;
  }
  Stamp now = stampOf(st);
  if (hive.valid && hive.stamp == now) {
    close(fd);
    return ERROR_SUCCESS;
  }
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  if (n < 0) return ERROR_BADDB;
  auto root = std::make_unique<Key>();
  if (!parse(text, root.get())) {
    hive.valid = false;
    return ERROR_BADDB;
  }
  hive.root = std::move(root);
  hive.stamp = now;
  hive.valid = true;
  return ERROR_SUCCESS;
}

// Temporary hive files left by a writer killed before its rename. Every
// writer holds the lock while its temporary exists, so under the lock any
// temporary is a leftover. Once a process, at its first change.
void removeStaleTemporaries(const std::string& dir) {
  static std::set<std::string>* done = new std::set<std::string>();
  if (!done->insert(dir).second) return;
  if (DIR* d = opendir(dir.c_str())) {
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name[0] != '.' && name.find(".reg.tmp.") != std::string::npos) names.push_back(name);
    }
    closedir(d);
    for (const std::string& name : names) unlink((dir + "/" + name).c_str());
  }
}

// Runs `fn` on the up-to-date hive; for a change, under the file lock, and
// writes the hive back when fn reports that it changed something.
LSTATUS withHive(HiveId id, bool change, const std::function<LSTATUS(Key& root, bool* changed)>& fn) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::string file = hiveFile(id);
  Hive& hive = hives()[file];
  int lockFd = -1;
  if (change) {
    std::string dir = registryDir();
    if (!PlatformMakeDirs(dir.c_str())) return ERROR_CANTWRITE;
    lockFd = open((dir + "/.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lockFd < 0) return ERROR_CANTWRITE;
    while (flock(lockFd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(lockFd);
        return ERROR_CANTWRITE;
      }
    }
    removeStaleTemporaries(dir);
  }
  LSTATUS status = refresh(file, hive);
  if (status == ERROR_SUCCESS) {
    bool changed = false;
    status = fn(*hive.root, &changed);
    if (change && changed) {
      std::string text = serialize(*hive.root);
      struct stat st {};
      if (PlatformWriteFileAtomic(file.c_str(), text.data(), text.size()) && stat(file.c_str(), &st) == 0) {
        hive.stamp = stampOf(st);
      } else {
        hive.valid = false;  // read the file again next time: the change did not land
        if (status == ERROR_SUCCESS) status = ERROR_CANTWRITE;
      }
    }
  }
  if (lockFd >= 0) {
    flock(lockFd, LOCK_UN);
    close(lockFd);
  }
  return status;
}

// ---------------------------------------------------------------- handles and paths
struct Resolved {
  HiveId hive;
  std::vector<std::u16string> path;
  REGSAM access;
};

LSTATUS resolveBase(HKEY hKey, Resolved* out) {
  ULONG_PTR v = reinterpret_cast<ULONG_PTR>(hKey);
  if (hKey == HKEY_LOCAL_MACHINE) {
    *out = {kMachine, {}, KEY_ALL_ACCESS};
  } else if (hKey == HKEY_CURRENT_USER) {
    *out = {kUser, {}, KEY_ALL_ACCESS};
  } else if (hKey == HKEY_CLASSES_ROOT) {
    *out = {kMachine, {u"Software", u"Classes"}, KEY_ALL_ACCESS};
  } else if (v >= 0x80000000u && v <= 0x800000FFu) {
    return ERROR_INVALID_HANDLE;  // other predefined keys are not kept here
  } else {
    std::lock_guard<std::mutex> lock(gMutex);
    auto* h = reinterpret_cast<KeyHandle*>(hKey);
    if (hKey == nullptr || handles().count(h) == 0) return ERROR_INVALID_HANDLE;
    *out = {h->hive, h->path, h->access};
  }
  return ERROR_SUCCESS;
}

LSTATUS splitPath(const char16_t* sub, std::vector<std::u16string>* parts) {
  if (sub == nullptr) return ERROR_SUCCESS;
  std::u16string s = sub;
  while (!s.empty() && s.back() == u'\\') s.pop_back();
  if (s.empty()) return ERROR_SUCCESS;
  size_t start = 0;
  while (true) {
    size_t end = s.find(u'\\', start);
    std::u16string part = s.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (part.empty() || part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
    parts->push_back(part);
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

// The handle's key and the parts of the subkey path below it.
LSTATUS resolvePath(HKEY hKey, LPCWSTR subKey, Resolved* r, std::vector<std::u16string>* parts) {
  LSTATUS st = resolveBase(hKey, r);
  if (st != ERROR_SUCCESS) return st;
  return splitPath(subKey, parts);
}

Key* walk(Key& root, const std::vector<std::u16string>& path) {
  Key* k = &root;
  for (const auto& p : path) {
    k = k->child(p);
    if (k == nullptr) return nullptr;
  }
  return k;
}

// The key of an open handle, or nullptr when it has been deleted.
Key* keyOf(Key& root, const Resolved& r) { return walk(root, r.path); }

HKEY newHandle(HiveId hive, std::vector<std::u16string> path, REGSAM access) {
  auto* h = new KeyHandle{hive, std::move(path), access};
  std::lock_guard<std::mutex> lock(gMutex);
  handles().insert(h);
  return reinterpret_cast<HKEY>(h);
}

std::u16string valueName(const char16_t* name) { return name != nullptr ? std::u16string(name) : std::u16string(); }

LSTATUS copyOut(const std::string& data, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpcbData == nullptr) return lpData == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  DWORD needed = static_cast<DWORD>(data.size());
  if (lpData == nullptr) {
    *lpcbData = needed;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < needed) {
    *lpcbData = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(lpData, data.data(), needed);
  *lpcbData = needed;
  return ERROR_SUCCESS;
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stored UTF-16 text as ANSI bytes, for the A functions.
std::string toAnsiData(const std::string& wide) {
  std::u16string w(wide.size() / 2, 0);
  std::memcpy(w.data(), wide.data(), w.size() * 2);
  return wideToAnsi(w);
}

LSTATUS queryValue(HKEY hKey, const std::u16string& name, LPDWORD lpType, std::string* data) {
  Resolved r;
  LSTATUS st = resolveBase(hKey, &r);
  if (st != ERROR_SUCCESS) return st;
  if (!(r.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  return withHive(r.hive, false, [&](Key& root, bool*) -> LSTATUS {
    Key* k = keyOf(root, r);
    if (k == nullptr) return ERROR_KEY_DELETED;
    Value* v = k->value(name);
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = v->type;
    *data = v->data;
    return ERROR_SUCCESS;
  });
}

LSTATUS setValue(HKEY hKey, const std::u16string& name, DWORD type, std::string data) {
  if (name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
  Resolved r;
  LSTATUS st = resolveBase(hKey, &r);
  if (st != ERROR_SUCCESS) return st;
  if (!(r.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return withHive(r.hive, true, [&](Key& root, bool* changed) -> LSTATUS {
    Key* k = keyOf(root, r);
    if (k == nullptr) return ERROR_KEY_DELETED;
    Value* v = k->value(name);
    if (v == nullptr) {
      k->values.push_back(Value{name, type, std::move(data)});
      *changed = true;
    } else if (v->type != type || v->data != data) {
      v->type = type;
      v->data = std::move(data);
      *changed = true;
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS copyName(const std::u16string& name, LPWSTR buffer, LPDWORD cch) {
  if (cch == nullptr || buffer == nullptr) return ERROR_INVALID_PARAMETER;
  if (*cch < name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(char16_t));
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}
}  // namespace

// ---------------------------------------------------------------- the API
PLATFORM_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                                     const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  Resolved r;
  std::vector<std::u16string> parts;
  LSTATUS st = resolvePath(hKey, lpSubKey, &r, &parts);
  if (st != ERROR_SUCCESS) return st;
  if (!parts.empty() && !(r.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  bool created = false;
  std::vector<std::u16string> full = r.path;
  st = withHive(r.hive, true, [&](Key& root, bool* changed) -> LSTATUS {
    // The prefix of HKEY_CLASSES_ROOT is made on first use.
    Key* k = &root;
    for (const auto& p : r.path) {
      if (k->child(p) == nullptr && hKey != HKEY_CLASSES_ROOT) return ERROR_KEY_DELETED;
      k = k->childOrMade(p, changed);
    }
    for (const auto& p : parts) {
      k = k->childOrMade(p, &created);
      full.push_back(k->name);
    }
    if (created) *changed = true;
    return ERROR_SUCCESS;
  });
  if (st != ERROR_SUCCESS) return st;
  if (lpdwDisposition != nullptr) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *phkResult = newHandle(r.hive, std::move(full), samDesired);
  return ERROR_SUCCESS;
}

PLATFORM_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  Resolved r;
  std::vector<std::u16string> parts;
  LSTATUS st = resolvePath(hKey, lpSubKey, &r, &parts);
  if (st != ERROR_SUCCESS) return st;
  std::vector<std::u16string> full;
  st = withHive(r.hive, false, [&](Key& root, bool*) -> LSTATUS {
    Key* k = walk(root, r.path);
    if (k == nullptr) return hKey == HKEY_CLASSES_ROOT ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    full = r.path;
    for (const auto& p : parts) {
      k = k->child(p);
      if (k == nullptr) return ERROR_FILE_NOT_FOUND;
      full.push_back(k->name);
    }
    return ERROR_SUCCESS;
  });
  if (st != ERROR_SUCCESS) return st;
  *phkResult = newHandle(r.hive, std::move(full), samDesired);
  return ERROR_SUCCESS;
}

PLATFORM_API LSTATUS RegCloseKey(HKEY hKey) {
  ULONG_PTR v = reinterpret_cast<ULONG_PTR>(hKey);
  if (v >= 0x80000000u && v <= 0x800000FFu) return ERROR_SUCCESS;
  std::lock_guard<std::mutex> lock(gMutex);
  auto* h = reinterpret_cast<KeyHandle*>(hKey);
  if (hKey == nullptr || handles().erase(h) == 0) return ERROR_INVALID_HANDLE;
  delete h;
  return ERROR_SUCCESS;
}

PLATFORM_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                    DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  std::string data(reinterpret_cast<const char*>(lpData), lpData != nullptr ? cbData : 0);
  return setValue(hKey, valueName(lpValueName), dwType, std::move(data));
}

PLATFORM_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                      LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  std::string data;
  LSTATUS st = queryValue(hKey, valueName(lpValueName), lpType, &data);
  if (st != ERROR_SUCCESS) return st;
  return copyOut(data, lpData, lpcbData);
}

PLATFORM_API LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  Resolved r;
  LSTATUS st = resolveBase(hKey, &r);
  if (st != ERROR_SUCCESS) return st;
  if (!(r.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::u16string name = valueName(lpValueName);
  return withHive(r.hive, true, [&](Key& root, bool* changed) -> LSTATUS {
    Key* k = keyOf(root, r);
    if (k == nullptr) return ERROR_KEY_DELETED;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
      if (equalsNoCase(it->name, name)) {
        k->values.erase(it);
        *changed = true;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

namespace {
// Deletes subkey `sub` of the handle's key; `tree` removes what lies below it too.
LSTATUS deleteKey(HKEY hKey, LPCWSTR lpSubKey, bool tree) {
  Resolved r;
  std::vector<std::u16string> parts;
  LSTATUS st = resolvePath(hKey, lpSubKey, &r, &parts);
  if (st != ERROR_SUCCESS) return st;
  std::vector<std::u16string> full = r.path;
  full.insert(full.end(), parts.begin(), parts.end());
  if (full.empty()) return ERROR_ACCESS_DENIED;  // a hive's root stays
  if (hKey == HKEY_CLASSES_ROOT && parts.empty()) return ERROR_ACCESS_DENIED;
  return withHive(r.hive, true, [&](Key& root, bool* changed) -> LSTATUS {
    if (walk(root, r.path) == nullptr) return hKey == HKEY_CLASSES_ROOT ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    std::vector<std::u16string> parentPath(full.begin(), full.end() - 1);
    Key* parent = walk(root, parentPath);
    Key* victim = parent != nullptr ? parent->child(full.back()) : nullptr;
    if (victim == nullptr) return ERROR_FILE_NOT_FOUND;
    if (!tree && !victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
    parent->subkeys.erase(fold(full.back()));
    *changed = true;
    return ERROR_SUCCESS;
  });
}
}  // namespace

PLATFORM_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return deleteKey(hKey, lpSubKey, false);
}

PLATFORM_API LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey != nullptr && lpSubKey[0] != 0) return deleteKey(hKey, lpSubKey, true);
  Resolved r;
  LSTATUS st = resolveBase(hKey, &r);
  if (st != ERROR_SUCCESS) return st;
  return withHive(r.hive, true, [&](Key& root, bool* changed) -> LSTATUS {
    Key* k = keyOf(root, r);
    if (k == nullptr) return hKey == HKEY_CLASSES_ROOT ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    if (!k->subkeys.empty() || !k->values.empty()) *changed = true;
    k->subkeys.clear();
    k->values.clear();
    return ERROR_SUCCESS;
  });
}

PLATFORM_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  Resolved r;
  LSTATUS st = resolveBase(hKey, &r);
  if (st != ERROR_SUCCESS) return st;
  if (!(r.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  std::u16string name;
  st = withHive(r.hive, false, [&](Key& root, bool*) -> LSTATUS {
    Key* k = keyOf(root, r);
    if (k == nullptr) return hKey == HKEY_CLASSES_ROOT ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
    if (dwIndex >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = k->subkeys.begin();
    std::advance(it, dwIndex);
    name = it->second->name;
    return ERROR_SUCCESS;
  });
  if (st != ERROR_SUCCESS) return st;
  st = copyName(name, lpName, lpcchName);
  if (st != ERROR_SUCCESS) return st;
  if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass != nullptr) *lpcchClass = 0;
  if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

PLATFORM_API LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  Resolved r;
  LSTATUS st = resolveBase(hKey, &r);
  if (st != ERROR_SUCCESS) return st;
  if (!(r.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Value value;
  st = withHive(r.hive, false, [&](Key& root, bool*) -> LSTATUS {
    Key* k = keyOf(root, r);
    if (k == nullptr) return hKey == HKEY_CLASSES_ROOT ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
    if (dwIndex >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    value = k->values[dwIndex];
    return ERROR_SUCCESS;
  });
  if (st != ERROR_SUCCESS) return st;
  st = copyName(value.name, lpValueName, lpcchValueName);
  if (st != ERROR_SUCCESS) return st;
  if (lpType != nullptr) *lpType = value.type;
  return copyOut(value.data, lpData, lpcbData);
}

PLATFORM_API LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  Resolved r;
  LSTATUS st = resolveBase(hKey, &r);
  if (st != ERROR_SUCCESS) return st;
  DWORD subkeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
  st = withHive(r.hive, false, [&](Key& root, bool*) -> LSTATUS {
    Key* k = keyOf(root, r);
    if (k == nullptr) return hKey == HKEY_CLASSES_ROOT ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    subkeys = static_cast<DWORD>(k->subkeys.size());
    for (const auto& [f, c] : k->subkeys) maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(c->name.size()));
    values = static_cast<DWORD>(k->values.size());
    for (const auto& v : k->values) {
      maxName = std::max<DWORD>(maxName, static_cast<DWORD>(v.name.size()));
      maxData = std::max<DWORD>(maxData, static_cast<DWORD>(v.data.size()));
    }
    return ERROR_SUCCESS;
  });
  if (st != ERROR_SUCCESS) return st;
  if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass != nullptr) *lpcchClass = 0;
  if (lpcSubKeys != nullptr) *lpcSubKeys = subkeys;
  if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = maxSub;
  if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
  if (lpcValues != nullptr) *lpcValues = values;
  if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = maxName;
  if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = maxData;
  if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- ANSI forms
namespace {
std::u16string ansiName(LPCSTR s) { return s != nullptr ? ansiToWide(s, std::strlen(s)) : std::u16string(); }
}  // namespace

PLATFORM_API LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD dwOptions,
                                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES sa, PHKEY phkResult,
                                     LPDWORD lpdwDisposition) {
  std::u16string sub = ansiName(lpSubKey);
  return RegCreateKeyExW(hKey, lpSubKey != nullptr ? sub.c_str() : nullptr, Reserved, nullptr, dwOptions, samDesired,
                         sa, phkResult, lpdwDisposition);
}

PLATFORM_API LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  std::u16string sub = ansiName(lpSubKey);
  return RegOpenKeyExW(hKey, lpSubKey != nullptr ? sub.c_str() : nullptr, ulOptions, samDesired, phkResult);
}

PLATFORM_API LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                    DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  std::string data(reinterpret_cast<const char*>(lpData), lpData != nullptr ? cbData : 0);
  if (isStringType(dwType)) {
    std::u16string w = ansiToWide(data.data(), data.size());
    data.assign(reinterpret_cast<const char*>(w.data()), w.size() * sizeof(char16_t));
  }
  return setValue(hKey, ansiName(lpValueName), dwType, std::move(data));
}

PLATFORM_API LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                      LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  std::string data;
  DWORD type = REG_NONE;
  LSTATUS st = queryValue(hKey, ansiName(lpValueName), &type, &data);
  if (st != ERROR_SUCCESS) return st;
  if (lpType != nullptr) *lpType = type;
  if (isStringType(type)) data = toAnsiData(data);
  return copyOut(data, lpData, lpcbData);
}

PLATFORM_API LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string sub = ansiName(lpSubKey);
  return RegDeleteKeyW(hKey, sub.c_str());
}

PLATFORM_API LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::u16string name = ansiName(lpValueName);
  return RegDeleteValueW(hKey, lpValueName != nullptr ? name.c_str() : nullptr);
}

PLATFORM_API LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  char16_t wide[kMaxKeyName + 1];
  DWORD cch = kMaxKeyName + 1;
  LSTATUS st = RegEnumKeyExW(hKey, dwIndex, wide, &cch, lpReserved, nullptr, nullptr, lpftLastWriteTime);
  if (st != ERROR_SUCCESS) return st;
  std::string name = wideToAnsi(std::u16string_view(wide, cch));
  if (*lpcchName < name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.c_str(), name.size() + 1);
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass != nullptr) *lpcchClass = 0;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- shortcuts
namespace com_internal {
bool readRegString(HKEY root, const std::u16string& path, const char16_t* name, std::u16string* out) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  std::string data;
  LSTATUS st = queryValue(key, valueName(name), &type, &data);
  RegCloseKey(key);
  if (st != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  std::u16string s(data.size() / 2, 0);
  std::memcpy(s.data(), data.data(), s.size() * 2);
  size_t nul = s.find(char16_t(0));
  if (nul != std::u16string::npos) s.resize(nul);
  *out = s;
  return true;
}

LSTATUS writeRegString(HKEY root, const std::u16string& path, const char16_t* name, const std::u16string& value) {
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (st != ERROR_SUCCESS) return st;
  st = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
  RegCloseKey(key);
  return st;
}

LSTATUS deleteRegTree(HKEY root, const std::u16string& path) { return RegDeleteTreeW(root, path.c_str()); }

bool regKeyExists(HKEY root, const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}
}  // namespace com_internal
