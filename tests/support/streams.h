#pragma once

// Memory streams over test bytes, closed when they go out of scope, and deterministic bytes.

#include <cstdint>
#include <memory>
#include <vector>

#include "io/memory_stream.h"
#include "io/stream.h"

namespace quarrow::test {

struct StreamCloser {
  void operator()(ByteStream* s) const { stream_close(s); }
};
using StreamPtr = std::unique_ptr<ByteStream, StreamCloser>;

// A memory stream holding bytes, positioned at 0.
inline StreamPtr memory_with(const std::vector<uint8_t>& bytes) {
  MemoryStream* m = memory_stream_create();
  if (!bytes.empty()) stream_write(m, bytes.data(), bytes.size());
  stream_seek(m, 0, STREAM_SEEK_SET);
  return StreamPtr(m);
}

// Deterministic pseudo-random bytes; a small mask leaves few distinct values, which compress well.
inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed, uint8_t mask = 0xFF) {
  std::vector<uint8_t> out(n);
  for (auto& b : out) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16) & mask;
  }
  return out;
}

}  // namespace quarrow::test
