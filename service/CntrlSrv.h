// Installation and control of services through the service control manager. Each
// operation opens the handles it needs and closes them before it returns, and logs its
// failures with the last-error code.
#pragma once

#include <windows.h>

#include <string>

namespace CNTRLSRV {

// Creates an own-process service for the quoted `executablePath` and sets its
// description. False when the control manager, the creation or the description failed
// (a service created without its description stays installed).
bool InstallService(const std::wstring& executablePath, const std::wstring& serviceName,
                    const std::wstring& displayName, const std::wstring& description,
                    DWORD startType, const std::wstring& account, const std::wstring& password);

// Asks the service to become stoppable, stops it (waiting at most
// kUninstallStopWaitSeconds while it stays stop pending, with progress dots on standard
// output) and deletes it, stopped or not. True when deleted.
bool UninstallService(const std::wstring& serviceName);
constexpr DWORD kUninstallStopWaitSeconds = 30;

// Sends STOP. True when the service was not active, or the control was accepted and
// either `wait` is false or the service reached stopped within `waitSeconds` seconds
// (checked once a second while it is stop pending). A null name gives false.
bool StopTheService(const wchar_t* serviceName, bool wait, int waitSeconds);

// Whether the service carries a launch protection (false when it cannot be read).
bool IsProtectedService(const std::wstring& serviceName);
// Whether the running service accepts STOP now (false on any failure).
bool CanStopService(const std::wstring& serviceName);
// Removes the service's launch protection; true when that succeeded.
bool SetAsUnProtectedService(const std::wstring& serviceName);

}  // namespace CNTRLSRV
