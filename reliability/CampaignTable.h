// The campaign's table: one row per scenario, columns scenario, load, faults injected,
// result, anything lost. Plain text, columns padded to their widest cell.
#pragma once

#include <string>
#include <vector>

#include "Scenario.h"

namespace campaign {

// "pass", "known limit", "FAIL".
const char* VerdictText(Verdict verdict);
// The table of `results`, then for each result that is not a pass its limit or detail.
std::string FormatTable(const std::vector<ScenarioResult>& results);
// The "figure <name>: <value>" lines of every result, in order.
std::string FormatFigures(const std::vector<ScenarioResult>& results);

}  // namespace campaign
