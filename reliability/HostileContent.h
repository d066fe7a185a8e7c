// Queue mappings as a hostile or broken local process may leave them, and what the
// queue's server is to make of one drain of them. Plain bytes only, no Windows calls.
//
// The contents are built from values at the edges: item counts, item sizes and next
// offsets near 0, near the mapping size, near 2^32 and near 2^64; flags that are wrong
// by one bit or byte order; types out of range; random bytes; and now and then a queue
// that is well formed, whose items the server must deliver.
#pragma once

#include <cstdint>
#include <random>

#include "ipc/QueueLayout.h"

namespace campaign {

// What one drain of a mapping image comes to.
struct DrainForecast {
  enum class Outcome {
    Empty,        // no item counted: nothing delivered, nothing logged
    Delivered,    // every counted item whole: all handed to the receiver
    DroppedSize,  // dropped for an item without a size, or reaching past the mapping or
                  // past the next offset
    DroppedFlag,  // dropped for a channel item without the flag
  };
  Outcome outcome = Outcome::Empty;
  uint64_t delivered = 0;  // items handed to the receiver
  // Of the typed items handed over, those the receiver's item check refuses, each by the
  // first check that fails (type, then size, then flag).
  uint64_t badType = 0;
  uint64_t badSize = 0;
  uint64_t badFlag = 0;
};

// Writes hostile contents into the `size` bytes of a queue's mapping. What lay there
// before partly stays, as it would. Never writes outside the mapping, and never leaves
// the header of an empty queue (count 0, next offset 16), so that a drain of it can be
// seen.
void WriteHostileContents(QueueLayout::ItemKind kind, std::mt19937_64& random, unsigned char* mapping,
                          uint64_t size);

// The server's drain of `image`, a copy of all `size` bytes of the mapping. Items follow
// one another from offset 16; the drain is dropped at the first counted item that is not
// whole: a channel item needs a size other than 0 and the flag; every item must lie
// inside the mapping and end at or before the next offset.
DrainForecast ForecastDrain(QueueLayout::ItemKind kind, const unsigned char* image, uint64_t size);

}  // namespace campaign
