#include "bus/channel_recognition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "bus/conversion.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/file_blocks.h"

namespace quarrow {
namespace {

// Blocks built in memory, as the reader leaves them after a load.
CnBlock* make_channel(const std::string& name, BlockRef* owner) {
  auto* cn = new CnBlock(block_descriptor(BLOCK_CN));
  auto* tx = new TxBlock(block_descriptor(BLOCK_TX));
  EXPECT_TRUE(tx->text.assign(StringView(name.data(), name.size())));
  cn->cn_tx_name = BlockRef::adopt(tx);
  cn->cn_bit_count = 8;
  cn->data_type = DATA_UINT_LE;
  *owner = BlockRef::adopt(cn);
  return cn;
}

BlockRef make_group(const std::vector<std::string>& names, uint64_t record_id,
                    uint32_t data_bytes = 8, bool with_source = true) {
  auto* cg = new CgBlock(block_descriptor(BLOCK_CG));
  for (const std::string& name : names) {
    BlockRef cn;
    make_channel(name, &cn);
    EXPECT_TRUE(cg->cg_cn_list.append(std::move(cn)));
  }
  cg->cg_record_id = record_id;
  cg->cg_data_bytes = data_bytes;
  if (with_source) {
    auto* si = new SiBlock(block_descriptor(BLOCK_SI));
    si->source_kind = SOURCE_BUS;
    cg->cg_si_acq_source = BlockRef::adopt(si);
  }
  return BlockRef::adopt(cg);
}

RecordLayoutMap& layouts(BlockRef* owner, std::vector<BlockRef> groups, uint8_t rec_id_size) {
  auto* dg = new DgBlock(block_descriptor(BLOCK_DG));
  for (BlockRef& g : groups) EXPECT_TRUE(dg->dg_cg_list.append(std::move(g)));
  dg->dg_rec_id_size = rec_id_size;
  record_layouts_build(dg);
  *owner = BlockRef::adopt(dg);
  return dg->record_layouts;
}

// Nested members give only their leaves; only a VLSD channel keeps its data.
TEST(ChannelInfoAdd, TakesLeavesAndVariableDataBlocks) {
  BlockRef frame, inner, dlc, fixed, vlsd;
  BlockRef sd = BlockRef::adopt(new SdBlock(block_descriptor(BLOCK_SD)));
  CnBlock* leaf = make_channel("CAN_DataFrame.DLC", &dlc);
  leaf->cn_byte_offset = 13;
  leaf->cn_bit_offset = 3;
  make_channel("CAN_DataFrame.Inner", &inner)->cn_member_list.append(dlc);
  make_channel("CAN_DataFrame.DataBytes", &fixed)->cn_data = sd;
  CnBlock* variable = make_channel("CAN_DataFrame.DataBytes", &vlsd);
  variable->cn_data = sd;
  variable->kind = CHANNEL_VLSD;
  CnBlock* parent = make_channel("CAN_DataFrame", &frame);
  for (BlockRef* m : {&inner, &fixed, &vlsd}) ASSERT_TRUE(parent->cn_member_list.append(*m));
  ChannelInfoList list;
  channel_info_add(parent, &list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].role, ROLE_DLC);
  EXPECT_EQ(list[0].bit_position, 13u * 8 + 3);
  EXPECT_EQ(list[1].data_block, nullptr);
  EXPECT_EQ(list[2].data_block, sd.get());
}

// An unsupported channel stays, so that its group gives no frames.
TEST(ChannelInfoAdd, MapsDataTypesAndWarnsAboutUnsupportedOnes) {
  const std::tuple<ChannelDataType, ValueClass, uint8_t> cases[] = {
      {DATA_UINT_LE, VALUE_UINT, 1},     {DATA_UINT_BE, VALUE_UINT, 0},
      {DATA_FLOAT_LE, VALUE_FLOAT, 1},   {DATA_FLOAT_BE, VALUE_FLOAT, 0},
      {DATA_BYTE_ARRAY, VALUE_BYTES, 1}, {DATA_UNSUPPORTED, VALUE_UINT, 0}};
  for (const auto& [type, value_class, little_endian] : cases) {
    BlockRef cn;
    ChannelInfoList list;
    testing::internal::CaptureStderr();
    make_channel("CAN_DataFrame.ID", &cn)->data_type = type;
    channel_info_add(block_as<CnBlock>(cn), &list);
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::tuple(list[0].value_class, list[0].little_endian),
              std::tuple(value_class, little_endian))
        << type;
    EXPECT_EQ(log.find("Unsupported channel data type: 0") != std::string::npos,
              type == DATA_UNSUPPORTED)
        << log;
  }
}

