// Named auto-reset events between the campaign and its helper processes: the campaign
// creates them before it starts a helper; the helper opens them by name.
#pragma once

#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"

namespace campaign {

UniqueKernelHandle CreateSignal(const std::wstring& name);
// Sets the named event when it exists.
void RaiseSignal(const std::wstring& name);
// True when the named event exists and is set within `ms`.
bool WaitSignal(const std::wstring& name, DWORD ms);

}  // namespace campaign
