#include "ipc/QueueLayout.h"

#include <cstring>

namespace QueueLayout {

QueueHeader ReadHeader(const void* mapping) {
  QueueHeader header;
  const unsigned char* bytes = static_cast<const unsigned char*>(mapping);
  std::memcpy(&header.itemCount, bytes, 8);
  std::memcpy(&header.nextOffset, bytes + 8, 8);
  return header;
}

void WriteHeader(void* mapping, const QueueHeader& header) {
  unsigned char* bytes = static_cast<unsigned char*>(mapping);
  std::memcpy(bytes, &header.itemCount, 8);
  std::memcpy(bytes + 8, &header.nextOffset, 8);
}

void ResetHeader(void* mapping) {
  QueueHeader empty;
  empty.itemCount = 0;
  empty.nextOffset = kQueueHeaderSize;
  WriteHeader(mapping, empty);
}

bool HasRoom(uint64_t nextOffset, uint64_t itemBytes, uint64_t mappingSize) {
  if (mappingSize < kQueueHeaderSize + kTailReserve) return false;
  const uint64_t limit = mappingSize - kTailReserve;
  if (nextOffset < kQueueHeaderSize || nextOffset > limit) return false;
  return itemBytes <= limit - nextOffset;
}

QueueItemHeader MakeChannelItemHeader(const std::wstring& channelId, uint64_t payloadSize) {
  QueueItemHeader header;
  std::memset(&header, 0, sizeof(header));
  header.flag = kItemFlag;
  wchar_t field[kChannelFieldUnits] = {};
  for (size_t i = 0; i < channelId.size() && i < kChannelMaxChars; ++i) {
    if (channelId[i] == L'\0') break;
    field[i] = channelId[i];
  }
  std::memcpy(header.channel, field, sizeof(field));
  header.size = payloadSize;
  return header;
}

TypedItemHeader MakeTypedItemHeader(uint32_t type, uint64_t payloadSize, uint32_t writerProcessId) {
  TypedItemHeader header;
  header.flag = kItemFlag;
  header.type = type;
  header.size = payloadSize;
  header.writerProcessId = writerProcessId;
  return header;
}

std::wstring ChannelOf(const QueueItemHeader& header) {
  wchar_t field[kChannelFieldUnits];
  std::memcpy(field, header.channel, sizeof(field));
  size_t length = 0;
  while (length < kChannelFieldUnits && field[length] != L'\0') ++length;
  return std::wstring(field, length);
}

bool AppendItem(unsigned char* mapping, uint64_t mappingSize, const void* itemHeader,
                uint64_t headerSize, const void* payload, uint64_t payloadSize) {
  QueueHeader header = ReadHeader(mapping);
  if (payloadSize > UINT64_MAX - headerSize) return false;
  const uint64_t itemBytes = headerSize + payloadSize;
  if (!HasRoom(header.nextOffset, itemBytes, mappingSize)) return false;
  unsigned char* item = mapping + header.nextOffset;
  std::memcpy(item, itemHeader, static_cast<size_t>(headerSize));
  if (payloadSize != 0) std::memcpy(item + headerSize, payload, static_cast<size_t>(payloadSize));
  header.itemCount += 1;
  header.nextOffset += itemBytes;
  WriteHeader(mapping, header);
  return true;
}

WalkResult WalkItems(ItemKind kind, const unsigned char* copy, uint64_t copiedBytes) {
  WalkResult result;
  if (copiedBytes < kQueueHeaderSize) return result;
  const QueueHeader header = ReadHeader(copy);
  const uint64_t headerSize = ItemHeaderSize(kind);
  // Items lie before the next offset: a writer raises the count and the next offset
  // together once its item is whole. A count that claims more (a writer killed half-way
  // through its write, after it had raised the count) would have the walk read on into
  // bytes no writer wrote since the last drain, such as an old item that was delivered
  // already.
  const uint64_t end = header.nextOffset < copiedBytes ? header.nextOffset : copiedBytes;
  uint64_t offset = kQueueHeaderSize;
  for (uint64_t i = 0; i < header.itemCount; ++i) {
    // Every item needs at least its header inside the copy; a count that claims more
    // items than can fit ends here instead of walking on.
    if (offset > copiedBytes || copiedBytes - offset < headerSize) {
      result.status = WalkStatus::InvalidSize;
      break;
    }
    const unsigned char* item = copy + offset;
    uint32_t flag = 0;
    uint64_t size = 0;
    if (kind == ItemKind::Channel) {
      std::memcpy(&flag, item + offsetof(QueueItemHeader, flag), 4);
      std::memcpy(&size, item + offsetof(QueueItemHeader, size), 8);
      if (size == 0) {
        result.status = WalkStatus::InvalidSize;
        break;
      }
      if (flag != kItemFlag) {
        result.status = WalkStatus::InvalidFlag;
        break;
      }
    } else {
      std::memcpy(&size, item + offsetof(TypedItemHeader, size), 8);
    }
    if (offset > end || end - offset < headerSize || size > end - offset - headerSize) {
      result.status = WalkStatus::InvalidSize;
      break;
    }
    result.items.push_back(item);
    offset += headerSize + size;
  }
  if (result.status != WalkStatus::Ok) result.items.clear();
  return result;
}

}  // namespace QueueLayout
