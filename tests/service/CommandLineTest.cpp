#include <gtest/gtest.h>

#include "service/CommandLine.h"

TEST(CommandLine, FirstArgumentChoosesTheRoad) {
  struct Case {
    const wchar_t* argument;  // null: no argument
    Road road;
  };
  const Case cases[] = {
      {nullptr, Road::Service},          {L"debug", Road::Service},
      {L"/regserver", Road::RegServer},  {L"/RegServer2", Road::Usage},
      {L"/UNREGSERVER", Road::UnregServer}, {L"/Debug", Road::Debug},
      {L"/DEBUG", Road::Debug},          {L"/debugx", Road::Usage},
      {L"/", Road::Usage},
  };
  for (const auto& c : cases) {
    const wchar_t* argv[] = {L"SentrelSrv.exe", c.argument, L"/RegServer"};
    const int argc = c.argument == nullptr ? 1 : 3;  // a second argument is ignored
    EXPECT_EQ(ChooseRoad(argc, argv), c.road) << (c.argument ? c.argument : L"(none)");
  }
}
