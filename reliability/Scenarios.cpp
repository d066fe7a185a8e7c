#include "Scenario.h"

namespace campaign {

const std::vector<ScenarioEntry>& Scenarios() {
  static const std::vector<ScenarioEntry> scenarios = {
      {1, "lifecycle soak", &RunLifecycleSoak},
      {2, "event storm", &RunEventStorm},
      {3, "hung plug-in", &RunHungPlugin},
      {4, "dying writer", &RunDyingWriter},
      {5, "hostile queue contents", &RunHostileQueue},
      {6, "squatted names", &RunSquattedNames},
      {7, "malformed input", &RunMalformedInput},
      {8, "bad settings", &RunBadSettings},
      {9, "log under pressure", &RunLogPressure},
  };
  return scenarios;
}

}  // namespace campaign
