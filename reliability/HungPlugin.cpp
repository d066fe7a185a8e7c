#include "Scenario.h"

namespace campaign {

ScenarioResult RunHungPlugin(const ScenarioScale&) {
  ScenarioResult result;
  result.Fail("not built yet");
  return result;
}

}  // namespace campaign
