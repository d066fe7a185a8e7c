// One scenario of the reliability campaign: the whole service (or one of its doors)
// under load, faults or bad input, bounded in count and time, cleaning up after itself.
//
// Each scenario runs in a full form (the campaign, scripts/campaign) and a short form
// (the normal test suite). It reports one row of the campaign's table and its figures.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace campaign {

struct ScenarioScale {
  bool shortForm = false;
  // Picks the count for the form in use.
  int Pick(int full, int shortCount) const { return shortForm ? shortCount : full; }
};

enum class Verdict {
  Pass,        // every promise held
  KnownLimit,  // a loss or hang the system's own texts describe as intended, named in `limit`
  Fail,        // a promise broken; `detail` says which
};

struct ScenarioResult {
  int number = 0;
  std::string name;    // e.g. "lifecycle soak"
  std::string load;    // what was done, e.g. "50 cycles start/signal/stop"
  std::string faults;  // what was injected, or "none"
  Verdict verdict = Verdict::Fail;
  std::string result;  // the outcome in a few words, e.g. "all stops <= 6 s, max 1.2 s"
  std::string lost;    // what was lost, e.g. "0 items", "none"
  std::string limit;   // the known limit, when the verdict says so
  std::string detail;  // why it failed, when it did
  // "figure <name>: <value>" lines of this scenario, in order.
  std::vector<std::pair<std::string, std::string>> figures;

  void Figure(const std::string& figureName, const std::string& value) { figures.emplace_back(figureName, value); }
  void Figure(const std::string& figureName, long long value) { Figure(figureName, std::to_string(value)); }
  // Marks the result failed with `why` (the first failure is kept).
  void Fail(const std::string& why) {
    if (verdict != Verdict::Fail || detail.empty()) detail = why;
    verdict = Verdict::Fail;
  }
};

using ScenarioFunction = ScenarioResult (*)(const ScenarioScale& scale);

struct ScenarioEntry {
  int number;
  const char* name;
  ScenarioFunction run;
};

// The campaign's scenarios, in their order.
const std::vector<ScenarioEntry>& Scenarios();

// The scenarios themselves, one file each.
ScenarioResult RunLifecycleSoak(const ScenarioScale& scale);     // 1
ScenarioResult RunEventStorm(const ScenarioScale& scale);        // 2
ScenarioResult RunHungPlugin(const ScenarioScale& scale);        // 3
ScenarioResult RunDyingWriter(const ScenarioScale& scale);       // 4
ScenarioResult RunHostileQueue(const ScenarioScale& scale);      // 5
ScenarioResult RunSquattedNames(const ScenarioScale& scale);     // 6
ScenarioResult RunMalformedInput(const ScenarioScale& scale);    // 7
ScenarioResult RunBadSettings(const ScenarioScale& scale);       // 8
ScenarioResult RunLogPressure(const ScenarioScale& scale);       // 9

}  // namespace campaign
