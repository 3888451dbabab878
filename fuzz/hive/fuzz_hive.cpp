// The registry's hive file, as another process (or a damaged disk) may have
// left it: the input becomes the current user's hive, which is then read
// through the registry functions, walking every key and value it holds.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../support/FuzzRoot.h"
#include "platform/winreg.h"

namespace {
std::string gHive;

void walk(HKEY key, int depth) {
  if (depth > 16) return;
  for (DWORD i = 0; i < 64; ++i) {
    char16_t name[256];
    DWORD n = 256;
    BYTE value[512];
    DWORD valueSize = sizeof value, type = 0;
    LSTATUS st = RegEnumValueW(key, i, name, &n, nullptr, &type, value, &valueSize);
    if (st == ERROR_NO_MORE_ITEMS) break;
  }
  for (DWORD i = 0; i < 64; ++i) {
    char16_t name[256];
    DWORD n = 256;
    if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
      walk(child, depth + 1);
      RegCloseKey(child);
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = fuzzsupport::root() + "/registry";
  mkdir(dir.c_str(), 0700);
  gHive = dir + "/HKEY_CURRENT_USER.reg";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  // A new file each time (written aside and renamed), as a writer replaces it.
  std::string temp = gHive + ".next";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::rename(temp.c_str(), gHive.c_str());
  walk(HKEY_CURRENT_USER, 0);
  return 0;
}
