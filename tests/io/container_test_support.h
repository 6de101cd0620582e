#pragma once

// Streams and test data shared by the stream, container and decoder tests.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/streams.h"

namespace quarrow::test {

inline std::vector<uint8_t> bytes_of(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// Everything from offset 0 to the end; the position ends at the end.
inline std::vector<uint8_t> read_all(ByteStream* s) {
  std::vector<uint8_t> out;
  stream_seek(s, 0, STREAM_SEEK_SET);
  uint8_t chunk[4096];
  int64_t n;
  while ((n = stream_read(s, chunk, sizeof(chunk))) > 0) out.insert(out.end(), chunk, chunk + n);
  return out;
}

// A memory stream whose reads fail (or end early) from a given offset on,
// while tell, seek and so the size still report the whole content.
class FaultyReadStream : public ByteStream {
 public:
  FaultyReadStream(const std::vector<uint8_t>& bytes, int64_t fault_at, int64_t read_result)
      : inner_(memory_with(bytes)), fault_at_(fault_at), read_result_(read_result) {}
  int64_t read(void* buffer, uint64_t count) override {
    int64_t at = stream_tell(inner_.get());
    if (at >= fault_at_) return read_result_;
    uint64_t left = static_cast<uint64_t>(fault_at_ - at);
    return stream_read(inner_.get(), buffer, count < left ? count : left);
  }
  int64_t tell() override { return stream_tell(inner_.get()); }
  int64_t seek(int64_t offset, int32_t origin) override {
    return stream_seek(inner_.get(), offset, origin);
  }
  int64_t close() override { return 0; }

 private:
  StreamPtr inner_;
  int64_t fault_at_;
  int64_t read_result_;
};

}  // namespace quarrow::test
