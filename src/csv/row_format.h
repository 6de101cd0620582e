#pragma once

#include <cstdint>

namespace quarrow {

// The fields of a table row, formatted character for character as the
// program's formatter (core/format.h) formats them, without its parsing of
// a format. Each function writes at out and returns the end of what it
// wrote; none writes a terminating zero.

// Room a time field may need: the longest "%10.6f" of a double (-DBL_MAX)
// takes 317 characters, and the formatter behind the rare values writes its
// terminating zero after them.
constexpr uint64_t kRowTimeRoom = 320;
// Room of an "%d" field of an int32_t ("-2147483648").
constexpr uint64_t kRowIntRoom = 11;
// Room of a hexadecimal field of a uint32_t, whatever its width.
constexpr uint64_t kRowHexRoom = 8;

// Writes what "%10.6f" makes of value, NaN, infinities, -0.0 and
// subnormals included. Zero and magnitudes in [2^-16, 2^37), about 1.5e-5
// to 1.4e11 (timestamps in seconds since 1970, and offsets), take the fast
// path; the others are formatted by the formatter itself.
// REQUIRES: out has room for kRowTimeRoom characters. The characters after
// the returned end within that room may be overwritten.
char* row_format_time(char* out, double value);

// Writes what "%d" makes of value.
// REQUIRES: out has room for kRowIntRoom characters.
char* row_format_int(char* out, int32_t value);

// Writes what "%0<width>X" makes of value: upper-case hexadecimal digits,
// zero-padded on the left to width characters; a longer value is written
// whole.
// REQUIRES: 1 <= width <= 8; out has room for kRowHexRoom characters. The
// characters after the returned end within that room may be overwritten.
char* row_format_hex(char* out, uint32_t value, int width);

}  // namespace quarrow
