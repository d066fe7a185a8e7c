// Which file a handle or a path stands for (volume serial and file index), to tell a log
// that was moved aside and started afresh from the one seen before.
#pragma once

#include <windows.h>

#include <string>

namespace campaign {

// 0 when it cannot be read.
unsigned long long FileIdentity(HANDLE file);
// The file now at `path`; 0 when there is none.
unsigned long long PathIdentity(const std::wstring& path);

}  // namespace campaign
