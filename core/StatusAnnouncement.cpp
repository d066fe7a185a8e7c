#include "core/StatusAnnouncement.h"

#include <ctime>

#include "ipc/SharedNames.h"

void BuildServiceStatusPacket(SentrelServicePacket& packet, std::int64_t nowSeconds) {
  packet.SetHeader(SharedNames::kServiceTypePacket, SharedNames::kSubTypeServiceStatus,
                   SharedNames::kServiceStatusChannelId);
  // The time travels as the signed decimal text of its low 32 bits.
  packet.AddKeyValue("CreationTime", static_cast<std::int32_t>(static_cast<std::uint32_t>(nowSeconds)));
  packet.AddKeyValue(SharedNames::kPriorityKey, SharedNames::kPriorityHigh);
  packet.AddKeyValue("Service", "start");
}

bool AnnounceServiceStart() {
  SentrelServicePacket packet;
  BuildServiceStatusPacket(packet, static_cast<std::int64_t>(std::time(nullptr)));
  return packet.WriteOnce(SharedNames::kControlCenterHighQueue, SharedNames::kControlCenterQueueSize,
                          SharedNames::kServiceStatusChannelIdW);
}
