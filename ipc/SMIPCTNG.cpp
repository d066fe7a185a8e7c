#include "ipc/SMIPCTNG.h"

#include <windows.h>

#include "common/TextConversion.h"
#include "log/Logger.h"

namespace {

const QueueTexts kChannelTexts = {
    L"SMIPCTNG::Create: Channel clready created , allocated new object.",
    L"SMIPCTNG::Create: Invalid Type (%d).\n",
    L"SMIPCTNG::Create: Could not create mutex (%d).\n",
    L"SMIPCTNG::Create: another server is already listening on this event : %s",
    L"SMIPCTNG::Create: Could not create m_hServerRunningEvent named event (%d).\n",
    L"SMIPCTNG::Create: Could not create NewDataAvailable named event (%d).\n",
    L"SMIPCTNG::Create: Could not create ForwardToClient  event (%d).\n",
    L"SMIPCTNG::Create: Could not start the listener thread (%d).\n",
    L"SMIPCTNG::Channel already created.",
    L"SMIPCTNG::Server could not create file mapping for queue name : %s , object (%d).\n",
    L"SMIPCTNG::Client could not open file mapping for queue name : %s , object (%d).\n",
    L"Could not map view of file , Queue name : %s (%d).\n",
    L"SMIPCTNG::Write: invalid data input.",
    L"SMIPCTNG::Could not AcquireLock , err = %d",
    L"SMIPCTNG::Write: Cannot lock Shared memory...",
    L"SMIPCTNG::Write: Shared memory %s is not ready.",
    L"SMIPCTNG::Write: not enough room to store size %d",
    L"SMIPCTNG::Write: Thread ID %d wrote %d bytes\n",
    L"SMIPCTNG::Write: threadListener terminated.\n",
    L"SMIPCTNG::Read: Cannot lock Shared memory...",
    L"SMIPCTNG::Read failed.",
    L"SMIPCTNG::Read: Shared memory not ready.",
    L"SMIPCTNG::GetItemProperties: Invalid Item Size.",
    L"SMIPCTNG::GetItemProperties: Invalid Item Flag.",
    L"SMIPCTNG::Read: NULL Item Property.",
};

constexpr DWORD kRetrySleepMs = 50;

}  // namespace

SMIPCTNG::SMIPCTNG() : endpoint_(kChannelTexts, QueueLayout::ItemKind::Channel, this) {}

SMIPCTNG::~SMIPCTNG() { endpoint_.Close(); }

bool SMIPCTNG::Create(int type, const std::wstring& queueName, unsigned long long mappingSize) {
  return endpoint_.Create(type, queueName, mappingSize);
}

bool SMIPCTNG::Write(const std::wstring& channelId, const void* data, unsigned long long length,
                     bool* outOfStorage) {
  const QueueItemHeader header = QueueLayout::MakeChannelItemHeader(channelId, length);
  return endpoint_.Append(&header, sizeof(header), data, length, outOfStorage);
}

bool SMIPCTNG::Write(const std::string& channelId, const std::string& text, int retries) {
  std::wstring wideChannel;
  std::wstring wideText;
  try {
    wideChannel = AnsiToWide(channelId);
    wideText = AnsiToWide(text);
  } catch (const std::exception&) {
    Logger::Instance().Log(LogLevel::Error, kChannelTexts.invalidData);
    return false;
  }
  const unsigned long long length = 2ull * wideText.size() + 2;
  bool outOfStorage = false;
  bool written = Write(wideChannel, wideText.c_str(), length, &outOfStorage);
  if (written || !outOfStorage || retries <= 0) return written;
  for (int attempt = 0;; ++attempt) {
    Logger::Instance().Log(LogLevel::Warn, L"SMIPCTNG::Write: Out of storage retry attempt #%d for Shared memory %s",
                           attempt, MappingName().c_str());
    ::Sleep(kRetrySleepMs);
    written = Write(wideChannel, wideText.c_str(), length, &outOfStorage);
    if (written) {
      Logger::Instance().Log(LogLevel::Always,
                             L"SMIPCTNG::Write: Out of storage retry attempt #%d for Shared memory %s - Succeeded",
                             attempt, MappingName().c_str());
      break;
    }
    if (!outOfStorage || attempt + 1 >= retries) break;
  }
  return written;
}

bool SMIPCTNG::Close() { return endpoint_.Close(); }

const unsigned char* SMIPCTNG::ItemPayload(const QueueItemHeader* item) {
  return item == nullptr ? nullptr : reinterpret_cast<const unsigned char*>(item) + sizeof(QueueItemHeader);
}

void SMIPCTNG::Deliver(std::vector<const unsigned char*> items) {
  std::vector<const QueueItemHeader*> headers;
  headers.reserve(items.size());
  for (const unsigned char* item : items) headers.push_back(reinterpret_cast<const QueueItemHeader*>(item));
  OnNewData(std::move(headers));
}
