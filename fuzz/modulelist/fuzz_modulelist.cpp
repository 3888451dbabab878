// A page's list of PKCS#11 module names (the MultipleCriteria form): parsed
// into the token client's module list. No module is loaded here; every
// parsed name must be a NUL-terminated text of the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "signlib/PKCS11TokenUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  CPKCS11TokenUtil token;
  char message[ERROR_TEXT_SIZE] = {};
  int code = token.DllListParser(text.c_str(), message);
  if (std::strlen(message) >= ERROR_TEXT_SIZE) __builtin_trap();
  if (code == 0) {
    for (int i = 0; i < token.moduleCount(); ++i) {
      const char* name = token.moduleName(i);
      if (name == nullptr || std::strlen(name) > text.size()) __builtin_trap();
    }
  }
  // A second list replaces the first.
  code = token.DllListParser("{a.dll}{b.dll}", message);
  if (code != 0 || token.moduleCount() != 2) __builtin_trap();
  return 0;
}
