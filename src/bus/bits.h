#pragma once

#include <cstdint>
#include <cstring>

namespace quarrow {

// Reads `count` bits starting `position` bits into the `size` bytes at data.
// Little endian: bit i of the result is bit (position + i) mod 8 of byte
// (position + i) / 8. Big endian: position p names bit 7 - p mod 8 of byte
// p / 8, and the bits are shifted in from the least significant end.
// Returns 0 for count 0, count above 64 and a field that ends past the data.
uint64_t bits_extract_any(const uint8_t* data, uint64_t size, uint64_t position, uint64_t count,
                          bool little_endian);

// bits_extract_any, with the common case inline: a field that lies within
// the eight bytes from its first one, all inside the data. Every channel of
// every record, and every decoded signal, goes through here.
inline uint64_t bits_extract(const uint8_t* data, uint64_t size, uint64_t position, uint64_t count,
                             bool little_endian) {
  uint64_t first = position / 8;
  uint64_t shift = position % 8;
  if (count - 1 < 64 - shift && first < size && size - first >= 8) {
    uint64_t word;
    std::memcpy(&word, data + first, sizeof(word));
    if (little_endian) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      word = __builtin_bswap64(word);
#endif
      word >>= shift;
      return count == 64 ? word : word & ((uint64_t{1} << count) - 1);
    }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    // The field's first bit to the top, then down to the bottom.
    return (word << shift) >> (64 - count);
  }
  return bits_extract_any(data, size, position, count, little_endian);
}

}  // namespace quarrow
