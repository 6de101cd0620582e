#include "csv/row_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "csv/row_format_check.h"

namespace quarrow::test {
namespace {

#ifdef __SANITIZE_ADDRESS__  // the sanitizer build formats many times slower
constexpr uint64_t kCasesPerDraw = 60'000;
#else
constexpr uint64_t kCasesPerDraw = 1'200'000;
#endif

bool time_agrees(double value) {
  const std::string mismatch = time_mismatch(value);
  if (!mismatch.empty()) ADD_FAILURE() << std::hexfloat << value << ": " << mismatch;
  return mismatch.empty();
}

using Rng = std::mt19937_64;

uint64_t below(Rng& rng, uint64_t n) {
  return rng() % n;
}

// Seconds since 1970 of a recording made 2001..2033, plus up to `steps` of `step`.
double recorded(Rng& rng, uint64_t steps, double step) {
  return static_cast<double>(1'000'000'000 + below(rng, 1'000'000'000)) +
         static_cast<double>(below(rng, steps)) * step;
}

// Within three ulps of x.xxxxxx5, half-way between two printed values.
double near_rounding_edge(Rng& rng) {
  const double whole = std::floor(std::ldexp(static_cast<double>(rng() >> 11), -53) *
                                  std::pow(10.0, static_cast<double>(below(rng, 12))));
  double v = whole + (static_cast<double>(below(rng, 1'000'000)) + 0.5) * 1e-6;
  const double direction = rng() & 1 ? INFINITY : 0.0;
  for (uint64_t steps = below(rng, 4); steps > 0; --steps) v = std::nextafter(v, direction);
  return rng() & 1 ? -v : v;
}

struct Draw {
  const char* name;
  double (*value)(Rng& rng);
};

// clang-format off
const Draw kDraws[] = {
    {"AnyBitPattern", [](Rng& rng) { return std::bit_cast<double>(rng()); }},
    // Sign and exponent from one below to one above the fast path.
    {"FastRangeBitPattern", [](Rng& rng) {
       return std::bit_cast<double>((rng() & 0x800F'FFFF'FFFF'FFFFull) |
                                    (1023 - 17 + below(rng, 55)) << 52); }},
    // Ticks of a binary clock: the product with a power of ten is often whole.
    {"FastRangeShortSignificand", [](Rng& rng) {
       const uint64_t significand = rng() & (0xF'FFFF'FFFF'FFFFull << below(rng, 53));
       return std::bit_cast<double>(significand | (rng() & 1) << 63 |
                                    (1023 - 16 + below(rng, 53)) << 52); }},
    {"TimestampMicroseconds", [](Rng& rng) { return recorded(rng, 1'000'000, 1e-6); }},
    {"TimestampNanoseconds", [](Rng& rng) { return recorded(rng, 1'000'000'000, 1e-9); }},
    {"StartPlusMicrosecondSteps", [](Rng& rng) { return recorded(rng, 1ull << 40, 1e-6); }},
    {"SmallValues", [](Rng& rng) {
       return std::ldexp(static_cast<double>(rng() >> 11), -53) *
              std::pow(10.0, static_cast<double>(below(rng, 12)) - 5); }},
    {"Negatives", [](Rng& rng) { return -std::ldexp(static_cast<double>(rng() >> 11), -22); }},
    {"NearRoundingEdge", near_rounding_edge},
};
// clang-format on

class RowFormatTimeDraw : public testing::TestWithParam<Draw> {};

TEST_P(RowFormatTimeDraw, PrintsWhatTheFormatterPrints) {
  Rng rng(20240601);
  int failures = 0;
  for (uint64_t i = 0; i < kCasesPerDraw && failures < 5; ++i)
    failures += !time_agrees(GetParam().value(rng));
}

INSTANTIATE_TEST_SUITE_P(RowFormat, RowFormatTimeDraw, testing::ValuesIn(kDraws),
                         [](const testing::TestParamInfo<Draw>& info) { return info.param.name; });

TEST(RowFormatTest, TimeAgreesAtEdgeValuesAndTheirNeighbours) {
  const double kEdges[] = {
      0.0, 1.0, 0.5e-6, 1.5e-6, 0.9999995, 9.9999995, 99.9999995, 999999.9999995,
      // The bounds of the fast path: 2^-16 and 2^37.
      0x1p-16, 0x1p-17, 0x1p37, 0x1p38,
      // Where the printed width passes 10 and where a carry adds a digit.
      9.999999, 99.999999, 999.999999, 9.99999949999, 1e9, 1e10, 2e9, 1.7e9 + 0.0000005,
      // Beyond the fast path: from 1e12 the formatter no longer rounds.
      0x1p53, 0x1p53 + 2, 1e11, 1e12, 1e15, 1e15 + 0.5, 1e16, 1e17, 1e18, 1e19, 1e22, 1e23, 1e100,
      1e300, DBL_MAX, DBL_MIN, DBL_TRUE_MIN, DBL_MIN / 3, 1e-5, 1e-7, 4.9e-7, 5e-7, NAN, INFINITY,
      std::bit_cast<double>(0x7FF0'0000'0000'0001), std::bit_cast<double>(0x7FF8'0000'DEAD'BEEF),
      std::bit_cast<double>(0x7FFF'FFFF'FFFF'FFFF)};
  for (double edge : kEdges)
    for (double v : {edge, -edge}) {
      double lo = v, hi = v;  // and three neighbours on each side
      for (int i = 0; i < 4;
           ++i, lo = std::nextafter(lo, -INFINITY), hi = std::nextafter(hi, INFINITY))
        time_agrees(lo), time_agrees(hi);
    }
}

TEST(RowFormatTest, IntAndHexAgreeWithTheFormatterAtEveryWidth) {
  for (int32_t v : {0, 1, -1, 9, 10, -10, 99, 100, 12345678, 123456789, -99999999, INT32_MAX,
                    INT32_MIN + 1, INT32_MIN})
    EXPECT_EQ(int_mismatch(v), "") << v;
  for (int width : {2, 3, 8}) {
    for (uint32_t v : {0u, 1u, 0xFu, 0x10u, 0xFFu, 0x100u, 0x7FFu, 0xFFFu, 0x1000u, 0x1234567u,
                       0x89ABCDEFu, 0x1FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
      EXPECT_EQ(hex_mismatch(v, width), "") << v << " width " << width;
  }
}

}  // namespace
}  // namespace quarrow::test
