// Entry point of SentrelSrv.exe.
//
// /RegServer and /UnregServer install and remove the service; /debug runs the filter
// core in the console until a line of input; without a switch the process hands itself
// to the service control manager as the service SentrelSrv.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "common/ExCommon.h"
#include "log/Logger.h"
#include "service/CommandLine.h"
#include "service/ConsoleRun.h"
#include "service/WindowsServiceImp.h"

namespace {

const wchar_t kServiceName[] = L"SentrelSrv";
const wchar_t kDisplayName[] = L"Veltrane Network Scanner";
const wchar_t kDescription[] = L"Intercepts and inspects network traffic for malwares and confidential lost.";
const wchar_t kAccount[] = L".\\LocalSystem";

int RegisterService() {
  Logger::Instance().Log(LogLevel::Always, "SentrelSrv run with RegServer flag");
  WinServiceBase::Install(ExCommon::GetModulePath(), kServiceName, kDescription, kDisplayName,
                          SERVICE_AUTO_START, kAccount, L"");
  return 0;
}

int UnregisterService() {
  Logger::Instance().Log(LogLevel::Always, "SentrelSrv run with UnregServer flag");
  WinServiceBase::Uninstall(kServiceName);
  return 0;
}

int RunService() {
  Logger& log = Logger::Instance();
  WindowsServiceImp* service = new WindowsServiceImp();
  int exitCode = 0;
  if (!WinServiceBase::Run(service)) {
    const DWORD error = ::GetLastError();
    wchar_t line[64] = {};
    _snwprintf(line, 63, L"The service failed to run. GLE = %d\n", static_cast<int>(error));
    std::fputws(line, stdout);
    std::fflush(stdout);
    log.Log(LogLevel::Fatal, L"Main - The service failed to run. GLE = %d", static_cast<int>(error));
    exitCode = ERROR_OPERATION_ABORTED;
  }
  ::Sleep(50);
  log.Log(LogLevel::Always, L"Main - Deleting WindowsServiceImp instance now.");
  delete service;
  log.Log(LogLevel::Always, L"Main - Service stopped.");
  return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  switch (ChooseRoad(argc, argv)) {
    case Road::Debug:
      return RunConsole();
    case Road::Usage:
      std::fputws(L"Usage: SentrelSrv.exe {/RegServer | /UnregServer | /Debug}\n", stdout);
      std::exit(1);
    case Road::RegServer:
      return RegisterService();
    case Road::UnregServer:
      return UnregisterService();
    case Road::Service:
      return RunService();
  }
  return 1;
}
