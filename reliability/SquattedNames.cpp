// Scenario 6, squatted names: before the service starts, another process creates the
// service's named objects with the wrong kind or settings (another kind of object, a
// manual-reset event left set, a mutex held, an access list that grants nothing, a
// mapping of another size), one case at a time, and holds them until the service has
// stopped. In every case the service must start, or fail with
// its lines where the system's texts say it fails; it must not spin (its processor time
// over a quiet spell of 2 seconds stays near zero), not hang, and stop within 6 seconds
// of STOP, its process ending after.
//
// The squatter is this program again (child entry "squat-names"), so that the objects
// belong to a process other than the one that watches the service. The sample plug-ins
// are installed, so that a settings event wakes a worker with real work to do, and a
// resource file lies where the resource manager looks for it, so that its mutex is taken.
// Setting SENTREL_SQUAT_CASES to a list of case ids runs only those.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ProcessCpuTime.h"
#include "Scenario.h"
#include "ServiceRound.h"
#include "common/OpenSecurityAttributes.h"
#include "common/UniqueHandle.h"
#include "ipc/QueueLayout.h"
#include "ipc/SharedNames.h"
#include "support/ChildProcess.h"
#include "support/SamplePluginInstall.h"
#include "support/ScratchRegKey.h"

namespace campaign {
namespace squat {

// How the squatter makes an object.
enum class Make {
  ManualEventSet,  // a manual-reset event, left set
  MutexHeld,       // a mutex, owned by the squatter for the whole case
  Mutex,           // a mutex nobody owns
  Event,           // an auto-reset event, not set
  Mapping,         // a paging-file mapping of `size` bytes with an empty queue header
};

struct Squat {
  Make make;
  const wchar_t* name;
  DWORD size;               // Mapping only
  bool lockedOut = false;   // made with an access list that grants nobody anything
};

// What the service is to do with the objects in place.
enum class Outcome {
  Runs,             // the core starts: the worker runs and ends at the stop
  CoreFailsByDesign // the core's Start fails with its line; the service still stops cleanly
};

struct Case {
  const char* id;
  const char* title;
  std::vector<Squat> squats;
  Outcome outcome;
  // Lines the round must show: an exact text, or a prefix when it ends in '*'.
  std::vector<const wchar_t*> lines;
  // A line that must appear exactly once (a settings event taken once, not for ever).
  const wchar_t* once;
  // The status packet must lie in the squatter's queue mapping after the round.
  bool packetInMapping;
  bool inShortForm;
};

constexpr wchar_t kQueueMapping[] = L"Global\\CntrlCtrShrMemHighQueue";
constexpr wchar_t kQueueEvent[] = L"Global\\Event_CntrlCtrShrMemHighQueue";
constexpr wchar_t kQueueMutex[] = L"Global\\Mutex_CntrlCtrShrMemHighQueue";
constexpr wchar_t kStopRequestEvent[] = L"Global\\SentrelSrv_REQUEST_STOP_SERVICE";
constexpr DWORD kQueueSize = SharedNames::kControlCenterQueueSize;

constexpr wchar_t kWorkerStarted[] = L"SentrelCore::WorkerThreadFunc - worker thread started";
constexpr wchar_t kWorkerCompleted[] = L"SentrelCore::WorkerThreadFunc - worker thread completed";
constexpr wchar_t kStartFailurePrefix[] = L"SentrelCore::StartWorkerThread - Failed to create the ";
constexpr wchar_t kInitFailed[] = L"GenericPacket::WriteOnce: Failed to init IPC client : Queue : CntrlCtrShrMemHighQueue.";
constexpr wchar_t kHearthFailed[] =
    L"SentrelCore::StartWorkerThread - Failed to create the Hearth settings changed event. GLE = *";
constexpr wchar_t kIdentitiesFailed[] =
    L"SentrelCore::StartWorkerThread - Failed to create the IDTheft settings changed event. GLE = *";
constexpr wchar_t kMalwareFailed[] =
    L"SentrelCore::StartWorkerThread - Failed to create the Malware settings changed event. GLE = *";
constexpr wchar_t kResourceParsed[] = L"JsonHelper Load - File *";

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"hearth-event-set", "Hearth settings event manual-reset, left set",
       {{Make::ManualEventSet, SharedNames::kHearthReloadSettingsEvent, 0}},
       Outcome::Runs, {},
       L"SentrelCore::WorkerThreadFunc - Hearth Settings Change notification event has been accepted.", false, true},
      {"identities-event-set", "identities event manual-reset, left set",
       {{Make::ManualEventSet, SharedNames::kIdentitiesChangedEvent, 0}},
       Outcome::Runs, {},
       L"SentrelCore::WorkerThreadFunc - IDTheft Settings Change notification event has been accepted.", false,
       false},
      {"malware-event-set", "malware settings event manual-reset, left set",
       {{Make::ManualEventSet, SharedNames::kMalwareSettingsChangedEvent, 0}},
       Outcome::Runs, {},
       L"SentrelCore::WorkerThreadFunc - Malware Settings Change notification event has been accepted.", false,
       false},
      {"hearth-name-mutex", "Hearth settings event name held by a mutex",
       {{Make::MutexHeld, SharedNames::kHearthReloadSettingsEvent, 0}},
       Outcome::CoreFailsByDesign, {kHearthFailed}, nullptr, false, false},
      {"hearth-name-mapping", "Hearth settings event name held by a mapping",
       {{Make::Mapping, SharedNames::kHearthReloadSettingsEvent, 4096}},
       Outcome::CoreFailsByDesign, {kHearthFailed}, nullptr, false, false},
      {"identities-name-mutex", "identities event name held by a mutex",
       {{Make::Mutex, SharedNames::kIdentitiesChangedEvent, 0}},
       Outcome::CoreFailsByDesign, {kIdentitiesFailed}, nullptr, false, false},
      {"identities-name-mapping", "identities event name held by a mapping",
       {{Make::Mapping, SharedNames::kIdentitiesChangedEvent, 4096}},
       Outcome::CoreFailsByDesign, {kIdentitiesFailed}, nullptr, false, true},
      {"malware-name-mutex", "malware settings event name held by a mutex",
       {{Make::MutexHeld, SharedNames::kMalwareSettingsChangedEvent, 0}},
       Outcome::CoreFailsByDesign, {kMalwareFailed}, nullptr, false, false},
      {"malware-name-mapping", "malware settings event name held by a mapping",
       {{Make::Mapping, SharedNames::kMalwareSettingsChangedEvent, 4096}},
       Outcome::CoreFailsByDesign, {kMalwareFailed}, nullptr, false, false},
      {"hearth-event-locked", "Hearth settings event with an access list that grants nothing",
       {{Make::Event, SharedNames::kHearthReloadSettingsEvent, 0, true}},
       Outcome::CoreFailsByDesign, {kHearthFailed}, nullptr, false, false},
      {"malware-event-locked", "malware settings event with an access list that grants nothing",
       {{Make::ManualEventSet, SharedNames::kMalwareSettingsChangedEvent, 0, true}},
       Outcome::CoreFailsByDesign, {kMalwareFailed}, nullptr, false, false},
      {"queue-event-set", "queue's new-data event manual-reset, left set (queue mapping present)",
       {{Make::Mapping, kQueueMapping, kQueueSize}, {Make::ManualEventSet, kQueueEvent, 0}},
       Outcome::Runs, {}, nullptr, true, true},
      {"queue-mutex-held", "queue's mutex held by another process (queue mapping present)",
       {{Make::Mapping, kQueueMapping, kQueueSize}, {Make::MutexHeld, kQueueMutex, 0}},
       Outcome::Runs,
       {L"SMIPCTNG::Could not AcquireLock , err = *", L"SMIPCTNG::Write: Cannot lock Shared memory...",
        L"GenericPacket::WriteOnce: Failed to write IPC data to Queue :CntrlCtrShrMemHighQueue."},
       nullptr, false, false},
      {"queue-mutex-name-event", "queue's mutex name held by an event (queue mapping present)",
       {{Make::Mapping, kQueueMapping, kQueueSize}, {Make::Event, kQueueMutex, 0}},
       Outcome::Runs, {L"SMIPCTNG::Create: Could not create mutex (*", kInitFailed}, nullptr, false, false},
      {"queue-mutex-locked", "queue's mutex with an access list that grants nothing (queue mapping present)",
       {{Make::Mapping, kQueueMapping, kQueueSize}, {Make::Mutex, kQueueMutex, 0, true}},
       Outcome::Runs, {L"SMIPCTNG::Create: Could not create mutex (*", kInitFailed}, nullptr, false, false},
      {"queue-mapping-locked", "queue mapping with an access list that grants nothing",
       {{Make::Mapping, kQueueMapping, kQueueSize, true}},
       Outcome::Runs,
       {L"SMIPCTNG::Client could not open file mapping for queue name : Global\\CntrlCtrShrMemHighQueue , object (*",
        kInitFailed},
       nullptr, false, false},
      {"queue-mapping-small", "queue mapping of 4 KiB instead of 20 KiB",
       {{Make::Mapping, kQueueMapping, 4096}},
       Outcome::Runs, {L"Could not map view of file , Queue name : Global\\CntrlCtrShrMemHighQueue (*", kInitFailed},
       nullptr, false, true},
      {"queue-mapping-large", "queue mapping of 64 KiB instead of 20 KiB",
       {{Make::Mapping, kQueueMapping, 65536}}, Outcome::Runs, {}, nullptr, true, false},
      {"queue-name-event", "queue mapping name held by an event",
       {{Make::Event, kQueueMapping, 0}},
       Outcome::Runs,
       {L"SMIPCTNG::Client could not open file mapping for queue name : Global\\CntrlCtrShrMemHighQueue , object (*",
        kInitFailed},
       nullptr, false, false},
      {"resource-mutex-held", "resource manager's mutex held by another process",
       {{Make::MutexHeld, SharedNames::kResourceManagerMutex, 0}},
       Outcome::Runs, {kResourceParsed}, nullptr, false, false},
      {"resource-mutex-name-event", "resource manager's mutex name held by an event",
       {{Make::Event, SharedNames::kResourceManagerMutex, 0}},
       Outcome::Runs, {kResourceParsed}, nullptr, false, false},
      {"resource-mutex-locked", "resource manager's mutex with an access list that grants nothing",
       {{Make::Mutex, SharedNames::kResourceManagerMutex, 0, true}},
       Outcome::Runs, {kResourceParsed}, nullptr, false, false},
      {"stop-request-event-set", "stop-request event manual-reset, left set",
       {{Make::ManualEventSet, kStopRequestEvent, 0}}, Outcome::Runs, {}, nullptr, false, false},
      {"stop-request-name-mutex", "stop-request event name held by a mutex",
       {{Make::MutexHeld, kStopRequestEvent, 0}}, Outcome::Runs, {}, nullptr, false, false},
  };
  return cases;
}

