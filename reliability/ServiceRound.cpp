#include "ServiceRound.h"

#include <cstdio>

#include "ProcessCpuTime.h"
#include "ServiceLogRoom.h"
#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"
#include "support/ServiceCalls.h"

namespace campaign {
namespace {

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

double SecondsSince(ULONGLONG started) { return (::GetTickCount64() - started) / 1000.0; }

}  // namespace

SentrelSrvRegistration::SentrelSrvRegistration() : guard_(Name()) {
  if (!guard_.clean()) {
    error_ = "a service SentrelSrv is installed and could not be removed";
    return;
  }
  if (::GetFileAttributesW(Executable().c_str()) == INVALID_FILE_ATTRIBUTES) {
    error_ = "SentrelSrv.exe is not built beside the campaign";
    return;
  }
  DWORD error = 0;
  if (!test_support::CreateTestService(Name(), test_support::QuoteArgument(Executable()), SERVICE_DEMAND_START,
                                       &error)) {
    error_ = "CreateServiceW failed, error " + std::to_string(error);
  }
}

SentrelSrvRegistration::~SentrelSrvRegistration() = default;

std::wstring SentrelSrvRegistration::Executable() {
  return FolderOf(FolderOf(test_support::SelfPath())) + L"\\SentrelSrv.exe";
}

bool ServiceRoundResult::HasLine(const std::wstring& text) const { return CountLines(text) > 0; }

bool ServiceRoundResult::HasLineStartingWith(const std::wstring& prefix) const {
  for (const auto& line : lines) {
    if (line.text.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

size_t ServiceRoundResult::CountLines(const std::wstring& text) const {
  size_t count = 0;
  for (const auto& line : lines) count += line.text == text ? 1 : 0;
  return count;
}

std::string BrokenRoundPromise(const ServiceRoundResult& round, const ServiceRoundOptions& options) {
  char text[160];
  if (!round.problem.empty()) return round.problem;
  if (round.exitCode != 0) {
    std::snprintf(text, sizeof(text), "the service process ended with 0x%08lX", static_cast<unsigned long>(round.exitCode));
    return text;
  }
  if (round.stopSeconds > kStopLimitSeconds) {
    std::snprintf(text, sizeof(text), "STOPPED %.2f s after STOP", round.stopSeconds);
    return text;
  }
  if (round.quietCpuMs < 0) return "the service's processor time could not be read";
  if (round.quietCpuMs * 10 > static_cast<long long>(options.quietMs)) {
    std::snprintf(text, sizeof(text), "the service spins: %lld ms of processor time in %lu ms of quiet",
                  round.quietCpuMs, static_cast<unsigned long>(options.quietMs));
    return text;
  }
  if (round.lines.empty()) return "the service wrote no log lines";
  return std::string();
}

ServiceRoundResult RunServiceRound(const ServiceRoundOptions& options) {
  ServiceRoundResult round;
  const wchar_t* name = SentrelSrvRegistration::Name();
  MakeRoomInServiceLog();
  test_support::LogWatch log(test_support::ServiceLogPath());

  const ULONGLONG startAt = ::GetTickCount64();
  round.startError = test_support::StartServiceByName(name);
  if (round.startError != 0) {
    round.problem = "StartServiceW failed, error " + std::to_string(round.startError);
    return round;
  }
  SERVICE_STATUS_PROCESS status = {};
  round.running = test_support::WaitForServiceState(name, SERVICE_RUNNING, options.runningTimeoutMs, &status);
  round.startSeconds = SecondsSince(startAt);
  round.pid = status.dwProcessId;
  UniqueKernelHandle process;
  if (round.pid != 0) {
    process.reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, round.pid));
  }
  if (!round.running) {
    round.problem = status.dwCurrentState == SERVICE_STOPPED
                        ? "the service stopped before it reported RUNNING"
                        : "no RUNNING within " + std::to_string(options.runningTimeoutMs / 1000) + " s (state " +
                              std::to_string(status.dwCurrentState) + ")";
  } else {
    ::Sleep(options.settleMs);
    if (options.whileRunning) options.whileRunning(round.pid);
    const CpuTimeReading before = ProcessCpuTime(round.pid);
    ::Sleep(options.quietMs);
    const CpuTimeReading after = ProcessCpuTime(round.pid);
    round.cpuSource = after.source;
    if (before.milliseconds >= 0 && after.milliseconds >= 0) round.quietCpuMs = after.milliseconds - before.milliseconds;

    const ULONGLONG stopAt = ::GetTickCount64();
    const DWORD stopError = test_support::ControlServiceByName(name, SERVICE_CONTROL_STOP);
    round.stopped = test_support::WaitForServiceState(name, SERVICE_STOPPED, options.stopTimeoutMs, &status);
    round.stopSeconds = SecondsSince(stopAt);
    if (stopError != 0 && !round.stopped) {
      round.problem = "ControlService(STOP) failed, error " + std::to_string(stopError);
    } else if (!round.stopped) {
      round.problem = "no STOPPED within " + std::to_string(options.stopTimeoutMs / 1000) + " s of STOP";
    }
  }

  if (process) {
    round.exited = ::WaitForSingleObject(process.get(), round.running ? options.exitTimeoutMs : 0) == WAIT_OBJECT_0;
    if (!round.exited) {
      if (round.problem.empty()) round.problem = "the service process did not end after STOPPED";
      ::TerminateProcess(process.get(), 1);
      ::WaitForSingleObject(process.get(), 10000);
    }
    ::GetExitCodeProcess(process.get(), &round.exitCode);
  }
  if (!round.stopped) {
    // Whatever went wrong, the next round starts from a stopped service.
    test_support::ControlServiceByName(name, SERVICE_CONTROL_STOP);
    test_support::WaitForServiceState(name, SERVICE_STOPPED, 10000);
  }
  DWORD watchdog = 0;
  DWORD size = sizeof(watchdog);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Veltrane", L"WatchDog_SentrelSrv", RRF_RT_REG_DWORD, nullptr,
                     &watchdog, &size) == ERROR_SUCCESS) {
    round.watchdogAfter = watchdog;
  }
  if (round.pid != 0) {
    log.Follow(round.pid);
    round.lines = log.NewEntries();
  }
  return round;
}

}  // namespace campaign
