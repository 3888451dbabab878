#pragma once
#include "platform/wintypes.h"

namespace platform_locale {
// The ANSI code page of the calling thread's locale (CP_THREAD_ACP).
UINT threadAnsiCodePage();
}  // namespace platform_locale
