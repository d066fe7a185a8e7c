// Plain calls on the service control manager for tests, by service name. They use the
// raw service API, so that they do not depend on the code under test.
#pragma once

#include <windows.h>

#include <string>

namespace test_support {

// Creates an own-process service whose ImagePath is `imagePath` (the quoted program and
// its arguments). False (and *error) when the creation failed.
bool CreateTestService(const std::wstring& name, const std::wstring& imagePath,
                       DWORD startType = SERVICE_DEMAND_START, DWORD* error = nullptr);
bool ServiceExists(const std::wstring& name);

// QueryServiceConfigW and the description of QueryServiceConfig2W, as owned values.
struct ServiceConfig {
  bool read = false;
  std::wstring binaryPath, displayName, account, description;
  DWORD serviceType = 0, startType = 0, errorControl = 0;
};
ServiceConfig ReadServiceConfig(const std::wstring& name);
bool QueryServiceStatusOf(const std::wstring& name, SERVICE_STATUS_PROCESS* status);
// StartServiceW; 0 on success, the last-error code otherwise.
DWORD StartServiceByName(const std::wstring& name);
// ControlService; 0 on success, the last-error code otherwise. *status as returned.
DWORD ControlServiceByName(const std::wstring& name, DWORD control, SERVICE_STATUS* status = nullptr);
// Polls every 50 ms until the service reports `state`; false after `timeoutMs`.
bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs,
                         SERVICE_STATUS_PROCESS* last = nullptr);
// Polls until the control manager no longer knows the service; false after `timeoutMs`.
bool WaitForServiceGone(const std::wstring& name, DWORD timeoutMs);

// Stops the service (STOP, then ending its process when it does not stop in time),
// deletes it and waits until the control manager has forgotten it. True when gone.
bool RemoveService(const std::wstring& name);

}  // namespace test_support
