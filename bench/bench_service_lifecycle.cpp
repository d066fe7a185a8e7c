// SentrelSrv under the service control manager: the time from StartServiceW to RUNNING,
// the time from the STOP control to STOPPED, and the idle memory of the service
// process, each against the bare reference service (bench/ReferenceService) measured
// the same way in the same run.
//
// SentrelSrv.exe runs as the service "SentrelSrv" on a scratch installation of the
// suite like the demo's: a web-filter folder with the three sample plug-ins (protection
// on), a resource file in the language folder, the install paths and the language in
// the registry (every value saved first and put back afterwards; "SuiteType" removed
// for the run). This process serves the control centre's queue, so that every start
// announces itself as it does on a machine with the suite, and counts the status
// packets. ReferenceService.exe reports running at once and stopped at once.
//
// One round measures both services, in an order that swaps every round: start and poll
// until RUNNING; wait until the service is idle (for SentrelSrv: its status packet has
// arrived), then half a second more; read the process's memory (GetProcessMemoryInfo:
// working set and private bytes, the latter summed with VirtualQueryEx where Wine does
// not report it); send STOP and poll until STOPPED; wait for the
// process to end. The goals are the medians of the per-round ratios, so that a slow
// spell of the machine or of the wineserver weighs on both sides alike. Both services
// are removed at the end, pass or fail, and when the run is interrupted with Ctrl+C.
// The reference service has a fixed name, so that one left behind by a run that was
// killed outright is removed by the next.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "BenchInterrupt.h"
#include "BenchPaths.h"
#include "BenchTiming.h"
#include "SavedMachineValue.h"
#include "common/UniqueHandle.h"
#include "ipc/SMIPCTNG.h"
#include "ipc/SharedNames.h"

namespace {

constexpr int kRounds = 15;
constexpr DWORD kIdleMs = 500;
constexpr DWORD kStateTimeoutMs = 30000;
constexpr wchar_t kServiceName[] = L"SentrelSrv";
constexpr wchar_t kWebFilterKey[] = L"SOFTWARE\\Veltrane\\WebFilter";
constexpr wchar_t kAntiVirusKey[] = L"SOFTWARE\\Veltrane\\Anti-Virus";
constexpr wchar_t kLanguage[] = L"en";

using bench::Median;
using bench::Ticks;
using bench::TicksToMicros;

// The control centre's queue, served here; counts the items written to it.
class CountingQueue : public SMIPCTNG {
 public:
  ~CountingQueue() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*> items) override { count_ += items.size(); }
  size_t count() const { return count_; }

 private:
  std::atomic<size_t> count_{0};
};

