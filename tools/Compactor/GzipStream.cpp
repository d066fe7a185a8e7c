#include "tools/Compactor/GzipStream.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace Gzip {

namespace {

const size_t kChunkBytes = 256 * 1024;
const int kGzipWindowBits = 15 + 16;  // 32 KiB window, gzip wrapper
const int kMemoryLevel = 8;

// Owns an initialised deflate stream.
class Deflater {
 public:
  explicit Deflater(int level) {
    stream_ = {};
    ready_ = deflateInit2(&stream_, level, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                          Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Deflater() {
    if (ready_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool ready() const { return ready_; }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_;
  bool ready_ = false;
};

}  // namespace

Result Compress(const ReadStep& read, const WriteStep& write, int level) {
  Result result;
  Deflater deflater(level);
  if (!deflater.ready()) {
    result.error = "cannot initialise the compressor";
    return result;
  }
  z_stream& stream = deflater.stream();
  std::vector<unsigned char> in(kChunkBytes);
  std::vector<unsigned char> out(kChunkBytes);

  int flush = Z_NO_FLUSH;
  do {
    size_t got = 0;
    if (!read(in.data(), in.size(), &got)) {
      result.error = "read failed";
      return result;
    }
    result.bytesIn += got;
    flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = in.data();
    stream.avail_in = static_cast<uInt>(got);
    // Drain the compressor until it has taken the whole chunk (or, at the end, has
    // written the trailer).
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      const int rc = deflate(&stream, flush);
      if (rc == Z_STREAM_ERROR) {
        result.error = "compressor error";
        return result;
      }
      const size_t produced = out.size() - stream.avail_out;
      if (produced != 0) {
        if (!write(out.data(), produced)) {
          result.error = "write failed";
          return result;
        }
        result.bytesOut += produced;
      }
      if (flush == Z_FINISH && rc == Z_STREAM_END) break;
    } while (stream.avail_out == 0 || (flush == Z_FINISH));
  } while (flush != Z_FINISH);

  result.ok = true;
  return result;
}

std::string CompressBytes(const std::string& data, int level) {
  size_t position = 0;
  std::string packed;
  const Result result = Compress(
      [&](unsigned char* buffer, size_t capacity, size_t* read) {
        const size_t n = std::min(capacity, data.size() - position);
        std::copy(data.begin() + position, data.begin() + position + n, buffer);
        position += n;
        *read = n;
        return true;
      },
      [&](const unsigned char* bytes, size_t size) {
        packed.append(reinterpret_cast<const char*>(bytes), size);
        return true;
      },
      level);
  return result.ok ? packed : std::string();
}

bool DecompressBytes(const std::string& gzipData, std::string* out) {
  out->clear();
  size_t position = 0;
  std::vector<unsigned char> buffer(kChunkBytes);
  bool anyMember = false;
  while (position < gzipData.size()) {
    z_stream stream = {};
    if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzipData.data() + position));
    stream.avail_in = static_cast<uInt>(gzipData.size() - position);
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
      stream.next_out = buffer.data();
      stream.avail_out = static_cast<uInt>(buffer.size());
      rc = inflate(&stream, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END) break;
      out->append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - stream.avail_out);
      if (rc == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) break;  // truncated
    }
    const size_t consumed = (gzipData.size() - position) - stream.avail_in;
    inflateEnd(&stream);
    if (rc != Z_STREAM_END) return false;
    position += consumed;
    anyMember = true;
  }
  return anyMember;
}

}  // namespace Gzip
