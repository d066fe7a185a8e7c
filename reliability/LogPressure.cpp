#include "Scenario.h"

namespace campaign {

ScenarioResult RunLogPressure(const ScenarioScale&) {
  ScenarioResult result;
  result.Fail("not built yet");
  return result;
}

}  // namespace campaign
