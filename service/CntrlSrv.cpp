#include "service/CntrlSrv.h"

#include <cstdio>

#include "common/ExCommon.h"
#include "common/UniqueHandle.h"
#include "log/Logger.h"

namespace CNTRLSRV {

namespace {

// Connect and create-service rights.
constexpr DWORD kManagerConnectAndCreate = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
// Delete, stop and query status.
constexpr DWORD kUninstallAccess = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
constexpr DWORD kLaunchProtectedLevel = 12;  // SERVICE_CONFIG_LAUNCH_PROTECTED

// The launch-protection record of QueryServiceConfig2W / ChangeServiceConfig2W.
struct LaunchProtectedInfo {
  DWORD dwLaunchProtected;
};

int Gle() { return static_cast<int>(::GetLastError()); }

// Writes wide text to standard output at once (the uninstall's progress).
void PrintWide(const std::wstring& text) {
  std::fputws(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

bool InstallService(const std::wstring& executablePath, const std::wstring& serviceName,
                    const std::wstring& displayName, const std::wstring& description,
                    DWORD startType, const std::wstring& account, const std::wstring& password) {
  Logger& log = Logger::Instance();
  const std::wstring quotedPath = L"\"" + executablePath + L"\"";

  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, kManagerConnectAndCreate));
  if (!manager) {
    log.Log(LogLevel::Error, L"OpenSCManager failed. GLE = %d\n", Gle());
    return false;
  }
  UniqueServiceHandle service(::CreateServiceW(
      manager.get(), serviceName.c_str(), displayName.c_str(),
      SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS, startType,
      SERVICE_ERROR_NORMAL, quotedPath.c_str(), nullptr, nullptr, nullptr, account.c_str(),
      password.c_str()));
  if (!service) {
    log.Log(LogLevel::Error, L"CreateService failed. GLE = %d\n", Gle());
    return false;
  }
  SERVICE_DESCRIPTIONW info = {const_cast<wchar_t*>(description.c_str())};
  if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
    log.Log(LogLevel::Error, L"ChangeServiceConfig2 failed. GLE = %d\n", Gle());
    return false;
  }
  log.Log(LogLevel::Always, L"Service %s installed successfully\n", serviceName.c_str());
  return true;
}

bool UninstallService(const std::wstring& serviceName) {
  Logger& log = Logger::Instance();
  ExCommon::RequestServiceStopSupport(serviceName, L"Uninstall", 20000);

  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, kManagerConnectAndCreate));
  if (!manager) {
    log.Log(LogLevel::Error, L"OpenSCManager failed. GLE = %d\n", Gle());
    return false;
  }
  UniqueServiceHandle service(::OpenServiceW(manager.get(), serviceName.c_str(), kUninstallAccess));
  if (!service) {
    log.Log(LogLevel::Error, L"OpenService failed. GLE = %d\n", Gle());
    return false;
  }

  SERVICE_STATUS status = {};
  if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    PrintWide(L"Stopping " + serviceName + L" .");
    // A service that stays stop pending is waited for kUninstallStopWaitSeconds at most,
    // counted from the STOP control; it is deleted all the same afterwards (the
    // deletion then takes effect once it ends).
    const ULONGLONG deadline = ::GetTickCount64() + kUninstallStopWaitSeconds * 1000ULL;
    ::Sleep(3000);
    bool gaveUp = false;
    while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
      if (::GetTickCount64() >= deadline) {
        gaveUp = true;
        break;
      }
      PrintWide(L".");
      ::Sleep(1000);
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      log.Log(LogLevel::Error, L"\n%s stopped.\n", serviceName.c_str());
    } else {
      log.Log(LogLevel::Error, L"\n%s failed to stop.\n", serviceName.c_str());
    }
    if (gaveUp) {
      log.Log(LogLevel::Error,
              L"UninstallService: %s still stop pending after %d seconds, deleting it all the same.",
              serviceName.c_str(), static_cast<int>(kUninstallStopWaitSeconds));
    }
  }

  if (!::DeleteService(service.get())) {
    log.Log(LogLevel::Error, L"DeleteService failed. GLE = %d\n", Gle());
    return false;
  }
  log.Log(LogLevel::Always, L"%s removed from SCM\n", serviceName.c_str());
  return true;
}

