// Version information: the VS_VERSIONINFO block of a loaded module, found by
// file name, and VerQueryValueW over the block's tree of nodes.
//
// Each node: WORD wLength (bytes of the node), WORD wValueLength (WCHARs for
// text values, wType 1; bytes for binary values, wType 0), WORD wType, the
// NUL-terminated key, padding to 32 bits, the value, padding, the children.
// Offsets are aligned relative to the start of the block.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "internal.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "platform/utf.h"

using namespace platform_resources;

namespace {

bool sameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The version block of the loaded module with that file; null with the last
// error set when there is none.
const PlatformResourceEntry* versionBlock(LPCWSTR fileName) {
  if (fileName == nullptr || fileName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string given = platform::utf::toUtf8(fileName);
  char mapped[4096];
  if (PlatformMapPath(given.c_str(), mapped, sizeof mapped) == 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::string path = mapped;
  struct stat st {};
  bool exists = stat(path.c_str(), &st) == 0;
  for (HMODULE module : registeredModules()) {
    char name[4096];
    DWORD n = GetModuleFileNameA(module, name, sizeof name);
    if (n == 0 || n >= sizeof name) continue;
    if (!sameFile(name, path)) continue;
    ResKey type;
    type.id = 16;  // RT_VERSION
    ResKey id;
    id.id = 1;  // VS_VERSION_INFO
    Matches m = findAll(module, type, id);
    if (const auto* e = pickWithFallback(m, GetThreadUILanguage())) return e;
  }
  SetLastError(exists ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_FILE_NOT_FOUND);
  return nullptr;
}

size_t align4(size_t v) { return (v + 3) & ~size_t{3}; }

WORD readWord(const BYTE* p) {
  WORD w;
  std::memcpy(&w, p, 2);
  return w;
}

struct Node {
  size_t start = 0, end = 0;  // the node's bytes, relative to the block
  WORD valueLength = 0;
  WORD type = 0;
  size_t keyStart = 0, keyLength = 0;  // in WCHARs
  size_t value = 0, valueBytes = 0;
  size_t children = 0;
};

// Reads the node at `start`, which must lie inside [start, limit).
bool readNode(const BYTE* base, size_t start, size_t limit, Node* node) {
  if (start + 6 > limit) return false;
  WORD length = readWord(base + start);
  if (length < 6 || start + length > limit) return false;
  node->start = start;
  node->end = start + length;
  node->valueLength = readWord(base + start + 2);
  node->type = readWord(base + start + 4);
  node->keyStart = start + 6;
  size_t p = node->keyStart;
  while (true) {
    if (p + 2 > node->end) return false;
    if (readWord(base + p) == 0) break;
    p += 2;
  }
  node->keyLength = (p - node->keyStart) / 2;
  node->value = align4(p + 2);
  node->valueBytes = node->type == 1 ? size_t{node->valueLength} * 2 : node->valueLength;
  if (node->valueBytes > 0 && node->value + node->valueBytes > node->end) return false;
  node->children = align4(node->value + node->valueBytes);
  return true;
}

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool keyIs(const BYTE* base, const Node& node, const std::u16string& key) {
  if (node.keyLength != key.size()) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    if (upper(readWord(base + node.keyStart + 2 * i)) != upper(key[i])) return false;
  }
  return true;
}

}  // namespace

PLATFORM_API DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
  if (handle != nullptr) *handle = 0;
  const PlatformResourceEntry* e = versionBlock(fileName);
  return e == nullptr ? 0 : e->size;
}

PLATFORM_API BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD size, LPVOID data) {
  if (data == nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const PlatformResourceEntry* e = versionBlock(fileName);
  if (e == nullptr) return FALSE;
  std::memcpy(data, e->data, std::min<size_t>(size, e->size));
  return TRUE;
}

PLATFORM_API BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length) {
  if (block == nullptr || subBlock == nullptr || buffer == nullptr) return FALSE;
  const BYTE* base = static_cast<const BYTE*>(block);
  Node node;
  if (!readNode(base, 0, readWord(base), &node)) return FALSE;

  // Walk the path one key at a time; empty components ("\\" alone) stay put.
  std::u16string path(subBlock);
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find(u'\\', pos);
    if (next == std::u16string::npos) next = path.size();
    std::u16string key = path.substr(pos, next - pos);
    pos = next + 1;
    if (key.empty()) continue;
    bool found = false;
    size_t child = node.children;
    while (child + 6 <= node.end) {
      Node c;
      if (!readNode(base, child, node.end, &c)) return FALSE;
      if (keyIs(base, c, key)) {
        node = c;
        found = true;
        break;
      }
      child = align4(c.end);
    }
    if (!found) return FALSE;
  }
  *buffer = const_cast<BYTE*>(base + node.value);
  if (length != nullptr) *length = node.valueLength;
  return TRUE;
}
