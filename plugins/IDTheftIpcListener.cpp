#include "plugins/IDTheftIpcListener.h"

#include "log/Logger.h"
#include "plugins/PluginHost.h"
#include "plugins/UserResponse.h"

namespace ExFilterDriver {
namespace IDTheft {

// The listener thread calls OnNewData, so it must end before this object stops being
// an IpcListener.
IpcListener::~IpcListener() { Close(); }

void IpcListener::OnNewData(std::vector<const TypedItemHeader*> items) {
  Logger& log = Logger::Instance();
  for (size_t i = 0; i < items.size(); ++i) {
    const TypedItemHeader* item = GetItemProperties(items[i]);
    if (item == nullptr) {
      log.Log(LogLevel::Error, L"ExFilterDriver::OnNewData : empty Property.");
      break;
    }
    if (item->type != ITYPE_IDTHEFTEVENTMGR_NOTIFY_USER_RESPONSE) {
      log.Log(LogLevel::Error, L"ExFilterDriver::OnNewData - Invalid command %d", static_cast<int>(item->type));
      continue;
    }
    log.Log(LogLevel::Always, L"ExFilterDriver::OnNewData - ITYPE_IDTHEFTEVENTMGR_NOTIFY_USER_RESPONSE");
    UserResponse response;
    if (!DecodeUserResponse(GetItemData(item), item->size, &response)) {
      log.Log(LogLevel::Error, L"ExFilterDriver::OnNewData - user response too short (%d bytes).",
              static_cast<int>(item->size));
      continue;
    }
    log.Log(LogLevel::Always, L"IDTheft_EventManagerSetUserResponse user response : rule %s , block %d , modify %d",
            RuleForLog(response.rule).c_str(), static_cast<int>(response.block),
            static_cast<int>(response.modify));
    const UserResponseEntry entry = GetUserResponseEntry();
    if (entry != nullptr) entry(response.block, response.modify, response.rule);
  }
  items.clear();
  items.shrink_to_fit();
}

}  // namespace IDTheft
}  // namespace ExFilterDriver
