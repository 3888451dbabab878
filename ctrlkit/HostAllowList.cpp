#include "ctrlkit/HostAllowList.h"

#include <cstring>

#include "platform/kernel.h"
#include "platform/winhttp.h"

namespace hostcheck {
namespace {
std::u16string widen(const char* ascii) {
  std::u16string out;
  for (const char* p = ascii; *p != 0; ++p) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
  return out;
}

bool endsWithLabel(const std::u16string& host, const std::u16string& entry) {
  if (host.size() <= entry.size()) return false;
  size_t at = host.size() - entry.size();
  return host[at - 1] == u'.' && host.compare(at, entry.size(), entry) == 0;
}
}  // namespace

// The comparison stays in UTF-16: converting the host to an 8-bit code page
// first could turn look-alike characters into the letters of an entry.
bool isAllowedHost(const std::u16string& host) {
  for (size_t i = 0; i < sizeof kHostAllowList / sizeof kHostAllowList[0]; ++i) {
    std::u16string entry = widen(kHostAllowList[i]);
    if (host == entry) return true;
    if (i == 0 && endsWithLabel(host, entry)) return true;
  }
  return false;
}

DWORD splitPageAddress(const std::u16string& url, PageAddress* out) {
  char16_t host[256] = {0};
  URL_COMPONENTS uc;
  std::memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host;
  uc.dwHostNameLength = 256;
  uc.dwSchemeLength = static_cast<DWORD>(-1);
  uc.dwUrlPathLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &uc)) {
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_WINHTTP_INVALID_URL;
  }
  out->host.assign(host, uc.dwHostNameLength);
  out->secure = uc.nScheme == INTERNET_SCHEME_HTTPS;
  out->port = uc.nPort;
  return 0;
}
}  // namespace hostcheck
