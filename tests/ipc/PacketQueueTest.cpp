// Generic packets written to a real queue with WriteOnce.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "CollectingChannel.h"
#include "NewLogLines.h"
#include "common/TextConversion.h"
#include "ipc/GenericPacket.h"
#include "ipc/SharedNames.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"

namespace {

using test_support::OwnLogLinesContaining;

SentrelServicePacket StatusPacket() {
  SentrelServicePacket packet;
  packet.SetHeader(SharedNames::kServiceTypePacket, SharedNames::kSubTypeServiceStatus,
                   SharedNames::kServiceStatusChannelId);
  packet.AddKeyValue("CreationTime", 1700000000);
  packet.AddKeyValue(SharedNames::kPriorityKey, SharedNames::kPriorityHigh);
  packet.AddKeyValue("Service", "start");
  return packet;
}

// The payload of a packet item: the JSON text in UTF-16 with its NUL.
std::string Utf16WithNul(const std::string& text) {
  const std::wstring wide = AnsiToWide(text);
  return std::string(reinterpret_cast<const char*>(wide.c_str()), (wide.size() + 1) * 2);
}

void ExpectStatusPacketDelivered(CollectingChannel& server, const SentrelServicePacket& packet) {
  ASSERT_TRUE(server.WaitForItems(1, 10000));
  const auto items = server.Items();
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(L"91C2257D-77FF-463A-8E40-1CE2B0D3B84", items[0].channel);
  EXPECT_EQ(Utf16WithNul(packet.GetJDocument()), items[0].payload);
  // The text read back from the item is the packet again, channel id whole.
  const std::string json = WideToAnsi(std::wstring(reinterpret_cast<const wchar_t*>(items[0].payload.data())));
  GenericPacket read;
  ASSERT_TRUE(read.GetPacket(json));
  EXPECT_EQ("91C2257D-77FF-463A-8E40-1CE2B0D3B840", read.ChannelId());
  EXPECT_EQ("high", read.GetValue("Priority"));
}

}  // namespace

TEST(PacketQueue, WriteOnceDeliversTheStatusPacketAsOneItem) {
  const std::wstring queue = test_support::UniqueName(L"Packet");
  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, 20480));
  const SentrelServicePacket packet = StatusPacket();
  ASSERT_TRUE(packet.WriteOnce(queue, 20480, SharedNames::kServiceStatusChannelIdW));
  ExpectStatusPacketDelivered(server, packet);
}

TEST(PacketQueue, WriteOnceWithoutServerFailsToInitTheClient) {
  const std::wstring queue = test_support::UniqueName(L"NoServer");
  EXPECT_FALSE(StatusPacket().WriteOnce(queue, 20480, SharedNames::kServiceStatusChannelIdW));
  EXPECT_EQ(1u, OwnLogLinesContaining(L"GenericPacket::WriteOnce: Failed to init IPC client : Queue : " + queue + L".").size());
}

TEST(PacketQueue, PacketTooBigForTheQueueIsRefusedAtOnce) {
  const std::wstring queue = test_support::UniqueName(L"BigPacket");
  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, 20480));
  NewLogLines noRoom(L"SMIPCTNG::Write: not enough room to store size");
  NewLogLines retries(L"Out of storage retry attempt");
  GenericPacket packet = StatusPacket();
  packet.AddKeyValue("Filler", std::string(10300, 'f'));  // about 20.8 KB of UTF-16
  EXPECT_FALSE(packet.WriteOnce(queue, 20480, SharedNames::kServiceStatusChannelIdW));
  EXPECT_EQ(1u, OwnLogLinesContaining(L"GenericPacket::WriteOnce: Failed to write IPC data to Queue :" + queue + L".").size());
  EXPECT_EQ(1u, noRoom.count());
  EXPECT_EQ(0u, retries.count());
}

// The control centre's own queue name: runs alone, since the name is machine-wide.
TEST(MachineControlCenterQueue, StatusPacketReachesTheControlCentreQueue) {
  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, SharedNames::kControlCenterHighQueue,
                            SharedNames::kControlCenterQueueSize));
  const SentrelServicePacket packet = StatusPacket();
  ASSERT_TRUE(packet.WriteOnce(SharedNames::kControlCenterHighQueue, SharedNames::kControlCenterQueueSize,
                               SharedNames::kServiceStatusChannelIdW));
  ExpectStatusPacketDelivered(server, packet);
}
