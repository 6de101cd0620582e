#include "bus/decoders.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "bus/conversion.h"

// Records the writer cannot produce; the ordinary fields are pinned end to end.

namespace quarrow {
namespace {

// Little-endian channels of a record; a variable one (any non-null data block)
// adds an entry to the variable data, stated_length overriding its length.
class RecordBuilder {
 public:
  RecordBuilder& uint(ChannelRole role, uint64_t value, uint32_t bytes = 1) {
    put(&fixed_, value, bytes);
    return add(role, VALUE_UINT, bytes * 8);
  }
  RecordBuilder& real(ChannelRole role, double value) {
    uint(role, std::bit_cast<uint64_t>(value), 8).last().value_class = VALUE_FLOAT;
    return *this;
  }
  RecordBuilder& bytes(ChannelRole role, const std::vector<uint8_t>& data) {
    fixed_.insert(fixed_.end(), data.begin(), data.end());
    return add(role, VALUE_BYTES, data.size() * 8);
  }
  RecordBuilder& variable(ChannelRole role, const std::vector<uint8_t>& data,
                          int64_t stated_length = -1) {
    uint(role, 0, 4).last().value_class = VALUE_BYTES;
    last().data_block = reinterpret_cast<BlockBase*>(0x10);
    put(&variable_, stated_length < 0 ? data.size() : static_cast<uint64_t>(stated_length), 4);
    variable_.insert(variable_.end(), data.begin(), data.end());
    return *this;
  }
  ChannelInfo& last() { return channels_.back(); }
  RecordView view() const {
    return {fixed_.data(), fixed_.size(), variable_.data(), variable_.size(), &channels_};
  }

