#include "ctrlkit/ModuleVersion.h"

#include <cstdio>

#include "ctrlkit/ScriptText.h"
#include "platform/kernel.h"
#include "platform/resources.h"

namespace ctrlkit {

std::u16string moduleVersionString(HMODULE module) {
  const std::u16string fallback = u"0,0,0,0";
  try {
    char16_t path[1024] = {0};
    if (GetModuleFileNameW(module, path, 1024) == 0) return fallback;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return fallback;
    std::string block(size, '\0');
    if (!GetFileVersionInfoW(path, 0, size, block.data())) return fallback;
    WORD* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translation),
                        &length) ||
        translation == nullptr || length < 4)
      return fallback;
    char query[50];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04hX%04hX\\FileVersion", translation[0], translation[1]);
    std::u16string wideQuery = widen(query, CP_ACP);
    char16_t* text = nullptr;
    if (!VerQueryValueW(block.data(), wideQuery.c_str(), reinterpret_cast<LPVOID*>(&text), &length) || text == nullptr)
      return fallback;
    return text;
  } catch (...) {
    return fallback;
  }
}

std::u16string versionText(HMODULE module) {
  std::u16string shown;
  for (char16_t c : moduleVersionString(module)) {
    if (c == u',')
      shown.push_back(u'.');
    else if (c != u' ')
      shown.push_back(c);
  }
  return shown;
}

}  // namespace ctrlkit
