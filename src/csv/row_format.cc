#include "csv/row_format.h"

#include <bit>
#include <cstring>

#include "core/format.h"

namespace quarrow {

namespace {

__extension__ typedef unsigned __int128 Uint128;

// Digits are assembled in 64-bit words and stored with their first
// character in the lowest byte.
static_assert(std::endian::native == std::endian::little);

// The binary exponents of the magnitudes on the fast path; see time_micros
// for why both bounds are where they are.
constexpr int32_t kFastMinExponent = -16;
constexpr int32_t kFastMaxExponent = 36;

struct DecimalTables {
  char pairs[100][2];
  uint64_t pow5[23];
  uint64_t pow10[20];
  double pow10_double[23];  // every one exact: 5^22 < 2^53
  constexpr DecimalTables() : pairs(), pow5(), pow10(), pow10_double() {
    for (int i = 0; i < 100; ++i) {
      pairs[i][0] = static_cast<char>('0' + i / 10);
      pairs[i][1] = static_cast<char>('0' + i % 10);
    }
    pow5[0] = pow10[0] = 1;
    pow10_double[0] = 1.0;
    for (int i = 1; i < 23; ++i) {
      pow5[i] = pow5[i - 1] * 5;
      pow10_double[i] = pow10_double[i - 1] * 10.0;
    }
    for (int i = 1; i < 20; ++i) pow10[i] = pow10[i - 1] * 10;
  }
};
constexpr DecimalTables kTables;

// Decimal digits of v, at least one.
int decimal_length(uint64_t v) {
  // Zero has the digit count of one, and no other count changes.
  v |= 1;
  const int estimate = ((64 - __builtin_clzll(v)) * 1233) >> 12;
  return estimate + (v >= kTables.pow10[estimate] ? 1 : 0);
}

// Writes exactly eight digits of v < 10^8, leading zeros included. The
// pairs come from independent divisions rather than one chain of them.
void write_eight_digits(char* out, uint32_t v) {
  const uint32_t high = v / 10000;
  const uint32_t low = v % 10000;
  std::memcpy(out, kTables.pairs[high / 100], 2);
  std::memcpy(out + 2, kTables.pairs[high % 100], 2);
  std::memcpy(out + 4, kTables.pairs[low / 100], 2);
  std::memcpy(out + 6, kTables.pairs[low % 100], 2);
}

// Writes the `digits` decimal digits of v < 10^16 and returns their end.
inline char* write_decimal(char* out, uint64_t v, int digits) {
  char* end = out + digits;
  if (digits > 8) {
    write_eight_digits(end - 8, static_cast<uint32_t>(v % 100000000));
    v /= 100000000;
    digits -= 8;
  }
  auto small = static_cast<uint32_t>(v);
  char* p = out + digits;
  while (small >= 100) {
    p -= 2;
    std::memcpy(p, kTables.pairs[small % 100], 2);
    small /= 100;
  }
  if (small >= 10) {
    std::memcpy(p - 2, kTables.pairs[small], 2);
  } else {
    p[-1] = static_cast<char>('0' + small);
  }
  return end;
}

// The magnitude m * 2^(exponent - 52) (m with its leading bit, exponent in
// the fast range) times 10^6, rounded as the formatter rounds it.
//
// The formatter estimates the decimal exponent `tens` from the binary one,
// multiplies the magnitude by 10^(18 - tens) in double-double arithmetic,
// converts the pair to a 64-bit integer by truncating each part towards
// zero, and rounds that integer half up at the sixth decimal. For
// 0 <= 18 - tens <= 22 the power of ten is an exact double of at most 52
// significant bits, so every step of its split multiplication is exact and
// the pair is the product P as RN(P) + (P - RN(P)). With P >= 10^17, RN(P)
// is an integer, so the formatter's integer is floor(P), plus one when P is
// not an integer and RN(P) lies above it. The estimate undershoots by at
// most one, which adds a digit to that integer but leaves the rounding
// position at 10^(12 - tens). The exponents -16..36 are those with tens in
// -4..11: the power is then 7..22, P stays below 2^63 and the formatter
// always rounds, 1 to 16 digits away.
uint64_t time_micros(double magnitude, uint64_t m, int32_t exponent, int32_t tens) {
  const int32_t power = 18 - tens;
  const Uint128 product = static_cast<Uint128>(m) * kTables.pow5[power];
  // 9..46: P's fraction lies in the low word.
  const int32_t shift = 52 - exponent - power;
  const auto low = static_cast<uint64_t>(product);
  const auto high = static_cast<uint64_t>(product >> 64);
  uint64_t scaled = (high << (64 - shift)) | (low >> shift);
  // One correctly rounded multiplication by an exact power of ten is RN(P).
  // Where P is an integer the formatter keeps it, but the increment is then
  // harmless: P is a multiple of 5^power, so P + 1 is 1 modulo 5 and its
  // rounded-away digits are never the 50...0 at which the rounding tips.
  const auto nearest =
      static_cast<uint64_t>(static_cast<int64_t>(magnitude * kTables.pow10_double[power]));
  if (nearest > scaled) ++scaled;
  const uint64_t unit = kTables.pow10[power - 6];
  return (scaled + unit / 2) / unit;
}

}  // namespace

char* row_format_time(char* out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  const bool negative = (bits >> 63) != 0;
  const int32_t exponent = static_cast<int32_t>((bits >> 52) & 0x7FF) - 1023;
  uint64_t micros = 0;
  int digits = 1;  // of the whole part
  if ((bits << 1) != 0) {
    if (exponent < kFastMinExponent || exponent > kFastMaxExponent) {
      return out + format_snprintf(out, kRowTimeRoom, "%10.6f", value);
    }
    const uint64_t m = (bits & ((1ull << 52) - 1)) | (1ull << 52);
    const int32_t tens = exponent < 0 ? exponent * 617 / 2048 : exponent * 1233 / 4096 + 1;
    micros = time_micros(negative ? -value : value, m, exponent, tens);
    // micros lies in [10^(tens + 5), 10^(tens + 7)]. Branches on the
    // powers known before micros is ready (rather than arithmetic on
    // micros) let the layout below be guessed and written ahead of it.
    digits = tens;
    if (__builtin_expect(micros >= kTables.pow10[tens + 6], 1)) {
      ++digits;
      if (__builtin_expect(micros >= kTables.pow10[tens + 7], 0)) ++digits;
    }
    if (__builtin_expect(digits < 1, 0)) digits = 1;
  }
  const uint64_t whole = micros / 1000000;
  const auto fraction = static_cast<uint32_t>(micros % 1000000);
  // At least 8 characters, so at most two spaces to the width of 10.
  const int length = (negative ? 1 : 0) + digits + 7;
  if (length < 10) {
    std::memcpy(out, "  ", 2);
    out += 10 - length;
  }
  if (negative) *out++ = '-';
  out = write_decimal(out, whole, digits);
  *out++ = '.';
  std::memcpy(out, kTables.pairs[fraction / 10000], 2);
  std::memcpy(out + 2, kTables.pairs[fraction / 100 % 100], 2);
  std::memcpy(out + 4, kTables.pairs[fraction % 100], 2);
  return out + 6;
}

char* row_format_int(char* out, int32_t value) {
  // Most fields of a row are flags and counts of one or two digits.
  if (static_cast<uint32_t>(value) < 100) {
    if (value < 10) {
      *out = static_cast<char>('0' + value);
      return out + 1;
    }
    std::memcpy(out, kTables.pairs[value], 2);
    return out + 2;
  }
  // Negated as unsigned, so that INT32_MIN has its magnitude too.
  uint32_t magnitude = static_cast<uint32_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0u - magnitude;
  }
  return write_decimal(out, magnitude, decimal_length(magnitude));
}

char* row_format_hex(char* out, uint32_t value, int width) {
  const int significant = (32 - __builtin_clz(value | 1) + 3) / 4;
  const int digits = significant > width ? significant : width;
  // All eight digits at once: nibble k into byte k, then to its character
  // ('A'..'F' lie 7 past '9' + 1), most significant first in memory.
  uint64_t v = value;
  v = (v | v << 16) & 0x0000FFFF0000FFFFull;
  v = (v | v << 8) & 0x00FF00FF00FF00FFull;
  v = (v | v << 4) & 0x0F0F0F0F0F0F0F0Full;
  const uint64_t letters = ((v + 0x0606060606060606ull) >> 4) & 0x0101010101010101ull;
  const uint64_t text = __builtin_bswap64(v + 0x3030303030303030ull + letters * 7);
  const uint64_t shown = text >> (8 * (8 - digits));
  std::memcpy(out, &shown, sizeof(shown));
  return out + digits;
}

}  // namespace quarrow