bool StopTheService(const wchar_t* serviceName, bool wait, int waitSeconds) {
  Logger& log = Logger::Instance();
  if (serviceName == nullptr) {
    log.Log(LogLevel::Error, L"CNTRLSRV::StopTheService : NULL Service name.");
    return false;
  }
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    log.Log(LogLevel::Error,
            L"CNTRLSRV::StopTheService : Failed to OpenSCManager, SrvName = %s , GLE = %d",
            serviceName, Gle());
    return false;
  }
  UniqueServiceHandle service(::OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
  if (!service) {
    log.Log(LogLevel::Error,
            L"CNTRLSRV::StopTheService : Failed to OpenService, SrvName = %s , GLE = %d",
            serviceName, Gle());
    return false;
  }

  SERVICE_STATUS status = {};
  if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_NOT_ACTIVE) return true;
    log.Log(LogLevel::Error,
            L"CNTRLSRV::StopTheService : Failed to ControlService, SrvName = %s , GLE = %d",
            serviceName, static_cast<int>(error));
    return false;
  }
  if (!wait) return true;

  for (int count = 0; count < waitSeconds;) {
    if (!::QueryServiceStatus(service.get(), &status)) {
      log.Log(LogLevel::Warn,
              L"CNTRLSRV::StopTheService : Failed to QueryServiceStatus, SrvName = %s , GLE = %d",
              serviceName, Gle());
      return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    if (status.dwCurrentState != SERVICE_STOP_PENDING) return false;
    ::Sleep(1000);
    ++count;
  }
  return false;
}

bool IsProtectedService(const std::wstring& serviceName) {
  Logger& log = Logger::Instance();
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    log.Log(LogLevel::Error, L"OpenSCManager failed. GLE = %d\n", Gle());
    return false;
  }
  UniqueServiceHandle service(::OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_QUERY_CONFIG));
  if (!service) {
    log.Log(LogLevel::Error, L"OpenService failed. GLE = %d\n", Gle());
    return false;
  }
  LaunchProtectedInfo info = {0};
  DWORD needed = 0;
  if (!::QueryServiceConfig2W(service.get(), kLaunchProtectedLevel, reinterpret_cast<BYTE*>(&info),
                              sizeof(info), &needed)) {
    log.Log(LogLevel::Error, L"QueryServiceConfig2 failed. GLE = %d\n", Gle());
    return false;
  }
  if (info.dwLaunchProtected != 0) {
    log.Log(LogLevel::Always,
            L"Service %s is protected. scLaunchProtectedNfo.dwLaunchProtected=%d\n",
            serviceName.c_str(), static_cast<int>(info.dwLaunchProtected));
    return true;
  }
  log.Log(LogLevel::Always, L"Service %s is not protected.", serviceName.c_str());
  return false;
}

bool CanStopService(const std::wstring& serviceName) {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
  if (!manager) return false;
  UniqueServiceHandle service(::OpenServiceW(manager.get(), serviceName.c_str(), GENERIC_READ));
  if (!service) return false;
  SERVICE_STATUS status = {};
  if (!::QueryServiceStatus(service.get(), &status)) return false;
  return (status.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
}

bool SetAsUnProtectedService(const std::wstring& serviceName) {
  int code = 1;
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service;
  if (!manager) {
    code = -2;
  } else {
    service.reset(::OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
      code = -3;
    } else {
      LaunchProtectedInfo info = {0};  // SERVICE_LAUNCH_PROTECTED_NONE
      if (!::ChangeServiceConfig2W(service.get(), kLaunchProtectedLevel, &info)) code = -4;
    }
  }
  const int gle = code == 1 ? 0 : Gle();
  Logger::Instance().Log(code == 1 ? LogLevel::Always : LogLevel::Error,
                         L"SetAsUnProtectedService %s, iRet:%d, gle=%d", serviceName.c_str(), code,
                         gle);
  return code == 1;
}

}  // namespace CNTRLSRV
