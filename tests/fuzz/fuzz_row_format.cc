// The row fields against the program's formatter: 8 bytes of a time, also with
// its exponent folded into the fast path's range; 4 more of an integer.

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "csv/row_format_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarrow::test;
  if (size < 8) return -1;
  uint64_t bits;
  std::memcpy(&bits, data, sizeof(bits));
  // Binary exponents -17..37.
  const uint64_t exponent = 1023 - 17 + ((bits >> 52) & 0x7FF) % 55;
  for (uint64_t b : {bits, uint64_t{(bits & 0x800F'FFFF'FFFF'FFFFull) | exponent << 52}})
    if (!time_mismatch(std::bit_cast<double>(b)).empty()) abort();
  if (size >= 12) {
    uint32_t field;
    std::memcpy(&field, data + 8, sizeof(field));
    if (!int_mismatch(static_cast<int32_t>(field)).empty()) abort();
    for (int width : {2, 3, 8})
      if (!hex_mismatch(field, width).empty()) abort();
  }
  return 0;
}