 private:
  RecordBuilder& add(ChannelRole role, ValueClass value_class, uint64_t bit_count) {
    EXPECT_TRUE(channels_.append(ChannelInfo()));
    ChannelInfo& c = last();
    c.role = role, c.value_class = value_class, c.bit_count = bit_count, c.little_endian = 1;
    c.bit_position = fixed_.size() * 8 - bit_count;
    return *this;
  }
  static void put(std::vector<uint8_t>* to, uint64_t value, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes; ++i) to->push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  ChannelInfoList channels_;
  std::vector<uint8_t> fixed_, variable_;
};

std::vector<uint8_t> count_up(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i + 1);
  return v;
}

TEST(Decoders, UnknownRolesAndDamagedPayloadsGiveNoFrame) {
  using R = RecordBuilder;
  const struct {
    const char* what;
    DecodeFn decode;
    void (*build)(RecordBuilder&);
  } cases[] = {
      // clang-format off
      {"unknown role", decode_can_data, [](R& r) { r.uint(ROLE_ID, 5).uint(ROLE_NONE, 1); }},
      {"LIN role in CAN", decode_can_data, [](R& r) { r.uint(ROLE_LIN_ID, 5); }},
      {"65 variable bytes", decode_can_data,
       [](R& r) { r.uint(ROLE_DATA_LENGTH, 64).variable(ROLE_DATA_BYTES, count_up(65)); }},
      {"entry longer than the data", decode_can_data,
       [](R& r) { r.variable(ROLE_DATA_BYTES, count_up(8), 9); }},
      {"bytes in a remote frame", decode_can_remote,
       [](R& r) { r.uint(ROLE_ID, 1).bytes(ROLE_DATA_BYTES, {1, 2}); }},
      {"id in an error frame", decode_can_error, [](R& r) { r.uint(ROLE_ID, 3); }},
      {"CAN role in LIN", decode_lin, [](R& r) { r.uint(ROLE_LIN_ID, 1).uint(ROLE_ID, 1); }},
      // clang-format on
  };
  for (const auto& c : cases) {
    RecordBuilder record;
    c.build(record);
    FrameBuffer f;
    std::memset(&f, 0xEE, sizeof f);
    EXPECT_EQ(c.decode(record.view(), &f), FRAME_INVALID) << c.what;
    EXPECT_EQ(f.frame.kind, FRAME_NONE) << c.what;
    EXPECT_EQ(f.frame.data, nullptr) << c.what;
  }
}

TEST(Decoders, PhysicalValuesAreConvertedAndTruncated) {
  RecordBuilder r;
  r.real(ROLE_ID, 291.9).uint(ROLE_ID, 0x800, 4).uint(ROLE_ID, 100, 4);
  const double linear[] = {1.0, 2.0};
  ASSERT_TRUE(conversion_set_linear(&r.last().conversion, linear, 2));
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(r.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(f.can.id, 0x123u | 0x800u | 201u);  // id channels are ORed

  // Flags are set by any value that truncates to non-zero; bytes keep the
  // low eight bits, and what does not fit an integer is zero.
  const struct {
    double value;
    uint8_t flag, byte;
  } cases[] = {{0.0, 0, 0},     {0.9, 0, 0},   {-0.9, 0, 0}, {1.0, 1, 1},  {2.7, 1, 2},
               {-1.0, 1, 0xFF}, {258.0, 1, 2}, {NAN, 1, 0},  {1e12, 1, 0}, {-1e12, 1, 0}};
  for (const auto& c : cases) {
    RecordBuilder can;
    can.real(ROLE_IDE, c.value).real(ROLE_DLC, c.value);
    ASSERT_EQ(decode_can_data(can.view(), &f), FRAME_CAN_DATA);
    EXPECT_EQ(f.can.ide, c.flag) << c.value;
    EXPECT_EQ(f.can.dlc, c.byte) << c.value;
  }

  // Integers too wide for a field: data frames take them without the double
  // that remote frames go through, with the same result.
  for (uint64_t raw : {0ull, 1ull, 255ull, 256ull, 0x7FFFFFFFull, 0x80000000ull, 0x100000005ull,
                       (1ull << 48) - 1, (1ull << 53) + 1, (1ull << 63) + 3})
    for (uint32_t width : {4u, 6u, 8u}) {
      RecordBuilder can;
      for (ChannelRole role : {ROLE_TIMESTAMP, ROLE_ID, ROLE_IDE, ROLE_DIR, ROLE_DLC,
                               ROLE_DATA_LENGTH, ROLE_BUS_CHANNEL})
        can.uint(role, raw, width);
      FrameBuffer remote;
      ASSERT_EQ(decode_can_data(can.view(), &f), FRAME_CAN_DATA);
      ASSERT_EQ(decode_can_remote(can.view(), &remote), FRAME_CAN_REMOTE);
      EXPECT_EQ(std::tuple(f.can.timestamp, f.can.id, f.can.ide, f.can.dir, f.can.dlc,
                           f.can.data_length, f.can.bus_channel),
                std::tuple(remote.can.timestamp, remote.can.id, remote.can.ide, remote.can.dir,
                           remote.can.dlc, remote.can.data_length, remote.can.bus_channel))
          << raw;
    }

  RecordBuilder single;
  single.uint(ROLE_TIMESTAMP, std::bit_cast<uint32_t>(2.5f), 4).last().value_class = VALUE_FLOAT;
  ASSERT_EQ(decode_can_data(single.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(f.can.timestamp, 2.5);
}

TEST(Decoders, PayloadsAreClippedToTheFrameAndTheRecord) {
  FrameBuffer f;
  RecordBuilder wide;
  wide.bytes(ROLE_DATA_BYTES, count_up(70));
  ASSERT_EQ(decode_can_data(wide.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(std::vector<uint8_t>(f.can.bytes, f.can.bytes + 64), count_up(64));

  RecordBuilder claims;
  claims.bytes(ROLE_DATA_BYTES, count_up(4)).last().bit_count = 64 * 8;
  ASSERT_EQ(decode_can_data(claims.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(std::vector<uint8_t>(f.can.bytes, f.can.bytes + 5),
            (std::vector<uint8_t>{1, 2, 3, 4, 0}));

  // A variable channel whose entry is missing reads as empty.
  RecordBuilder missing;
  missing.uint(ROLE_DATA_LENGTH, 2).variable(ROLE_DATA_BYTES, {});
  RecordView view = missing.view();
  view.variable_size = 0;
  ASSERT_EQ(decode_can_data(view, &f), FRAME_CAN_DATA);
  EXPECT_EQ(f.can.data_length, 2u);
  EXPECT_EQ(f.can.bytes[0], 0);
}

}  // namespace
}  // namespace quarrow
