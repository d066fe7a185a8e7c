// The queue's byte layout, with plain bytes: header, item encoding, room check, and
// the drain walk over a private copy (fuzzed against a guard page).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <random>
#include <vector>

#include "ipc/QueueLayout.h"
#include "support/GuardPageBuffer.h"

namespace {

using QueueLayout::ItemKind;
using QueueLayout::WalkStatus;

uint64_t U64At(const std::vector<unsigned char>& bytes, size_t offset) {
  uint64_t value = 0;
  std::memcpy(&value, bytes.data() + offset, 8);
  return value;
}

std::vector<unsigned char> EmptyQueue(size_t size) {
  std::vector<unsigned char> mapping(size, 0xCC);
  QueueLayout::ResetHeader(mapping.data());
  return mapping;
}

bool AppendChannel(std::vector<unsigned char>& mapping, const std::wstring& channel, const std::string& payload) {
  const QueueItemHeader header = QueueLayout::MakeChannelItemHeader(channel, payload.size());
  return QueueLayout::AppendItem(mapping.data(), mapping.size(), &header, sizeof(header), payload.data(),
                                 payload.size());
}

TEST(QueueLayout, ItemBytesAreLaidOutAsSharedWithThePeers) {
  std::vector<unsigned char> mapping = EmptyQueue(512);
  ASSERT_TRUE(AppendChannel(mapping, L"AB", "xyz"));
  ASSERT_TRUE(AppendChannel(mapping, L"C", "0123456789"));

  EXPECT_EQ(2u, U64At(mapping, 0));
  EXPECT_EQ(16u + 84 + 3 + 84 + 10, U64At(mapping, 8));
  const unsigned char flag[] = {0xEE, 0xFF, 0xCD, 0xAB};
  EXPECT_EQ(0, std::memcmp(mapping.data() + 16, flag, 4));
  const unsigned char channel[] = {'A', 0, 'B', 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(mapping.data() + 16 + 4, channel, sizeof(channel)));
  for (size_t i = 16 + 4 + 6; i < 16 + 76; ++i) EXPECT_EQ(0, mapping[i]) << "channel field byte " << i;
  EXPECT_EQ(3u, U64At(mapping, 16 + 76));
  EXPECT_EQ(0, std::memcmp(mapping.data() + 16 + 84, "xyz", 3));
  const size_t second = 16 + 84 + 3;
  EXPECT_EQ(0, std::memcmp(mapping.data() + second, flag, 4));
  EXPECT_EQ(10u, U64At(mapping, second + 76));
  EXPECT_EQ(0, std::memcmp(mapping.data() + second + 84, "0123456789", 10));
  EXPECT_EQ(0xCC, mapping[second + 84 + 10]) << "nothing written behind the last item";
}

TEST(QueueLayout, ChannelFieldKeepsAtMost35CharactersAndANul) {
  const std::wstring id36 = L"91C2257D-77FF-463A-8E40-1CE2B0D3B840";
  ASSERT_EQ(36u, id36.size());
  const QueueItemHeader header = QueueLayout::MakeChannelItemHeader(id36, 1);
  EXPECT_EQ(L"91C2257D-77FF-463A-8E40-1CE2B0D3B84", QueueLayout::ChannelOf(header));
  wchar_t field[36];
  std::memcpy(field, header.channel, sizeof(field));
  EXPECT_EQ(L'\0', field[35]);
  EXPECT_EQ(L"short", QueueLayout::ChannelOf(QueueLayout::MakeChannelItemHeader(L"short", 1)));
}

TEST(QueueLayout, RoomCheckSparesTheLastTwoBytes) {
  struct Case {
    uint64_t next, itemBytes, mappingSize;
    bool room;
  } cases[] = {
      {16, 84 + 20378, 20480, true},           // exactly up to mapping size - 2
      {16, 84 + 20379, 20480, false},          // one byte more
      {20478, 0, 20480, true},
      {20478, 1, 20480, false},
      {15, 84, 20480, false},                  // next offset inside the header: corrupted
      {20479, 0, 20480, false},                // next offset past the writable part
      {UINT64_MAX - 10, 84, 20480, false},     // no wrap-around
      {16, UINT64_MAX, 20480, false},
      {16, 0, 17, false},                      // mapping too small for any item
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.room, QueueLayout::HasRoom(c.next, c.itemBytes, c.mappingSize))
        << c.next << " + " << c.itemBytes << " in " << c.mappingSize;
}

TEST(QueueLayout, AppendWithoutRoomLeavesTheMappingUntouched) {
  std::vector<unsigned char> mapping = EmptyQueue(20480);
  const std::vector<unsigned char> before = mapping;
  EXPECT_FALSE(AppendChannel(mapping, L"c", std::string(20379, 'x')));
  EXPECT_EQ(before, mapping);
  EXPECT_TRUE(AppendChannel(mapping, L"c", std::string(20378, 'x')));
  EXPECT_EQ(20478u, U64At(mapping, 8));
}

TEST(QueueLayout, WalkReturnsItemsInWrittenOrder) {
  std::vector<unsigned char> mapping = EmptyQueue(1024);
  ASSERT_TRUE(AppendChannel(mapping, L"a", "first"));
  ASSERT_TRUE(AppendChannel(mapping, L"b", "second"));
  ASSERT_TRUE(AppendChannel(mapping, L"c", "third!"));
  const auto walk = QueueLayout::WalkItems(ItemKind::Channel, mapping.data(), mapping.size());
  ASSERT_EQ(WalkStatus::Ok, walk.status);
  ASSERT_EQ(3u, walk.items.size());
  const char* expected[] = {"first", "second", "third!"};
  for (size_t i = 0; i < 3; ++i) {
    const auto* header = reinterpret_cast<const QueueItemHeader*>(walk.items[i]);
    EXPECT_EQ(std::string(expected[i]),
              std::string(reinterpret_cast<const char*>(walk.items[i] + 84), static_cast<size_t>(header->size)));
  }
}

TEST(QueueLayout, WalkRefusesBrokenItemsAndDropsTheWholeDrain) {
  struct Case {
    const char* what;
    size_t offsetInSecondItem;  // where to poke, from the second item's start
    uint64_t value;
    int width;
    WalkStatus expected;
  } cases[] = {
      {"size 0", 76, 0, 8, WalkStatus::InvalidSize},
      {"wrong flag", 0, 0x12345678, 4, WalkStatus::InvalidFlag},
      {"payload past the copy", 76, 1000, 8, WalkStatus::InvalidSize},
      {"huge size", 76, UINT64_MAX - 50, 8, WalkStatus::InvalidSize},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> mapping = EmptyQueue(400);
    ASSERT_TRUE(AppendChannel(mapping, L"a", "one"));
    ASSERT_TRUE(AppendChannel(mapping, L"b", "two"));
    std::memcpy(mapping.data() + 16 + 84 + 3 + c.offsetInSecondItem, &c.value, c.width);
    const auto walk = QueueLayout::WalkItems(ItemKind::Channel, mapping.data(), mapping.size());
    EXPECT_EQ(c.expected, walk.status) << c.what;
    EXPECT_TRUE(walk.items.empty()) << c.what;
  }
  // A count that claims more items than were written runs into the unwritten bytes.
  std::vector<unsigned char> mapping = EmptyQueue(400);
  ASSERT_TRUE(AppendChannel(mapping, L"a", "one"));
  QueueLayout::WriteHeader(mapping.data(), {UINT64_MAX, 16});
  EXPECT_NE(WalkStatus::Ok, QueueLayout::WalkItems(ItemKind::Channel, mapping.data(), mapping.size()).status);
}

// A writer killed after it raised the count, before its item was whole: the count claims
// one item more than the next offset covers. Behind the last whole item lies an old item
// of an earlier drain, whole and of the same length; the walk must not deliver it again.
TEST(QueueLayout, WalkStopsAtTheNextOffsetWhenTheCountClaimsMore) {
  for (ItemKind kind : {ItemKind::Channel, ItemKind::Typed}) {
    std::vector<unsigned char> mapping = EmptyQueue(600);
    auto append = [&](const std::string& payload) {
      if (kind == ItemKind::Typed) {
        const TypedItemHeader header = QueueLayout::MakeTypedItemHeader(1, payload.size(), 1);
        return QueueLayout::AppendItem(mapping.data(), mapping.size(), &header, 20, payload.data(), payload.size());
      }
      return AppendChannel(mapping, L"w", payload);
    };
    ASSERT_TRUE(append("old1"));
    ASSERT_TRUE(append("old2"));
    QueueLayout::ResetHeader(mapping.data());  // drained
    ASSERT_TRUE(append("new1"));
    QueueLayout::QueueHeader header = QueueLayout::ReadHeader(mapping.data());
    ASSERT_EQ(1u, header.itemCount);
    header.itemCount = 2;
    QueueLayout::WriteHeader(mapping.data(), header);
    const auto walk = QueueLayout::WalkItems(kind, mapping.data(), mapping.size());
    EXPECT_EQ(WalkStatus::InvalidSize, walk.status);
    EXPECT_TRUE(walk.items.empty());
  }
}

TEST(QueueLayout, TypedWalkOnlyChecksBounds) {
  std::vector<unsigned char> mapping = EmptyQueue(300);
  const TypedItemHeader good = QueueLayout::MakeTypedItemHeader(8, 4, 77);
  const TypedItemHeader badType = QueueLayout::MakeTypedItemHeader(9, 2, 77);
  ASSERT_TRUE(QueueLayout::AppendItem(mapping.data(), mapping.size(), &good, 20, "rule", 4));
  ASSERT_TRUE(QueueLayout::AppendItem(mapping.data(), mapping.size(), &badType, 20, "xy", 2));
  auto walk = QueueLayout::WalkItems(ItemKind::Typed, mapping.data(), mapping.size());
  ASSERT_EQ(WalkStatus::Ok, walk.status);
  ASSERT_EQ(2u, walk.items.size());
  EXPECT_EQ(9u, reinterpret_cast<const TypedItemHeader*>(walk.items[1])->type);
  EXPECT_EQ(77u, reinterpret_cast<const TypedItemHeader*>(walk.items[0])->writerProcessId);

  const uint64_t tooBig = 300;
  std::memcpy(mapping.data() + 16 + 8, &tooBig, 8);
  walk = QueueLayout::WalkItems(ItemKind::Typed, mapping.data(), mapping.size());
  EXPECT_EQ(WalkStatus::InvalidSize, walk.status);
  EXPECT_TRUE(walk.items.empty());
}

// Mapping images written by hostile or broken peers: the walk over a private copy that
// ends right before an inaccessible page must never read past it, and every item it
// returns must lie wholly inside the copy.
TEST(QueueLayout, FuzzedImagesNeverReadPastThePrivateCopy) {
  std::mt19937_64 random(20480);
  size_t walksWithItems = 0;
  size_t walksRefused = 0;
  const int kRounds = 6000;
  for (int round = 0; round < kRounds; ++round) {
    const ItemKind kind = (round % 3 == 2) ? ItemKind::Typed : ItemKind::Channel;
    const size_t size = (round % 10 == 0) ? static_cast<size_t>(random() % 120) : 200 + static_cast<size_t>(random() % 3000);
    std::vector<unsigned char> image(std::max<size_t>(size, 16), 0);
    QueueLayout::ResetHeader(image.data());
    // A plausible queue first, then damage.
    for (int n = 0; n < 12; ++n) {
      const std::string payload(1 + random() % 200, static_cast<char>('a' + n));
      if (kind == ItemKind::Channel) {
        const QueueItemHeader header = QueueLayout::MakeChannelItemHeader(L"fuzz", payload.size());
        QueueLayout::AppendItem(image.data(), image.size(), &header, 84, payload.data(), payload.size());
      } else {
        const TypedItemHeader header = QueueLayout::MakeTypedItemHeader(1 + n % 8, payload.size(), 1);
        QueueLayout::AppendItem(image.data(), image.size(), &header, 20, payload.data(), payload.size());
      }
    }
    const int mutations = 1 + static_cast<int>(random() % 6);
    for (int m = 0; m < mutations && image.size() >= 8; ++m) {
      const size_t at = random() % (image.size() - 7);
      switch (random() % 4) {
        case 0: image[at] = static_cast<unsigned char>(random()); break;
        case 1: {  // a large 64-bit value, as a size or count field might hold
          const uint64_t value = random() >> (random() % 64);
          std::memcpy(image.data() + at, &value, 8);
          break;
        }
        case 2: {  // the item count
          const uint64_t value = random() % 2 ? random() : random() % 64;
          std::memcpy(image.data(), &value, 8);
          break;
        }
        default: {  // a small size field somewhere
          const uint64_t value = random() % 400;
          std::memcpy(image.data() + at, &value, 8);
          break;
        }
      }
    }
    test_support::GuardPageBuffer copy(size);
    ASSERT_TRUE(copy.valid());
    std::memcpy(copy.data(), image.data(), size);
    const auto walk = QueueLayout::WalkItems(kind, copy.data(), size);
    const unsigned char* end = copy.data() + size;
    const uint64_t headerSize = QueueLayout::ItemHeaderSize(kind);
    for (const unsigned char* item : walk.items) {
      ASSERT_GE(item, copy.data() + 16);
      ASSERT_LE(headerSize, static_cast<uint64_t>(end - item));
      uint64_t itemSize = 0;
      std::memcpy(&itemSize, item + (kind == ItemKind::Channel ? 76 : 8), 8);
      ASSERT_LE(itemSize, static_cast<uint64_t>(end - item) - headerSize);
    }
    if (walk.status != WalkStatus::Ok) ++walksRefused;
    else if (!walk.items.empty()) ++walksWithItems;
  }
  // Both roads were taken many times.
  EXPECT_GT(walksWithItems, 100u);
  EXPECT_GT(walksRefused, 100u);
}

TEST(QueueLayout, GuardPageFaultsRightBehindTheBuffer) {
  test_support::GuardPageBuffer buffer(100);
  ASSERT_TRUE(buffer.valid());
  EXPECT_FALSE(::IsBadReadPtr(buffer.data(), 100));
  EXPECT_TRUE(::IsBadReadPtr(buffer.data() + 100, 1));
}

}  // namespace