const Case* FindCase(const std::wstring& id) {
  for (const Case& c : Cases()) {
    if (std::wstring(c.id, c.id + std::char_traits<char>::length(c.id)) == id) return &c;
  }
  return nullptr;
}

// The squatter's exit codes.
constexpr int kSquatterDone = 0;
constexpr int kSquatterSetupFailed = 3;
constexpr int kSquatterCaseUnknown = 4;
constexpr int kSquatterSetupFailedForSpin = 5;
// The squatter gives up on its own after this long, should nobody release it.
constexpr DWORD kSquatterLifetimeMs = 10 * 60 * 1000;

}  // namespace squat
}  // namespace campaign

// args: case id, ready event name, release event name, parent process id. Makes the
// case's objects, sets the ready event, and holds them until the release event is set
// or the parent ends.
SENTREL_CHILD(L"squat-names", args) {
  using namespace campaign::squat;
  if (args.size() != 4) return kSquatterSetupFailed;
  const Case* squatCase = FindCase(args[0]);
  if (squatCase == nullptr) return kSquatterCaseUnknown;
  UniqueKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[1].c_str()));
  UniqueKernelHandle release(::OpenEventW(SYNCHRONIZE, FALSE, args[2].c_str()));
  UniqueKernelHandle parent(::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(args[3]))));
  if (!ready || !release || !parent) return kSquatterSetupFailed;

  // An access list without entries: nobody may open the object, its creator's handle aside.
  ACL emptyAcl = {};
  SECURITY_DESCRIPTOR lockedDescriptor = {};
  SECURITY_ATTRIBUTES lockedOut = {sizeof(lockedOut), &lockedDescriptor, FALSE};
  if (!::InitializeAcl(&emptyAcl, sizeof(emptyAcl), ACL_REVISION) ||
      !::InitializeSecurityDescriptor(&lockedDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&lockedDescriptor, TRUE, &emptyAcl, FALSE)) {
    return kSquatterSetupFailed;
  }

  std::vector<UniqueKernelHandle> held;
  std::vector<HANDLE> owned;
  std::vector<UniqueMappedView> views;
  for (const Squat& squat : squatCase->squats) {
    SECURITY_ATTRIBUTES* security = squat.lockedOut ? &lockedOut : GetOpenSecurityAttributes();
    UniqueKernelHandle object;
    switch (squat.make) {
      case Make::ManualEventSet:
        object.reset(::CreateEventW(security, TRUE, TRUE, squat.name));
        break;
      case Make::Event:
        object.reset(::CreateEventW(security, FALSE, FALSE, squat.name));
        break;
      case Make::MutexHeld:
      case Make::Mutex:
        object.reset(::CreateMutexW(security, squat.make == Make::MutexHeld, squat.name));
        if (object && squat.make == Make::MutexHeld) owned.push_back(object.get());
        break;
      case Make::Mapping:
        object.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, 0, squat.size, squat.name));
        if (object) {
          UniqueMappedView view(::MapViewOfFile(object.get(), FILE_MAP_ALL_ACCESS, 0, 0, squat.size));
          if (!view) return kSquatterSetupFailed;
          // An empty queue, as the control centre leaves it.
          QueueLayout::ResetHeader(view.get());
          views.push_back(std::move(view));
        }
        break;
    }
    // The name must be the squatter's own: an object left by someone else would not
    // have the kind or settings the case is about.
    if (!object || ::GetLastError() == ERROR_ALREADY_EXISTS) return kSquatterSetupFailed;
    held.push_back(std::move(object));
  }
  ::SetEvent(ready.get());
  const HANDLE waits[2] = {release.get(), parent.get()};
  ::WaitForMultipleObjects(2, waits, FALSE, kSquatterLifetimeMs);
  for (HANDLE mutex : owned) ::ReleaseMutex(mutex);
  return kSquatterDone;
}

