// Registry access from a process of its own, for the tests that check what
// one process sees of another's changes.
//   com_regtool set KEY NAME VALUE    (HKEY_CURRENT_USER\KEY, REG_SZ)
//   com_regtool get KEY NAME          (prints the value)
//   com_regtool count KEY             (prints the number of values)
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/winreg.h"

namespace {
std::u16string wide(const char* s) {
  std::u16string w;
  for (; *s != 0; ++s) w.push_back(static_cast<unsigned char>(*s));
  return w;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string cmd = argv[1];
  std::u16string key = wide(argv[2]);
  if (cmd == "set" && argc == 5) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
      return 1;
    std::u16string name = wide(argv[3]), value = wide(argv[4]);
    LSTATUS st = RegSetValueExW(h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * 2));
    RegCloseKey(h);
    return st == ERROR_SUCCESS ? 0 : 1;
  }
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return 1;
  int rc = 1;
  if (cmd == "get" && argc == 4) {
    std::u16string name = wide(argv[3]);
    char16_t buf[512];
    DWORD size = sizeof buf;
    if (RegQueryValueExW(h, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS) {
      for (DWORD i = 0; i < size / 2 && buf[i] != 0; ++i) std::putchar(static_cast<char>(buf[i]));
      rc = 0;
    }
  } else if (cmd == "count" && argc == 3) {
    DWORD values = 0;
    if (RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                         nullptr) == ERROR_SUCCESS) {
      std::printf("%u", values);
      rc = 0;
    }
  }
  RegCloseKey(h);
  return rc;
}