// A scratch installation of the suite: <temp>\SentrelBenchLifecycle_<pid> with
// WebFilter\Plugins\<name>\<dll> and its settings, WebFilter\<lang>\resource.json and an
// Anti-Virus folder. Removed when destroyed.
class ScratchSuite {
 public:
  explicit ScratchSuite(const std::wstring& pluginBuildFolder) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"SentrelBenchLifecycle_" + std::to_wstring(::GetCurrentProcessId());
    // A folder of that name left behind by an earlier run may hold a journal.
    for (const auto& plugin : kPlugins) {
      ::DeleteFileW((WebFilter() + L"\\Plugins\\" + plugin.folder + L"\\" + plugin.file + L".journal.txt").c_str());
    }
    ok_ = MakeFolder(root_) && MakeFolder(WebFilter()) && MakeFolder(AntiVirus()) &&
          MakeFolder(WebFilter() + L"\\Plugins") && MakeFolder(WebFilter() + L"\\" + kLanguage);
    for (const auto& plugin : kPlugins) {
      const std::wstring folder = WebFilter() + L"\\Plugins\\" + plugin.folder;
      const std::wstring dll = folder + L"\\" + plugin.file + L".dll";
      ok_ = ok_ && MakeFolder(folder) &&
            ::CopyFileW((pluginBuildFolder + L"\\" + plugin.file + L".dll").c_str(), dll.c_str(), FALSE);
      const std::wstring settings = folder + L"\\" + plugin.file + L".settings.ini";
      ok_ = ok_ && ::WritePrivateProfileStringW(L"SamplePlugin", L"ProtectionStatus", L"1", settings.c_str());
      files_.push_back(dll);
      files_.push_back(settings);
      files_.push_back(folder + L"\\" + plugin.file + L".journal.txt");
      folders_.push_back(folder);
    }
    const std::wstring resource = WebFilter() + L"\\" + kLanguage + L"\\resource.json";
    ok_ = ok_ && WriteText(resource, "{\"IDS_PAGE_BLOCKED_TITLE\": \"This page has been blocked\"}\n");
    files_.push_back(resource);
    folders_.push_back(WebFilter() + L"\\" + kLanguage);
    folders_.push_back(WebFilter() + L"\\Plugins");
    folders_.push_back(WebFilter());
    folders_.push_back(AntiVirus());
    folders_.push_back(root_);
  }
  ~ScratchSuite() {
    for (const std::wstring& file : files_) ::DeleteFileW(file.c_str());
    for (const std::wstring& folder : folders_) ::RemoveDirectoryW(folder.c_str());
  }
  ScratchSuite(const ScratchSuite&) = delete;
  ScratchSuite& operator=(const ScratchSuite&) = delete;

  bool ok() const { return ok_; }
  const std::wstring& root() const { return root_; }
  std::wstring WebFilter() const { return root_ + L"\\WebFilter"; }
  std::wstring AntiVirus() const { return root_ + L"\\Anti-Virus"; }
  // How many times the plug-in's journal records `call`.
  size_t JournalCount(const wchar_t* folder, const wchar_t* file, const std::string& call) const {
    const std::wstring path = WebFilter() + L"\\Plugins\\" + folder + L"\\" + file + L".journal.txt";
    UniqueKernelHandle handle(::CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return 0;
    std::string text;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(handle.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
    size_t count = 0;
    for (size_t at = 0; (at = text.find(call + " ", at)) != std::string::npos; at += call.size()) {
      if (at == 0 || text[at - 1] == '\n') ++count;
    }
    return count;
  }

 private:
  struct Plugin {
    const wchar_t* folder;
    const wchar_t* file;
  };
  static constexpr Plugin kPlugins[] = {
      {L"Hearth", L"HearthPlugin"}, {L"Malware", L"MalwarePlugin"}, {L"IDTheft", L"IDTheft"}};

  static bool MakeFolder(const std::wstring& path) {
    return ::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
  }
  static bool WriteText(const std::wstring& path, const std::string& text) {
    UniqueKernelHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
  }

  std::wstring root_;
  bool ok_ = false;
  std::vector<std::wstring> files_;
  std::vector<std::wstring> folders_;
};

// The committed private memory of a process (what Windows shows as its private bytes),
// summed over its regions: GetProcessMemoryInfo leaves PrivateUsage at 0 for another
// process under Wine.
double PrivateCommittedKb(HANDLE process) {
  unsigned long long total = 0;
  MEMORY_BASIC_INFORMATION region = {};
  for (const char* address = nullptr;
       ::VirtualQueryEx(process, address, &region, sizeof(region)) == sizeof(region);
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    if (region.RegionSize == 0) break;
  }
  return total / 1024.0;
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status), sizeof(*status),
                                &needed) != FALSE;
}

// Polls about once a millisecond until the service reports `state`; a measurement
// (`measuring`) also gives up when the run is interrupted.
bool PollForState(SC_HANDLE service, DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* status,
                  bool measuring = false) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    if (!QueryStatus(service, status)) return false;
    if (status->dwCurrentState == state) return true;
    if (::GetTickCount64() >= deadline || (measuring && bench::Interrupted())) return false;
    ::Sleep(1);
  }
}

