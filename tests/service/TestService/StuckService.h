// A bare service (the service API alone) that accepts STOP, answers it with stop
// pending at once, and only reports stopped `stopDelayMs` later: a service that stays
// stop pending while its control handler is free, as a remover may meet one.
#pragma once

#include <windows.h>

#include <string>

// Runs the dispatcher for `serviceName`; true when it ran (the process was started by
// the control manager).
bool RunStuckService(const std::wstring& serviceName, DWORD stopDelayMs);
