// The page address a container reports, split the way the controls split it
// and tested against the host list. The input is read as UTF-16 (bytes in
// pairs) or as 8-bit text (one character a byte). An accepted host must be
// one of the list's hosts, whatever the address looked like.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ctrlkit/HostAllowList.h"

namespace {
bool endsWith(const std::u16string& s, const std::u16string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
std::u16string wide(const char* text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  std::u16string url;
  if (data[0] & 1) {
    for (size_t i = 1; i + 1 < size; i += 2) url.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  } else {
    for (size_t i = 1; i < size; ++i) url.push_back(static_cast<char16_t>(data[i]));
  }
  hostcheck::PageAddress address;
  if (hostcheck::splitPageAddress(url, &address) != 0) return 0;
  if (address.host.size() > 256) __builtin_trap();
  if (!hostcheck::isAllowedHost(address.host)) return 0;
  bool known = false;
  for (const char* entry : hostcheck::kHostAllowList) {
    std::u16string e = wide(entry);
    if (address.host == e) known = true;
  }
  if (endsWith(address.host, u"." + wide(hostcheck::kHostAllowList[0]))) known = true;
  if (!known) __builtin_trap();
  return 0;
}
