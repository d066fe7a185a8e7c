// Scenario 2, event storm: another process sets the service's three settings events
// thousands of times while the sample plug-ins' protection is switched on and off.
//
// The storm comes from a child process (this program again), which sets the Hearth,
// identities and malware events in rounds paced over the storm's time. Meanwhile this
// process rewrites the Hearth and malware plug-ins' settings files every few hundred
// milliseconds with another protection status, follows the service's log (the worker's
// acceptance lines) and checks that the service keeps running. The storm counts as given
// only when the child says on a shared board that it finished and set every event once
// per round; the worker must then have accepted each event at least once and never more
// often than it was set.
//
// The handle probe is first shown to see handles being added (CalibrateHandleProbe).
// Handle count and private bytes are measured after a warm-up: a short storm of the same
// kind, then the worker brought back to its wait (WorkerLog::Settle), then the median of
// three samples a quarter second apart. They are measured the same way after the storm,
// once the worker has handled the last signals, and may be at most 5% above the start.
//
// The moment the storm ends, each plug-in is given the opposite of its final protection
// status with a signal, and at once, while the worker is busy with that, its final
// status and one last signal. Once the log has gone quiet (and the plug-ins' last calls
// have come, within 10 s) the journals must show both plug-ins in that state: on, a "Start" without a
// later "Stop"; off, no "Start" after its last "Stop". A signal that came while the
// worker was busy with another is not lost. The same holds after one more signal given
// with the worker in its wait. A stop through the control manager must then complete
// within 6 seconds.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "InstalledService.h"
#include "ProcessProbe.h"
#include "Scenario.h"
#include "SharedBlock.h"
#include "WorkerEvents.h"
#include "common/TextConversion.h"
#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"
#include "support/SamplePluginInstall.h"

namespace {

// Exit codes of the storm child: 0 when it did every round.
constexpr DWORD kStormBadArguments = 0x7F000001;
constexpr DWORD kStormNoEvents = 0x7F000002;
constexpr DWORD kStormNoBoard = 0x7F000003;

// What the storm's process did, as it says while it goes: the campaign reads it from its
// own view of the block, so a storm that crashed or stopped early shows as one that did
// not finish, whatever its exit code says.
struct StormBoard {
  volatile LONG64 set[campaign::kSettingsEventCount];  // SetEvent calls that succeeded, per event
  volatile LONG64 rounds;                              // rounds done
  volatile LONG finished;                              // 1 once every round was done
};

}  // namespace

// args: rounds, duration in ms, board. Sets the three settings events once per round,
// rounds spread evenly over the duration, and counts on the board what it did.
SENTREL_CHILD(L"event-storm", args) {
  using namespace campaign;
  if (args.size() != 3) return static_cast<int>(kStormBadArguments);
  const long long rounds = _wcstoi64(args[0].c_str(), nullptr, 10);
  const double durationMs = static_cast<double>(_wcstoi64(args[1].c_str(), nullptr, 10));
  if (rounds <= 0 || durationMs < 0) return static_cast<int>(kStormBadArguments);
  SharedBlock<StormBoard> board = SharedBlock<StormBoard>::Open(args[2]);
  if (!board.valid()) return static_cast<int>(kStormNoBoard);
  UniqueKernelHandle events[kSettingsEventCount];
  for (int i = 0; i < kSettingsEventCount; ++i) {
    events[i].reset(::OpenEventW(EVENT_MODIFY_STATE, FALSE, SettingsEventName(static_cast<SettingsEvent>(i))));
    if (!events[i]) return static_cast<int>(kStormNoEvents);
  }
  LARGE_INTEGER frequency = {}, start = {}, now = {};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  for (long long round = 0; round < rounds; ++round) {
    for (int i = 0; i < kSettingsEventCount; ++i) {
      if (::SetEvent(events[i].get())) ::InterlockedIncrement64(&board->set[i]);
    }
    ::InterlockedIncrement64(&board->rounds);
    // Ahead of the schedule by more than a couple of milliseconds: wait a little.
    const double due = durationMs * static_cast<double>(round + 1) / static_cast<double>(rounds);
    for (;;) {
      ::QueryPerformanceCounter(&now);
      const double elapsed =
          static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
      if (due - elapsed < 2.0) break;
      ::Sleep(1);
    }
  }
  ::InterlockedExchange(&board->finished, 1);
  return 0;
}