// args: milliseconds. Spins without waiting for that long: the processor-time probe's
// calibration, so that a quiet reading means a quiet service and not a blind probe.
SENTREL_CHILD(L"squat-spin", args) {
  if (args.size() != 1) return campaign::squat::kSquatterSetupFailedForSpin;
  const ULONGLONG until = ::GetTickCount64() + std::stoul(args[0]);
  volatile unsigned long long turns = 0;
  while (::GetTickCount64() < until) turns = turns + 1;
  return 0;
}

namespace campaign {
namespace {

using namespace squat;

// The processor time the probe reads for a process that spins for a second; -1 when
// the calibration could not run.
long long SpinCalibrationMs() {
  test_support::ChildProcess spinner = test_support::ChildProcess::Start(L"squat-spin", {L"3000"});
  if (!spinner.valid()) return -1;
  ::Sleep(500);
  const CpuTimeReading before = ProcessCpuTime(spinner.pid());
  ::Sleep(1000);
  const CpuTimeReading after = ProcessCpuTime(spinner.pid());
  if (!spinner.Wait(10000)) spinner.Kill();
  if (before.milliseconds < 0 || after.milliseconds < 0) return -1;
  return after.milliseconds - before.milliseconds;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f s", value);
  return text;
}

bool LineMatches(const ServiceRoundResult& round, const std::wstring& wanted) {
  if (!wanted.empty() && wanted.back() == L'*') return round.HasLineStartingWith(wanted.substr(0, wanted.size() - 1));
  return round.HasLine(wanted);
}

// The squatter of one round: started, its objects made, released when destroyed.
class Squatter {
 public:
  explicit Squatter(const Case& squatCase)
      : ready_(::CreateEventW(nullptr, TRUE, FALSE, readyName_.c_str())),
        release_(::CreateEventW(nullptr, TRUE, FALSE, releaseName_.c_str())) {
    if (!ready_ || !release_) {
      error_ = "cannot create the squatter's events";
      return;
    }
    const std::wstring id(squatCase.id, squatCase.id + std::char_traits<char>::length(squatCase.id));
    child_ = test_support::ChildProcess::Start(
        L"squat-names", {id, readyName_, releaseName_, std::to_wstring(::GetCurrentProcessId())});
    if (!child_.valid()) {
      error_ = "cannot start the squatter";
      return;
    }
    const HANDLE waits[2] = {ready_.get(), child_.handle()};
    const DWORD waited = ::WaitForMultipleObjects(2, waits, FALSE, 30000);
    if (waited != WAIT_OBJECT_0) {
      DWORD exitCode = 0;
      const bool ended = child_.Wait(0, &exitCode);
      error_ = ended ? "the squatter could not make its objects (exit " + std::to_string(exitCode) + ")"
                     : "the squatter did not get ready";
    }
  }
  ~Squatter() {
    if (release_) ::SetEvent(release_.get());
    if (child_.valid() && !child_.Wait(10000)) child_.Kill();
  }
  Squatter(const Squatter&) = delete;
  Squatter& operator=(const Squatter&) = delete;

