#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "platform/winhttp.h"

namespace {
bool asciiEqualsNoCase(const char16_t* s, size_t n, const char* lit) {
  if (std::strlen(lit) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char16_t c = s[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<unsigned char>(lit[i])) return false;
  }
  return true;
}

// Hands one component to the caller in the form it asked for. False when a
// copy does not fit.
bool give(const char16_t* start, size_t n, LPWSTR* buffer, DWORD* length) {
  if (*length == 0) return true;
  if (*buffer == nullptr) {
    *buffer = const_cast<LPWSTR>(start);
    *length = static_cast<DWORD>(n);
    return true;
  }
  if (n + 1 > *length) {
    *length = static_cast<DWORD>(n + 1);
    return false;
  }
  if (n > 0) std::memcpy(*buffer, start, n * sizeof(char16_t));
  (*buffer)[n] = 0;
  *length = static_cast<DWORD>(n);
  return true;
}
}  // namespace

PLATFORM_API BOOL WinHttpCrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, LPURL_COMPONENTS uc) {
  if (url == nullptr || uc == nullptr || uc->dwStructSize != sizeof(URL_COMPONENTS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t len = urlLength;
  if (len == 0) {
    while (url[len] != 0) ++len;
  }
  const char16_t* end = url + len;

  // Scheme: letters, digits, '+', '-', '.' up to the first ':'.
  const char16_t* p = url;
  while (p < end && *p != u':' && *p != u'/' && *p != u'\\' && *p != u'?' && *p != u'#') ++p;
  if (p == end || *p != u':' || p == url) {
    SetLastError(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    return FALSE;
  }
  const char16_t* schemeStart = url;
  size_t schemeLen = static_cast<size_t>(p - url);
  INTERNET_SCHEME scheme;
  INTERNET_PORT defaultPort;
  if (asciiEqualsNoCase(schemeStart, schemeLen, "http")) {
    scheme = INTERNET_SCHEME_HTTP;
    defaultPort = INTERNET_DEFAULT_HTTP_PORT;
  } else if (asciiEqualsNoCase(schemeStart, schemeLen, "https")) {
    scheme = INTERNET_SCHEME_HTTPS;
    defaultPort = INTERNET_DEFAULT_HTTPS_PORT;
  } else {
    SetLastError(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    return FALSE;
  }
  ++p;  // ':'
  // Browsers accept either slash kind after the scheme.
  if (end - p < 2 || (p[0] != u'/' && p[0] != u'\\') || (p[1] != u'/' && p[1] != u'\\')) {
    SetLastError(ERROR_WINHTTP_INVALID_URL);
    return FALSE;
  }
  p += 2;

  const char16_t* authStart = p;
  while (p < end && *p != u'/' && *p != u'\\' && *p != u'?' && *p != u'#') ++p;
  const char16_t* authEnd = p;

  // User information ends at the last '@' of the authority.
  const char16_t* hostStart = authStart;
  const char16_t* userStart = nullptr;
  const char16_t* userEnd = nullptr;
  const char16_t* passStart = nullptr;
  const char16_t* passEnd = nullptr;
  for (const char16_t* q = authStart; q < authEnd; ++q) {
    if (*q == u'@') hostStart = q + 1;
  }
  if (hostStart != authStart) {
    userStart = authStart;
    userEnd = hostStart - 1;
    for (const char16_t* q = userStart; q < userEnd; ++q) {
      if (*q == u':') {
        passStart = q + 1;
        passEnd = userEnd;
        userEnd = q;
        break;
      }
    }
  }

  // Host, then an optional port. An IPv6 literal keeps its brackets.
  const char16_t* hostEnd = authEnd;
  const char16_t* portStart = nullptr;
  if (hostStart < authEnd && *hostStart == u'[') {
    const char16_t* close = hostStart;
    while (close < authEnd && *close != u']') ++close;
    if (close == authEnd) {
      SetLastError(ERROR_WINHTTP_INVALID_URL);
      return FALSE;
    }
    hostEnd = close + 1;
    if (hostEnd < authEnd) {
      if (*hostEnd != u':') {
        SetLastError(ERROR_WINHTTP_INVALID_URL);
        return FALSE;
      }
      portStart = hostEnd + 1;
    }
  } else {
    for (const char16_t* q = hostStart; q < authEnd; ++q) {
      if (*q == u':') {
        hostEnd = q;
        portStart = q + 1;
        break;
      }
    }
  }
  if (hostEnd == hostStart) {
    SetLastError(ERROR_WINHTTP_INVALID_URL);
    return FALSE;
  }
  INTERNET_PORT port = defaultPort;
  if (portStart != nullptr && portStart < authEnd) {
    unsigned long value = 0;
    for (const char16_t* q = portStart; q < authEnd; ++q) {
      if (*q < u'0' || *q > u'9') {
        SetLastError(ERROR_WINHTTP_INVALID_URL);
        return FALSE;
      }
      value = value * 10 + static_cast<unsigned long>(*q - u'0');
      if (value > 65535) {
        SetLastError(ERROR_WINHTTP_INVALID_URL);
        return FALSE;
      }
    }
    port = static_cast<INTERNET_PORT>(value);
  }

  // Path up to the query or fragment; extra information from there on.
  const char16_t* pathStart = authEnd;
  const char16_t* extraStart = pathStart;
  while (extraStart < end && *extraStart != u'?' && *extraStart != u'#') ++extraStart;

  bool fits = true;
  fits &= give(schemeStart, schemeLen, &uc->lpszScheme, &uc->dwSchemeLength);
  fits &= give(hostStart, static_cast<size_t>(hostEnd - hostStart), &uc->lpszHostName, &uc->dwHostNameLength);
  if (userStart != nullptr) {
    fits &= give(userStart, static_cast<size_t>(userEnd - userStart), &uc->lpszUserName, &uc->dwUserNameLength);
  } else {
    fits &= give(authStart, 0, &uc->lpszUserName, &uc->dwUserNameLength);
  }
  if (passStart != nullptr) {
    fits &= give(passStart, static_cast<size_t>(passEnd - passStart), &uc->lpszPassword, &uc->dwPasswordLength);
  } else {
    fits &= give(authStart, 0, &uc->lpszPassword, &uc->dwPasswordLength);
  }
  fits &= give(pathStart, static_cast<size_t>(extraStart - pathStart), &uc->lpszUrlPath, &uc->dwUrlPathLength);
  fits &= give(extraStart, static_cast<size_t>(end - extraStart), &uc->lpszExtraInfo, &uc->dwExtraInfoLength);
  uc->nScheme = scheme;
  uc->nPort = port;
  if (!fits) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  (void)flags;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
