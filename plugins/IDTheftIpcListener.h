// The identity-theft response listener: takes the user's responses to the identity-theft
// filter's prompts from a typed queue (items of type 8) and hands each one to the
// plug-in's user-response entry (ExFilterDriver::IDTheft::GetUserResponseEntry).
//
// The one instance is process-wide (ExFilterDriver::IDTheft::GetIpcListener) and is
// closed by the identity-theft stop. Which queue it serves, and when, is up to the
// caller (SMIPCPManager::Create); this service never opens it.
#pragma once

#include <vector>

#include "ipc/SMIPCPManager.h"

namespace ExFilterDriver {
namespace IDTheft {

class IpcListener : public SMIPCPManager {
 public:
  IpcListener() = default;
  ~IpcListener() override;

  // Handles the items in list order: an invalid item ends the delivery, an item of
  // another type is logged and skipped, a user response is logged and passed on.
  void OnNewData(std::vector<const TypedItemHeader*> items) override;
};

}  // namespace IDTheft
}  // namespace ExFilterDriver
