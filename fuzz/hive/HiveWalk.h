// The walk over a hive that fuzz_hive makes after each input: every value and
// subkey of every key, through the registry functions, each key once.
//
// A subkey's name need not lead to a key of its own: the registry splits what
// it opens at backslashes and drops trailing ones, so a name of backslashes
// opens the key itself, "a\" opens "a" and "a\b" a key further down. A walk
// that followed every name would go round such keys again at each level, and
// a few of them make it exponential, so keys are told apart by the path the
// registry resolves (ASCII case ignored, as the registry's names do).
#pragma once

#include <cstddef>
#include <set>
#include <string>

#include "platform/winreg.h"

namespace hivewalk {

struct Counts {
  size_t keys = 0;    // keys walked, the one started from included
  size_t values = 0;  // values enumerated
};

class Walk {
 public:
  // Walks `key` and everything below it that has not been walked yet.
  Counts from(HKEY key) {
    visit(key, u"", 0);
    return counts_;
  }

 private:
  static constexpr int kMaxDepth = 16;
  static constexpr DWORD kMaxEntries = 64;  // values and subkeys read per key

  // The path that opening `name` below `path` reaches; false for the key itself.
  static bool childPath(const std::u16string& path, const char16_t* name, std::u16string* out) {
    std::u16string part = name;
    while (!part.empty() && part.back() == u'\\') part.pop_back();
    if (part.empty()) return false;
    for (auto& c : part)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    *out = path + u'\\' + part;
    return true;
  }

  void visit(HKEY key, const std::u16string& path, int depth) {
    if (depth > kMaxDepth || !seen_.insert(path).second) return;
    ++counts_.keys;
    for (DWORD i = 0; i < kMaxEntries; ++i) {
      char16_t name[256];
      DWORD n = 256;
      BYTE value[512];
      DWORD valueSize = sizeof value, type = 0;
      LSTATUS st = RegEnumValueW(key, i, name, &n, nullptr, &type, value, &valueSize);
      if (st == ERROR_NO_MORE_ITEMS) break;
      if (st == ERROR_SUCCESS) ++counts_.values;
    }
    for (DWORD i = 0; i < kMaxEntries; ++i) {
      char16_t name[256];
      DWORD n = 256;
      if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      std::u16string child;
      if (!childPath(path, name, &child) || seen_.count(child) != 0) continue;
      HKEY opened = nullptr;
      if (RegOpenKeyExW(key, name, 0, KEY_READ, &opened) == ERROR_SUCCESS) {
        visit(opened, child, depth + 1);
        RegCloseKey(opened);
      }
    }
  }

  std::set<std::u16string> seen_;
  Counts counts_;
};

}  // namespace hivewalk
