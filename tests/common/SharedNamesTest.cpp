#include "ipc/SharedNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <iterator>

namespace {

// 36 characters: upper-case hexadecimal in groups of 8, 4, 4, 4 and 12, no braces.
template <typename Char>
bool IsChannelId(const Char* id) {
  const std::basic_string<Char> text(id);
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const Char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

TEST(SharedNames, ChannelIdentifiersAreWellFormed) {
  EXPECT_TRUE(IsChannelId(SharedNames::kServiceStatusChannelId));
  EXPECT_TRUE(IsChannelId(SharedNames::kServiceStatusChannelIdW));
  for (const wchar_t* id : SharedNames::kChannelIdsW) EXPECT_TRUE(IsChannelId(id)) << id;
  for (const char* id : SharedNames::kChannelIds) EXPECT_TRUE(IsChannelId(id)) << id;
  EXPECT_EQ(std::size(SharedNames::kChannelIdsW) + 1, 12u);  // with the status one
  EXPECT_EQ(std::size(SharedNames::kChannelIds) + 1, 4u);
  // Two of the listed identifiers exist in both forms with the same text.
  EXPECT_EQ(std::wstring(SharedNames::kChannelIdsW[0]), L"C5E658D8-6595-4E09-9D21-F382D7725E8A");
  EXPECT_EQ(std::string(SharedNames::kChannelIds[0]), "C5E658D8-6595-4E09-9D21-F382D7725E8A");
}

TEST(SharedNames, TextsPeersRelyOn) {
  EXPECT_STREQ(SharedNames::kSchedulerChangedEvent, L"Global\\SCHEDULAR_CHANGED_EVENT");
  EXPECT_STREQ(SharedNames::kPacketScannedFolderLable, "ScannedFolderLable");
  EXPECT_STREQ(SharedNames::kIdentitiesChangedEvent, L"Global\\IdentitiesChanged");
  EXPECT_EQ(std::size(SharedNames::kPacketVocabulary), 60u);
  // 127 user actions and the one empty name, each text once.
  ASSERT_EQ(std::size(SharedNames::kUserActionNames), 128u);
  EXPECT_STREQ(SharedNames::kUserActionNames[127], L"");
  for (size_t i = 0; i < 128; ++i) {
    for (size_t j = i + 1; j < 128; ++j) {
      EXPECT_STRNE(SharedNames::kUserActionNames[i], SharedNames::kUserActionNames[j]);
    }
  }
}

}  // namespace
