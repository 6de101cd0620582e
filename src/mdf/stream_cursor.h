#pragma once

#include <cstdint>

#include "core/sso_string.h"
#include "io/stream.h"

namespace quarrow {

// Reads little-endian fields one after another from a fixed base position.
// Every read seeks to base + offset first, so the cursor keeps its place
// even when other code moves the stream in between. A read succeeds, and the
// offset advances, only when the stream delivered the whole field.
class StreamCursor {
 public:
  // Starts at the stream's current position.
  explicit StreamCursor(ByteStream* stream);
  StreamCursor(ByteStream* stream, uint64_t base) : stream_(stream), base_(base) {}

  bool read_u8(uint8_t* out);
  bool read_u16(uint16_t* out);
  bool read_u32(uint32_t* out);
  bool read_u64(uint64_t* out);
  bool read_i16(int16_t* out);
  bool read_f64(double* out);
  // The four bytes in the opposite order (big-endian container headers).
  bool read_u32_be(uint32_t* out);
  bool read_bytes(void* buffer, uint64_t count);
  // Appends count bytes to text; the text then ends at the first zero byte
  // among them, as a C string would. text is unchanged on failure.
  bool read_text(SsoString* text, uint64_t count);
  // Moves the offset without touching the stream.
  bool skip(uint64_t count) {
    offset_ += count;
    return true;
  }

  uint64_t offset() const { return offset_; }

 private:
  bool read_le(uint64_t* out, uint32_t width);

  ByteStream* stream_;
  uint64_t base_ = 0;
  uint64_t offset_ = 0;
};

// Little-endian decoding of bytes already in memory.
inline uint64_t decode_le(const unsigned char* bytes, uint32_t width) {
  uint64_t value = 0;
  for (uint32_t i = width; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

}  // namespace quarrow
