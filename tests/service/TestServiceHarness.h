// One installed instance of SentrelTestService.exe for an end-to-end test: a service
// name owned by a guard (removed pass or fail), a scratch folder with the event report,
// and the events that hand controls to the service's handler from inside its process.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/ScratchFiles.h"
#include "support/ServiceGuard.h"

// Full path of a program built beside the test binary (or `relative` to it).
std::wstring BuiltProgramPath(const std::wstring& relative);

class TestServiceHarness {
 public:
  // `extraArgs`: options of the test service (see TestServiceOptions.h).
  // `executable`: the program to register; SentrelTestService.exe beside the tests when empty.
  // `mode`: "service" (built on WinServiceBase) or "stuck" (stays stop pending).
  TestServiceHarness(const std::wstring& serviceName, const std::wstring& extraArgs,
                     const std::wstring& executable = std::wstring(), const std::wstring& mode = L"service");

  const std::wstring& name() const { return guard_.name(); }
  const std::wstring& executable() const { return executable_; }
  bool installed() const { return installed_; }
  const std::wstring& reportPath() const { return reportPath_; }

  // Starts through the control manager and waits for running; false (with the last
  // status in *status) when it did not get there.
  bool StartAndWaitRunning(SERVICE_STATUS_PROCESS* status = nullptr);
  // Sets the event that makes the service's own thread call its handler with `control`.
  bool Inject(DWORD control) const;

  // The lines of the event report, as written so far.
  std::vector<std::string> ReportLines() const;
  bool Reported(const std::string& line) const;
  // Waits until the report holds `line` (the whole line or its first fields).
  bool WaitReported(const std::string& line, DWORD timeoutMs) const;
  // The service process's id and log file, from its report line "process ..."; the
  // same for a remover run with this report ("requester ...").
  DWORD ServicePid() const { return PidOf("process"); }
  std::wstring ServiceLogPath() const { return LogPathOf("process"); }
  DWORD RequesterPid() const { return PidOf("requester"); }
  std::wstring RequesterLogPath() const { return LogPathOf("requester"); }
  // The service process's log lines that contain `needle`.
  std::vector<std::wstring> ServiceLogLines(const std::wstring& needle) const;

 private:
  DWORD PidOf(const std::string& what) const;
  std::wstring LogPathOf(const std::string& what) const;

  // Declared first, destroyed last: the service is gone before its folder is removed.
  test_support::ScratchFolder folder_;
  test_support::ServiceGuard guard_;
  std::wstring executable_;
  std::wstring reportPath_;
  std::wstring injectPrefix_;
  bool installed_ = false;
};
