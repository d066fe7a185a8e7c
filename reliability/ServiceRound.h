// SentrelSrv.exe of this build run by the service control manager, one round at a time:
// start, a quiet spell in which its processor time is measured, STOP, and the end of
// its process, every step bounded. The scenarios that set the stage differently before
// each start (objects made by other programs, registry settings) share it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/LogWatch.h"
#include "support/ServiceGuard.h"

namespace campaign {

// The service "SentrelSrv" registered with CreateServiceW for SentrelSrv.exe beside this
// program's folder (<build>\SentrelSrv.exe), demand start. Removed when destroyed, pass
// or fail, and a leftover of an earlier run is removed when built.
class SentrelSrvRegistration {
 public:
  SentrelSrvRegistration();
  ~SentrelSrvRegistration();
  SentrelSrvRegistration(const SentrelSrvRegistration&) = delete;
  SentrelSrvRegistration& operator=(const SentrelSrvRegistration&) = delete;

  bool valid() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  static const wchar_t* Name() { return L"SentrelSrv"; }
  // <build>\SentrelSrv.exe.
  static std::wstring Executable();

 private:
  test_support::ServiceGuard guard_;
  std::string error_;
};

struct ServiceRoundOptions {
  DWORD runningTimeoutMs = 30000;  // START to RUNNING
  DWORD settleMs = 1000;           // after RUNNING, before the quiet spell
  DWORD quietMs = 2000;            // the spell whose processor time is measured
  DWORD stopTimeoutMs = 20000;     // STOP to STOPPED, waited for (the promise is checked by the caller)
  DWORD exitTimeoutMs = 10000;     // STOPPED to the end of the process
  // Called once the service runs, after the settle time and before the quiet spell,
  // with its process id: for looking at what the running service has done.
  std::function<void(DWORD pid)> whileRunning;
};

struct ServiceRoundResult {
  DWORD startError = 0;          // StartServiceW's error, 0 when it was accepted
  bool running = false;          // RUNNING reached within its bound
  double startSeconds = 0;       // START to RUNNING
  DWORD pid = 0;
  long long quietCpuMs = -1;     // processor time over the quiet spell; -1 unreadable
  const char* cpuSource = "";
  bool stopped = false;          // STOPPED reached within its bound
  double stopSeconds = 0;        // STOP to STOPPED
  bool exited = false;           // the process ended within its bound (else it was ended)
  DWORD exitCode = STILL_ACTIVE;
  std::vector<test_support::LogWatch::Entry> lines;  // the service process's log lines
  long long watchdogAfter = -1;  // WatchDog_SentrelSrv after the round; -1 missing or not a DWORD
  std::string problem;           // the first step that did not happen, empty when all did

  bool HasLine(const std::wstring& text) const;
  bool HasLineStartingWith(const std::wstring& prefix) const;
  size_t CountLines(const std::wstring& text) const;
};

// The promises every round keeps, whatever the stage: the service reached RUNNING and
// STOPPED within 6 seconds of STOP, its process ended with exit code 0, it did not spin
// in the quiet spell (at most a tenth of one processor: a loop that never waits takes
// all of one), and it wrote its log. The first broken one in words, empty when all held.
constexpr double kStopLimitSeconds = 6.0;
std::string BrokenRoundPromise(const ServiceRoundResult& round, const ServiceRoundOptions& options);

// One round against the registered service: START, RUNNING, the settle time, the quiet
// spell, STOP, STOPPED, the end of the process. A step that does not come in its time
// is written in `problem` and the service is stopped (its process ended if need be), so
// that the next round starts from a stopped service.
ServiceRoundResult RunServiceRound(const ServiceRoundOptions& options);

}  // namespace campaign
