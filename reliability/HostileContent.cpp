#include "HostileContent.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace campaign {
namespace {

using QueueLayout::ItemKind;

constexpr uint32_t kFlag = QueueLayout::kItemFlag;
constexpr uint64_t kMax = ~0ull;

uint64_t HeaderBytes(ItemKind kind) { return kind == ItemKind::Channel ? 84 : 20; }
uint64_t SizeFieldAt(ItemKind kind) { return kind == ItemKind::Channel ? 76 : 8; }

uint64_t Read64(const unsigned char* at) {
  uint64_t value = 0;
  std::memcpy(&value, at, 8);
  return value;
}
uint32_t Read32(const unsigned char* at) {
  uint32_t value = 0;
  std::memcpy(&value, at, 4);
  return value;
}

// A count, size or offset at one of the edges that matter for a mapping of `size` bytes
// whose items have `header`-byte headers.
uint64_t EdgeValue(std::mt19937_64& random, uint64_t size, uint64_t header) {
  const uint64_t fit = size - 16 - header - 2;  // the largest payload an empty queue takes
  const uint64_t values[] = {
      0, 1, 2, 3,
      fit - 1, fit, fit + 1, fit + 2, fit + 3,
      size - 16, size - 2, size - 1, size, size + 1,
      0x7FFFFFFFull, 0x80000000ull, 0xFFFFFFFFull, 0x100000000ull, 0x100000001ull,
      0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull, kMax, kMax - 1, kMax - header, kMax - header + 1,
      kMax - 15, kMax - 16,
      random(), random() % 64, random() % size, random() >> (random() % 64),
  };
  return values[random() % (sizeof(values) / sizeof(values[0]))];
}

// A flag a little off the right one, or the right one.
uint32_t NearFlag(std::mt19937_64& random) {
  const uint32_t flags[] = {0, 0xFFFFFFFFu, kFlag + 1, kFlag - 1, 0xEEFFCDABu, kFlag ^ 0x80000000u,
                            kFlag ^ (1u << (random() % 32)), static_cast<uint32_t>(random())};
  return flags[random() % (sizeof(flags) / sizeof(flags[0]))];
}

uint32_t EdgeType(std::mt19937_64& random) {
  const uint32_t types[] = {0, 1, 8, 9, 0xFFFFFFFFu, 0x80000000u, static_cast<uint32_t>(random())};
  return types[random() % (sizeof(types) / sizeof(types[0]))];
}

struct PlannedItem {
  uint32_t flag = kFlag;
  uint32_t type = 1;
  uint64_t size = 1;
};

// Writes one item at `offset` (as much of it as the mapping holds): its header and up to
// 64 payload bytes; the rest of the payload keeps what lay there. Returns where the next
// item would start (saturating at 2^64 - 1).
uint64_t PutItem(ItemKind kind, std::mt19937_64& random, unsigned char* mapping, uint64_t size, uint64_t offset,
                 const PlannedItem& item) {
  const uint64_t header = HeaderBytes(kind);
  unsigned char bytes[84 + 64];
  std::memset(bytes, 0, sizeof(bytes));
  std::memcpy(bytes, &item.flag, 4);
  if (kind == ItemKind::Channel) {
    // A channel identifier, sometimes without its NUL.
    const int units = static_cast<int>(random() % 37);
    for (int i = 0; i < units && i < 36; ++i) {
      const wchar_t unit = static_cast<wchar_t>(random() % 3 == 0 ? random() : L'a' + random() % 26);
      std::memcpy(bytes + 4 + 2 * i, &unit, 2);
    }
  } else {
    std::memcpy(bytes + 4, &item.type, 4);
    const uint32_t writer = static_cast<uint32_t>(random());
    std::memcpy(bytes + 16, &writer, 4);
  }
  std::memcpy(bytes + SizeFieldAt(kind), &item.size, 8);
  const uint64_t payload = std::min<uint64_t>(item.size, 64);
  for (uint64_t i = 0; i < payload; ++i) bytes[header + i] = static_cast<unsigned char>(random());
  if (offset < size) {
    const uint64_t room = size - offset;
    std::memcpy(mapping + offset, bytes, static_cast<size_t>(std::min<uint64_t>(room, header + payload)));
  }
  if (offset > kMax - header || item.size > kMax - header - offset) return kMax;
  return offset + header + item.size;
}

// A chain of whole items with small sizes that fits the mapping.
std::vector<PlannedItem> WholeChain(std::mt19937_64& random, uint64_t size, uint64_t header) {
  std::vector<PlannedItem> chain;
  uint64_t used = 16;
  const int wanted = 1 + static_cast<int>(random() % 6);
  for (int i = 0; i < wanted; ++i) {
    PlannedItem item;
    item.type = 1 + static_cast<uint32_t>(random() % 8);
    item.size = 1 + random() % 300;
    if (used + header + item.size > size - 2) break;
    used += header + item.size;
    chain.push_back(item);
  }
  return chain;
}

}  // namespace

