// Streaming gzip compression over caller-supplied read and write steps (no file I/O of
// its own), and an in-memory gunzip for checking archives.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace Gzip {

// Fills `buffer` with up to `capacity` bytes; stores how many were read (0 at the end).
// False on a read error.
using ReadStep = std::function<bool(unsigned char* buffer, size_t capacity, size_t* read)>;
// Writes all `size` bytes; false on a write error.
using WriteStep = std::function<bool(const unsigned char* data, size_t size)>;

const int kDefaultLevel = 6;

struct Result {
  bool ok = false;
  unsigned long long bytesIn = 0;
  unsigned long long bytesOut = 0;
  std::string error;  // why it failed, empty on success
};

// Reads everything through `read` and writes one gzip member (deflate, window bits
// 15 + 16, memory level 8) through `write`. Stops at the first failed step.
Result Compress(const ReadStep& read, const WriteStep& write, int level = kDefaultLevel);

// Compresses a byte string in memory.
std::string CompressBytes(const std::string& data, int level = kDefaultLevel);

// Decodes gzip data (one or more members) into `out`; false when it is not complete,
// valid gzip (bad header, bad CRC or length, truncated).
bool DecompressBytes(const std::string& gzipData, std::string* out);

}  // namespace Gzip