namespace campaign {

namespace {

using test_support::SamplePlugin;

constexpr DWORD kSettleTimeoutMs = 60000;
constexpr DWORD kQuietMs = 500;
constexpr DWORD kQuietTimeoutMs = 60000;
constexpr DWORD kRunningCheckMs = 200;
constexpr double kGrowthLimit = 0.05;
constexpr DWORD kJournalWaitMs = 10000;

std::string Number(long long value) { return std::to_string(value); }

std::string Percent(long long from, long long to) {
  char text[32];
  std::snprintf(text, sizeof(text), "%+.1f%%", from > 0 ? 100.0 * static_cast<double>(to - from) / from : 0.0);
  return text;
}

test_support::SamplePluginSettings Protection(bool on) {
  test_support::SamplePluginSettings settings;
  settings.protectionStatus = on ? 1 : 0;
  return settings;
}

struct Usage {
  long long handles = -1;
  long long privateBytes = -1;
};

// The median of three samples a quarter second apart, each figure on its own.
Usage MeasureUsage(DWORD pid) {
  std::vector<long long> handles, privateBytes;
  for (int sample = 0; sample < 3; ++sample) {
    if (sample != 0) ::Sleep(250);
    handles.push_back(ProcessHandleCount(pid));
    privateBytes.push_back(ProcessPrivateBytes(pid));
  }
  std::sort(handles.begin(), handles.end());
  std::sort(privateBytes.begin(), privateBytes.end());
  return Usage{handles[1], privateBytes[1]};
}

// What one storm did.
struct StormRun {
  std::string failure;  // empty when the storm ran to its end and set every event it was asked to
  long long eventsSet[kSettingsEventCount] = {};  // SetEvent calls that succeeded in the child, per event
  long long switches = 0;                          // protection changes written
  double seconds = 0;
  int notRunning = 0;  // checks that found the service not running

  long long totalSet() const { return eventsSet[0] + eventsSet[1] + eventsSet[2]; }
};

// Runs the child's storm of `rounds` over `durationMs`, switching the plug-ins'
// protection every `switchEveryMs` and following the log meanwhile. The storm counts as
// run only when the child ended with 0, says on its board that it finished, and set each
// event once per round.
StormRun RunStorm(InstalledService& service, WorkerLog& log, long long rounds, DWORD durationMs, DWORD switchEveryMs) {
  StormRun run;
  const std::wstring boardName = L"Local\\" + test_support::UniqueName(L"storm") + L"_board";
  SharedBlock<StormBoard> board = SharedBlock<StormBoard>::Create(boardName);
  if (!board.valid()) {
    run.failure = "cannot make the storm's board";
    return run;
  }
  test_support::ChildProcess child = test_support::ChildProcess::Start(
      L"event-storm", {std::to_wstring(rounds), std::to_wstring(durationMs), boardName});
  if (!child.valid()) {
    run.failure = "cannot start the storm's process";
    return run;
  }
  const ULONGLONG started = ::GetTickCount64();
  const ULONGLONG deadline = started + durationMs * 4ULL + 60000;
  ULONGLONG nextSwitch = started + switchEveryMs;
  ULONGLONG nextCheck = started;
  DWORD exitCode = 0;
  for (;;) {
    if (child.Wait(10, &exitCode)) break;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) {
      child.Kill();
      child.Wait(10000);
      run.failure = "the storm's process did not end within " + Number(deadline - started) + " ms";
      return run;
    }
    if (now >= nextSwitch) {
      // Hearth switches every time, the malware plug-in on two of every three.
      ++run.switches;
      const bool hearthOn = run.switches % 2 == 0;
      const bool malwareOn = run.switches % 3 != 0;
      if (!service.WritePluginSettings(Protection(hearthOn), Protection(malwareOn))) {
        run.failure = "cannot rewrite the plug-ins' settings";
      }
      nextSwitch = now + switchEveryMs;
    }
    if (now >= nextCheck) {
      run.notRunning += service.IsRunning() ? 0 : 1;
      nextCheck = now + kRunningCheckMs;
    }
    log.Poll();
  }
  run.seconds = (::GetTickCount64() - started) / 1000.0;
  log.Poll();
  for (int i = 0; i < kSettingsEventCount; ++i) run.eventsSet[i] = board->set[i];
  char code[16];
  std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(exitCode));
  if (exitCode == kStormBadArguments || exitCode == kStormNoEvents || exitCode == kStormNoBoard) {
    run.failure = exitCode == kStormNoEvents  ? "the storm's process found no settings events"
                  : exitCode == kStormNoBoard ? "the storm's process found no board"
                                              : "the storm's process refused its arguments";
  } else if (exitCode != 0 || board->finished != 1 || board->rounds != rounds) {
    run.failure = "the storm's process ended with " + std::string(code) + " after " + Number(board->rounds) + " of " +
                  Number(rounds) + " rounds";
  } else if (run.eventsSet[0] != rounds || run.eventsSet[1] != rounds || run.eventsSet[2] != rounds) {
    run.failure = "the storm set " + Number(run.eventsSet[0]) + "/" + Number(run.eventsSet[1]) + "/" +
                  Number(run.eventsSet[2]) + " events (Hearth/IDTheft/Malware), not " + Number(rounds) + " each";
  }
  return run;
}