void WriteHostileContents(ItemKind kind, std::mt19937_64& random, unsigned char* mapping, uint64_t size) {
  const uint64_t header = HeaderBytes(kind);
  uint64_t count = 0;
  uint64_t next = 16;
  std::vector<PlannedItem> items = WholeChain(random, size, header);
  if (items.empty()) items.push_back(PlannedItem());
  switch (random() % 8) {
    case 0:  // the header alone, at its edges: the items are what lay there before
      items.clear();
      count = EdgeValue(random, size, header);
      next = EdgeValue(random, size, header);
      break;
    case 1: {  // a whole chain, then one item of it damaged
      PlannedItem& victim = items[random() % items.size()];
      switch (random() % 3) {
        case 0: victim.size = EdgeValue(random, size, header); break;
        case 1: victim.flag = NearFlag(random); break;
        default: victim.type = EdgeType(random); break;
      }
      count = items.size();
      next = kMax;  // filled in below
      break;
    }
    case 2:  // items with sizes at the edges
      items.resize(1 + random() % 3);
      for (PlannedItem& item : items) item.size = EdgeValue(random, size, header);
      count = items.size();
      next = random() % 2 ? kMax : EdgeValue(random, size, header);
      break;
    case 3:  // flags and types a little off
      for (PlannedItem& item : items) {
        if (random() % 2) item.flag = NearFlag(random);
        if (random() % 2) item.type = EdgeType(random);
      }
      count = items.size();
      next = kMax;
      break;
    case 4: {  // random bytes from the start
      items.clear();
      const uint64_t bytes = std::min<uint64_t>(size, 16 + random() % 512);
      for (uint64_t i = 0; i < bytes; ++i) mapping[i] = static_cast<unsigned char>(random());
      count = Read64(mapping);
      next = Read64(mapping + 8);
      break;
    }
    case 5:  // well formed: the server must deliver it
      count = items.size();
      next = kMax;
      break;
    case 6:  // a whole chain under a count at the edges
      count = EdgeValue(random, size, header);
      next = random() % 2 ? kMax : EdgeValue(random, size, header);
      break;
    default:  // a whole chain under a next offset at the edges
      count = items.size();
      next = EdgeValue(random, size, header);
      break;
  }
  uint64_t offset = 16;
  for (const PlannedItem& item : items) offset = PutItem(kind, random, mapping, size, offset, item);
  if (next == kMax) next = offset;  // the chain's own end
  if (count == 0 && next == 16) next = 17;
  QueueLayout::WriteHeader(mapping, {count, next});
}

DrainForecast ForecastDrain(ItemKind kind, const unsigned char* image, uint64_t size) {
  DrainForecast forecast;
  const uint64_t header = HeaderBytes(kind);
  const uint64_t count = Read64(image);
  const uint64_t limit = std::min(Read64(image + 8), size);
  uint64_t offset = 16;
  uint64_t badType = 0, badSize = 0, badFlag = 0;
  // Each item takes at least its header, so the walk ends within size / header steps.
  for (uint64_t i = 0; i < count; ++i) {
    if (offset > size || size - offset < header) {
      forecast.outcome = DrainForecast::Outcome::DroppedSize;
      return forecast;
    }
    const unsigned char* item = image + offset;
    const uint32_t flag = Read32(item);
    const uint64_t itemSize = Read64(item + SizeFieldAt(kind));
    if (kind == ItemKind::Channel) {
      if (itemSize == 0) forecast.outcome = DrainForecast::Outcome::DroppedSize;
      else if (flag != kFlag) forecast.outcome = DrainForecast::Outcome::DroppedFlag;
      if (forecast.outcome != DrainForecast::Outcome::Empty) return forecast;
    }
    const bool insideLimit = offset <= limit && limit - offset >= header && limit - offset - header >= itemSize;
    if (!insideLimit) {
      forecast.outcome = DrainForecast::Outcome::DroppedSize;
      return forecast;
    }
    if (kind == ItemKind::Typed) {
      const uint32_t type = Read32(item + 4);
      if (type < 1 || type > 8) ++badType;
      else if (itemSize == 0) ++badSize;
      else if (flag != kFlag) ++badFlag;
    }
    offset += header + itemSize;
    ++forecast.delivered;
  }
  if (forecast.delivered > 0) {
    forecast.outcome = DrainForecast::Outcome::Delivered;
    forecast.badType = badType;
    forecast.badSize = badSize;
    forecast.badFlag = badFlag;
  }
  return forecast;
}

}  // namespace campaign
