// What the campaign reads of another process: its handle count, private bytes and
// working set, and which processes of a program are running.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace campaign {

// The number of handles that process `pid` holds; -1 when it cannot be read.
// (GetProcessHandleCount where the system answers it, the system's handle table where it
// answers 0 as Wine does.)
long long ProcessHandleCount(DWORD pid);
// Committed private memory of the process in bytes; -1 when it cannot be read.
// (PrivateUsage where the system fills it, else the committed private regions.)
long long ProcessPrivateBytes(DWORD pid);
// Working set in bytes; -1 when it cannot be read.
long long ProcessWorkingSet(DWORD pid);
// Ids of the running processes whose executable file name is `exeName` (any case).
std::vector<DWORD> ProcessesNamed(const std::wstring& exeName);

}  // namespace campaign
