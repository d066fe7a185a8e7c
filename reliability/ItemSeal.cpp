#include "ItemSeal.h"

#include <zlib.h>

#include <cstring>

namespace campaign {
namespace {

const unsigned char kMagic[4] = {'S', 'E', 'A', 'L'};

uint32_t SealCrc(const unsigned char* payload, size_t size) {
  // Writer and sequence (bytes 4..11), then the body (bytes 16..).
  uLong crc = ::crc32(0L, Z_NULL, 0);
  crc = ::crc32(crc, payload + 4, 8);
  if (size > kSealBytes) crc = ::crc32(crc, payload + kSealBytes, static_cast<uInt>(size - kSealBytes));
  return static_cast<uint32_t>(crc);
}

}  // namespace

std::vector<unsigned char> SealPayload(uint32_t writer, uint32_t sequence, size_t size) {
  if (size < kSealBytes) size = kSealBytes;
  std::vector<unsigned char> payload(size);
  std::memcpy(payload.data(), kMagic, 4);
  std::memcpy(payload.data() + 4, &writer, 4);
  std::memcpy(payload.data() + 8, &sequence, 4);
  uint32_t state = writer * 2654435761u ^ sequence * 40503u ^ 0x9E3779B9u;
  for (size_t i = kSealBytes; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    payload[i] = static_cast<unsigned char>(state);
  }
  const uint32_t crc = SealCrc(payload.data(), size);
  std::memcpy(payload.data() + 12, &crc, 4);
  return payload;
}

SealCheck OpenSeal(const unsigned char* payload, uint64_t size, SealedName* name) {
  if (payload == nullptr || size < 4 || std::memcmp(payload, kMagic, 4) != 0) return SealCheck::Foreign;
  if (size < kSealBytes || size > (1u << 30)) return SealCheck::Corrupted;
  uint32_t crc = 0;
  std::memcpy(&crc, payload + 12, 4);
  if (crc != SealCrc(payload, static_cast<size_t>(size))) return SealCheck::Corrupted;
  std::memcpy(&name->writer, payload + 4, 4);
  std::memcpy(&name->sequence, payload + 8, 4);
  return SealCheck::Whole;
}

}  // namespace campaign
