// Scenario 3, hung plug-in: a sample plug-in whose "Stop" never returns (StopHangs=1),
// the service stopped through the control manager.
//
// The service's stop waits at most 5 seconds for its worker, which is left hanging in
// the plug-in's "Stop": the service must still report STOPPED within about 6 seconds of
// the STOP control, and its log must show the stop that gave up on the worker. Then the
// scenario watches what becomes of the process, which still holds the hung thread: does
// the entry point return and the process end, and when; it is ended here if it does not.
//
// Rounds, in order (the short form runs the first): the malware plug-in hangs (it is
// stopped first, so the identity-theft and Hearth plug-ins are never stopped), the Hearth
// plug-in hangs (stopped last), both hang.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "InstalledService.h"
#include "Scenario.h"
#include "common/TextConversion.h"
#include "support/LogFileReader.h"
#include "support/SamplePluginInstall.h"

namespace campaign {

namespace {

using test_support::SamplePlugin;

// How long the process is given to end by itself once it reported STOPPED.
constexpr DWORD kExitWaitMs = 15000;
// The service's own wait for its worker, and how much shorter the logged gap may be.
constexpr long long kWorkerWaitMs = 5000;
constexpr long long kClockSlackMs = 50;

const wchar_t kStopInvoked[] = L"SentrelCore::Stop - invoked";
const wchar_t kWillStopPlugins[] = L"  SentrelCore::WorkerThreadFunc - worker thread: will stop plugins....";
const wchar_t kPluginsStopped[] = L"  SentrelCore::WorkerThreadFunc - Pplugins stopped.";
const wchar_t kWorkerCompleted[] = L"SentrelCore::WorkerThreadFunc - worker thread completed";
const wchar_t kSignaledToStop[] = L"WinServiceBase::OnStart - Service SentrelSrv was signaled to stop, dwRes:0.";
const wchar_t kStoppedReported[] = L"SetServiceStatus invoked with 1, gle=0";
const wchar_t kFinallyStopped[] = L"WinServiceBase::OnStart - Finally: Service SentrelSrv stopped.";
const wchar_t kMainStopped[] = L"Main - Service stopped.";
const wchar_t kStillPending[] = L"SetServiceStillPending invoked with 3,";

struct Round {
  const char* name;
  bool hearthHangs;
  bool malwareHangs;
};
const Round kRounds[] = {{"malware", false, true}, {"hearth", true, false}, {"both", true, true}};

// One line of the service's log: its message and the time of day it carries.
struct TimedLine {
  long long ms = -1;  // milliseconds since midnight; -1 when unreadable
  std::wstring text;
};

// "<date> <HH:mm:ss>:<ms> [P:<pid>][T:<tid>] <label> - <text>"
TimedLine ParseLine(const std::wstring& line) {
  TimedLine parsed;
  const size_t ids = line.find(L" [P:");
  if (ids == std::wstring::npos || ids == 0) return parsed;
  const size_t labelEnd = line.find(L" - ", ids);
  if (labelEnd == std::wstring::npos) return parsed;
  parsed.text = line.substr(labelEnd + 3);
  const size_t space = line.rfind(L' ', ids - 1);
  const std::wstring clock = line.substr(space == std::wstring::npos ? 0 : space + 1, ids - (space + 1));
  int hours = 0, minutes = 0, seconds = 0, millis = 0;
  if (std::swscanf(clock.c_str(), L"%d:%d:%d:%d", &hours, &minutes, &seconds, &millis) == 4) {
    parsed.ms = ((hours * 60LL + minutes) * 60 + seconds) * 1000 + millis;
  }
  return parsed;
}

// Where the service's log stood before a start: the lines after it are the round's.
struct LogMark {
  DWORD volume = 0;
  unsigned long long fileIndex = 0;
  size_t lines = 0;
};

LogMark MarkLog() {
  const test_support::LogFileContent content = test_support::ReadLogFile(InstalledService::LogPath());
  return LogMark{content.volume, content.fileIndex, content.lines.size()};
}

std::vector<TimedLine> LinesSince(const LogMark& mark, DWORD pid) {
  const test_support::LogFileContent content = test_support::ReadLogFile(InstalledService::LogPath());
  const bool sameFile = content.volume == mark.volume && content.fileIndex == mark.fileIndex;
  wchar_t pidField[32];
  _snwprintf(pidField, 32, L"[P:%5lu]", static_cast<unsigned long>(pid));
  std::vector<TimedLine> lines;
  for (size_t i = sameFile ? mark.lines : 0; i < content.lines.size(); ++i) {
    if (content.lines[i].find(pidField) != std::wstring::npos) lines.push_back(ParseLine(content.lines[i]));
  }
  return lines;
}

const TimedLine* Find(const std::vector<TimedLine>& lines, const std::wstring& text) {
  for (const TimedLine& line : lines) {
    if (line.text == text) return &line;
  }
  return nullptr;
}

size_t CountStartingWith(const std::vector<TimedLine>& lines, const std::wstring& prefix) {
  size_t count = 0;
  for (const TimedLine& line : lines) count += line.text.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
  return count;
}

// The sample's journal line of a "Stop" that never returns, in process `pid`.
bool JournalsHungStop(const test_support::SamplePluginInstall& plugins, SamplePlugin plugin, DWORD pid) {
  for (const test_support::JournalLine& line : plugins.Journal(plugin)) {
    if (line.pid == pid && line.call == "Stop" && line.result == "hang") return true;
  }
  return false;
}

// Started in process `pid` and never asked to stop there.
bool NeverStopped(const test_support::SamplePluginInstall& plugins, SamplePlugin plugin, DWORD pid) {
  bool started = false;
  for (const test_support::JournalLine& line : plugins.Journal(plugin)) {
    if (line.pid != pid) continue;
    if (line.call == "Stop") return false;
    started = started || line.call == "Start";
  }
  return started;
}

}  // namespace

ScenarioResult RunHungPlugin(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "hung plug-in";
  result.verdict = Verdict::Pass;
  const int rounds = scale.Pick(3, 1);
  result.load = std::to_string(rounds) + " round(s) start/stop via SCM";
  result.faults = "plug-in \"Stop\" never returns (";
  for (int r = 0; r < rounds; ++r) result.faults += std::string(r == 0 ? "" : ", ") + kRounds[r].name;
  result.faults += ")";

  InstalledService service;
  if (!service.ready()) {
    result.Fail("setup: " + service.setupError());
    return result;
  }

  double maxStopMs = 0;
  long long minLoggedWaitMs = -1, maxLoggedWaitMs = -1;
  int exitedByThemselves = 0, endedHere = 0, watchdogLeftOn = 0, done = 0;
  std::string processFates, watchdogs, stopsShown, notStopped;
  for (int r = 0; r < rounds; ++r) {
    const Round& round = kRounds[r];
    const std::string at = std::string("round ") + std::to_string(r + 1) + " (" + round.name + "): ";
    test_support::SamplePluginSettings hearth, malware;
    hearth.stopHangs = round.hearthHangs;
    malware.stopHangs = round.malwareHangs;
    if (!service.WritePluginSettings(hearth, malware) || !service.ClearJournals()) {
      result.Fail(at + "cannot write the plug-ins' settings");
      break;
    }
    const LogMark mark = MarkLog();
    std::string why;
    // The packet follows the worker's first pass, which started both plug-ins.
    if (!service.StartAndAwaitAnnouncement(&why)) {
      result.Fail(at + why);
      break;
    }
    const DWORD pid = service.pid();

    const InstalledService::StopOutcome stop = service.Stop();
    maxStopMs = std::max(maxStopMs, stop.ms);
    const std::string stopProblem = stop.Problem();
    if (!stopProblem.empty()) result.Fail(at + stopProblem);

    // What becomes of the process that still holds the hung worker.
    const ULONGLONG stoppedAt = ::GetTickCount64();
    DWORD exitCode = 0;
    std::string fate;
    if (service.WaitForExit(kExitWaitMs, &exitCode)) {
      ++exitedByThemselves;
      fate = "ended " + std::to_string(::GetTickCount64() - stoppedAt) + " ms after STOPPED, exit code " +
             std::to_string(exitCode);
    } else {
      service.EndProcess();
      ++endedHere;
      fate = "still running " + std::to_string(kExitWaitMs) + " ms after STOPPED, ended by the scenario";
    }
    const long long watchdog = InstalledService::WatchdogFlag();
    watchdogLeftOn += watchdog == 1 ? 1 : 0;

    // What the log says of the stop.
    const std::vector<TimedLine> lines = LinesSince(mark, pid);
    const TimedLine* invoked = Find(lines, kStopInvoked);
    const TimedLine* signaled = Find(lines, kSignaledToStop);
    const bool stoppingPlugins = Find(lines, kWillStopPlugins) != nullptr;
    const bool workerEnded = Find(lines, kPluginsStopped) != nullptr || Find(lines, kWorkerCompleted) != nullptr;
    const bool reportedStopped = Find(lines, kStoppedReported) != nullptr && Find(lines, kFinallyStopped) != nullptr;
    const bool mainReturned = Find(lines, kMainStopped) != nullptr;
    const size_t pendingReports = CountStartingWith(lines, kStillPending);
    const std::wstring attempt = round.malwareHangs
                                     ? L"ExFilterDriver:Malware:StopPlugin : Will attempt to Stop Malware Plugin..."
                                     : L"ExFilterDriver:Hearth:StopPlugin : Will attempt to Stop Hearth Plugin...";
    const bool hungAttempt = Find(lines, attempt) != nullptr;
    long long loggedWaitMs = -1;
    if (invoked != nullptr && signaled != nullptr && invoked->ms >= 0 && signaled->ms >= 0) {
      loggedWaitMs = signaled->ms - invoked->ms;
      if (loggedWaitMs < 0) loggedWaitMs += 24LL * 3600 * 1000;  // across midnight
      minLoggedWaitMs = minLoggedWaitMs < 0 ? loggedWaitMs : std::min(minLoggedWaitMs, loggedWaitMs);
      maxLoggedWaitMs = std::max(maxLoggedWaitMs, loggedWaitMs);
    }

    const SamplePlugin hung = round.malwareHangs ? SamplePlugin::Malware : SamplePlugin::Hearth;
    if (!JournalsHungStop(service.plugins(), hung, pid)) {
      result.Fail(at + "the plug-in's journal shows no \"Stop\" that hangs");
    } else if (invoked == nullptr || signaled == nullptr || !stoppingPlugins || !hungAttempt || !reportedStopped) {
      result.Fail(at + "the log lacks a line of the stop (Stop invoked " + std::to_string(invoked != nullptr) +
                  ", will stop plugins " + std::to_string(stoppingPlugins) + ", stop attempt " +
                  std::to_string(hungAttempt) + ", signaled to stop " + std::to_string(signaled != nullptr) +
                  ", stopped reported " + std::to_string(reportedStopped) + ")");
    } else if (workerEnded) {
      result.Fail(at + "the log shows the worker ending although the plug-in's \"Stop\" hangs");
    } else if (loggedWaitMs >= 0 && loggedWaitMs < kWorkerWaitMs - kClockSlackMs) {
      result.Fail(at + "the log shows the stop going on " + std::to_string(loggedWaitMs) +
                  " ms after it began, before the worker's 5000 ms were up");
    }

    processFates += std::string(processFates.empty() ? "" : "; ") + round.name + ": " + fate +
                    (mainReturned ? " (entry point returned)" : " (entry point did not return)");
    watchdogs += std::string(watchdogs.empty() ? "" : ", ") + round.name + " " + std::to_string(watchdog);
    for (SamplePlugin plugin : {SamplePlugin::Malware, SamplePlugin::Hearth}) {
      if (!NeverStopped(service.plugins(), plugin, pid)) continue;
      notStopped += std::string(notStopped.empty() ? "" : ", ") +
                    (plugin == SamplePlugin::Hearth ? "Hearth" : "Malware") + " in the " + round.name + " round";
    }
    stopsShown += std::string(stopsShown.empty() ? "" : "; ") + round.name + ": STOP to STOPPED " +
                  InstalledService::Milliseconds(stop.ms) + " ms, log: \"" + WideToAnsi(kStopInvoked) + "\" then \"" +
                  WideToAnsi(attempt) + "\", no \"" + WideToAnsi(kPluginsStopped).substr(2) + "\", \"" +
                  WideToAnsi(kSignaledToStop) + "\" " + std::to_string(loggedWaitMs) + " ms later, " +
                  std::to_string(pendingReports) + " stop-pending report(s)";
    done = r + 1;
  }

  result.Figure("hung-rounds", done);
  result.Figure("hung-max-stop-ms", InstalledService::Milliseconds(maxStopMs));
  result.Figure("hung-logged-wait-ms", std::to_string(minLoggedWaitMs) + ".." + std::to_string(maxLoggedWaitMs));
  result.Figure("hung-log", stopsShown);
  result.Figure("hung-process-after-stopped", processFates);
  result.Figure("hung-processes-ended-by-scenario", endedHere);
  result.Figure("hung-watchdog-after-stop", watchdogs);
  result.result = std::to_string(done) + "/" + std::to_string(rounds) +
                  " rounds STOPPED in <= " + InstalledService::Milliseconds(maxStopMs) +
                  " ms; process ended by itself " + std::to_string(exitedByThemselves) + ", by the scenario " +
                  std::to_string(endedHere);
  result.Figure("hung-plugins-never-stopped", notStopped.empty() ? "none" : notStopped);
  result.lost = notStopped.empty() ? std::string() : "\"Stop\" never called: " + notStopped;
  if (watchdogLeftOn != 0) {
    result.lost += std::string(result.lost.empty() ? "" : "; ") + "watchdog flag left 1 after " +
                   std::to_string(watchdogLeftOn) + " of " + std::to_string(done) + " stop(s)";
  }
  if (result.lost.empty()) result.lost = "none";
  if (result.verdict != Verdict::Fail && (endedHere != 0 || watchdogLeftOn != 0)) {
    result.verdict = Verdict::KnownLimit;
    result.limit =
        "the stop gives up on its worker after 5 s and never ends it: the worker stays in the "
        "plug-in's \"Stop\", the plug-ins stopped after it are not stopped and the watchdog flag, "
        "which the worker clears at its end, stays 1";
    if (endedHere != 0) result.limit += "; the process stays alive with the hung worker";
  }
  return result;
}

}  // namespace campaign
