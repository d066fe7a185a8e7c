// Scenario 1, lifecycle soak: the service started, given a settings signal and stopped
// through the control manager again and again, with the sample plug-ins on.
//
// Each cycle: StartServiceW and wait for RUNNING; wait for the status packet (the
// worker's first pass is done); set the Hearth and malware settings events, then the
// identities event once both were accepted (the worker has handled both plug-ins and is
// back in its wait); read the service process's handle count; send STOP and time it to
// STOPPED; then the watchdog value must be 0 and, once the process has ended, no process
// of the service may be left.
//
// Each cycle is a new process, so the handle count compares like with like: what one
// start-signal state holds. "Does not grow" is judged after a warm-up (the first cycles
// make the log folder, the logger's registry values and the first archive): the count of
// the first cycle after the warm-up is the baseline, and no later cycle may hold more
// than kHandleSlack handles above it. The handle probe is first shown to see handles
// being added (CalibrateHandleProbe).
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "InstalledService.h"
#include "ProcessProbe.h"
#include "Scenario.h"
#include "WorkerEvents.h"

namespace campaign {

namespace {

constexpr DWORD kSettleTimeoutMs = 30000;
constexpr long long kHandleSlack = 2;

}  // namespace

ScenarioResult RunLifecycleSoak(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "lifecycle soak";
  result.verdict = Verdict::Pass;
  result.lost = "none";
  result.faults = "none";
  const int cycles = scale.Pick(50, 5);
  const int warmUp = scale.Pick(3, 1);
  result.load = std::to_string(cycles) + " cycles start/signal/stop via SCM, sample plug-ins on";

  // "Does not grow" means something only from a probe that sees handles come.
  const HandleProbeCalibration probe = CalibrateHandleProbe();
  result.Figure("soak-handle-probe", probe.Describe());
  if (!probe.failure.empty()) {
    result.Fail(probe.failure);
    return result;
  }

  InstalledService service;
  if (!service.ready()) {
    result.Fail("setup: " + service.setupError());
    return result;
  }

  std::vector<long long> handles;
  double maxStartMs = 0, maxStopMs = 0;
  int done = 0, watchdogNotZero = 0, leftover = 0, slowStops = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    const std::string at = "cycle " + std::to_string(cycle) + ": ";
    double startMs = 0;
    std::string why;
    if (!service.StartAndAwaitAnnouncement(&why, &startMs)) {
      result.Fail(at + why);
      break;
    }
    maxStartMs = std::max(maxStartMs, startMs);
    WorkerLog log(service.pid());
    if (!log.Settle(kSettleTimeoutMs, &why)) {
      result.Fail(at + why);
      break;
    }
    const long long count = ProcessHandleCount(service.pid());
    handles.push_back(count);

    const InstalledService::StopOutcome stop = service.Stop();
    maxStopMs = std::max(maxStopMs, stop.ms);
    const std::string stopProblem = stop.Problem();
    if (!stopProblem.empty()) {
      result.Fail(at + stopProblem);
      if (!stop.stopped) break;
      ++slowStops;
    }
    const long long watchdog = InstalledService::WatchdogFlag();
    if (watchdog != 0) {
      ++watchdogNotZero;
      result.Fail(at + "watchdog flag " + std::to_string(watchdog) + " after the stop");
    }
    DWORD exitCode = 0;
    if (!service.WaitForExit(InstalledService::kExitTimeoutMs, &exitCode)) {
      result.Fail(at + "the service's process still runs " + std::to_string(InstalledService::kExitTimeoutMs) +
                  " ms after STOPPED");
      service.EndProcess();
    } else if (exitCode != 0) {
      result.Fail(at + "the service's process ended with exit code " + std::to_string(exitCode));
    }
    const size_t left = ProcessesNamed(InstalledService::kProgram).size();
    if (left != 0) {
      leftover += static_cast<int>(left);
      result.Fail(at + std::to_string(left) + " SentrelSrv.exe process(es) left after the stop");
    }
    if (count < 0) {
      result.Fail(at + "the handle count could not be read");
      break;
    }
    done = cycle;
  }

  // Growth is judged from the first cycle after the warm-up on.
  long long first = handles.empty() ? -1 : handles.front();
  long long last = handles.empty() ? -1 : handles.back();
  long long most = handles.empty() ? -1 : *std::max_element(handles.begin(), handles.end());
  long long baseline = -1, mostAfterWarmUp = -1;
  if (static_cast<int>(handles.size()) > warmUp) {
    baseline = handles[static_cast<size_t>(warmUp)];
    mostAfterWarmUp = *std::max_element(handles.begin() + warmUp, handles.end());
    if (mostAfterWarmUp > baseline + kHandleSlack) {
      const auto grown = std::find_if(handles.begin() + warmUp, handles.end(),
                                      [&](long long h) { return h > baseline + kHandleSlack; });
      result.Fail("handle count grew: " + std::to_string(*grown) + " at cycle " +
                  std::to_string(grown - handles.begin() + 1) + " against " + std::to_string(baseline) + " at cycle " +
                  std::to_string(warmUp + 1));
    }
  }
  std::string series;
  for (size_t i = 0; i < handles.size(); ++i) series += (i == 0 ? "" : " ") + std::to_string(handles[i]);

  result.Figure("soak-cycles", done);
  result.Figure("soak-max-start-ms", InstalledService::Milliseconds(maxStartMs));
  result.Figure("soak-max-stop-ms", InstalledService::Milliseconds(maxStopMs));
  result.Figure("soak-stops-over-6s", slowStops);
  result.Figure("soak-handles-first", first);
  result.Figure("soak-handles-last", last);
  result.Figure("soak-handles-max", most);
  result.Figure("soak-handles-baseline", std::to_string(baseline) + " (cycle " + std::to_string(warmUp + 1) +
                                             ", after " + std::to_string(warmUp) +
                                             " warm-up cycle(s); later cycles may hold at most " +
                                             std::to_string(kHandleSlack) + " more)");
  result.Figure("soak-handles-per-cycle", series);
  result.Figure("soak-watchdog-not-zero", watchdogNotZero);
  result.Figure("soak-leftover-processes", leftover);
  result.Figure("soak-status-packets", static_cast<long long>(service.StatusPackets()));
  result.result = std::to_string(done) + "/" + std::to_string(cycles) + " cycles, max stop " +
                  InstalledService::Milliseconds(maxStopMs) + " ms, handles " + std::to_string(first) + ".." +
                  std::to_string(last) + " (max " + std::to_string(most) + "), watchdog 0 after " +
                  std::to_string(done - watchdogNotZero) + ", " + std::to_string(leftover) + " left over";
  return result;
}

}  // namespace campaign
