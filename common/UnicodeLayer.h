// Finds the platform's Unicode layer library ("unicows.dll") for the narrow-API import
// mechanism: first in the suite's install folder (registry value "Path"), then by the
// normal search order. When neither has it, the user is told and the process ends.
#pragma once

#include <windows.h>

#include <string>

// The module handle of the Unicode layer. Does not return when the library is missing.
HMODULE LoadUnicodeLayer();

namespace UnicodeLayer {

// The candidate path for a "Path" value: the value, a backslash when it is longer than
// 3 characters, then "unicows.dll"; cut to the 260-character buffer the loader uses.
std::string CandidatePath(const std::string& folder);

}  // namespace UnicodeLayer
