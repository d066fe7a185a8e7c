// Entry point of SentrelSrv.exe.
//
// /RegServer and /UnregServer install and remove the service; /debug runs the console
// mode (it starts, announces the service to the suite's control centre with its status
// packet, waits for a line of input and ends); without a switch the process hands
// itself to the service control manager.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "common/ExCommon.h"
#include "core/StatusAnnouncement.h"
#include "log/Logger.h"
#include "service/CommandLine.h"
#include "service/WinServiceBase.h"

namespace {

const wchar_t kServiceName[] = L"SentrelSrv";
const wchar_t kDisplayName[] = L"Veltrane Network Scanner";
const wchar_t kDescription[] = L"Intercepts and inspects network traffic for malwares and confidential lost.";
const wchar_t kAccount[] = L".\\LocalSystem";

// The service object of the service run until the filter core's own service class takes
// its place: it starts and stops nothing.
class IdleService : public WinServiceBase {
 public:
  IdleService() : WinServiceBase(kServiceName, true, false, true, false) {}
  bool OnServiceStart(DWORD, LPWSTR*) override { return true; }
  bool OnServiceStop() override { return true; }
  bool OnServicePause() override { return true; }
  bool OnServiceContinue() override { return true; }
  bool OnServicePowerEvent(DWORD, LPVOID) override { return true; }
  bool OnServiceSessionChange(DWORD, LPVOID) override { return true; }
};

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
  IdleService* service = new IdleService();
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

int RunConsole() {
  Logger::Instance().Log(LogLevel::Always, "SentrelSrv run with debug flag");
  AnnounceServiceStart();
  std::printf("Press any key to exit the application\n");
  std::fflush(stdout);
  std::getchar();
  return 0;
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
