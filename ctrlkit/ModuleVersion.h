// The version text every control reports for its own deliverable.
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace ctrlkit {

// The FileVersion string of the module's version resource, as written there
// (first translation); "0,0,0,0" when any step fails. Never throws.
std::u16string moduleVersionString(HMODULE module);

// The version as script sees it: moduleVersionString with each "," made "."
// and every blank removed ("0.0.0.0" without a version resource).
std::u16string versionText(HMODULE module);

}  // namespace ctrlkit
