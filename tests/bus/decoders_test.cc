#include "bus/decoders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "bus/conversion.h"

namespace quarrow {
namespace {

// Any non-null block marks a channel as variable-length; the decoders never
// look at it.
BlockBase* const kSomeBlock = reinterpret_cast<BlockBase*>(0x10);

// A record under construction: channels with their fixed bytes, and the
// variable-data entries of the channels that have a data block.
class RecordBuilder {
 public:
  // A little-endian unsigned channel of `bytes` whole bytes at the end of the
  // record so far, holding value.
  RecordBuilder& uint(ChannelRole role, uint64_t value, uint32_t bytes = 4) {
    ChannelInfo& c = add(role, VALUE_UINT, bytes * 8);
    c.little_endian = 1;
    for (uint32_t i = 0; i < bytes; ++i) fixed_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  RecordBuilder& real(ChannelRole role, double value) {
    ChannelInfo& c = add(role, VALUE_FLOAT, 64);
    c.little_endian = 1;
    uint8_t b[8];
    std::memcpy(b, &value, 8);
    fixed_.insert(fixed_.end(), b, b + 8);
    return *this;
  }
  RecordBuilder& bytes(ChannelRole role, const std::vector<uint8_t>& data) {
    ChannelInfo& c = add(role, VALUE_BYTES, data.size() * 8);
    c.little_endian = 1;
    fixed_.insert(fixed_.end(), data.begin(), data.end());
    return *this;
  }
  // A byte-array channel whose value lives in the variable data; its fixed
  // part is a 4-byte offset nobody reads.
  RecordBuilder& variable(ChannelRole role, const std::vector<uint8_t>& data,
                          int64_t stated_length = -1) {
    ChannelInfo& c = add(role, VALUE_BYTES, 32);
    c.little_endian = 1;
    c.data_block = kSomeBlock;
    fixed_.insert(fixed_.end(), 4, 0);
    uint32_t n = stated_length < 0 ? data.size() : static_cast<uint32_t>(stated_length);
    for (int i = 0; i < 4; ++i) variable_.push_back(static_cast<uint8_t>(n >> (8 * i)));
    variable_.insert(variable_.end(), data.begin(), data.end());
    return *this;
  }
  ChannelInfo& last() { return channels_.back(); }

  RecordView view() const {
    return RecordView{fixed_.data(), fixed_.size(), variable_.data(), variable_.size(), &channels_};
  }

 private:
  ChannelInfo& add(ChannelRole role, ValueClass value_class, uint64_t bit_count) {
    ChannelInfo c;
    c.role = role;
    c.value_class = value_class;
    c.bit_position = fixed_.size() * 8;
    c.bit_count = bit_count;
    EXPECT_TRUE(channels_.append(std::move(c)));
    return channels_.back();
  }

  ChannelInfoList channels_;
  std::vector<uint8_t> fixed_;
  std::vector<uint8_t> variable_;
};

std::vector<uint8_t> count_up(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i + 1);
  return v;
}

TEST(CanDataDecoder, FillsEveryField) {
  RecordBuilder r;
  r.real(ROLE_TIMESTAMP, 1.25)
      .uint(ROLE_BUS_CHANNEL, 2, 1)
      .uint(ROLE_ID, 0x1ABCDEF)
      .uint(ROLE_IDE, 1, 1)
      .uint(ROLE_DLC, 13, 1)
      .uint(ROLE_DATA_LENGTH, 32, 1)
      .uint(ROLE_DIR, 1, 1)
      .uint(ROLE_EDL, 1, 1)
      .uint(ROLE_BRS, 1, 1)
      .uint(ROLE_ESI, 1, 1)
      .bytes(ROLE_DATA_BYTES, count_up(32));
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(r.view(), &f), FRAME_CAN_DATA);
  const CanFrame& can = f.can;
  EXPECT_EQ(can.kind, FRAME_CAN_DATA);
  EXPECT_EQ(can.timestamp, 1.25);
  EXPECT_EQ(can.bus_channel, 2);
  EXPECT_EQ(can.id, 0x1ABCDEFu);
  EXPECT_EQ(can.ide, 1);
  EXPECT_EQ(can.dlc, 13);
  EXPECT_EQ(can.data_length, 32u);
  EXPECT_EQ(can.dir, 1);
  EXPECT_EQ(can.edl, 1);
  EXPECT_EQ(can.brs, 1);
  EXPECT_EQ(can.esi, 1);
  EXPECT_EQ(can.rtr, 0);
  ASSERT_EQ(can.data, can.bytes);
  EXPECT_EQ(std::vector<uint8_t>(can.bytes, can.bytes + 32), count_up(32));
  EXPECT_EQ(can.bytes[32], 0);
}

TEST(CanDataDecoder, UnknownChannelGivesNoFrame) {
  RecordBuilder r;
  r.real(ROLE_TIMESTAMP, 1).uint(ROLE_ID, 5).uint(ROLE_NONE, 1);
  FrameBuffer f;
  EXPECT_EQ(decode_can_data(r.view(), &f), FRAME_INVALID);
  EXPECT_EQ(f.can.kind, FRAME_NONE);
  EXPECT_EQ(f.can.data, nullptr);
  EXPECT_EQ(f.can.data_length, 0u);
}

TEST(CanDataDecoder, LinRoleGivesNoFrame) {
  RecordBuilder r;
  r.real(ROLE_TIMESTAMP, 1).uint(ROLE_LIN_ID, 5);
  FrameBuffer f;
  EXPECT_EQ(decode_can_data(r.view(), &f), FRAME_INVALID);
}

TEST(CanDataDecoder, PhysicalIdIsTruncatedAndOredOverIdChannels) {
  RecordBuilder r;
  r.real(ROLE_ID, 291.0).uint(ROLE_ID, 0x1000);
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(r.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(f.can.id, 0x1123u);
}

TEST(CanDataDecoder, LinearConversionAppliesToTheId) {
  RecordBuilder r;
  r.uint(ROLE_ID, 100);
  const double values[] = {1.0, 2.0};
  ASSERT_TRUE(conversion_set_linear(&r.last().conversion, values, 2));
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(r.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(f.can.id, 201u);
}

TEST(CanDataDecoder, VariableDataOf64BytesIsCopiedWhole) {
  RecordBuilder r;
  r.uint(ROLE_DATA_LENGTH, 64, 1).variable(ROLE_DATA_BYTES, count_up(64));
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(r.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(std::vector<uint8_t>(f.can.bytes, f.can.bytes + 64), count_up(64));
}

TEST(CanDataDecoder, VariableDataOf65BytesGivesNoFrame) {
  RecordBuilder r;
  r.uint(ROLE_DATA_LENGTH, 64, 1).variable(ROLE_DATA_BYTES, count_up(65));
  FrameBuffer f;
  EXPECT_EQ(decode_can_data(r.view(), &f), FRAME_INVALID);
  EXPECT_EQ(f.can.data, nullptr);
}

TEST(CanDataDecoder, VariableEntryLongerThanTheDataGivesNoFrame) {
  RecordBuilder r;
  r.uint(ROLE_DATA_LENGTH, 8, 1).variable(ROLE_DATA_BYTES, count_up(8), 9);
  FrameBuffer f;
  EXPECT_EQ(decode_can_data(r.view(), &f), FRAME_INVALID);
}

TEST(CanDataDecoder, MissingVariableEntryReadsAsEmpty) {
  ChannelInfoList channels;
  ChannelInfo length;
  length.role = ROLE_DATA_LENGTH;
  length.bit_count = 8;
  length.little_endian = 1;
  ChannelInfo data;
  data.role = ROLE_DATA_BYTES;
  data.value_class = VALUE_BYTES;
  data.data_block = kSomeBlock;
  ASSERT_TRUE(channels.append(std::move(length)));
  ASSERT_TRUE(channels.append(std::move(data)));
  const uint8_t fixed[] = {2};
  RecordView view{fixed, 1, nullptr, 0, &channels};
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(view, &f), FRAME_CAN_DATA);
  EXPECT_EQ(f.can.data_length, 2u);
  EXPECT_EQ(f.can.bytes[0], 0);
}

TEST(CanDataDecoder, FixedByteArrayIsClippedToStorageAndRecord) {
  RecordBuilder r;
  r.bytes(ROLE_DATA_BYTES, count_up(70));
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(r.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(std::vector<uint8_t>(f.can.bytes, f.can.bytes + 64), count_up(64));

  RecordBuilder s;
  s.bytes(ROLE_DATA_BYTES, count_up(4));
  s.last().bit_count = 64 * 8;  // claims more than the record holds
  ASSERT_EQ(decode_can_data(s.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(std::vector<uint8_t>(f.can.bytes, f.can.bytes + 5),
            (std::vector<uint8_t>{1, 2, 3, 4, 0}));
}

struct FlagCase {
  double value;
  uint8_t flag;
  uint8_t byte;
};

class CanFieldWaysTest : public testing::TestWithParam<FlagCase> {};

TEST_P(CanFieldWaysTest, FlagAndByteFollowTruncation) {
  RecordBuilder r;
  r.real(ROLE_IDE, GetParam().value).real(ROLE_DLC, GetParam().value);
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(r.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(f.can.ide, GetParam().flag);
  EXPECT_EQ(f.can.dlc, GetParam().byte);
}

INSTANTIATE_TEST_SUITE_P(Values, CanFieldWaysTest,
                         testing::Values(FlagCase{0.0, 0, 0}, FlagCase{0.9, 0, 0},
                                         FlagCase{-0.9, 0, 0}, FlagCase{1.0, 1, 1},
                                         FlagCase{2.7, 1, 2}, FlagCase{-1.0, 1, 0xFF},
                                         FlagCase{258.0, 1, 2}, FlagCase{NAN, 1, 0},
                                         FlagCase{1e12, 1, 0}, FlagCase{-1e12, 1, 0}));

TEST(CanDataDecoder, SinglePrecisionTimestamp) {
  RecordBuilder r;
  float t = 2.5f;
  uint32_t bits;
  std::memcpy(&bits, &t, 4);
  r.uint(ROLE_TIMESTAMP, bits, 4);
  r.last().value_class = VALUE_FLOAT;
  FrameBuffer f;
  ASSERT_EQ(decode_can_data(r.view(), &f), FRAME_CAN_DATA);
  EXPECT_EQ(f.can.timestamp, 2.5);
}

TEST(CanRemoteDecoder, DataLengthWithZeroBytes) {
  RecordBuilder r;
  r.real(ROLE_TIMESTAMP, 3).uint(ROLE_ID, 0x7FF).uint(ROLE_DLC, 8, 1).uint(ROLE_DATA_LENGTH, 8, 1);
  FrameBuffer f;
  std::memset(&f, 0xEE, sizeof(f));
  ASSERT_EQ(decode_can_remote(r.view(), &f), FRAME_CAN_REMOTE);
  EXPECT_EQ(f.can.kind, FRAME_CAN_REMOTE);
  EXPECT_EQ(f.can.rtr, 1);
  EXPECT_EQ(f.can.data_length, 8u);
  EXPECT_EQ(f.can.id, 0x7FFu);
  ASSERT_EQ(f.can.data, f.can.bytes);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(f.can.bytes[i], 0);
}

TEST(CanRemoteDecoder, DataBytesChannelGivesNoFrame) {
  RecordBuilder r;
  r.uint(ROLE_ID, 1).bytes(ROLE_DATA_BYTES, {1, 2});
  FrameBuffer f;
  EXPECT_EQ(decode_can_remote(r.view(), &f), FRAME_INVALID);
  EXPECT_EQ(f.can.kind, FRAME_NONE);
}

struct ErrorTypeCase {
  double value;
  uint32_t expected;
};

class CanErrorDecoderTest : public testing::TestWithParam<ErrorTypeCase> {};

TEST_P(CanErrorDecoderTest, ErrorTypeOutsideOneToFiveIsZero) {
  RecordBuilder r;
  r.real(ROLE_TIMESTAMP, 0.5).uint(ROLE_BUS_CHANNEL, 3, 1).real(ROLE_ERROR_TYPE, GetParam().value);
  FrameBuffer f;
  ASSERT_EQ(decode_can_error(r.view(), &f), FRAME_CAN_ERROR);
  EXPECT_EQ(f.error.kind, FRAME_CAN_ERROR);
  EXPECT_EQ(f.error.error_type, GetParam().expected);
  EXPECT_EQ(f.error.bus_channel, 3);
  EXPECT_EQ(f.error.timestamp, 0.5);
  EXPECT_EQ(f.error.data, nullptr);
  EXPECT_EQ(f.error.id, 0u);
}

INSTANTIATE_TEST_SUITE_P(Types, CanErrorDecoderTest,
                         testing::Values(ErrorTypeCase{7, 0}, ErrorTypeCase{3, 3},
                                         ErrorTypeCase{1, 1}, ErrorTypeCase{5, 5},
                                         ErrorTypeCase{0, 0}, ErrorTypeCase{261, 5}));

TEST(CanErrorDecoder, OtherRoleGivesNoFrame) {
  RecordBuilder r;
  r.real(ROLE_TIMESTAMP, 0.5).uint(ROLE_ID, 3);
  FrameBuffer f;
  EXPECT_EQ(decode_can_error(r.view(), &f), FRAME_INVALID);
}

TEST(LinDecoder, FillsEveryField) {
  RecordBuilder r;
  r.real(ROLE_TIMESTAMP, 4.5)
      .uint(ROLE_LIN_BUS_CHANNEL, 1, 1)
      .uint(ROLE_LIN_ID, 0x05, 1)
      .uint(ROLE_LIN_DATA_LENGTH, 4, 1)
      .uint(ROLE_LIN_RECEIVED_COUNT, 3, 1)
      .real(ROLE_LIN_DIR, -1.0)
      .bytes(ROLE_LIN_DATA_BYTES, {0xA1, 0xB2, 0xC3, 0xD4});
  FrameBuffer f;
  ASSERT_EQ(decode_lin(r.view(), &f), FRAME_LIN);
  const LinFrame& lin = f.lin;
  EXPECT_EQ(lin.kind, FRAME_LIN);
  EXPECT_EQ(lin.timestamp, 4.5);
  EXPECT_EQ(lin.bus_channel, 1);
  EXPECT_EQ(lin.id, 5u);
  EXPECT_EQ(lin.data_length, 4u);
  EXPECT_EQ(lin.received_count, 3);
  EXPECT_EQ(lin.dir, 1);
  ASSERT_EQ(lin.data, lin.bytes);
  EXPECT_EQ(std::vector<uint8_t>(lin.bytes, lin.bytes + 8),
            (std::vector<uint8_t>{0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 0, 0}));
}

TEST(LinDecoder, DirZeroIsZero) {
  RecordBuilder r;
  r.real(ROLE_LIN_DIR, 0.0);
  FrameBuffer f;
  ASSERT_EQ(decode_lin(r.view(), &f), FRAME_LIN);
  EXPECT_EQ(f.lin.dir, 0);
}

TEST(LinDecoder, TakesTheFirstEightBytes) {
  RecordBuilder r;
  r.bytes(ROLE_LIN_DATA_BYTES, count_up(12));
  FrameBuffer f;
  ASSERT_EQ(decode_lin(r.view(), &f), FRAME_LIN);
  EXPECT_EQ(std::vector<uint8_t>(f.lin.bytes, f.lin.bytes + 8), count_up(8));
}

TEST(LinDecoder, ReadsVariableLengthDataBytes) {
  RecordBuilder r;
  r.uint(ROLE_LIN_DATA_LENGTH, 2, 1).variable(ROLE_LIN_DATA_BYTES, {0x11, 0x22});
  FrameBuffer f;
  ASSERT_EQ(decode_lin(r.view(), &f), FRAME_LIN);
  EXPECT_EQ(f.lin.bytes[0], 0x11);
  EXPECT_EQ(f.lin.bytes[1], 0x22);
}

TEST(LinDecoder, CanRoleGivesNoFrame) {
  RecordBuilder r;
  r.uint(ROLE_LIN_ID, 1, 1).uint(ROLE_ID, 1, 1);
  FrameBuffer f;
  EXPECT_EQ(decode_lin(r.view(), &f), FRAME_INVALID);
  EXPECT_EQ(f.lin.kind, FRAME_NONE);
  EXPECT_EQ(f.lin.data, nullptr);
}

TEST(NoFrameDecoder, OnlyClearsTheKind) {
  RecordBuilder r;
  r.uint(ROLE_ID, 1);
  FrameBuffer f;
  std::memset(&f, 0, sizeof(f));
  f.can.id = 77;
  f.can.kind = FRAME_CAN_DATA;
  EXPECT_EQ(decode_no_frame(r.view(), &f), FRAME_INVALID);
  EXPECT_EQ(f.can.kind, FRAME_NONE);
  EXPECT_EQ(f.can.id, 77u);
}

TEST(VariableCursor, WalksEntriesAndRejectsOverlongOnes) {
  const uint8_t data[] = {2, 0, 0, 0, 0xAA, 0xBB, 9, 0, 0, 0, 1};
  VariableCursor cursor{data, sizeof(data), 0};
  const uint8_t* bytes;
  uint64_t length;
  ASSERT_TRUE(variable_next(&cursor, &bytes, &length));
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(bytes[1], 0xBB);
  EXPECT_FALSE(variable_next(&cursor, &bytes, &length));
  VariableCursor tail{data, 3, 0};
  ASSERT_TRUE(variable_next(&tail, &bytes, &length));
  EXPECT_EQ(length, 0u);
}

}  // namespace
}  // namespace quarrow
