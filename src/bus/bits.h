#pragma once

#include <cstdint>

namespace quarrow {

// Reads `count` bits starting `position` bits into the `size` bytes at data.
// Little endian: bit i of the result is bit (position + i) mod 8 of byte
// (position + i) / 8. Big endian: position p names bit 7 - p mod 8 of byte
// p / 8, and the bits are shifted in from the least significant end.
// Returns 0 for count 0, count above 64 and a field that ends past the data.
uint64_t bits_extract(const uint8_t* data, uint64_t size, uint64_t position, uint64_t count,
                      bool little_endian);

}  // namespace quarrow
