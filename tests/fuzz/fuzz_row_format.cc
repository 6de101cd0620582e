// The row formatter against the program's formatter. The first 8 bytes are
// the bit pattern of a time, compared as it is and with its exponent folded
// into the fast path's range and one beyond either end, where a random
// pattern seldom lands; the next 4, when present, are the value of the
// decimal and hexadecimal fields. Any difference aborts.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/format.h"
#include "csv/row_format.h"

namespace {

using namespace quarrow;

void check_time(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof(value));
  char expected[kRowTimeRoom];
  char actual[kRowTimeRoom];
  const int n = format_snprintf(expected, sizeof(expected), "%10.6f", value);
  const char* end = row_format_time(actual, value);
  if (end - actual != n || std::memcmp(expected, actual, static_cast<size_t>(n)) != 0) abort();
}

void check_int(int32_t value) {
  // The formatter's own negation of INT32_MIN is undefined behaviour, which
  // the sanitizers of this build would report as a finding.
  char expected[16] = "-2147483648";
  int n = 11;
  if (value != INT32_MIN) n = format_snprintf(expected, sizeof(expected), "%d", value);
  char actual[kRowIntRoom];
  const char* end = row_format_int(actual, value);
  if (end - actual != n || std::memcmp(expected, actual, static_cast<size_t>(n)) != 0) abort();
}

void check_hex(uint32_t value, int width) {
  char expected[16];
  char actual[kRowHexRoom];
  const int n = format_snprintf(expected, sizeof(expected), "%0*X", width, value);
  const char* end = row_format_hex(actual, value, width);
  if (end - actual != n || std::memcmp(expected, actual, static_cast<size_t>(n)) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return -1;
  uint64_t bits;
  std::memcpy(&bits, data, sizeof(bits));
  check_time(bits);
  // Binary exponents -17..37.
  const uint64_t exponent = 1023 - 17 + ((bits >> 52) & 0x7FF) % 55;
  check_time((bits & 0x800F'FFFF'FFFF'FFFFull) | exponent << 52);
  if (size >= 12) {
    uint32_t field;
    std::memcpy(&field, data + 8, sizeof(field));
    check_int(static_cast<int32_t>(field));
    for (int width : {2, 3, 8}) check_hex(field, width);
  }
  return 0;
}
