#include "ctrlkit/ThreadLanguage.h"

#include <cstring>

#include "platform/kernel.h"
#include "platform/locale.h"

namespace ctrlkit {
namespace {
// The extended version record GetVersionExW fills when asked with its size.
struct OSVERSIONINFOEXW : OSVERSIONINFOW {
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the extended version record is 284 bytes");

using SetThreadUILanguageFn = LANGID (*)(LANGID);
}  // namespace

void applyThreadLanguage(LANGID id) {
  OSVERSIONINFOEXW version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  if (version.dwMajorVersion >= 6) {
    HMODULE kernel = GetModuleHandleW(u"kernel32.dll");
    auto set = kernel != nullptr
                   ? reinterpret_cast<SetThreadUILanguageFn>(GetProcAddress(kernel, "SetThreadUILanguage"))
                   : nullptr;
    if (set != nullptr) set(id);
  } else {
    SetThreadLocale(MAKELCID(id, SORT_DEFAULT));
  }
}

}  // namespace ctrlkit
