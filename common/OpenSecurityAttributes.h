// The process-wide security attributes with a null DACL, used for every named
// event, mutex and file mapping, so that every account and session can open them.
#pragma once

#include <windows.h>

// Null when they could not be built (callers then get default security).
SECURITY_ATTRIBUTES* GetOpenSecurityAttributes();
