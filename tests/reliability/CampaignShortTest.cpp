// The short form of each scenario of the reliability campaign (scripts/campaign runs the
// full ones). They use the service's machine-wide names, so they run one at a time.
#include <gtest/gtest.h>

#include "CampaignTable.h"
#include "Scenario.h"
#include "support/ParentLifeline.h"

namespace {

void RunShort(int number) {
  test_support::HandLifelineToChildren();  // helpers end with this test program
  for (const campaign::ScenarioEntry& entry : campaign::Scenarios()) {
    if (entry.number != number) continue;
    campaign::ScenarioScale scale;
    scale.shortForm = true;
    campaign::ScenarioResult result = entry.run(scale);
    result.number = number;
    if (result.name.empty()) result.name = entry.name;
    const std::vector<campaign::ScenarioResult> results = {result};
    EXPECT_NE(campaign::Verdict::Fail, result.verdict) << campaign::FormatTable(results)
                                                       << campaign::FormatFigures(results);
    std::printf("%s%s", campaign::FormatTable(results).c_str(), campaign::FormatFigures(results).c_str());
    return;
  }
  FAIL() << "no scenario " << number;
}

}  // namespace

TEST(MachineCampaignShort, LifecycleSoak) { RunShort(1); }
TEST(MachineCampaignShort, EventStorm) { RunShort(2); }
TEST(MachineCampaignShort, HungPlugin) { RunShort(3); }
TEST(MachineCampaignShort, DyingWriter) { RunShort(4); }
TEST(MachineCampaignShort, HostileQueueContents) { RunShort(5); }
TEST(MachineCampaignShort, SquattedNames) { RunShort(6); }
TEST(MachineCampaignShort, MalformedInput) { RunShort(7); }
TEST(MachineCampaignShort, BadSettings) { RunShort(8); }
TEST(MachineCampaignShort, LogUnderPressure) { RunShort(9); }

TEST(CampaignTable, RowsArePaddedAndFailuresExplained) {
  campaign::ScenarioResult pass;
  pass.number = 1;
  pass.name = "lifecycle soak";
  pass.load = "50 cycles";
  pass.faults = "none";
  pass.verdict = campaign::Verdict::Pass;
  pass.result = "ok";
  pass.lost = "none";
  pass.Figure("soak-cycles", 50);
  campaign::ScenarioResult failed = pass;
  failed.number = 2;
  failed.name = "x";
  failed.Fail("stop took 7 s");
  const std::string table = campaign::FormatTable({pass, failed});
  EXPECT_NE(std::string::npos, table.find("| 1 | lifecycle soak | 50 cycles | none            | pass    |"));
  EXPECT_NE(std::string::npos, table.find("scenario 2 FAILED: stop took 7 s\n"));
  EXPECT_EQ("figure soak-cycles: 50\nfigure soak-cycles: 50\n", campaign::FormatFigures({pass, failed}));
}
