#pragma once

// Test data and streams shared by the io and app tests.

#include <cstdint>
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
  for (int64_t n; (n = stream_read(s, chunk, sizeof(chunk))) > 0;)
    out.insert(out.end(), chunk, chunk + n);
  return out;
}

}  // namespace quarrow::test
