#include "bus/bits.h"

namespace quarrow {

uint64_t bits_extract_any(const uint8_t* data, uint64_t size, uint64_t position, uint64_t count,
                          bool little_endian) {
  if (count == 0 || count > 64) return 0;
  uint64_t first = position / 8;
  uint64_t shift = position % 8;
  if (first >= size) return 0;
  // At most nine bytes: 7 bits of offset plus 64 bits of field.
  uint64_t span = (shift + count + 7) / 8;
  if (span > size - first) return 0;
  const uint8_t* p = data + first;
  uint64_t mask = count == 64 ? ~0ull : (1ull << count) - 1;
  uint64_t head = span < 8 ? span : 8;
  uint64_t word = 0;
  if (little_endian) {
    for (uint64_t i = 0; i < head; ++i) word |= static_cast<uint64_t>(p[i]) << (8 * i);
    word >>= shift;
    if (span == 9) word |= static_cast<uint64_t>(p[8]) << (64 - shift);
    return word & mask;
  }
  for (uint64_t i = 0; i < head; ++i) word = (word << 8) | p[i];
  if (span == 9) {
    // shift is 1..7 here, so neither shift below is by 64.
    word = (word << shift) | (static_cast<uint64_t>(p[8]) >> (8 - shift));
    return word >> (64 - count);
  }
  return (word >> (head * 8 - shift - count)) & mask;
}

}  // namespace quarrow
