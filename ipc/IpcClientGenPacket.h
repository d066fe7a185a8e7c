// A client of a shared-memory channel that writes generic packets; it receives nothing.
#pragma once

#include <vector>

#include "ipc/SMIPCTNG.h"

class IpcClientGenPacket : public SMIPCTNG {
 public:
  IpcClientGenPacket() = default;
  ~IpcClientGenPacket() override { Close(); }

  void OnNewData(std::vector<const QueueItemHeader*> items) override { items.clear(); }
};
