#include "Scenario.h"

namespace campaign {

ScenarioResult RunEventStorm(const ScenarioScale&) {
  ScenarioResult result;
  result.Fail("not built yet");
  return result;
}

}  // namespace campaign
