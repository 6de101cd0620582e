#pragma once

#include <cstdint>

#include "io/stream.h"

namespace quarrow {

// The register value before the first byte.
inline constexpr uint32_t CRC32_INITIAL = 0xFFFFFFFFu;

// One step of the reflected CRC-32 (polynomial 0xEDB88320). The register is
// kept without final inversion: compressed containers store it that way.
uint32_t crc32_update(uint32_t crc, uint8_t byte);

// Feeds size bytes through the register, in order.
uint32_t crc32_update(uint32_t crc, const void* bytes, uint64_t size);

// Passes reads and writes through to an inner stream and runs every byte
// actually moved through a CRC-32 register that starts at CRC32_INITIAL.
// It cannot tell or seek: the register would no longer describe the bytes.
// Closing it leaves the inner stream open.
class CrcStream : public ByteStream {
 public:
  explicit CrcStream(ByteStream* inner) : inner_(inner) {}

  int64_t read(void* buffer, uint64_t count) override;
  int64_t write(const void* buffer, uint64_t count) override;
  int64_t close() override { return 0; }

  uint32_t value() const { return crc_; }

 private:
  ByteStream* inner_;
  uint32_t crc_ = CRC32_INITIAL;
};

// Null for a null inner stream or when memory is short.
CrcStream* crc_stream_create(ByteStream* inner);

// The current register, without final inversion.
inline uint32_t crc_stream_value(const CrcStream* crc) {
  return crc->value();
}

}  // namespace quarrow