  const std::string& error() const { return error_; }

 private:
  std::wstring readyName_ = test_support::UniqueName(L"SquatReady");
  std::wstring releaseName_ = test_support::UniqueName(L"SquatRelease");
  UniqueKernelHandle ready_;
  UniqueKernelHandle release_;
  test_support::ChildProcess child_;
  std::string error_;
};

// The item count of the queue mapping that the squatter holds; -1 when it cannot be read.
long long QueuedItems(DWORD size) {
  UniqueKernelHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, kQueueMapping));
  if (!mapping) return -1;
  UniqueMappedView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, size));
  if (!view) return -1;
  return static_cast<long long>(QueueLayout::ReadHeader(view.get()).itemCount);
}

DWORD MappingSizeOf(const Case& squatCase) {
  for (const Squat& squat : squatCase.squats) {
    if (squat.make == Make::Mapping && std::wstring(squat.name) == kQueueMapping) return squat.size;
  }
  return 0;
}

// What one case showed over its runs.
struct CaseTally {
  int runs = 0;
  int started = 0;        // RUNNING reached
  int coreFailed = 0;     // runs with the core's start failure line
  double worstStart = 0;
  double worstStop = 0;
  long long worstCpuMs = 0;
  std::string cpuSource;
  long long watchdogAfterFailure = -1;  // the watchdog flag after a run whose core failed
  std::string failureLine;  // the core's failure line, as logged
  std::string problem;      // the first broken promise
};

