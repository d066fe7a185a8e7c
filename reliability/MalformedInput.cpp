#include "Scenario.h"

namespace campaign {

ScenarioResult RunMalformedInput(const ScenarioScale&) {
  ScenarioResult result;
  result.Fail("not built yet");
  return result;
}

}  // namespace campaign
