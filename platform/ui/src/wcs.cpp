// Wide-string helpers of the C run-time that dialogs use.
#include "platform/ui.h"

PLATFORM_API int _wcsicmp(LPCWSTR a, LPCWSTR b) {
  auto lower = [](char16_t c) -> int { return c >= u'A' && c <= u'Z' ? c + 32 : c; };
  for (;; ++a, ++b) {
    int x = lower(*a), y = lower(*b);
    if (x != y || x == 0) return x - y;
  }
}