// Linear takes offset then factor; a value table the first pair of a key, else
// the nearest key, the lower on a tie; other types are the identity.
TEST(ChannelInfoAdd, AppliesTheConversionOfItsType) {
  const struct {
    uint8_t type;
    std::vector<double> values;
    double raw, expected;
  } cases[] = {
      // clang-format off
      {1, {2.0, 0.5}, 10, 7.0}, {1, {5.0}, 3, 3}, {0, {}, 3, 3}, {2, {1, 2, 3, 4, 5, 6}, 3, 3},
      {4, {1, 10, 2, 20}, 1, 1}, {5, {1, 10, 1, 20}, 1, 10}, {5, {1, 10, 2, 20, 3, 30}, 2, 20},
      {5, {1, 10, 5, 50}, 4, 50}, {5, {1, 10, 5, 50}, 2, 10}, {5, {1, 10, 5, 50}, 3, 10},
      {5, {5, 50, 1, 10}, -7, 10}, {5, {5, 50, 1, 10}, 99, 50}, {5, {1, 10, 7}, 7, 10},
      {5, {}, 3, 3}, {5, {-0.0, 8, 4, 40}, 0.0, 8}, {5, {1, 10}, NAN, NAN},
      // clang-format on
  };
  ChannelInfoList list;
  for (const auto& c : cases) {
    BlockRef cn;
    auto* cc = new CcBlock(block_descriptor(BLOCK_CC));
    cc->cc_type = c.type;
    cc->cc_val_count = static_cast<uint16_t>(c.values.size());
    cc->cc_val = static_cast<double*>(std::malloc(sizeof(double) * (c.values.size() + 1)));
    std::copy(c.values.begin(), c.values.end(), cc->cc_val);
    make_channel("x", &cn)->cn_cc_conversion = BlockRef::adopt(cc);
    channel_info_add(block_as<CnBlock>(cn), &list);
  }
  // The list grew by moving its conversions; each must still hold its own.
  for (size_t i = 0; i < std::size(cases); ++i) {
    const double got = conversion_apply(list[i].conversion, cases[i].raw);
    EXPECT_TRUE(std::isnan(cases[i].expected) ? std::isnan(got) : got == cases[i].expected)
        << i << ": " << got;
  }
}

TEST(RecordLayoutsBuild, KeysGroupsByRecordIdFirstComeFirstServed) {
  BlockRef owner;
  BlockRef oversized = make_group({"CAN_DataFrame.ID"}, 6, 0xFFFFFFF0u);
  block_as<CgBlock>(oversized)->cg_inval_bytes = 0x20;
  BlockRef stranger = make_group({"LIN_Frame.ID"}, 77);
  BlockRef first = make_group({"Timestamp", "CAN_DataFrame.ID"}, 1, 12);
  RecordLayoutMap& map = layouts(&owner,
                                 {first, make_group({"LIN_Frame.ID"}, 1), oversized,
                                  make_group({"CAN_DataFrame.ID"}, 7, 8, false)},
                                 1);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.find(1)->value.kind, FRAME_CAN_DATA);
  EXPECT_EQ(map.find(1)->value.record_size, 12u);
  EXPECT_EQ(map.find(6), nullptr);                 // record size beyond 32 bits
  EXPECT_EQ(map.find(7)->value.kind, FRAME_NONE);  // no source
  DgBlock* dg = block_as<DgBlock>(owner);
  EXPECT_EQ(group_kind(dg, block_as<CgBlock>(first)), FRAME_CAN_DATA);
  EXPECT_EQ(group_kind(dg, block_as<CgBlock>(stranger)), FRAME_NONE);
  EXPECT_EQ(group_kind(nullptr, block_as<CgBlock>(first)), FRAME_NONE);

  // Without record ids the first group is read under key 0.
  BlockRef lin = make_group({"LIN_Frame.ID"}, 7);
  RecordLayoutMap& sorted = layouts(&owner, {lin, make_group({"CAN_DataFrame.ID"}, 0)}, 0);
  ASSERT_EQ(sorted.size(), 1u);
  EXPECT_EQ(sorted.find(0)->value.kind, FRAME_LIN);
  EXPECT_EQ(group_kind(block_as<DgBlock>(owner), block_as<CgBlock>(lin)), FRAME_LIN);
}

}  // namespace
}  // namespace quarrow
