// The platform step behind a control's language choice: one language
// identifier becomes the calling thread's user-interface language, so the
// dialogs and strings loaded later on the thread come in that language.
#pragma once

#include "platform/wintypes.h"

namespace ctrlkit {

// Version 6 or later: SetThreadUILanguage, looked up in the loaded
// "kernel32.dll" (nothing when it is missing); earlier: SetThreadLocale with
// the identifier and the default sort order. Results are not examined.
void applyThreadLanguage(LANGID id);

}  // namespace ctrlkit