// Checks one round against the case; returns the broken promise, empty when all held.
std::string CheckRound(const Case& squatCase, const ServiceRoundOptions& options, const ServiceRoundResult& round,
                       long long queued) {
  const std::string broken = BrokenRoundPromise(round, options);
  if (!broken.empty()) return broken;
  const bool workerRan = round.HasLine(kWorkerStarted);
  if (squatCase.outcome == Outcome::Runs) {
    if (round.HasLineStartingWith(kStartFailurePrefix)) return "the core's Start failed";
    if (!workerRan || !round.HasLine(kWorkerCompleted)) return "the worker did not run and end";
  } else {
    if (workerRan) return "the worker ran although the core's Start was to fail";
  }
  for (const wchar_t* line : squatCase.lines) {
    if (!LineMatches(round, line)) return "no line \"" + Narrow(line) + "\"";
  }
  if (squatCase.once != nullptr && round.CountLines(squatCase.once) != 1) {
    return std::to_string(round.CountLines(squatCase.once)) + " lines \"" + Narrow(squatCase.once) + "\", not 1";
  }
  for (const auto& line : round.lines) {
    if (line.text.find(L"allowStopRequestThread") != std::wstring::npos) return "a stop-request thread ran";
  }
  if (squatCase.outcome == Outcome::Runs && round.watchdogAfter != 0) {
    return "the watchdog flag is " + std::to_string(round.watchdogAfter) + " after the stop, not 0";
  }
  if (squatCase.packetInMapping && queued != 1) {
    return "the queue mapping holds " + std::to_string(queued) + " items after the start, not the 1 status packet";
  }
  return std::string();
}

