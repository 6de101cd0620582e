// The row fields against the program's formatter, for the test and the fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/format.h"
#include "csv/row_format.h"

namespace quarrow::test {

// Empty when write(out) writes what format_snprintf makes of fmt, else both
// texts; exactly Room characters, so that writing past them shows.
template <uint64_t Room, typename Write, typename... Args>
std::string field_mismatch(Write write, const char* fmt, Args... args) {
  char expected[2 * kRowTimeRoom], room[Room];
  const int n = format_snprintf(expected, sizeof expected, fmt, args...);
  const std::string_view want(expected, static_cast<size_t>(n)),
      got(room, static_cast<size_t>(write(room) - room));
  if (got == want) return {};
  return "expected \"" + std::string(want) + "\", got \"" + std::string(got) + "\"";
}

inline std::string time_mismatch(double v) {
  return field_mismatch<kRowTimeRoom>([&](char* o) { return row_format_time(o, v); }, "%10.6f", v);
}

// The formatter's own negation of INT32_MIN is undefined behaviour.
inline std::string int_mismatch(int32_t v) {
  auto write = [&](char* o) { return row_format_int(o, v); };
  if (v == INT32_MIN) return field_mismatch<kRowIntRoom>(write, "%s", "-2147483648");
  return field_mismatch<kRowIntRoom>(write, "%d", v);
}

inline std::string hex_mismatch(uint32_t v, int width) {
  return field_mismatch<kRowHexRoom>([&](char* o) { return row_format_hex(o, v, width); }, "%0*X",
                                     width, v);
}

}  // namespace quarrow::test
