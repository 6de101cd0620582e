#include "io/crc32.h"

#include <array>
#include <new>

namespace quarrow {

namespace {

// Built at compile time, so there is no first-use flag to race on.
constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t entry = i;
    for (int bit = 0; bit < 8; ++bit) entry = (entry & 1) ? (entry >> 1) ^ 0xEDB88320u : entry >> 1;
    table[i] = entry;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = make_table();

}  // namespace

uint32_t crc32_update(uint32_t crc, uint8_t byte) {
  return kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

uint32_t crc32_update(uint32_t crc, const void* bytes, uint64_t size) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (uint64_t i = 0; i < size; ++i) crc = crc32_update(crc, p[i]);
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