std::string StartFailureLine(const ServiceRoundResult& round) {
  const std::wstring prefix = kStartFailurePrefix;
  for (const auto& line : round.lines) {
    if (line.text.compare(0, prefix.size(), prefix) == 0) return Narrow(line.text);
  }
  return std::string();
}

}  // namespace

ScenarioResult RunSquattedNames(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "squatted names";
  const int repeats = scale.Pick(3, 1);
  // SENTREL_SQUAT_CASES=<id>,<id>... runs only those cases (to replay one).
  const char* only = std::getenv("SENTREL_SQUAT_CASES");
  std::vector<const Case*> cases;
  for (const Case& c : Cases()) {
    if (only != nullptr && *only != '\0') {
      if (("," + std::string(only) + ",").find("," + std::string(c.id) + ",") != std::string::npos) cases.push_back(&c);
    } else if (!scale.shortForm || c.inShortForm) {
      cases.push_back(&c);
    }
  }
  result.load = std::to_string(cases.size()) + " cases x " + std::to_string(repeats) + " start/stop";
  result.faults = "objects pre-made: wrong kind, manual-reset set, held, locked, other size";
  result.lost = "none";
  result.verdict = Verdict::Pass;

  // The stage: the sample plug-ins installed, a resource file where the resource
  // manager looks for it (no language), the watchdog value restored afterwards.
  test_support::SamplePluginInstall install;
  test_support::MachineValueGuard language(SharedNames::kRegistryRoot, L"Lang");
  test_support::MachineValueGuard watchdog(SharedNames::kRegistryRoot, L"WatchDog_SentrelSrv");
  language.Remove();
  if (!install.valid() || !install.InstallAll()) {
    result.Fail("cannot install the sample plug-ins");
    return result;
  }
  {
    const std::wstring resourceFile = install.installPath() + L"\\resource.json";
    UniqueKernelHandle file(::CreateFileW(resourceFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    const char text[] = "{\"squatted\": \"names\"}";
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), text, sizeof(text) - 1, &written, nullptr)) {
      result.Fail("cannot write the resource file");
      return result;
    }
  }
  SentrelSrvRegistration service;
  if (!service.valid()) {
    result.Fail(service.error());
    return result;
  }
  // A spin must show: a process that never waits reads at least a third of a processor.
  const long long calibration = SpinCalibrationMs();
  result.Figure("squat-cpu-probe", std::to_string(calibration) + " ms read for a process spinning 1 s (" +
                                       ProcessCpuTime(::GetCurrentProcessId()).source + ")");
  if (calibration < 333) {
    result.Fail("the processor-time probe does not see a spinning process (" + std::to_string(calibration) + " ms)");
    return result;
  }

  int rounds = 0, coreFailures = 0;
  bool watchdogLeftSet = false;
  double worstStop = 0;
  long long worstCpu = 0;
  std::string cpuSource;
  for (const Case* squatCase : cases) {
    CaseTally tally;
    for (int run = 0; run < repeats && tally.problem.empty(); ++run) {
      Squatter squatter(*squatCase);
      if (!squatter.error().empty()) {
        tally.problem = squatter.error();
        break;
      }
      ServiceRoundOptions options;
      const ServiceRoundResult round = RunServiceRound(options);
      const long long queued = squatCase->packetInMapping ? QueuedItems(MappingSizeOf(*squatCase)) : -1;
      ++tally.runs;
      ++rounds;
      if (round.running) ++tally.started;
      const std::string failureLine = StartFailureLine(round);
      if (!failureLine.empty()) {
        ++tally.coreFailed;
        tally.failureLine = failureLine;
        tally.watchdogAfterFailure = round.watchdogAfter;
      }
      if (round.startSeconds > tally.worstStart) tally.worstStart = round.startSeconds;
      if (round.stopSeconds > tally.worstStop) tally.worstStop = round.stopSeconds;
      if (round.quietCpuMs > tally.worstCpuMs) tally.worstCpuMs = round.quietCpuMs;
      tally.cpuSource = round.cpuSource;
      tally.problem = CheckRound(*squatCase, options, round, queued);
    }
    if (tally.worstStop > worstStop) worstStop = tally.worstStop;
    if (tally.worstCpuMs > worstCpu) worstCpu = tally.worstCpuMs;
    if (!tally.cpuSource.empty()) cpuSource = tally.cpuSource;
    coreFailures += tally.coreFailed;

    std::string outcome = squatCase->outcome == Outcome::Runs ? "runs" : "core fails by design";
    if (!tally.problem.empty()) outcome = "FAIL (" + tally.problem + ")";
    char value[256];
    std::snprintf(value, sizeof(value), "%s; %d/%d started, start max %.2f s, quiet cpu max %lld ms/2 s, stop max %.2f s",
                  outcome.c_str(), tally.started, tally.runs, tally.worstStart, tally.worstCpuMs, tally.worstStop);
    result.Figure(std::string("squat-") + squatCase->id, value);
    if (!tally.failureLine.empty()) {
      result.Figure(std::string("squat-") + squatCase->id + "-line", tally.failureLine);
      result.Figure(std::string("squat-") + squatCase->id + "-watchdog-after", tally.watchdogAfterFailure);
      if (tally.watchdogAfterFailure != 0) watchdogLeftSet = true;
    }
    if (!tally.problem.empty()) result.Fail(std::string(squatCase->id) + ": " + tally.problem);
  }

  result.Figure("squat-rounds", rounds);
  result.Figure("squat-stop-max", Seconds(worstStop));
  result.Figure("squat-quiet-cpu-max", std::to_string(worstCpu) + " ms in 2 s (" + cpuSource + ")");
  char summary[160];
  std::snprintf(summary, sizeof(summary), "%d rounds; stop max %.2f s, quiet cpu max %lld ms/2 s", rounds, worstStop,
                worstCpu);
  result.result = summary;
  if (result.verdict != Verdict::Fail && coreFailures > 0) {
    result.verdict = Verdict::KnownLimit;
    result.limit =
        "a settings-event name held by another kind of object, or by an event whose access list shuts the "
        "service out, makes the core's Start fail with its line, as designed: the service reports RUNNING "
        "without its worker until stopped";
    if (watchdogLeftSet) result.limit += ", and the watchdog flag that Start set stays 1 after the stop";
  }
  return result;
}

}  // namespace campaign
