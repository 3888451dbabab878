// The resource registry, resource lookup and string loading.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"

namespace platform_resources {
namespace {

struct Table {
  const PlatformResourceEntry* entries;
  SIZE_T count;
  HMODULE module;
};

// The registry is never destroyed: modules unregister from their own static
// destructors, which may run after this library's would.
std::mutex gMutex;
std::vector<Table>& tables() {
  static auto* t = new std::vector<Table>();
  return *t;
}

std::vector<Table> snapshot() {
  std::lock_guard<std::mutex> lock(gMutex);
  return tables();
}

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

ResKey keyFromDigitsOrName(std::u16string text) {
  ResKey k;
  if (!text.empty() && text[0] == u'#') {
    unsigned long v = 0;
    bool digits = text.size() > 1;
    for (size_t i = 1; i < text.size() && digits; ++i) {
      if (text[i] < u'0' || text[i] > u'9') digits = false;
      v = v * 10 + (text[i] - u'0');
      if (v > 0xFFFF) digits = false;
    }
    if (digits) {
      k.id = static_cast<WORD>(v);
      return k;
    }
  }
  k.isId = false;
  for (auto& c : text) c = upper(c);
  k.name = std::move(text);
  return k;
}

bool matches(const ResKey& key, const WCHAR* entryName, WORD entryId) {
  if (key.isId) return entryName == nullptr && entryId == key.id;
  if (entryName == nullptr) return false;
  size_t i = 0;
  for (; entryName[i] != 0; ++i) {
    if (i >= key.name.size() || upper(entryName[i]) != key.name[i]) return false;
  }
  return i == key.name.size();
}

HMODULE resolve(HMODULE module) { return module != nullptr ? module : GetModuleHandleA(nullptr); }

const PlatformResourceEntry* entryOf(HRSRC r) { return reinterpret_cast<const PlatformResourceEntry*>(r); }
HRSRC toHrsrc(const PlatformResourceEntry* e) { return reinterpret_cast<HRSRC>(const_cast<PlatformResourceEntry*>(e)); }

}  // namespace

ResKey keyFromW(LPCWSTR p) {
  if (IS_INTRESOURCE(p)) {
    ResKey k;
    k.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(p));
    return k;
  }
  return keyFromDigitsOrName(std::u16string(p));
}

ResKey keyFromA(LPCSTR p) {
  if (IS_INTRESOURCE(p)) {
    ResKey k;
    k.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(p));
    return k;
  }
  // Resource names and types are ASCII in practice; other bytes pass as
  // Latin-1 and simply match nothing the compiler wrote.
  std::u16string text;
  for (const unsigned char* s = reinterpret_cast<const unsigned char*>(p); *s != 0; ++s) text += char16_t(*s);
  return keyFromDigitsOrName(std::move(text));
}

Matches findAll(HMODULE module, const ResKey& type, const ResKey& name) {
  Matches m;
  HMODULE target = resolve(module);
  if (target == nullptr) return m;
  for (const Table& t : snapshot()) {
    if (t.module != target) continue;
    m.moduleHasResources = true;
    for (SIZE_T i = 0; i < t.count; ++i) {
      const PlatformResourceEntry& e = t.entries[i];
      if (!matches(type, e.typeName, e.typeId)) continue;
      m.moduleHasType = true;
      if (matches(name, e.name, e.nameId)) m.entries.push_back(&e);
    }
  }
  return m;
}

DWORD missingError(const Matches& m) {
  if (!m.moduleHasResources) return ERROR_RESOURCE_DATA_NOT_FOUND;
  if (!m.moduleHasType) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (m.entries.empty()) return ERROR_RESOURCE_NAME_NOT_FOUND;
  return ERROR_RESOURCE_LANG_NOT_FOUND;
}

const PlatformResourceEntry* pickExact(const Matches& m, LANGID language) {
  for (const auto* e : m.entries) {
    if (e->language == language) return e;
  }
  return nullptr;
}

const PlatformResourceEntry* pickWithFallback(const Matches& m, LANGID language) {
  if (const auto* e = pickExact(m, language)) return e;
  if (const auto* e = pickExact(m, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL))) return e;
  if (const auto* e = pickExact(m, MAKELANGID(PRIMARYLANGID(language), SUBLANG_NEUTRAL))) return e;
  const PlatformResourceEntry* lowest = nullptr;
  for (const auto* e : m.entries) {
    if (lowest == nullptr || e->language < lowest->language) lowest = e;
  }
  return lowest;
}

std::vector<HMODULE> registeredModules() {
  std::vector<HMODULE> out;
  for (const Table& t : snapshot()) {
    if (std::find(out.begin(), out.end(), t.module) == out.end()) out.push_back(t.module);
  }
  return out;
}

}  // namespace platform_resources

using namespace platform_resources;

// ---- registration ----

PLATFORM_API SIZE_T PlatformResourceModules(HMODULE* modules, SIZE_T count) {
  std::vector<HMODULE> all = registeredModules();
  for (SIZE_T i = 0; i < count && i < all.size(); ++i) modules[i] = all[i];
  return all.size();
}

