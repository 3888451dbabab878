// LANG set for a scope (LC_ALL and LC_CTYPE unset), and the locale family
// made to read the environment again; everything restored at the end.
// Header only: a test that uses it links the locale family itself.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/locale.h"

namespace testsupport {

class LangScope {
 public:
  explicit LangScope(const char* lang) {
    for (const char* v : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* old = std::getenv(v);
      m_saved.push_back({v, old != nullptr, old != nullptr ? old : ""});
      unsetenv(v);
    }
    setenv("LANG", lang, 1);
    PlatformResetLocale();
  }
  ~LangScope() {
    for (const Saved& s : m_saved) {
      if (s.had)
        setenv(s.name, s.value.c_str(), 1);
      else
        unsetenv(s.name);
    }
    PlatformResetLocale();
  }
  LangScope(const LangScope&) = delete;
  LangScope& operator=(const LangScope&) = delete;

 private:
  struct Saved {
    const char* name;
    bool had;
    std::string value;
  };
  std::vector<Saved> m_saved;
};

}  // namespace testsupport
