#include "bus/bits.h"

#include <gtest/gtest.h>

#include <vector>

namespace quarrow {
namespace {

struct BitsCase {
  const char* what;
  std::vector<uint8_t> bytes;
  uint64_t position;
  uint64_t count;
  bool little_endian;
  uint64_t expected;
};

class BitsExtractTest : public testing::TestWithParam<BitsCase> {};

TEST_P(BitsExtractTest, ReadsTheField) {
  const BitsCase& c = GetParam();
  EXPECT_EQ(bits_extract(c.bytes.data(), c.bytes.size(), c.position, c.count, c.little_endian),
            c.expected)
      << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BitsExtractTest,
    testing::Values(
        BitsCase{"le nibble offset", {0xAB, 0xCD}, 4, 12, true, 0xCDA},
        BitsCase{"be nibble offset", {0xAB, 0xCD}, 4, 12, false, 0xBCD},
        BitsCase{"le whole byte", {0x12, 0x34}, 8, 8, true, 0x34},
        BitsCase{"le u16", {0x34, 0x12}, 0, 16, true, 0x1234},
        BitsCase{"be u16", {0x12, 0x34}, 0, 16, false, 0x1234},
        BitsCase{"single bit 0", {0x01}, 0, 1, true, 1},
        BitsCase{"single bit 7 le", {0x80}, 7, 1, true, 1},
        BitsCase{"single bit 0 be is the top bit", {0x80}, 0, 1, false, 1},
        BitsCase{"le u64", {1, 2, 3, 4, 5, 6, 7, 8}, 0, 64, true, 0x0807060504030201ull},
        BitsCase{"be u64", {1, 2, 3, 4, 5, 6, 7, 8}, 0, 64, false, 0x0102030405060708ull},
        BitsCase{"le 64 bits over nine bytes",
                 {0xF0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x8F},
                 4,
                 64,
                 true,
                 0xF77665544332211Full},
        BitsCase{"be 64 bits over nine bytes",
                 {0x0F, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x8F},
                 4,
                 64,
                 false,
                 0xF112233445566778ull},
        BitsCase{"field ending past the data", {0, 0, 0, 0, 0, 0, 0, 0xFF}, 60, 8, true, 0},
        BitsCase{"field starting past the data", {0xFF}, 8, 1, true, 0},
        BitsCase{"more than 64 bits", std::vector<uint8_t>(16, 0xFF), 0, 65, true, 0},
        BitsCase{"no bits", {0xFF}, 0, 0, true, 0},
        BitsCase{"last bit of the data", {0x00, 0x80}, 15, 1, true, 1}));

TEST(BitsExtract, FieldBeyondTheFirst8192BytesReadsCorrectly) {
  std::vector<uint8_t> bytes(9000, 0);
  bytes[8500] = 0x34;
  bytes[8501] = 0x12;
  EXPECT_EQ(bits_extract(bytes.data(), bytes.size(), 8500ull * 8, 16, true), 0x1234u);
  EXPECT_EQ(bits_extract(bytes.data(), bytes.size(), 8500ull * 8, 16, false), 0x3412u);
}

TEST(BitsExtract, HugePositionDoesNotWrap) {
  uint8_t bytes[2] = {0xFF, 0xFF};
  EXPECT_EQ(bits_extract(bytes, 2, 1ull << 40, 8, true), 0u);
  EXPECT_EQ(bits_extract(bytes, 2, UINT64_MAX - 3, 8, true), 0u);
  EXPECT_EQ(bits_extract(bytes, 2, 0, UINT64_MAX, true), 0u);
}

}  // namespace
}  // namespace quarrow
