#pragma once
#include <string>
#include <vector>

#include "platform/resources.h"

namespace platform_resources {

// A type or name as the caller gave it: a number, or an upper-cased string.
struct ResKey {
  bool isId = true;
  WORD id = 0;
  std::u16string name;
};
ResKey keyFromW(LPCWSTR p);
ResKey keyFromA(LPCSTR p);

// The registered resources of one module that match a type and a name, in
// registration order, plus what the module has at all (for the error code).
struct Matches {
  std::vector<const PlatformResourceEntry*> entries;
  bool moduleHasResources = false;
  bool moduleHasType = false;
};
Matches findAll(HMODULE module, const ResKey& type, const ResKey& name);

// The last error for a lookup that found nothing in the wanted language.
DWORD missingError(const Matches& m);

// The entry in exactly that language; null when none.
const PlatformResourceEntry* pickExact(const Matches& m, LANGID language);
// The thread UI language, then neutral, then the primary language's neutral
// sublanguage, then the lowest language present; null when none.
const PlatformResourceEntry* pickWithFallback(const Matches& m, LANGID language);

// The modules whose resources are registered now.
std::vector<HMODULE> registeredModules();

}  // namespace platform_resources
