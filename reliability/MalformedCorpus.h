// The inputs of the malformed-input scenario, one corpus per door: a hand-made list
// first (truncations, deep nesting, wrong types, invalid UTF-8, missing terminators,
// embedded NULs, huge values, duplicate keys), then fuzzed inputs made by mutating
// valid ones. Input `index` of a door depends only on the seed and the index, so any
// input of a run can be made again from the two numbers.
// Pure functions over plain values: nothing here calls Windows.
#pragma once

#include <cstdint>
#include <string>

namespace campaign {
namespace malformed {

enum class Door {
  Packet,        // GenericPacket::GetPacket on JSON text
  ResourceFile,  // ResourceMgr::Load of a resource.json file
  TypedQueue,    // typed items written by a client, drained by the identity-theft listener
  UserResponse,  // typed items placed against a guard page, handed to the listener directly
};
constexpr int kDoorCount = 4;

// "packet", "resource-file", "typed-queue", "user-response".
const char* DoorName(Door door);
bool DoorFromName(const std::string& name, Door* door);

// What a hand-made input must give; fuzzed inputs are Either.
enum class Expect { Either, Accept, Refuse };

// A packet's JSON text or a resource file's bytes.
struct TextInput {
  std::string bytes;
  Expect expect = Expect::Either;
};

// One typed item: the header fields as they lie in the item, and the bytes behind it.
// `size` may be smaller than the payload (the item then reads only its start).
struct TypedInput {
  uint32_t flag = 0;
  uint32_t type = 0;
  uint64_t size = 0;
  std::string payload;
};

// How many of a door's first inputs are hand-made.
uint64_t HandMadeCount(Door door);

TextInput PacketInput(uint64_t seed, uint64_t index);
TextInput ResourceFileInput(uint64_t seed, uint64_t index);
// An item a client can write: valid flag, size equal to the payload's length (at least
// 1 byte, at most kLargestQueuedPayload), any type.
TypedInput TypedQueueInput(uint64_t seed, uint64_t index);
// Any header, with size at most the payload's length.
TypedInput UserResponseInput(uint64_t seed, uint64_t index);

// The largest payload the typed-queue door writes (its queue holds one item at a time).
constexpr uint64_t kLargestQueuedPayload = 60000;

// What the identity-theft listener is to do with a typed item.
struct TypedVerdict {
  enum Kind { InvalidType, InvalidSize, InvalidFlag, OtherCommand, TooShort, Response } kind = InvalidType;
  unsigned char block = 0;
  unsigned char modify = 0;
  std::wstring rule;  // for Response: the UTF-16 units up to the first zero within the size
};
TypedVerdict ExpectedVerdict(const TypedInput& item);

}  // namespace malformed
}  // namespace campaign