// Polls the log until no acceptance line came for `quietMs`; false after `timeoutMs`.
bool WaitForQuiet(WorkerLog& log, DWORD quietMs, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  size_t seen = log.lines();
  ULONGLONG lastChange = ::GetTickCount64();
  for (;;) {
    log.Poll();
    const ULONGLONG now = ::GetTickCount64();
    if (log.lines() != seen) {
      seen = log.lines();
      lastChange = now;
    } else if (now - lastChange >= quietMs) {
      return true;
    }
    if (now >= deadline) return false;
    ::Sleep(20);
  }
}

// The plug-in's state in process `pid` by its journal: running when its last "Start"
// comes after its last "Stop".
struct JournalState {
  bool running = false;
  long long starts = 0, stops = 0;
};

JournalState StateFromJournal(const test_support::SamplePluginInstall& plugins, SamplePlugin plugin, DWORD pid) {
  JournalState state;
  long long lastStart = -1, lastStop = -1, index = 0;
  for (const test_support::JournalLine& line : plugins.Journal(plugin)) {
    ++index;
    if (line.pid != pid) continue;
    if (line.call == "Start") {
      lastStart = index;
      ++state.starts;
    } else if (line.call == "Stop") {
      lastStop = index;
      ++state.stops;
    }
  }
  state.running = lastStart > lastStop;
  return state;
}

}  // namespace

