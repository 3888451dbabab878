// BSTR: a 32-bit byte count, the characters, then a NUL character. The
// pointer handed out is the first character, so a BSTR reads as a
// NUL-terminated wide string and carries its own length.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/com.h"

namespace {
std::atomic<LONG> gFailAfter{-1};

// Applies the test hook; true when this allocation must fail.
bool injectFailure() {
  LONG n = gFailAfter.load();
  while (n >= 0) {
    if (n == 0) return true;
    if (gFailAfter.compare_exchange_weak(n, n - 1)) return false;
  }
  return false;
}

constexpr size_t kHeader = sizeof(DWORD);
constexpr UINT kMaxBytes = 0x7FFFFFF0u;

// Allocates room for `bytes` bytes of text; the terminator and length are set.
BSTR allocateBytes(UINT bytes) {
  if (bytes > kMaxBytes || injectFailure()) return nullptr;
  // Whole characters of terminator even for an odd byte count.
  size_t total = kHeader + bytes + sizeof(OLECHAR) + 1;
  auto* base = static_cast<unsigned char*>(std::malloc(total));
  if (base == nullptr) return nullptr;
  DWORD length = bytes;
  std::memcpy(base, &length, kHeader);
  std::memset(base + kHeader + bytes, 0, total - kHeader - bytes);
  return reinterpret_cast<BSTR>(base + kHeader);
}

unsigned char* baseOf(BSTR b) { return reinterpret_cast<unsigned char*>(b) - kHeader; }

size_t wideLength(const OLECHAR* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}
}  // namespace

PLATFORM_API void PlatformSysAllocFailAfter(LONG count) { gFailAfter.store(count < 0 ? -1 : count); }

PLATFORM_API BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  size_t n = wideLength(psz);
  if (n > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(n));
}

PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  BSTR b = allocateBytes(ui * static_cast<UINT>(sizeof(OLECHAR)));
  if (b == nullptr) return nullptr;
  if (strIn != nullptr) {
    std::memmove(b, strIn, ui * sizeof(OLECHAR));
  } else {
    std::memset(b, 0, ui * sizeof(OLECHAR));
  }
  return b;
}

PLATFORM_API BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
  BSTR b = allocateBytes(len);
  if (b == nullptr) return nullptr;
  if (psz != nullptr) {
    std::memmove(b, psz, len);
  } else {
    std::memset(b, 0, len);
  }
  return b;
}

PLATFORM_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (pbstr == nullptr) return FALSE;
  // The source may lie inside the old string: copy before freeing it.
  BSTR fresh = SysAllocStringLen(psz, len);
  if (fresh == nullptr) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

PLATFORM_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return FALSE;
  if (psz == nullptr) {
    SysFreeString(*pbstr);
    *pbstr = nullptr;
    return TRUE;
  }
  size_t n = wideLength(psz);
  if (n > kMaxBytes / sizeof(OLECHAR)) return FALSE;
  return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(n));
}

PLATFORM_API void SysFreeString(BSTR bstrString) {
  if (bstrString != nullptr) std::free(baseOf(bstrString));
}

PLATFORM_API UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  DWORD length;
  std::memcpy(&length, baseOf(bstr), kHeader);
  return length;
}

PLATFORM_API UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }
