// SentrelCampaign.exe: the reliability campaign against the built service.
//
//   SentrelCampaign.exe [--short] [--only N[,N...]]
//
// Runs the scenarios (all, or those named) and prints one table (scenario, load, faults
// injected, verdict, result, anything lost) and the figure lines of every scenario.
// Exit code 0 when no scenario failed (a known limit is not a failure), 1 otherwise.
// Scenarios that need helper processes start this program again with "--child=<name>";
// the helpers end when the campaign ends.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "CampaignTable.h"
#include "Scenario.h"
#include "support/ChildProcess.h"
#include "support/ParentLifeline.h"

namespace {

std::set<int> ParseNumbers(const std::wstring& list) {
  std::set<int> numbers;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = list.find(L',', start);
    const std::wstring item = list.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
    if (!item.empty()) numbers.insert(std::stoi(item));
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  return numbers;
}

}  // namespace

int main() {
  int childExit = 0;
  if (test_support::RunChildIfRequested(&childExit)) return childExit;
  // Helpers end with the campaign, even when it is killed.
  test_support::HandLifelineToChildren();

  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  campaign::ScenarioScale scale;
  std::set<int> only;
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--short") {
      scale.shortForm = true;
    } else if (arg == L"--only" && i + 1 < argc) {
      only = ParseNumbers(argv[++i]);
    } else {
      std::printf("usage: SentrelCampaign.exe [--short] [--only N[,N...]]\n");
      return 2;
    }
  }

  std::vector<campaign::ScenarioResult> results;
  for (const campaign::ScenarioEntry& entry : campaign::Scenarios()) {
    if (!only.empty() && only.count(entry.number) == 0) continue;
    std::printf("== scenario %d: %s\n", entry.number, entry.name);
    std::fflush(stdout);
    const ULONGLONG started = ::GetTickCount64();
    campaign::ScenarioResult result = entry.run(scale);
    result.number = entry.number;
    if (result.name.empty()) result.name = entry.name;
    std::printf("   %s in %.1f s\n", campaign::VerdictText(result.verdict), (::GetTickCount64() - started) / 1000.0);
    std::fflush(stdout);
    results.push_back(result);
  }
  std::printf("\n%s\n%s", campaign::FormatTable(results).c_str(), campaign::FormatFigures(results).c_str());
  bool failed = false;
  for (const auto& result : results) failed = failed || result.verdict == campaign::Verdict::Fail;
  return failed ? 1 : 0;
}