ScenarioResult RunEventStorm(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "event storm";
  result.verdict = Verdict::Pass;
  result.lost = "none";
  const long long rounds = scale.Pick(10000, 500);
  const DWORD durationMs = static_cast<DWORD>(scale.Pick(10000, 1000));
  const long long warmUpRounds = scale.Pick(1000, 100);
  const DWORD warmUpMs = static_cast<DWORD>(scale.Pick(1000, 200));
  const DWORD switchEveryMs = static_cast<DWORD>(scale.Pick(250, 100));
  // The final states differ between the forms, so that between them both ends are seen.
  const bool hearthFinal = !scale.shortForm;
  const bool malwareFinal = scale.shortForm;
  result.load = Number(rounds) + " rounds x 3 settings events in " + Number(durationMs / 1000) + " s";
  result.faults = "protection switched every " + Number(switchEveryMs) + " ms";

  // The handle figures mean something only from a probe that sees handles come.
  const HandleProbeCalibration probe = CalibrateHandleProbe();
  result.Figure("storm-handle-probe", probe.Describe());
  if (!probe.failure.empty()) {
    result.Fail(probe.failure);
    return result;
  }

  InstalledService service;
  if (!service.ready()) {
    result.Fail("setup: " + service.setupError());
    return result;
  }
  std::string why;
  if (!service.StartAndAwaitAnnouncement(&why)) {
    result.Fail(why);
    return result;
  }
  const DWORD pid = service.pid();
  WorkerLog log(pid);

  // Warm-up, then the starting point.
  const StormRun warmUp = RunStorm(service, log, warmUpRounds, warmUpMs, switchEveryMs);
  if (!warmUp.failure.empty()) {
    result.Fail("warm-up: " + warmUp.failure);
    return result;
  }
  if (!WaitForQuiet(log, kQuietMs, kQuietTimeoutMs) || !log.Settle(kSettleTimeoutMs, &why)) {
    result.Fail("after the warm-up: " + (why.empty() ? "the log did not go quiet" : why));
    return result;
  }
  const Usage before = MeasureUsage(pid);

  // The storm.
  size_t acceptedBefore[kSettingsEventCount];
  for (int i = 0; i < kSettingsEventCount; ++i) acceptedBefore[i] = log.accepted(static_cast<SettingsEvent>(i));
  const size_t errorsBefore = log.errors();
  const StormRun storm = RunStorm(service, log, rounds, durationMs, switchEveryMs);
  if (!storm.failure.empty()) result.Fail(storm.failure);
  // The last word, given while the worker is busy: first the opposite status with its
  // signals, which the worker takes up at once, then at once the final status with its
  // own. Losing the final signals would leave the plug-ins in the opposite state.
  const auto giveWord = [&service](bool hearthOn, bool malwareOn) {
    return service.WritePluginSettings(Protection(hearthOn), Protection(malwareOn)) &&
           SetSettingsEvent(SettingsEvent::Hearth) && SetSettingsEvent(SettingsEvent::Malware);
  };
  const bool lastWordGiven = giveWord(!hearthFinal, !malwareFinal) && giveWord(hearthFinal, malwareFinal);
  if (!lastWordGiven) result.Fail("cannot give the final settings and their signals");
  const bool quiet = WaitForQuiet(log, kQuietMs, kQuietTimeoutMs);
  if (!quiet) result.Fail("the worker was still busy " + Number(kQuietTimeoutMs) + " ms after the storm");
  long long accepted[kSettingsEventCount];
  long long acceptedTotal = 0;
  for (int i = 0; i < kSettingsEventCount; ++i) {
    accepted[i] = static_cast<long long>(log.accepted(static_cast<SettingsEvent>(i)) - acceptedBefore[i]);
    acceptedTotal += accepted[i];
  }
  const size_t stormErrors = log.errors() - errorsBefore;
  // The worker took up every kind of signal the storm gave, and never more often than it
  // was given (signals that come while the worker is busy with one fold into one): the
  // storm's own, and the last word's one each for Hearth and malware, twice.
  const long long lastWordSets[kSettingsEventCount] = {2, 0, 2};
  const char* const eventNames[kSettingsEventCount] = {"Hearth", "IDTheft", "Malware"};
  for (int i = 0; quiet && storm.failure.empty() && i < kSettingsEventCount; ++i) {
    const long long given = storm.eventsSet[i] + lastWordSets[i];
    if (accepted[i] < 1 || accepted[i] > given) {
      result.Fail("the worker accepted " + Number(accepted[i]) + " " + eventNames[i] + " signals of the " +
                  Number(given) + " given");
    }
  }
  const auto describe = [](bool wanted, const JournalState& state) {
    return std::string("protection ") + (wanted ? "on" : "off") + ", " + (state.running ? "running" : "stopped") +
           " (" + Number(state.starts) + " Start, " + Number(state.stops) + " Stop)";
  };
  // The last word given while busy, as the journals show it once the worker is idle. The
  // worker logs its acceptance before it calls the plug-in, so a quiet log may still come
  // before the plug-in's last call: the journals are read again for a while.
  JournalState hearthWhileBusy, malwareWhileBusy;
  const ULONGLONG journalDeadline = ::GetTickCount64() + kJournalWaitMs;
  for (;;) {
    hearthWhileBusy = StateFromJournal(service.plugins(), SamplePlugin::Hearth, pid);
    malwareWhileBusy = StateFromJournal(service.plugins(), SamplePlugin::Malware, pid);
    const bool asAsked = hearthWhileBusy.running == hearthFinal && malwareWhileBusy.running == malwareFinal;
    if (asAsked || ::GetTickCount64() >= journalDeadline) break;
    ::Sleep(50);
  }
  if (hearthWhileBusy.running != hearthFinal)
    result.Fail("after the last word given while busy, Hearth ends " + describe(hearthFinal, hearthWhileBusy));
  if (malwareWhileBusy.running != malwareFinal)
    result.Fail("after the last word given while busy, the malware plug-in ends " +
                describe(malwareFinal, malwareWhileBusy));

  // Once more with the worker in its wait: one more signal per plug-in, then back in its wait.
  if (!log.Settle(kSettleTimeoutMs, &why)) result.Fail("after the storm: " + why);
  const bool running = service.IsRunning();
  if (!running || storm.notRunning != 0) {
    result.Fail("the service did not stay running (" + Number(storm.notRunning) + " checks found it otherwise)");
  }
  const Usage after = MeasureUsage(pid);
  if (before.handles < 0 || after.handles < 0 || before.privateBytes < 0 || after.privateBytes < 0) {
    result.Fail("the handle count or private bytes could not be read");
  } else {
    if (after.handles > before.handles * (1 + kGrowthLimit)) {
      result.Fail("handle count grew from " + Number(before.handles) + " to " + Number(after.handles));
    }
    if (after.privateBytes > before.privateBytes * (1 + kGrowthLimit)) {
      result.Fail("private bytes grew from " + Number(before.privateBytes) + " to " + Number(after.privateBytes));
    }
  }

  const JournalState hearth = StateFromJournal(service.plugins(), SamplePlugin::Hearth, pid);
  const JournalState malware = StateFromJournal(service.plugins(), SamplePlugin::Malware, pid);
  if (hearth.running != hearthFinal) result.Fail("Hearth ends " + describe(hearthFinal, hearth));
  if (malware.running != malwareFinal) result.Fail("the malware plug-in ends " + describe(malwareFinal, malware));

  const InstalledService::StopOutcome stop = service.Stop();
  const std::string stopProblem = stop.Problem();
  if (!stopProblem.empty()) result.Fail(stopProblem);
  DWORD exitCode = 0;
  if (!service.WaitForExit(InstalledService::kExitTimeoutMs, &exitCode)) {
    result.Fail("the service's process still runs " + Number(InstalledService::kExitTimeoutMs) + " ms after STOPPED");
    service.EndProcess();
  }

  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.1f", storm.seconds);
  result.Figure("storm-signals", Number(storm.totalSet()) + " (" + Number(rounds) + " rounds x 3 events)");
  result.Figure("storm-seconds", seconds);
  result.Figure("storm-protection-switches", storm.switches);
  result.Figure("storm-accepted-lines", Number(acceptedTotal) + " (Hearth " + Number(accepted[0]) + ", IDTheft " +
                                            Number(accepted[1]) + ", Malware " + Number(accepted[2]) + ")");
  result.Figure("storm-error-lines",
                Number(static_cast<long long>(stormErrors)) +
                    (stormErrors != 0 ? " (first: " + WideToAnsi(log.firstError()) + ")" : std::string()));
  result.Figure("storm-log-moves", log.moves());
  result.Figure("storm-measured", "after a warm-up storm of " + Number(warmUpRounds) + " rounds in " +
                                      Number(warmUpMs) +
                                      " ms and after the storm, each time with the worker "
                                      "back in its wait: median of 3 samples 250 ms apart; the end may be at "
                                      "most 5% above the start");
  result.Figure("storm-handles", Number(before.handles) + " -> " + Number(after.handles) + " (" +
                                     Percent(before.handles, after.handles) + ")");
  result.Figure("storm-private-bytes", Number(before.privateBytes) + " -> " + Number(after.privateBytes) + " (" +
                                           Percent(before.privateBytes, after.privateBytes) + ")");
  result.Figure("storm-last-word-while-busy", "Hearth " + describe(hearthFinal, hearthWhileBusy) + "; malware " +
                                                 describe(malwareFinal, malwareWhileBusy));
  result.Figure("storm-final-hearth", describe(hearthFinal, hearth));
  result.Figure("storm-final-malware", describe(malwareFinal, malware));
  result.Figure("storm-stop-ms", InstalledService::Milliseconds(stop.ms));
  result.result =
      Number(storm.totalSet()) + " signals -> " + Number(acceptedTotal) + " accepted, running, handles " +
      Percent(before.handles, after.handles) + ", private " + Percent(before.privateBytes, after.privateBytes) +
      ", plug-ins as asked: " +
      (hearthWhileBusy.running == hearthFinal && malwareWhileBusy.running == malwareFinal &&
               hearth.running == hearthFinal && malware.running == malwareFinal
           ? "yes"
           : "no") +
      ", stop " + InstalledService::Milliseconds(stop.ms) + " ms";
  return result;
}

}  // namespace campaign
