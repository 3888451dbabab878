// A module with resources of its own, loaded by the resource tests.
#include "platform/wintypes.h"

PLATFORM_API int ResTestModuleMarker() { return 42; }
