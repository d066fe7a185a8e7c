#include "CampaignTable.h"

#include <algorithm>
#include <sstream>

namespace campaign {

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass: return "pass";
    case Verdict::KnownLimit: return "known limit";
    case Verdict::Fail: return "FAIL";
  }
  return "FAIL";
}

std::string FormatTable(const std::vector<ScenarioResult>& results) {
  std::vector<std::vector<std::string>> rows = {{"#", "scenario", "load", "faults injected", "verdict", "result",
                                                 "lost"}};
  for (const ScenarioResult& r : results) {
    rows.push_back({std::to_string(r.number), r.name, r.load, r.faults, VerdictText(r.verdict), r.result, r.lost});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::ostringstream out;
  auto line = [&](const std::vector<std::string>& row) {
    out << "|";
    for (size_t c = 0; c < row.size(); ++c) out << " " << row[c] << std::string(widths[c] - row[c].size(), ' ') << " |";
    out << "\n";
  };
  line(rows[0]);
  out << "|";
  for (size_t width : widths) out << std::string(width + 2, '-') << "|";
  out << "\n";
  for (size_t i = 1; i < rows.size(); ++i) line(rows[i]);
  for (const ScenarioResult& r : results) {
    if (r.verdict == Verdict::KnownLimit) out << "scenario " << r.number << " known limit: " << r.limit << "\n";
    if (r.verdict == Verdict::Fail) out << "scenario " << r.number << " FAILED: " << r.detail << "\n";
  }
  return out.str();
}

std::string FormatFigures(const std::vector<ScenarioResult>& results) {
  std::ostringstream out;
  for (const ScenarioResult& r : results) {
    for (const auto& figure : r.figures) out << "figure " << figure.first << ": " << figure.second << "\n";
  }
  return out.str();
}

}  // namespace campaign
