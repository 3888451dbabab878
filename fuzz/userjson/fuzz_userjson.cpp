// The scripted user's JSON, as pagehost reads it from a file: whatever the
// text, the page host's reader answers true or false (with a message) and never more.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/UserScript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  std::string json(reinterpret_cast<const char*>(data), size);
  std::vector<platform::user::Entry> entries;
  std::string error;
  bool ok = host::parseUserJson(json, &entries, &error);
  if (!ok && error.empty()) __builtin_trap();
  return 0;
}
