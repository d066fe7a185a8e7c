#include "InstalledService.h"

#include <cstdio>

#include "ServiceLogRoom.h"
#include "ipc/SMIPCTNG.h"
#include "ipc/SharedNames.h"
#include "support/CapturedProcess.h"
#include "support/ChildProcess.h"
#include "support/LogWatch.h"
#include "support/ServiceCalls.h"

namespace campaign {

namespace {

constexpr DWORD kInstallTimeoutMs = 60000;
constexpr DWORD kEndProcessWaitMs = 10000;
constexpr int kSettingsWriteAttempts = 200;
constexpr DWORD kSettingsWritePauseMs = 5;

double MillisecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now = {}, frequency = {};
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status), sizeof(*status),
                                &needed) != FALSE;
}

}  // namespace

// The control centre's end of its queue: counts what the service announces.
class InstalledService::ControlCentreQueue : public SMIPCTNG {
 public:
  ~ControlCentreQueue() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*> items) override { count_ += items.size(); }
  size_t count() const { return count_; }

 private:
  std::atomic<size_t> count_{0};
};

InstalledService::InstalledService() {
  // A service of that name left by an earlier run that ended badly goes first.
  if (!test_support::RemoveService(kName)) {
    setupError_ = "a service SentrelSrv is installed and cannot be removed";
    return;
  }
  plugins_.reset(new test_support::SamplePluginInstall());
  watchdog_.reset(new test_support::MachineValueGuard(SharedNames::kRegistryRoot, L"WatchDog_SentrelSrv"));
  const test_support::SamplePluginSettings on;
  if (!plugins_->valid() || !plugins_->InstallAll() || !WritePluginSettings(on, on)) {
    setupError_ = "cannot lay out the sample plug-ins";
    return;
  }
  queue_.reset(new ControlCentreQueue());
  if (!queue_->Create(SMIPCTNG::kServer, SharedNames::kControlCenterHighQueue, SharedNames::kControlCenterQueueSize)) {
    setupError_ = "cannot serve the control centre's queue";
    return;
  }
  const test_support::CapturedRun install =
      test_support::RunCaptured(test_support::QuoteArgument(ProgramPath()) + L" /RegServer", kInstallTimeoutMs);
  if (!install.ended || install.exitCode != 0 || !test_support::ServiceExists(kName)) {
    setupError_ =
        "SentrelSrv.exe /RegServer did not install the service (exit code " + std::to_string(install.exitCode) + ")";
  }
}

InstalledService::~InstalledService() {
  // Stops (or ends) the service and deletes it; then whatever of its processes is still
  // alive (a stop that gave up on its worker) is ended, before the plug-in files go.
  test_support::RemoveService(kName);
  for (UniqueKernelHandle& process : started_) {
    if (::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process.get(), 1);
      ::WaitForSingleObject(process.get(), kEndProcessWaitMs);
    }
  }
  queue_.reset();
  plugins_.reset();
  watchdog_.reset();
}

bool InstalledService::WritePluginSettings(const test_support::SamplePluginSettings& hearth,
                                           const test_support::SamplePluginSettings& malware) const {
  if (!plugins_) return false;
  // A plug-in that is reading its settings file keeps it from being replaced for a moment.
  const auto write = [this](test_support::SamplePlugin plugin, const test_support::SamplePluginSettings& settings) {
    for (int attempt = 0; attempt < kSettingsWriteAttempts; ++attempt) {
      if (plugins_->WriteSettings(plugin, settings)) return true;
      ::Sleep(kSettingsWritePauseMs);
    }
    return false;
  };
  return write(test_support::SamplePlugin::Hearth, hearth) && write(test_support::SamplePlugin::Malware, malware);
}

bool InstalledService::ClearJournals() const {
  if (!plugins_) return false;
  bool cleared = true;
  for (test_support::SamplePlugin plugin :
       {test_support::SamplePlugin::Hearth, test_support::SamplePlugin::Malware, test_support::SamplePlugin::IDTheft}) {
    cleared = plugins_->ClearJournal(plugin) && cleared;
  }
  return cleared;
}

