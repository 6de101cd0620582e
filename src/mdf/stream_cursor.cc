#include "mdf/stream_cursor.h"

#include <cstring>

namespace quarrow {

StreamCursor::StreamCursor(ByteStream* stream) : stream_(stream) {
  int64_t position = stream_tell(stream);
  // A position that cannot be told fails every read rather than reading
  // from offset 0.
  base_ = position >= 0 ? static_cast<uint64_t>(position) : UINT64_MAX;
}

bool StreamCursor::read_bytes(void* buffer, uint64_t count) {
  if (base_ > INT64_MAX || offset_ > static_cast<uint64_t>(INT64_MAX) - base_) return false;
  // A seek that does not land would read the bytes of some other field.
  const auto target = static_cast<int64_t>(base_ + offset_);
  if (stream_seek(stream_, target, STREAM_SEEK_SET) != target) return false;
  if (count == 0) return true;
  int64_t n = stream_read(stream_, buffer, count);
  if (n < 0 || static_cast<uint64_t>(n) != count) return false;
  offset_ += count;
  return true;
}

bool StreamCursor::read_le(uint64_t* out, uint32_t width) {
  unsigned char bytes[8];
  if (!read_bytes(bytes, width)) return false;
  *out = decode_le(bytes, width);
  return true;
}

bool StreamCursor::read_u8(uint8_t* out) {
  uint64_t v;
  if (!read_le(&v, 1)) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

bool StreamCursor::read_u16(uint16_t* out) {
  uint64_t v;
  if (!read_le(&v, 2)) return false;
  *out = static_cast<uint16_t>(v);
  return true;
}

bool StreamCursor::read_i16(int16_t* out) {
  uint16_t v;
  if (!read_u16(&v)) return false;
  *out = static_cast<int16_t>(v);
  return true;
}

bool StreamCursor::read_u32(uint32_t* out) {
  uint64_t v;
  if (!read_le(&v, 4)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool StreamCursor::read_u64(uint64_t* out) {
  return read_le(out, 8);
}

bool StreamCursor::read_f64(double* out) {
  uint64_t v;
  if (!read_le(&v, 8)) return false;
  std::memcpy(out, &v, sizeof(v));
  return true;
}

bool StreamCursor::read_u32_be(uint32_t* out) {
  unsigned char b[4];
  if (!read_bytes(b, 4)) return false;
  *out = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return true;
}

bool StreamCursor::read_text(SsoString* text, uint64_t count) {
  uint64_t old_size = text->size();
  if (count > UINT64_MAX - 1 - old_size) return false;
  char* room = text->reserve(old_size + count);
  if (!room) return false;
  if (!read_bytes(room + old_size, count)) {
    text->set_size(old_size);
    return false;
  }
  // Text stored in a fixed-width field ends at its first zero byte.
  text->set_size(old_size + strnlen(room + old_size, count));
  return true;
}

}  // namespace quarrow
