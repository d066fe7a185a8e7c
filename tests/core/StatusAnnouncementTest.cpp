#include <gtest/gtest.h>

#include "core/StatusAnnouncement.h"

TEST(StatusAnnouncement, PacketTextIsTheServiceStatus) {
  SentrelServicePacket packet;
  // 2^32 + 5 seconds: only the low 32 bits travel; 0xFFFFFFFF travels as -1.
  BuildServiceStatusPacket(packet, 0x100000005LL);
  EXPECT_EQ(packet.GetJDocument(),
            "{\"type\":\"ServiceType\",\"subtype\":\"SubTypeServiceStatus\","
            "\"channelid\":\"91C2257D-77FF-463A-8E40-1CE2B0D3B840\",\"keyvallist\":["
            "{\"key\":\"CreationTime\",\"value\":\"5\"},{\"key\":\"Priority\",\"value\":\"high\"},"
            "{\"key\":\"Service\",\"value\":\"start\"}]}");
  SentrelServicePacket negative;
  BuildServiceStatusPacket(negative, 0xFFFFFFFFLL);
  EXPECT_EQ(negative.GetValue("CreationTime"), "-1");
}
