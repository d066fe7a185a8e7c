#include "support/ServiceCalls.h"

#include <vector>

#include "common/UniqueHandle.h"

namespace test_support {

namespace {

UniqueServiceHandle OpenManager() { return UniqueServiceHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

UniqueServiceHandle OpenByName(const UniqueServiceHandle& manager, const std::wstring& name) {
  if (!manager) return UniqueServiceHandle();
  return UniqueServiceHandle(::OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
}

bool QueryStatus(const UniqueServiceHandle& service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                sizeof(*status), &needed) != FALSE;
}

bool WaitForState(const UniqueServiceHandle& service, DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* last) {
  SERVICE_STATUS_PROCESS status = {};
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  bool reached = false;
  for (;;) {
    if (!QueryStatus(service, &status)) break;
    if (status.dwCurrentState == state) {
      reached = true;
      break;
    }
    if (::GetTickCount64() >= deadline) break;
    ::Sleep(50);
  }
  if (last != nullptr) *last = status;
  return reached;
}

}  // namespace

bool CreateTestService(const std::wstring& name, const std::wstring& imagePath, DWORD startType, DWORD* error) {
  UniqueServiceHandle manager = OpenManager();
  UniqueServiceHandle service;
  if (manager) {
    service.reset(::CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, imagePath.c_str(),
                                   nullptr, nullptr, nullptr, nullptr, nullptr));
  }
  if (error != nullptr) *error = service ? 0 : ::GetLastError();
  return service.valid();
}

bool ServiceExists(const std::wstring& name) {
  UniqueServiceHandle manager = OpenManager();
  return OpenByName(manager, name).valid();
}

ServiceConfig ReadServiceConfig(const std::wstring& name) {
  ServiceConfig config;
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return config;
  UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
  if (!service) return config;
  DWORD needed = 0;
  ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 16);
  auto* qsc = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(service.get(), qsc, static_cast<DWORD>(buffer.size()), &needed)) return config;
  config.binaryPath = qsc->lpBinaryPathName ? qsc->lpBinaryPathName : L"";
  config.displayName = qsc->lpDisplayName ? qsc->lpDisplayName : L"";
  config.account = qsc->lpServiceStartName ? qsc->lpServiceStartName : L"";
  config.serviceType = qsc->dwServiceType;
  config.startType = qsc->dwStartType;
  config.errorControl = qsc->dwErrorControl;
  ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<BYTE> described(needed + 16);
  if (!::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, described.data(),
                              static_cast<DWORD>(described.size()), &needed)) {
    return config;
  }
  const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(described.data());
  config.description = description->lpDescription ? description->lpDescription : L"";
  config.read = true;
  return config;
}

bool QueryServiceStatusOf(const std::wstring& name, SERVICE_STATUS_PROCESS* status) {
  UniqueServiceHandle manager = OpenManager();
  UniqueServiceHandle service = OpenByName(manager, name);
  return service && QueryStatus(service, status);
}

DWORD StartServiceByName(const std::wstring& name) {
  UniqueServiceHandle manager = OpenManager();
  UniqueServiceHandle service = OpenByName(manager, name);
  if (!service) return ::GetLastError();
  return ::StartServiceW(service.get(), 0, nullptr) ? 0 : ::GetLastError();
}

DWORD ControlServiceByName(const std::wstring& name, DWORD control, SERVICE_STATUS* status) {
  UniqueServiceHandle manager = OpenManager();
  UniqueServiceHandle service = OpenByName(manager, name);
  if (!service) return ::GetLastError();
  SERVICE_STATUS local = {};
  const BOOL ok = ::ControlService(service.get(), control, status != nullptr ? status : &local);
  return ok ? 0 : ::GetLastError();
}

bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* last) {
  UniqueServiceHandle manager = OpenManager();
  UniqueServiceHandle service = OpenByName(manager, name);
  if (!service) return false;
  return WaitForState(service, state, timeoutMs, last);
}

bool WaitForServiceGone(const std::wstring& name, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (ServiceExists(name)) {
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(50);
  }
  return true;
}

bool RemoveService(const std::wstring& name) {
  {
    UniqueServiceHandle manager = OpenManager();
    UniqueServiceHandle service = OpenByName(manager, name);
    if (!service) return !ServiceExists(name);
    SERVICE_STATUS_PROCESS status = {};
    if (QueryStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      SERVICE_STATUS ignored = {};
      ::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
      if (!WaitForState(service, SERVICE_STOPPED, 15000, &status) && status.dwProcessId != 0) {
        // A service that does not stop (or does not accept STOP) is ended the hard way.
        UniqueKernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
        if (process) {
          ::TerminateProcess(process.get(), 1);
          ::WaitForSingleObject(process.get(), 10000);
        }
        WaitForState(service, SERVICE_STOPPED, 10000, nullptr);
      }
    }
    ::DeleteService(service.get());
  }
  return WaitForServiceGone(name, 30000);
}

}  // namespace test_support