PLATFORM_API void PlatformRegisterResources(const PlatformResourceEntry* entries, SIZE_T count) {
  if (entries == nullptr || count == 0) return;
  // Resolved before taking the registry lock: the kernel holds its own lock
  // while it unloads a module, whose destructors then unregister here.
  HMODULE module = PlatformModuleFromAddress(entries);
  std::lock_guard<std::mutex> lock(gMutex);
  tables().push_back(Table{entries, count, module});
}

PLATFORM_API void PlatformUnregisterResources(const PlatformResourceEntry* entries) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto& t = tables();
  t.erase(std::remove_if(t.begin(), t.end(), [&](const Table& x) { return x.entries == entries; }), t.end());
}

// ---- lookup ----

namespace {
HRSRC findEx(HMODULE module, const ResKey& type, const ResKey& name, WORD language) {
  Matches m = findAll(module, type, name);
  if (const auto* e = pickExact(m, language)) return toHrsrc(e);
  SetLastError(missingError(m));
  return nullptr;
}

HRSRC find(HMODULE module, const ResKey& type, const ResKey& name) {
  Matches m = findAll(module, type, name);
  if (const auto* e = pickWithFallback(m, GetThreadUILanguage())) return toHrsrc(e);
  SetLastError(missingError(m));
  return nullptr;
}

bool validName(const void* p) { return p != nullptr; }
}  // namespace

PLATFORM_API HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
  if (!validName(type) || !validName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return findEx(module, keyFromW(type), keyFromW(name), language);
}

PLATFORM_API HRSRC FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
  if (!validName(type) || !validName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return findEx(module, keyFromA(type), keyFromA(name), language);
}

PLATFORM_API HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  if (!validName(type) || !validName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return find(module, keyFromW(type), keyFromW(name));
}

PLATFORM_API HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  if (!validName(type) || !validName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return find(module, keyFromA(type), keyFromA(name));
}

// ---- enumeration ----

namespace {

// A name as a loader's directory holds it: upper-cased text, or a number.
struct ListedName {
  bool isId;
  WORD id;
  std::u16string text;
  bool operator<(const ListedName& o) const {
    if (isId != o.isId) return !isId;  // texts before numbers
    return isId ? id < o.id : text < o.text;
  }
  bool operator==(const ListedName& o) const { return isId == o.isId && id == o.id && text == o.text; }
};

// The entries of one type in a module; sets the last error when there are none.
std::vector<const PlatformResourceEntry*> entriesOfType(HMODULE module, const ResKey& type) {
  std::vector<const PlatformResourceEntry*> out;
  HMODULE target = resolve(module);
  bool hasResources = false;
  for (const Table& t : snapshot()) {
    if (target == nullptr || t.module != target) continue;
    hasResources = true;
    for (SIZE_T i = 0; i < t.count; ++i)
      if (matches(type, t.entries[i].typeName, t.entries[i].typeId)) out.push_back(&t.entries[i]);
  }
  if (out.empty()) SetLastError(hasResources ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_DATA_NOT_FOUND);
  return out;
}

}  // namespace

