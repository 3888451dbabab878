// GUID text forms, GUID generation and task memory.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "internal.h"

using namespace com_internal;

PLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }
PLATFORM_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) { return std::realloc(pv, cb == 0 ? 1 : cb); }
PLATFORM_API void CoTaskMemFree(LPVOID pv) { std::free(pv); }

PLATFORM_API INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax) {
  std::u16string text = guidText(rguid);
  if (lpsz == nullptr || cchMax < static_cast<INT>(text.size() + 1)) return 0;
  std::memcpy(lpsz, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
  return static_cast<INT>(text.size() + 1);
}

PLATFORM_API HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (lplpsz == nullptr) return E_INVALIDARG;
  *lplpsz = taskString(guidText(rclsid));
  return *lplpsz != nullptr ? S_OK : E_OUTOFMEMORY;
}

PLATFORM_API HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) { return StringFromCLSID(rclsid, lplpsz); }

PLATFORM_API HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  if (lpiid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *lpiid = IID_NULL;
    return S_OK;
  }
  return parseGuid(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}

PLATFORM_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *pclsid = CLSID_NULL;
    return S_OK;
  }
  if (lpsz[0] == u'{') {
    if (parseGuid(lpsz, pclsid)) return S_OK;
    *pclsid = CLSID_NULL;
    return CO_E_CLASSSTRING;
  }
  if (SUCCEEDED(CLSIDFromProgID(lpsz, pclsid))) return S_OK;
  *pclsid = CLSID_NULL;
  return CO_E_CLASSSTRING;
}

PLATFORM_API HRESULT CoCreateGuid(GUID* pguid) {
  if (pguid == nullptr) return E_INVALIDARG;
  BYTE b[16];
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return E_FAIL;
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = read(fd, b + got, sizeof b - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got != sizeof b) return E_FAIL;
  b[6] = static_cast<BYTE>((b[6] & 0x0F) | 0x40);  // version 4 (random)
  b[8] = static_cast<BYTE>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  pguid->Data1 = (DWORD(b[0]) << 24) | (DWORD(b[1]) << 16) | (DWORD(b[2]) << 8) | b[3];
  pguid->Data2 = static_cast<WORD>((b[4] << 8) | b[5]);
  pguid->Data3 = static_cast<WORD>((b[6] << 8) | b[7]);
  std::memcpy(pguid->Data4, b + 8, 8);
  return S_OK;
}
