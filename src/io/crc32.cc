#include "io/crc32.h"

#include <array>
#include <new>

namespace quarrow {

namespace {

// Built at compile time, so there is no first-use flag to race on. Table k
// advances the register over a byte followed by k zero bytes, which lets the
// bulk update take eight bytes per step.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables make_tables() {
  CrcTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t entry = i;
    for (int bit = 0; bit < 8; ++bit) entry = (entry & 1) ? (entry >> 1) ^ 0xEDB88320u : entry >> 1;
    tables[0][i] = entry;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int k = 1; k < 8; ++k) {
      uint32_t prev = tables[k - 1][i];
      tables[k][i] = (prev >> 8) ^ tables[0][prev & 0xFF];
    }
  }
  return tables;
}

constexpr CrcTables kTables = make_tables();
constexpr const std::array<uint32_t, 256>& kTable = kTables[0];

}  // namespace

uint32_t crc32_update(uint32_t crc, uint8_t byte) {
  return kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

uint32_t crc32_update(uint32_t crc, const void* bytes, uint64_t size) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (; size >= 8; size -= 8, p += 8) {
    uint32_t low = crc ^ (static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
    crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
          kTables[4][low >> 24] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^
          kTables[0][p[7]];
  }
  for (; size > 0; --size) crc = crc32_update(crc, *p++);
  return crc;
}

int64_t CrcStream::read(void* buffer, uint64_t count) {
  int64_t n = stream_read(inner_, buffer, count);
  if (n > 0) crc_ = crc32_update(crc_, buffer, static_cast<uint64_t>(n));
  return n;
}

int64_t CrcStream::write(const void* buffer, uint64_t count) {
  int64_t n = stream_write(inner_, buffer, count);
  if (n > 0) crc_ = crc32_update(crc_, buffer, static_cast<uint64_t>(n));
  return n;
}

CrcStream* crc_stream_create(ByteStream* inner) {
  if (!inner) return nullptr;
  return new (std::nothrow) CrcStream(inner);
}

}  // namespace quarrow