// An own-process service created for the run; stopped (ended the hard way if it will
// not stop) and deleted when destroyed, and waited for until the control manager has
// forgotten it.
class ScopedService {
 public:
  // With `existing`, takes over a service of that name, when there is one, instead of
  // creating it.
  ScopedService(SC_HANDLE manager, const std::wstring& name, const std::wstring& imagePath, bool existing = false)
      : manager_(manager), name_(name) {
    if (existing) {
      service_.reset(::OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS));
    } else {
      service_.reset(::CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                      imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    }
    if (!service_) error_ = ::GetLastError();
  }
  ~ScopedService() {
    if (!service_) return;
    SERVICE_STATUS_PROCESS status = {};
    if (QueryStatus(service_.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
      SERVICE_STATUS ignored = {};
      ::ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored);
      if (!PollForState(service_.get(), SERVICE_STOPPED, 15000, &status) && status.dwProcessId != 0) {
        UniqueKernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
        if (process) {
          ::TerminateProcess(process.get(), 1);
          ::WaitForSingleObject(process.get(), 10000);
        }
      }
    }
    ::DeleteService(service_.get());
    service_.reset();
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    for (;;) {
      UniqueServiceHandle still(::OpenServiceW(manager_, name_.c_str(), SERVICE_QUERY_STATUS));
      if (!still || ::GetTickCount64() >= deadline) break;
      ::Sleep(50);
    }
  }
  ScopedService(const ScopedService&) = delete;
  ScopedService& operator=(const ScopedService&) = delete;

  bool valid() const { return service_.valid(); }
  DWORD error() const { return error_; }
  SC_HANDLE get() const { return service_.get(); }
  const std::wstring& name() const { return name_; }

 private:
  SC_HANDLE manager_;
  std::wstring name_;
  UniqueServiceHandle service_;
  DWORD error_ = 0;
};

// Runs `act` (a start or a control) and polls until the service reports `state`: the
// time from just before `act` in *ms, or false with *failure.
bool TimedTransition(SC_HANDLE service, const std::function<bool()>& act, const char* what, DWORD state,
                     double* ms, SERVICE_STATUS_PROCESS* status, std::string* failure) {
  const long long begun = Ticks();
  if (!act()) {
    *failure = std::string(what) + " failed, error " + std::to_string(::GetLastError());
    return false;
  }
  if (!PollForState(service, state, kStateTimeoutMs, status, true)) {
    *failure = "state " + std::to_string(status->dwCurrentState) + ", not " + std::to_string(state) + ", after " +
               what;
    return false;
  }
  *ms = TicksToMicros(Ticks() - begun) / 1000;
  return true;
}

struct Lifecycle {
  bool ok = false;
  std::string failure;
  double startMs = 0;       // StartServiceW to RUNNING seen
  double stopMs = 0;        // ControlService(STOP) to STOPPED seen
  double exitMs = 0;        // ControlService(STOP) to the process's end
  double workingSetKb = 0;  // idle
  double privateKb = 0;     // idle
};

// One start, idle, measurement and stop of `service`. `idle` returns once the service
// has done its start-up work (or false when it never does).
Lifecycle Measure(const ScopedService& service, const std::function<bool()>& idle) {
  Lifecycle result;
  SERVICE_STATUS_PROCESS status = {};
  const auto start = [&service] { return ::StartServiceW(service.get(), 0, nullptr) != FALSE; };
  if (!TimedTransition(service.get(), start, "StartServiceW", SERVICE_RUNNING, &result.startMs, &status,
                       &result.failure)) {
    return result;
  }
  UniqueKernelHandle process(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, status.dwProcessId));
  const bool wentIdle = idle() && bench::SleepUnlessInterrupted(kIdleMs);
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof(memory);
  const bool readMemory =
      process && ::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                        sizeof(memory));
  result.workingSetKb = memory.WorkingSetSize / 1024.0;
  result.privateKb = memory.PrivateUsage > 0 ? memory.PrivateUsage / 1024.0 : PrivateCommittedKb(process.get());

  const long long stopping = Ticks();
  const auto stop = [&service] {
    SERVICE_STATUS control = {};
    return ::ControlService(service.get(), SERVICE_CONTROL_STOP, &control) != FALSE;
  };
  if (!TimedTransition(service.get(), stop, "the STOP control", SERVICE_STOPPED, &result.stopMs, &status,
                       &result.failure)) {
    return result;
  }
  if (process && ::WaitForSingleObject(process.get(), kStateTimeoutMs) != WAIT_OBJECT_0) {
    result.failure = "the process did not end after STOPPED";
    return result;
  }
  result.exitMs = TicksToMicros(Ticks() - stopping) / 1000;
  if (!wentIdle) {
    result.failure = "the service's start-up work did not finish";
  } else if (!readMemory) {
    result.failure = "GetProcessMemoryInfo failed, error " + std::to_string(::GetLastError());
  } else {
    result.ok = true;
  }
  return result;
}