bool InstalledService::Start(DWORD timeoutMs, double* ms, std::string* why) {
  MakeRoomInServiceLog();
  LARGE_INTEGER begun = {};
  ::QueryPerformanceCounter(&begun);
  const DWORD error = test_support::StartServiceByName(kName);
  if (error != 0) {
    *why = "StartServiceW failed, error " + std::to_string(error);
    return false;
  }
  SERVICE_STATUS_PROCESS status = {};
  const bool running = test_support::WaitForServiceState(kName, SERVICE_RUNNING, timeoutMs, &status);
  *ms = MillisecondsSince(begun);
  if (status.dwProcessId != 0) {
    pid_ = status.dwProcessId;
    UniqueKernelHandle process(
        ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid_));
    if (process) started_.push_back(std::move(process));
  }
  if (!running) {
    *why = "not running " + std::to_string(timeoutMs) + " ms after StartServiceW (state " +
           std::to_string(status.dwCurrentState) + ")";
    return false;
  }
  if (started_.empty()) {
    *why = "cannot open the service's process " + std::to_string(pid_);
    return false;
  }
  return true;
}

bool InstalledService::StartAndAwaitAnnouncement(std::string* why, double* ms) {
  const size_t packets = StatusPackets();
  double startMs = 0;
  if (!Start(kStartTimeoutMs, &startMs, why)) return false;
  if (ms != nullptr) *ms = startMs;
  if (!WaitForStatusPackets(packets + 1, kStartTimeoutMs)) {
    *why = "no status packet within " + std::to_string(kStartTimeoutMs) + " ms of RUNNING";
    return false;
  }
  return true;
}

bool InstalledService::IsRunning() const {
  SERVICE_STATUS_PROCESS status = {};
  return test_support::QueryServiceStatusOf(kName, &status) && status.dwCurrentState == SERVICE_RUNNING &&
         status.dwProcessId == pid_;
}

InstalledService::StopOutcome InstalledService::Stop(DWORD timeoutMs) {
  StopOutcome outcome;
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(manager ? ::OpenServiceW(manager.get(), kName, SERVICE_STOP | SERVICE_QUERY_STATUS)
                                      : nullptr);
  if (!service) {
    outcome.controlError = ::GetLastError();
    return outcome;
  }
  LARGE_INTEGER begun = {};
  ::QueryPerformanceCounter(&begun);
  SERVICE_STATUS control = {};
  // The control returns once the service's handler has; the stop itself may end later.
  outcome.controlError = ::ControlService(service.get(), SERVICE_CONTROL_STOP, &control) ? 0 : ::GetLastError();
  for (;;) {
    SERVICE_STATUS_PROCESS status = {};
    if (!QueryStatus(service.get(), &status)) break;
    outcome.lastState = status.dwCurrentState;
    if (status.dwCurrentState == SERVICE_STOPPED) {
      outcome.stopped = true;
      break;
    }
    if (MillisecondsSince(begun) >= timeoutMs) break;
    ::Sleep(5);
  }
  outcome.ms = MillisecondsSince(begun);
  return outcome;
}

std::string InstalledService::StopOutcome::Problem(DWORD limitMs) const {
  if (controlError != 0 || !stopped) {
    return "STOP (error " + std::to_string(controlError) + ") did not reach STOPPED within " + Milliseconds(ms) +
           " ms, state " + std::to_string(lastState);
  }
  if (ms > limitMs) return "STOPPED " + Milliseconds(ms) + " ms after STOP";
  return std::string();
}

bool InstalledService::WaitForExit(DWORD timeoutMs, DWORD* exitCode) const {
  if (started_.empty()) return false;
  const HANDLE process = started_.back().get();
  if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  if (exitCode != nullptr) *exitCode = code;
  return true;
}

bool InstalledService::EndProcess() {
  if (started_.empty()) return false;
  const HANDLE process = started_.back().get();
  if (::WaitForSingleObject(process, 0) != WAIT_TIMEOUT) return false;
  ::TerminateProcess(process, 1);
  ::WaitForSingleObject(process, kEndProcessWaitMs);
  return true;
}

size_t InstalledService::StatusPackets() const { return queue_ ? queue_->count() : 0; }

bool InstalledService::WaitForStatusPackets(size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (StatusPackets() < count) {
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(10);
  }
  return true;
}

long long InstalledService::WatchdogFlag() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, SharedNames::kRegistryRoot, L"WatchDog_SentrelSrv", RRF_RT_REG_DWORD, nullptr,
                     &value, &size) != ERROR_SUCCESS) {
    return -1;
  }
  return value;
}

std::wstring InstalledService::LogPath() { return test_support::ServiceLogPath(); }

std::wstring InstalledService::ProgramPath() {
  std::wstring self = test_support::SelfPath();
  self.resize(self.find_last_of(L'\\'));
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD length = ::GetFullPathNameW((self + L"\\..\\" + kProgram).c_str(), MAX_PATH * 2, full, nullptr);
  return length != 0 && length < MAX_PATH * 2 ? std::wstring(full) : self + L"\\..\\" + kProgram;
}

std::string InstalledService::Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.0f", ms);
  return text;
}

}  // namespace campaign
