// SentrelTestService.exe: a service built on WinServiceBase for the tests, whose
// behaviour is set by the arguments of its ImagePath (see TestServiceOptions.h). It can
// also run as a bare service that stays stop pending ("stuck <name>"), and remove a
// service from the command line ("uninstall <name>") the way the product does, through
// WinServiceBase::Uninstall.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ControlInjector.h"
#include "EventReport.h"
#include "StuckService.h"
#include "TestService.h"
#include "TestServiceOptions.h"
#include "common/TextConversion.h"
#include "log/Logger.h"

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  TestServiceOptions options;
  if (!ParseTestServiceOptions(args, &options)) {
    std::fputws(L"Usage: SentrelTestService.exe {service|stuck|uninstall} <name> [--start-delay-ms N] "
                L"[--stop-delay-ms N] [--can-stop 0|1] [--can-pause 0|1] [--can-shutdown 0|1] "
                L"[--power-events 0|1] [--report FILE] [--inject PREFIX] [--hold-service-main-ms N]\n",
                stdout);
    return 2;
  }
  EventReport::SetPath(options.reportPath);

  if (options.mode == TestServiceOptions::Mode::Uninstall) {
    EventReport::Line("requester pid=" + std::to_string(::GetCurrentProcessId()) + " log=" +
                      WideToAnsi(Logger::Instance().FilePath()));
    WinServiceBase::Uninstall(options.serviceName);
    EventReport::Line("uninstall-done");
    return 0;
  }

  if (options.mode == TestServiceOptions::Mode::Stuck) {
    const bool ran = RunStuckService(options.serviceName, options.stopDelayMs);
    EventReport::Line("exit code=" + std::to_string(ran ? 0 : 995));
    return ran ? 0 : 995;
  }

  EventReport::Line("process pid=" + std::to_string(::GetCurrentProcessId()) + " thread=" +
                    std::to_string(::GetCurrentThreadId()) + " log=" +
                    WideToAnsi(Logger::Instance().FilePath()));
  int exitCode = 0;
  {
    TestService service(options);
    ControlInjector injector(options.injectPrefix);
    const bool ran = WinServiceBase::Run(&service);
    const DWORD error = ran ? 0 : ::GetLastError();
    // Once Run has returned the object is destroyed: no thread of the framework may
    // still be on it.
    const bool serviceMainEnded = service.ServiceMainEnded();
    EventReport::Line("run-returned ok=" + std::to_string(ran ? 1 : 0) + " gle=" + std::to_string(error) +
                      " service-main-ended=" + std::to_string(serviceMainEnded ? 1 : 0));
    exitCode = ran ? 0 : 995;
  }
  EventReport::Line("exit code=" + std::to_string(exitCode));
  return exitCode;
}
