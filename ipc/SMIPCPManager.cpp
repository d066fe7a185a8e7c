#include "ipc/SMIPCPManager.h"

#include <windows.h>

#include "log/Logger.h"

namespace {

const QueueTexts kTypedTexts = {
    L"SMIPCPManager::Create: Channel already created.",
    L"SMIPCPManager::Create: Invalid Type (%d).",
    L"SMIPCPManager::Create: Could not create mutex (%d).",
    L"SMIPCPManager::Create: another server is already listening on this event : %s",
    L"SMIPCPManager::Create: Could not create server running event (%d).",
    L"SMIPCPManager::Create: Could not create NewDataAvailable named event (%d).",
    L"SMIPCPManager::Create: Could not create ForwardToClient event (%d).",
    L"SMIPCPManager::Create: Could not start the listener thread (%d).",
    L"SMIPCPManager::Channel already created.",
    L"SMIPCPManager::Server could not create file mapping for queue name : %s , object (%d).",
    L"SMIPCPManager::Client could not open file mapping for queue name : %s , object (%d).",
    L"SMIPCPManager::Could not map view of file , Queue name : %s (%d).",
    L"SMIPCPManager::Write: invalid data input.",
    L"SMIPCPManager::Could not AcquireLock , err = %d",
    L"SMIPCPManager::Write: Cannot lock Shared memory...",
    L"SMIPCPManager::Write: Shared memory %s is not ready.",
    L"SMIPCPManager::Write: not enough room to store size %d",
    L"SMIPCPManager::Write: Thread ID %d wrote %d bytes",
    L"SMIPCPManager::threadListener terminated.",
    L"SMIPCPManager::Read: Cannot lock Shared memory...",
    L"SMIPCPManager::Read failed.",
    L"SMIPCPManager::Read: Shared memory not ready.",
    L"SMIPCPManager::Read: Item reaches past the queue.",
    L"SMIPCPManager::Read: Invalid Item Flag.",
    L"SMIPCPManager::Read: delivery dropped.",
};

}  // namespace

SMIPCPManager::SMIPCPManager() : endpoint_(kTypedTexts, QueueLayout::ItemKind::Typed, this) {}

SMIPCPManager::~SMIPCPManager() { endpoint_.Close(); }

const TypedItemHeader* SMIPCPManager::GetItemProperties(const TypedItemHeader* item) const {
  if (item == nullptr) return nullptr;
  if (item->type < kMinItemType || item->type > kMaxItemType) {
    Logger::Instance().Log(LogLevel::Error, L"GetItemProperties: Invalid Item Type.");
    return nullptr;
  }
  if (item->size == 0) {
    Logger::Instance().Log(LogLevel::Error, L"GetItemProperties: Invalid Item Size.");
    return nullptr;
  }
  if (item->flag != QueueLayout::kItemFlag) {
    Logger::Instance().Log(LogLevel::Error, L"GetItemProperties: Invalid Item Flag.");
    return nullptr;
  }
  return item;
}

const unsigned char* SMIPCPManager::GetItemData(const TypedItemHeader* item) {
  return item == nullptr ? nullptr : reinterpret_cast<const unsigned char*>(item) + sizeof(TypedItemHeader);
}

bool SMIPCPManager::Close() { return endpoint_.Close(); }

bool SMIPCPManager::Create(int type, const std::wstring& queueName, unsigned long long mappingSize) {
  return endpoint_.Create(type, queueName, mappingSize);
}

bool SMIPCPManager::Write(unsigned int itemType, const void* data, unsigned long long length,
                          bool* outOfStorage) {
  const TypedItemHeader header =
      QueueLayout::MakeTypedItemHeader(itemType, length, static_cast<uint32_t>(::GetCurrentProcessId()));
  return endpoint_.Append(&header, sizeof(header), data, length, outOfStorage);
}

void SMIPCPManager::Deliver(std::vector<const unsigned char*> items) {
  std::vector<const TypedItemHeader*> headers;
  headers.reserve(items.size());
  for (const unsigned char* item : items) headers.push_back(reinterpret_cast<const TypedItemHeader*>(item));
  OnNewData(std::move(headers));
}