std::vector<double> Ratios(const std::vector<Lifecycle>& subject, const std::vector<Lifecycle>& reference,
                           double Lifecycle::*field) {
  std::vector<double> ratios;
  for (size_t i = 0; i < subject.size() && i < reference.size(); ++i) {
    if (reference[i].*field > 0) ratios.push_back(subject[i].*field / reference[i].*field);
  }
  return ratios;
}

std::vector<double> Values(const std::vector<Lifecycle>& runs, double Lifecycle::*field) {
  std::vector<double> values;
  for (const Lifecycle& run : runs) values.push_back(run.*field);
  return values;
}

void PrintSide(const char* name, const std::vector<Lifecycle>& runs) {
  std::printf("  %-17s start %6.1f ms  stop %5.1f ms (process ended %5.1f ms)  working set %6.0f KB"
              "  private %6.0f KB\n",
              name, Median(Values(runs, &Lifecycle::startMs)), Median(Values(runs, &Lifecycle::stopMs)),
              Median(Values(runs, &Lifecycle::exitMs)), Median(Values(runs, &Lifecycle::workingSetKb)),
              Median(Values(runs, &Lifecycle::privateKb)));
}

int RunBenchmark() {
  const std::wstring build = bench::BuildFolder();
  const std::wstring serviceExe = build + L"\\SentrelSrv.exe";
  const std::wstring referenceExe = build + L"\\bench\\ReferenceService.exe";
  const std::wstring referenceName = L"SentrelBenchReference";

  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    std::printf("cannot open the service control manager (%lu)\n", ::GetLastError());
    return 1;
  }
  // A reference service left behind by a run that was killed: created anew below.
  { ScopedService leftover(manager.get(), referenceName, std::wstring(), true); }
  {
    UniqueServiceHandle existing(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    if (existing) {
      std::printf("a service SentrelSrv is installed on this machine already; remove it first "
                  "(SentrelSrv.exe /UnregServer)\n");
      return 1;
    }
  }
  ScratchSuite suite(build + L"\\samples\\plugins");
  if (!suite.ok()) {
    std::printf("cannot lay out the scratch installation in %ls (%lu)\n", suite.root().c_str(), ::GetLastError());
    return 1;
  }

  int result = 1;
  {
    bench::SavedMachineValue installPath(SharedNames::kRegistryRoot, L"InstallPath");
    bench::SavedMachineValue language(SharedNames::kRegistryRoot, L"Lang");
    bench::SavedMachineValue suiteType(SharedNames::kRegistryRoot, L"SuiteType");
    bench::SavedMachineValue watchdog(SharedNames::kRegistryRoot, L"WatchDog_SentrelSrv");
    bench::SavedMachineValue webFilter(kWebFilterKey, L"InstallPath");
    bench::SavedMachineValue antiVirus(kAntiVirusKey, L"InstallPath");
    const bool configured = installPath.SetString(suite.root()) && language.SetString(kLanguage) &&
                            webFilter.SetString(suite.WebFilter()) && antiVirus.SetString(suite.AntiVirus());
    suiteType.Remove();

    CountingQueue controlCentre;
    const bool served = controlCentre.Create(SMIPCTNG::kServer, SharedNames::kControlCenterHighQueue,
                                             SharedNames::kControlCenterQueueSize);
    ScopedService sentrel(manager.get(), kServiceName, L"\"" + serviceExe + L"\"");
    ScopedService reference(manager.get(), referenceName, L"\"" + referenceExe + L"\" " + referenceName);
    if (!configured || !served || !sentrel.valid() || !reference.valid()) {
      std::printf("setup failed: registry %d, control centre queue %d, SentrelSrv service %lu, "
                  "reference service %lu\n",
                  configured, served, sentrel.error(), reference.error());
    } else {
      const auto sentrelIdle = [&controlCentre](size_t expected) {
        return [&controlCentre, expected] {
          const ULONGLONG deadline = ::GetTickCount64() + kStateTimeoutMs;
          while (controlCentre.count() < expected) {
            if (::GetTickCount64() >= deadline || bench::Interrupted()) return false;
            ::Sleep(1);
          }
          return true;
        };
      };
      const std::function<bool()> referenceIdle = [] { return true; };
      std::vector<Lifecycle> sentrelRuns, referenceRuns;
      std::string failure;
      // Round 0 warms both up (files cached, the service's log and registry keys made)
      // and is not counted.
      for (int round = 0; round <= kRounds && failure.empty(); ++round) {
        if (bench::Interrupted()) {
          failure = "interrupted: the services are removed and the registry values put back";
          break;
        }
        Lifecycle ours, theirs;
        if (round % 2 == 0) {
          ours = Measure(sentrel, sentrelIdle(controlCentre.count() + 1));
          if (ours.ok) theirs = Measure(reference, referenceIdle);
        } else {
          theirs = Measure(reference, referenceIdle);
          if (theirs.ok) ours = Measure(sentrel, sentrelIdle(controlCentre.count() + 1));
        }
        if (bench::Interrupted()) {
          failure = "interrupted: the services are removed and the registry values put back";
          break;
        }
        if (!ours.ok || !theirs.ok) {
          failure = "round " + std::to_string(round) + ": " +
                    (!ours.failure.empty() ? "SentrelSrv: " + ours.failure : "reference service: " + theirs.failure);
          break;
        }
        if (round == 0) continue;
        sentrelRuns.push_back(ours);
        referenceRuns.push_back(theirs);
      }
      const size_t hearthStarts = suite.JournalCount(L"Hearth", L"HearthPlugin", "Start");
      const size_t malwareStarts = suite.JournalCount(L"Malware", L"MalwarePlugin", "Start");
      if (failure.empty() && (hearthStarts != kRounds + 1u || malwareStarts != kRounds + 1u)) {
        failure = "the plug-ins were started " + std::to_string(hearthStarts) + " (Hearth) and " +
                  std::to_string(malwareStarts) + " (malware) times, not once per start";
      }
      if (!failure.empty()) {
        std::printf("%s\n", failure.c_str());
      } else {
        std::printf("%d rounds, alternating; medians:\n", kRounds);
        PrintSide("SentrelSrv", sentrelRuns);
        PrintSide("reference service", referenceRuns);
        std::printf("  status packets received: %zu (one per start); plug-ins started once per start\n",
                    controlCentre.count());
        std::printf("  private bytes, SentrelSrv vs reference: %.2f\n",
                    Median(Ratios(sentrelRuns, referenceRuns, &Lifecycle::privateKb)));
        std::printf("goal service-start-vs-reference: %.2f (target <= 1.5)\n",
                    Median(Ratios(sentrelRuns, referenceRuns, &Lifecycle::startMs)));
        std::printf("goal service-stop-vs-reference: %.2f (target <= 3)\n",
                    Median(Ratios(sentrelRuns, referenceRuns, &Lifecycle::stopMs)));
        std::printf("goal service-working-set-vs-reference: %.2f (target <= 1.5)\n",
                    Median(Ratios(sentrelRuns, referenceRuns, &Lifecycle::workingSetKb)));
        result = 0;
      }
    }
  }
  return result;
}

}  // namespace

int main() {
  bench::HandleInterrupts();
  const int result = RunBenchmark();
  bench::CleanedUp();
  return result;
}
