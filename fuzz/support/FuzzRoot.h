// A throwaway platform root for a fuzz target's process, removed at exit.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/kernel.h"

namespace fuzzsupport {
inline const std::string& root() {
  // Never destroyed: the clean-up at exit still needs it.
  static const std::string* dir = [] {
    char base[] = "/tmp/fuzz-root-XXXXXX";
    auto* made = new std::string(mkdtemp(base) != nullptr ? base : "");
    if (made->empty()) std::abort();
    setenv("PLATFORM_ROOT", made->c_str(), 1);
    PlatformResetRoot();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*dir, ec);
    });
    return made;
  }();
  return *dir;
}
}  // namespace fuzzsupport
