#include <gtest/gtest.h>

#include <string>

#include "common/TextConversion.h"

TEST(TextConversion, ConversionsStopAtEmbeddedNul) {
  EXPECT_EQ(WideToAnsi(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(AnsiToWide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(MultiByteToWide(std::string("x\0y", 3), CP_UTF8), L"x");
  EXPECT_EQ(WideToAnsi(L""), "");
  EXPECT_EQ(AnsiToWide(""), L"");
}

TEST(TextConversion, Utf8EuroSignIsOneCharacter) {
  EXPECT_EQ(MultiByteToWide("\xE2\x82\xAC", 65001), std::wstring(1, wchar_t(0x20AC)));
}

TEST(TextConversion, SeparatorStep) {
  struct Case {
    const wchar_t* path;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"C:", L"C:"},           {L"C:\\Data", L"C:\\Data\\"}, {L"", L""},
      {L"C:\\", L"C:\\"},       {L"dir/", L"dir/\\"},         {L"D:Plugins", L"D:Plugins\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(AddTrailingBackslash(c.path, true), c.expected) << c.path;
  EXPECT_EQ(AddTrailingBackslash(L"C:", false), L"C:\\");
  EXPECT_EQ(RemoveTrailingBackslash(L"C:\\Data\\"), L"C:\\Data");
  EXPECT_EQ(RemoveTrailingBackslash(L"C:\\Data"), L"C:\\Data");
  EXPECT_EQ(RemoveTrailingBackslash(L""), L"");
}
