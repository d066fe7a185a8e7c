// Sealed payloads: items that name their writer and sequence number and carry a CRC-32
// over both and their body, so that a receiver can tell a whole item of the campaign
// from a corrupted one and from bytes that some other process put into the queue.
//
// Layout: "SEAL", writer (4 bytes), sequence (4 bytes), CRC-32 (4 bytes), body. The body
// is filled from writer and sequence, so a payload can be built again from its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace campaign {

constexpr size_t kSealBytes = 16;

enum class SealCheck {
  Whole,      // the magic, a matching CRC and a size of at least kSealBytes
  Corrupted,  // the magic, but the CRC does not match
  Foreign,    // no magic: not an item of the campaign
};

struct SealedName {
  uint32_t writer = 0;
  uint32_t sequence = 0;
};

// A payload of `size` bytes (at least kSealBytes; smaller sizes are raised to it).
std::vector<unsigned char> SealPayload(uint32_t writer, uint32_t sequence, size_t size);
// Checks `size` bytes at `payload`; *name is filled when the result is Whole.
SealCheck OpenSeal(const unsigned char* payload, uint64_t size, SealedName* name);

}  // namespace campaign
