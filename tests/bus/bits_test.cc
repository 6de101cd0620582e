#include "bus/bits.h"

#include <gtest/gtest.h>

#include <vector>

namespace quarrow {
namespace {

TEST(BitsExtract, ReadsFieldsInBothByteOrdersAndNothingOutsideTheData) {
  std::vector<uint8_t> far(9000, 0);  // two bytes beyond any small fixed window
  far[8500] = 0x34;
  far[8501] = 0x12;
  const struct {
    std::vector<uint8_t> bytes;
    uint64_t position, count;
    bool little_endian;
    uint64_t expected;
  } cases[] = {
      // clang-format off
      {{0xAB, 0xCD}, 4, 12, true, 0xCDA}, {{0xAB, 0xCD}, 4, 12, false, 0xBCD},
      {{0x80}, 7, 1, true, 1}, {{0x80}, 0, 1, false, 1},  // big-endian bit 0 is the top bit
      {{0x00, 0x80}, 15, 1, true, 1},
      {far, 8500 * 8, 16, true, 0x1234}, {far, 8500 * 8, 16, false, 0x3412},
      {{1, 2, 3, 4, 5, 6, 7, 8}, 0, 64, true, 0x0807060504030201},
      {{1, 2, 3, 4, 5, 6, 7, 8}, 0, 64, false, 0x0102030405060708},
      {{0xF0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x8F}, 4, 64, true, 0xF77665544332211F},
      {{0x0F, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x8F}, 4, 64, false, 0xF112233445566778},
      // Fields within eight bytes of their first one, and one bit past that.
      {{0xF0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x8F}, 4, 12, true, 0x11F},
      {{0x0F, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x8F}, 4, 12, false, 0xF11},
      {{0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 7, 57, true, 0x1FFFFFFFFFFFFFF},
      {{0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 7, 58, true, 0x3FFFFFFFFFFFFFF},
      // Fields reaching outside the data, too wide or empty read as zero.
      {{0, 0, 0, 0, 0, 0, 0, 0xFF}, 60, 8, true, 0}, {{0xFF}, 8, 1, true, 0},
      {{0xFF, 0xFF}, uint64_t{1} << 40, 8, true, 0}, {{0xFF, 0xFF}, UINT64_MAX - 3, 8, true, 0},
      {{0xFF, 0xFF}, 0, UINT64_MAX, true, 0}, {std::vector<uint8_t>(16, 0xFF), 0, 65, true, 0},
      {{0xFF}, 0, 0, true, 0},
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(bits_extract(c.bytes.data(), c.bytes.size(), c.position, c.count, c.little_endian),
              c.expected)
        << c.position << "+" << c.count << (c.little_endian ? " le" : " be");
}

}  // namespace
}  // namespace quarrow
