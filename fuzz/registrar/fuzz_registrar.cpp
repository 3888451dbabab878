// Registry scripts: read by the registrar's grammar as UTF-16 (the bytes in
// pairs) or as 8-bit text (one character a byte), with a replacement set.
// Unregistering parses the whole script and then removes only what exists,
// and the fuzz root's registry is empty, so nothing is written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "../support/FuzzRoot.h"
#include "platform/com.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 16384) return 0;
  std::u16string script;
  if (data[0] & 1) {
    for (size_t i = 1; i + 1 < size; i += 2) script.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  } else {
    for (size_t i = 1; i < size; ++i) script.push_back(static_cast<char16_t>(data[i]));
  }
  IRegistrar* registrar = nullptr;
  if (FAILED(PlatformCreateRegistrar(&registrar)) || registrar == nullptr) __builtin_trap();
  registrar->AddReplacement(u"MODULE", u"/opt/bank/Teskel.so");
  registrar->AddReplacement(u"APPID", u"{00000000-0000-0000-0000-000000000001}");
  HRESULT hr = registrar->StringUnregister(script.c_str());
  (void)hr;
  registrar->Release();
  return 0;
}
