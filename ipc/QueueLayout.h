// Byte layout of the suite's shared-memory queues, as plain functions over bytes.
//
// A queue mapping starts with a 16-byte header (item count, next offset; both
// unsigned 64-bit little-endian) followed by items packed one after the other.
// Two item kinds exist:
//   channel items (84-byte header: flag, 36 UTF-16 units of channel field, size)
//   typed items   (20-byte header: flag, type, size, writer's process id)
// Nothing here calls Windows, so every step can be tested and fuzzed with plain bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#pragma pack(push, 1)
// Header of one item of a channel queue, exactly as it lies in the mapping.
struct QueueItemHeader {
  uint32_t flag;
  wchar_t channel[36];
  uint64_t size;
};
// Header of one item of a typed queue, exactly as it lies in the mapping.
struct TypedItemHeader {
  uint32_t flag;
  uint32_t type;
  uint64_t size;
  uint32_t writerProcessId;
};
#pragma pack(pop)

static_assert(sizeof(wchar_t) == 2, "the channel field holds UTF-16 units");
static_assert(sizeof(QueueItemHeader) == 84, "channel item header is 84 bytes");
static_assert(sizeof(TypedItemHeader) == 20, "typed item header is 20 bytes");

namespace QueueLayout {

constexpr uint32_t kItemFlag = 0xABCDFFEEu;
constexpr uint64_t kQueueHeaderSize = 16;
constexpr uint64_t kChannelItemHeaderSize = sizeof(QueueItemHeader);
constexpr uint64_t kTypedItemHeaderSize = sizeof(TypedItemHeader);
constexpr size_t kChannelFieldUnits = 36;
constexpr size_t kChannelMaxChars = kChannelFieldUnits - 1;
// The last bytes of a mapping that a write never touches.
constexpr uint64_t kTailReserve = 2;

enum class ItemKind { Channel, Typed };

inline uint64_t ItemHeaderSize(ItemKind kind) {
  return kind == ItemKind::Channel ? kChannelItemHeaderSize : kTypedItemHeaderSize;
}

struct QueueHeader {
  uint64_t itemCount = 0;
  uint64_t nextOffset = 0;
};

// The mapping must hold at least 16 bytes.
QueueHeader ReadHeader(const void* mapping);
void WriteHeader(void* mapping, const QueueHeader& header);
// Item count 0, next offset 16: the empty queue.
void ResetHeader(void* mapping);

// True when an item of `itemBytes` (header and payload) fits at `nextOffset`:
// nextOffset + itemBytes <= mappingSize - 2. A next offset that does not point into
// the item area (another process wrote nonsense) leaves no room. Overflow-safe.
bool HasRoom(uint64_t nextOffset, uint64_t itemBytes, uint64_t mappingSize);

// The 84-byte channel item header: flag, the identifier cut to 35 characters, a NUL,
// zeros in the rest of the field, the payload size.
QueueItemHeader MakeChannelItemHeader(const std::wstring& channelId, uint64_t payloadSize);
TypedItemHeader MakeTypedItemHeader(uint32_t type, uint64_t payloadSize, uint32_t writerProcessId);
// The channel field read back up to its NUL (at most 36 units).
std::wstring ChannelOf(const QueueItemHeader& header);

// Appends one item (header bytes then payload) behind the others and updates the
// queue header. False, with the mapping untouched, when there is no room.
bool AppendItem(unsigned char* mapping, uint64_t mappingSize, const void* itemHeader,
                uint64_t headerSize, const void* payload, uint64_t payloadSize);

enum class WalkStatus {
  Ok,
  InvalidSize,  // size 0 (channel items), or header/payload reaching past the copied bytes
                // or past the next offset
  InvalidFlag,  // flag is not 0xABCDFFEE (channel items)
};

struct WalkResult {
  WalkStatus status = WalkStatus::Ok;
  std::vector<const unsigned char*> items;  // item starts, empty unless status is Ok
};

// Walks `itemCount` items from offset 16 of a private copy of `copiedBytes` bytes
// (the header is read from the copy). Never reads outside [copy, copy + copiedBytes):
// an item whose header or payload would reach past the end makes the walk fail, and so
// does one that reaches past the header's next offset (the count claims an item that
// was never finished: whatever lies there was not written since the last drain).
// Channel items must carry the flag and a non-zero size; typed items are only checked
// to lie inside the copy (their receivers validate type, size and flag).
WalkResult WalkItems(ItemKind kind, const unsigned char* copy, uint64_t copiedBytes);

}  // namespace QueueLayout
