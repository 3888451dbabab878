// Splits arbitrary addresses: the bytes are read as text (one byte a
// character, so seeds stay readable) and, when the length is even, also as
// UTF-16 units. Whatever is split must lie inside the address, copies must fit
// their buffers, and the address must be read only up to its end.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kernel.h"
#include "platform/winhttp.h"

namespace {
void inside(const char16_t* url, size_t len, const char16_t* p, DWORD n) {
  if (p == nullptr) return;
  if (p < url || p + n > url + len) __builtin_trap();
}

void crack(const std::vector<char16_t>& text, DWORD hostBuffer, bool counted) {
  // The exact length, with no terminator when the length is given, so a read
  // past the end is caught by the address sanitizer.
  std::vector<char16_t> url(text);
  if (!counted) url.push_back(0);
  const size_t len = text.size();
  std::vector<char16_t> host(hostBuffer == 0 ? 1 : hostBuffer, u'#');
  URL_COMPONENTS uc;
  std::memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = hostBuffer == 0 ? nullptr : host.data();
  uc.dwHostNameLength = hostBuffer == 0 ? static_cast<DWORD>(-1) : hostBuffer;
  uc.dwSchemeLength = static_cast<DWORD>(-1);
  uc.dwUrlPathLength = static_cast<DWORD>(-1);
  uc.dwExtraInfoLength = static_cast<DWORD>(-1);
  uc.dwUserNameLength = static_cast<DWORD>(-1);
  uc.dwPasswordLength = static_cast<DWORD>(-1);
  if (counted && len == 0) return;  // length 0 means NUL-terminated
  BOOL ok = WinHttpCrackUrl(url.data(), counted ? static_cast<DWORD>(len) : 0, 0, &uc);
  if (!ok) {
    if (GetLastError() == 0) __builtin_trap();
    return;
  }
  inside(url.data(), len, uc.lpszScheme, uc.dwSchemeLength);
  inside(url.data(), len, uc.lpszUrlPath, uc.dwUrlPathLength);
  inside(url.data(), len, uc.lpszExtraInfo, uc.dwExtraInfoLength);
  inside(url.data(), len, uc.lpszUserName, uc.dwUserNameLength);
  inside(url.data(), len, uc.lpszPassword, uc.dwPasswordLength);
  if (hostBuffer == 0) {
    inside(url.data(), len, uc.lpszHostName, uc.dwHostNameLength);
  } else if (uc.dwHostNameLength >= hostBuffer || host[uc.dwHostNameLength] != 0) {
    __builtin_trap();
  }
  if (uc.nScheme != INTERNET_SCHEME_HTTP && uc.nScheme != INTERNET_SCHEME_HTTPS) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::vector<char16_t> bytes;
  for (size_t i = 0; i < size && data[i] != 0; ++i) bytes.push_back(data[i]);
  for (DWORD buffer : {0u, 8u, 256u}) {
    crack(bytes, buffer, false);
    crack(bytes, buffer, true);
  }
  if (size % 2 == 0) {
    std::vector<char16_t> units;
    for (size_t i = 0; i + 1 < size; i += 2) {
      char16_t u = static_cast<char16_t>(data[i] | data[i + 1] << 8);
      if (u == 0) break;
      units.push_back(u);
    }
    crack(units, 256, false);
    crack(units, 256, true);
  }
  return 0;
}