PLATFORM_API BOOL EnumResourceNamesW(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW proc, LONG_PTR param) {
  if (!validName(type) || proc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<const PlatformResourceEntry*> entries = entriesOfType(module, keyFromW(type));
  if (entries.empty()) return FALSE;
  std::vector<ListedName> names;
  for (const auto* e : entries) {
    ListedName n{e->name == nullptr, e->nameId, {}};
    if (e->name != nullptr)
      for (const WCHAR* c = e->name; *c != 0; ++c) n.text += upper(*c);
    names.push_back(std::move(n));
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  HMODULE target = resolve(module);
  for (ListedName& n : names) {
    LPWSTR name = n.isId ? MAKEINTRESOURCEW(n.id) : n.text.data();
    if (!proc(target, type, name, param)) {
      SetLastError(ERROR_RESOURCE_ENUM_USER_STOP);
      return FALSE;
    }
  }
  return TRUE;
}

PLATFORM_API BOOL EnumResourceLanguagesW(HMODULE module, LPCWSTR type, LPCWSTR name, ENUMRESLANGPROCW proc,
                                         LONG_PTR param) {
  if (!validName(type) || !validName(name) || proc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Matches m = findAll(module, keyFromW(type), keyFromW(name));
  if (m.entries.empty()) {
    SetLastError(missingError(m));
    return FALSE;
  }
  std::vector<WORD> languages;
  for (const auto* e : m.entries) languages.push_back(e->language);
  std::sort(languages.begin(), languages.end());
  languages.erase(std::unique(languages.begin(), languages.end()), languages.end());
  HMODULE target = resolve(module);
  for (WORD language : languages) {
    if (!proc(target, type, name, language, param)) {
      SetLastError(ERROR_RESOURCE_ENUM_USER_STOP);
      return FALSE;
    }
  }
  return TRUE;
}

PLATFORM_API HGLOBAL LoadResource(HMODULE, HRSRC resource) {
  if (resource == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return const_cast<BYTE*>(entryOf(resource)->data);
}

PLATFORM_API LPVOID LockResource(HGLOBAL data) { return data; }

PLATFORM_API DWORD SizeofResource(HMODULE, HRSRC resource) {
  if (resource == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return entryOf(resource)->size;
}

PLATFORM_API BOOL FreeResource(HGLOBAL) { return FALSE; }

PLATFORM_API WORD PlatformResourceFormat(HRSRC resource) {
  return resource == nullptr ? PLATFORM_RESFMT_RAW : entryOf(resource)->format;
}

// ---- strings ----
// Strings live in blocks of 16 (block id/16 + 1), each string a WORD length
// followed by that many WCHARs, without NUL. The blocks of one module may come
// from several tables, so every block in the language is consulted.

namespace {

// The string `index` of a block; false when the block is too short for it.
bool stringInBlock(const PlatformResourceEntry& e, unsigned index, const WCHAR** text, WORD* length) {
  size_t off = 0;
  for (unsigned i = 0;; ++i) {
    if (off + 2 > e.size) return false;
    WORD len;
    std::memcpy(&len, e.data + off, 2);
    off += 2;
    if (off + size_t{len} * 2 > e.size) return false;
    if (i == index) {
      *text = reinterpret_cast<const WCHAR*>(e.data + off);
      *length = len;
      return true;
    }
    off += size_t{len} * 2;
  }
}

// Finds string `id` in the language; on failure the last error to set.
bool findString(HMODULE module, UINT id, LANGID language, bool fallback, const WCHAR** text, WORD* length,
                DWORD* error) {
  if (id > 0xFFFF) {
    *error = ERROR_RESOURCE_NAME_NOT_FOUND;
    return false;
  }
  ResKey type;
  type.id = 6;  // RT_STRING
  ResKey block;
  block.id = static_cast<WORD>(id / 16 + 1);
  Matches m = findAll(module, type, block);
  // The block in the language; when the language has none, the block in the
  // order FindResourceW takes (neutral, the primary language, the lowest).
  // A block present without the string still gives nothing.
  bool blockFound = false;
  for (int pass = 0; pass < (fallback ? 2 : 1) && !blockFound; ++pass) {
    if (pass == 1) {
      const PlatformResourceEntry* fallback = pickWithFallback(m, language);
      if (fallback == nullptr) break;
      language = fallback->language;
    }
    for (const auto* e : m.entries) {
      if (e->language != language) continue;
      blockFound = true;
      if (stringInBlock(*e, id % 16, text, length) && *length > 0) return true;
    }
  }
  *error = blockFound ? ERROR_RESOURCE_NAME_NOT_FOUND : missingError(m);
  return false;
}

int loadStringW(HMODULE module, UINT id, LANGID language, bool fallback, LPWSTR buffer, int cchBufferMax) {
  if (buffer == nullptr || cchBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const WCHAR* text = nullptr;
  WORD length = 0;
  DWORD error = 0;
  if (!findString(module, id, language, fallback, &text, &length, &error)) {
    if (cchBufferMax > 0) buffer[0] = 0;
    SetLastError(error);
    return 0;
  }
  if (cchBufferMax == 0) {
    *reinterpret_cast<LPCWSTR*>(buffer) = text;
    return length;
  }
  int n = std::min<int>(length, cchBufferMax - 1);
  // Never leave half a surrogate pair at a cut.
  if (n < length && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  std::memcpy(buffer, text, size_t(n) * sizeof(WCHAR));
  buffer[n] = 0;
  return n;
}

}  // namespace

PLATFORM_API int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int cchBufferMax) {
  return loadStringW(module, id, GetThreadUILanguage(), true, buffer, cchBufferMax);
}

PLATFORM_API int PlatformLoadStringLang(HMODULE module, UINT id, LANGID language, LPWSTR buffer, int cchBufferMax) {
  return loadStringW(module, id, language, false, buffer, cchBufferMax);
}

PLATFORM_API int LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int cchBufferMax) {
  if (buffer == nullptr || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  buffer[0] = '\0';
  const WCHAR* text = nullptr;
  WORD length = 0;
  DWORD error = 0;
  if (!findString(module, id, GetThreadUILanguage(), true, &text, &length, &error)) {
    SetLastError(error);
    return 0;
  }
  // Character by character, so that a cut never splits a double-byte character.
  std::string out;
  for (WORD i = 0; i < length;) {
    int units = (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < length) ? 2 : 1;
    char piece[16];
    int n = WideCharToMultiByte(CP_ACP, 0, text + i, units, piece, sizeof piece, nullptr, nullptr);
    if (n <= 0) break;
    if (out.size() + size_t(n) > size_t(cchBufferMax - 1)) break;
    out.append(piece, size_t(n));
    i = static_cast<WORD>(i + units);
  }
  std::memcpy(buffer, out.data(), out.size());
  buffer[out.size()] = '\0';
  return static_cast<int>(out.size());
}
