#pragma once

// Memory streams over test bytes, closed when they go out of scope.

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

}  // namespace quarrow::test
