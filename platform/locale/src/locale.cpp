// The ANSI code page and the default locale from the environment, and the
// per-thread locale and UI language.
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <string>

#include "internal.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace {

constexpr LANGID kStartingUILanguage = 1028;

struct EnvDefaults {
  UINT acp = CP_UTF8;
  LCID userLocale = 0x0409;
};

std::mutex gEnvMutex;
bool gEnvLoaded = false;
EnvDefaults gEnv;
// Bumped by PlatformResetLocale; a thread whose state is older starts over.
std::atomic<unsigned> gGeneration{1};

// The first of LC_ALL, LC_CTYPE and LANG that is set and not empty.
std::string localeText() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') return v;
  }
  return "";
}

// Lower case without '-' and '_', so "UTF-8", "utf8" and "Utf_8" compare equal.
std::string squeeze(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '-' || c == '_') continue;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

UINT codePageOfCodeset(const std::string& codeset) {
  std::string c = squeeze(codeset);
  if (c == "big5") return 950;
  if (c == "gbk" || c == "gb2312" || c == "gb18030") return 936;
  if (c == "iso88591" || c == "cp1252") return 1252;
  return CP_UTF8;
}

LCID localeOfName(const std::string& name) {
  if (name == "zh_TW") return 0x0404;
  if (name == "zh_CN") return 0x0804;
  return 0x0409;  // en_US and everything else
}

EnvDefaults readEnvironment() {
  std::string text = localeText();
  std::string name = text;
  std::string codeset;
  size_t at = name.find('@');
  if (at != std::string::npos) name.erase(at);
  size_t dot = name.find('.');
  if (dot != std::string::npos) {
    codeset = name.substr(dot + 1);
    name.erase(dot);
  }
  EnvDefaults d;
  d.acp = codePageOfCodeset(codeset);
  d.userLocale = localeOfName(name);
  return d;
}

EnvDefaults env() {
  std::lock_guard<std::mutex> lock(gEnvMutex);
  if (!gEnvLoaded) {
    gEnv = readEnvironment();
    gEnvLoaded = true;
  }
  return gEnv;
}

struct ThreadState {
  unsigned generation = 0;
  bool localeSet = false;  // SetThreadLocale named a locale of its own
  LCID locale = 0;
  LANGID uiLanguage = kStartingUILanguage;
};

thread_local ThreadState tState;

ThreadState& threadState() {
  unsigned g = gGeneration.load(std::memory_order_acquire);
  if (tState.generation != g) {
    tState.generation = g;
    tState.localeSet = false;
    tState.locale = env().userLocale;
    tState.uiLanguage = kStartingUILanguage;
  }
  return tState;
}

// ANSI code page of a locale's language; 0 when the locale is not supported.
UINT codePageOfLocale(LCID lcid) {
  if ((lcid >> 20) != 0) return 0;  // reserved bits
  LANGID lang = LANGIDFROMLCID(lcid);
  WORD primary = PRIMARYLANGID(lang);
  WORD sub = SUBLANGID(lang);
  if (primary == LANG_ENGLISH && sub >= 1) return 1252;
  if (primary == LANG_CHINESE) {
    switch (sub) {
      case 1:  // Taiwan
      case 3:  // Hong Kong
      case 5:  // Macao
        return 950;
      case 2:  // PRC
      case 4:  // Singapore
        return 936;
      default: return 0;
    }
  }
  return 0;
}

}  // namespace

namespace platform_locale {
UINT threadAnsiCodePage() {
  ThreadState& s = threadState();
  if (!s.localeSet) return env().acp;
  return codePageOfLocale(s.locale);
}
}  // namespace platform_locale

PLATFORM_API UINT GetACP() { return env().acp; }

PLATFORM_API LCID GetUserDefaultLCID() { return env().userLocale; }
PLATFORM_API LCID GetSystemDefaultLCID() { return env().userLocale; }
PLATFORM_API LANGID GetUserDefaultLangID() { return LANGIDFROMLCID(env().userLocale); }
PLATFORM_API LANGID GetSystemDefaultLangID() { return LANGIDFROMLCID(env().userLocale); }
PLATFORM_API LANGID GetUserDefaultUILanguage() { return LANGIDFROMLCID(env().userLocale); }
PLATFORM_API LANGID GetSystemDefaultUILanguage() { return LANGIDFROMLCID(env().userLocale); }

PLATFORM_API LCID GetThreadLocale() { return threadState().locale; }

PLATFORM_API BOOL SetThreadLocale(LCID locale) {
  ThreadState& s = threadState();
  if (locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT) {
    s.localeSet = false;
    s.locale = env().userLocale;
    return TRUE;
  }
  if (codePageOfLocale(locale) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  s.localeSet = true;
  s.locale = locale;
  return TRUE;
}

PLATFORM_API LANGID GetThreadUILanguage() { return threadState().uiLanguage; }

PLATFORM_API LANGID SetThreadUILanguage(LANGID language) {
  ThreadState& s = threadState();
  s.uiLanguage = language == 0 ? kStartingUILanguage : language;
  return s.uiLanguage;
}

PLATFORM_API void PlatformResetLocale() {
  {
    std::lock_guard<std::mutex> lock(gEnvMutex);
    gEnvLoaded = false;
  }
  gGeneration.fetch_add(1, std::memory_order_acq_rel);
}
