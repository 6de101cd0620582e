#include "bus/channel_recognition.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bus/conversion.h"
#include "bus/decoders.h"
#include "log/log.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/file_blocks.h"

namespace quarrow {
namespace {

// Blocks built in memory, as the reader would leave them after a load.
BlockRef make_text(const std::string& text) {
  auto* tx = new TxBlock(block_descriptor(BLOCK_TX));
  EXPECT_TRUE(tx->text.assign(StringView(text.data(), text.size())));
  return BlockRef::adopt(tx);
}

struct ChannelSpec {
  std::string name;
  uint32_t byte_offset = 0;
  uint8_t bit_offset = 0;
  uint32_t bit_count = 8;
  ChannelDataType data_type = DATA_UINT_LE;
  ChannelKind kind = CHANNEL_FIXED;
};

BlockRef make_channel(const ChannelSpec& spec) {
  auto* cn = new CnBlock(block_descriptor(BLOCK_CN));
  if (!spec.name.empty()) cn->cn_tx_name = make_text(spec.name);
  cn->cn_byte_offset = spec.byte_offset;
  cn->cn_bit_offset = spec.bit_offset;
  cn->cn_bit_count = spec.bit_count;
  cn->data_type = spec.data_type;
  cn->kind = spec.kind;
  return BlockRef::adopt(cn);
}

BlockRef make_conversion(uint8_t type, const std::vector<double>& values) {
  auto* cc = new CcBlock(block_descriptor(BLOCK_CC));
  cc->cc_type = type;
  cc->cc_val_count = static_cast<uint16_t>(values.size());
  cc->cc_val = static_cast<double*>(std::malloc(sizeof(double) * (values.size() + 1)));
  for (size_t i = 0; i < values.size(); ++i) cc->cc_val[i] = values[i];
  return BlockRef::adopt(cc);
}

BlockRef make_source(uint8_t si_type) {
  auto* si = new SiBlock(block_descriptor(BLOCK_SI));
  si->si_type = si_type;
  si->source_kind = si_type == 2 ? SOURCE_BUS : SOURCE_OTHER;
  return BlockRef::adopt(si);
}

BlockRef make_group(const std::vector<std::string>& names, uint64_t record_id = 0,
                    bool bus_source = true, uint32_t data_bytes = 8) {
  auto* cg = new CgBlock(block_descriptor(BLOCK_CG));
  for (const std::string& name : names) {
    ChannelSpec spec;
    spec.name = name;
    EXPECT_TRUE(cg->cg_cn_list.append(make_channel(spec)));
  }
  cg->cg_record_id = record_id;
  cg->cg_data_bytes = data_bytes;
  cg->cg_si_acq_source = make_source(bus_source ? 2 : 0);
  return BlockRef::adopt(cg);
}

BlockRef make_data_group(std::vector<BlockRef> groups, uint8_t rec_id_size) {
  auto* dg = new DgBlock(block_descriptor(BLOCK_DG));
  for (BlockRef& g : groups) EXPECT_TRUE(dg->dg_cg_list.append(std::move(g)));
  dg->dg_rec_id_size = rec_id_size;
  record_layouts_build(dg);
  return BlockRef::adopt(dg);
}

ChannelInfo info_named(const char* name) {
  ChannelInfo info;
  EXPECT_TRUE(info.name.assign(name));
  channel_role_from_name(&info);
  return info;
}

struct RoleCase {
  const char* name;
  ChannelRole role;
};

class ChannelRoleTest : public testing::TestWithParam<RoleCase> {};

TEST_P(ChannelRoleTest, FollowsTheWholeName) {
  EXPECT_EQ(info_named(GetParam().name).role, GetParam().role) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ChannelRoleTest,
    testing::Values(
        RoleCase{"Timestamp", ROLE_TIMESTAMP}, RoleCase{"CAN_DataFrame.ID", ROLE_ID},
        RoleCase{"CAN_RemoteFrame.ID", ROLE_ID}, RoleCase{"CAN_DataFrame.BRS", ROLE_BRS},
        RoleCase{"CAN_ErrorFrame.BusChannel", ROLE_BUS_CHANNEL},
        RoleCase{"CAN_ErrorFrame.ErrorType", ROLE_ERROR_TYPE},
        RoleCase{"CAN_DataFrame.DataBytes", ROLE_DATA_BYTES},
        RoleCase{"CAN_RemoteFrame.DataLength", ROLE_DATA_LENGTH},
        RoleCase{"CAN_RemoteFrame.DLC", ROLE_DLC}, RoleCase{"CAN_DataFrame.EDL", ROLE_EDL},
        RoleCase{"CAN_DataFrame.ESI", ROLE_ESI}, RoleCase{"CAN_RemoteFrame.IDE", ROLE_IDE},
        RoleCase{"CAN_RemoteFrame.Dir", ROLE_DIR},
        RoleCase{"LIN_Frame.BusChannel", ROLE_LIN_BUS_CHANNEL},
        RoleCase{"LIN_Frame.DataBytes", ROLE_LIN_DATA_BYTES},
        RoleCase{"LIN_Frame.DataLength", ROLE_LIN_DATA_LENGTH},
        RoleCase{"LIN_Frame.Dir", ROLE_LIN_DIR}, RoleCase{"LIN_Frame.ID", ROLE_LIN_ID},
        RoleCase{"LIN_Frame.ReceivedDataByteCount", ROLE_LIN_RECEIVED_COUNT},
        RoleCase{"can_dataframe.id", ROLE_NONE}, RoleCase{"timestamp", ROLE_NONE},
        RoleCase{"CAN_RemoteFrame.DataBytes", ROLE_NONE},
        RoleCase{"CAN_RemoteFrame.EDL", ROLE_NONE}, RoleCase{"CAN_ErrorFrame.ID", ROLE_NONE},
        RoleCase{"LIN_SyncError.BusChannel", ROLE_NONE}, RoleCase{"CAN_DataFrame.ID ", ROLE_NONE},
        RoleCase{"", ROLE_NONE}));

struct RecogniseCase {
  const char* what;
  std::vector<std::string> names;
  bool recognised;
  FrameKind kind;
  DecodeFn decode;
};

class GroupRecogniseTest : public testing::TestWithParam<RecogniseCase> {};

TEST_P(GroupRecogniseTest, ChoosesByTheSinglePrefix) {
  const RecogniseCase& c = GetParam();
  ChannelInfoList list;
  for (const std::string& name : c.names) ASSERT_TRUE(list.append(info_named(name.c_str())));
  DecodeFn decode = nullptr;
  FrameKind kind = FRAME_INVALID;
  EXPECT_EQ(group_recognise(list, &decode, &kind), c.recognised) << c.what;
  if (c.recognised) {
    EXPECT_EQ(kind, c.kind) << c.what;
    EXPECT_EQ(decode, c.decode) << c.what;
  } else {
    EXPECT_EQ(decode, nullptr) << c.what;
    EXPECT_EQ(kind, FRAME_INVALID) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Groups, GroupRecogniseTest,
    testing::Values(
        RecogniseCase{"can data",
                      {"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.DataBytes"},
                      true,
                      FRAME_CAN_DATA,
                      decode_can_data},
        RecogniseCase{
            "two prefixes",
            {"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.DataBytes", "CAN_RemoteFrame.DLC"},
            false,
            FRAME_NONE,
            nullptr},
        RecogniseCase{"no prefix", {"Timestamp"}, false, FRAME_NONE, nullptr},
        RecogniseCase{"remote", {"CAN_RemoteFrame.ID"}, true, FRAME_CAN_REMOTE, decode_can_remote},
        RecogniseCase{
            "error", {"CAN_ErrorFrame.ErrorType"}, true, FRAME_CAN_ERROR, decode_can_error},
        RecogniseCase{"lin", {"Timestamp", "LIN_Frame.ID"}, true, FRAME_LIN, decode_lin},
        RecogniseCase{"lin checksum",
                      {"LIN_ChecksumError.ID"},
                      true,
                      FRAME_LIN_CHECKSUM_ERROR,
                      decode_no_frame},
        RecogniseCase{
            "lin receive", {"LIN_ReceiveError.ID"}, true, FRAME_LIN_RECEIVE_ERROR, decode_no_frame},
        RecogniseCase{"lin sync",
                      {"Timestamp", "LIN_SyncError.BusChannel"},
                      true,
                      FRAME_LIN_SYNC_ERROR,
                      decode_no_frame},
        RecogniseCase{"lin transmission",
                      {"LIN_TransmissionError.Dir"},
                      true,
                      FRAME_LIN_TRANSMISSION_ERROR,
                      decode_no_frame},
        RecogniseCase{"unknown prefix", {"FlexRay_Frame.ID"}, true, FRAME_NONE, decode_no_frame},
        RecogniseCase{
            "prefix compared whole", {"CAN_DataFrameX.ID"}, true, FRAME_NONE, decode_no_frame},
        RecogniseCase{"prefix up to the first dot",
                      {"CAN_DataFrame.ID.x", "CAN_DataFrame.ID"},
                      true,
                      FRAME_CAN_DATA,
                      decode_can_data}));

TEST(ChannelInfoAdd, FillsPositionTypeAndConversion) {
  ChannelSpec spec;
  spec.name = "CAN_DataFrame.ID";
  spec.byte_offset = 9000;
  spec.bit_offset = 3;
  spec.bit_count = 29;
  BlockRef cn = make_channel(spec);
  block_as<CnBlock>(cn)->cn_cc_conversion = make_conversion(1, {2.0, 0.5});
  ChannelInfoList list;
  channel_info_add(block_as<CnBlock>(cn), &list);
  ASSERT_EQ(list.size(), 1u);
  const ChannelInfo& info = list[0];
  EXPECT_EQ(info.name.view(), StringView("CAN_DataFrame.ID"));
  EXPECT_EQ(info.role, ROLE_ID);
  EXPECT_EQ(info.bit_position, 9000u * 8 + 3);
  EXPECT_EQ(info.bit_count, 29u);
  EXPECT_EQ(info.value_class, VALUE_UINT);
  EXPECT_EQ(info.little_endian, 1);
  EXPECT_DOUBLE_EQ(conversion_apply(info.conversion, 10), 7.0);
  EXPECT_EQ(info.data_block, nullptr);
}

struct DataTypeCase {
  ChannelDataType type;
  ValueClass value_class;
  uint8_t little_endian;
};

class ChannelDataTypeTest : public testing::TestWithParam<DataTypeCase> {};

TEST_P(ChannelDataTypeTest, MapsToValueClassAndByteOrder) {
  ChannelSpec spec;
  spec.name = "x";
  spec.data_type = GetParam().type;
  BlockRef cn = make_channel(spec);
  ChannelInfoList list;
  channel_info_add(block_as<CnBlock>(cn), &list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].value_class, GetParam().value_class);
  EXPECT_EQ(list[0].little_endian, GetParam().little_endian);
}

INSTANTIATE_TEST_SUITE_P(Types, ChannelDataTypeTest,
                         testing::Values(DataTypeCase{DATA_UINT_LE, VALUE_UINT, 1},
                                         DataTypeCase{DATA_UINT_BE, VALUE_UINT, 0},
                                         DataTypeCase{DATA_FLOAT_LE, VALUE_FLOAT, 1},
                                         DataTypeCase{DATA_FLOAT_BE, VALUE_FLOAT, 0},
                                         DataTypeCase{DATA_BYTE_ARRAY, VALUE_BYTES, 1},
                                         DataTypeCase{DATA_UNSUPPORTED, VALUE_UINT, 0}));

TEST(ChannelInfoAdd, UnsupportedTypeStaysAndWarns) {
  ChannelSpec spec;
  spec.name = "CAN_DataFrame.ID";
  spec.data_type = DATA_UNSUPPORTED;
  BlockRef cn = make_channel(spec);
  ChannelInfoList list;
  testing::internal::CaptureStderr();
  int32_t level = log_output_level;
  log_set_output_level(LOG_WARN);
  channel_info_add(block_as<CnBlock>(cn), &list);
  log_set_output_level(level);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Unsupported channel data type: 0"), std::string::npos) << log;
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].role, ROLE_ID);
}

TEST(ChannelInfoAdd, CompositionYieldsItsLeavesOnly) {
  ChannelSpec parent_spec;
  parent_spec.name = "CAN_DataFrame";
  BlockRef parent = make_channel(parent_spec);
  ChannelSpec a{"CAN_DataFrame.ID", 8, 0, 29};
  ChannelSpec b{"CAN_DataFrame.DLC", 13, 0, 8};
  BlockRef inner = make_channel(ChannelSpec{"CAN_DataFrame.Inner"});
  ASSERT_TRUE(block_as<CnBlock>(inner)->cn_member_list.append(make_channel(b)));
  ASSERT_TRUE(block_as<CnBlock>(parent)->cn_member_list.append(make_channel(a)));
  ASSERT_TRUE(block_as<CnBlock>(parent)->cn_member_list.append(std::move(inner)));
  ChannelInfoList list;
  channel_info_add(block_as<CnBlock>(parent), &list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].role, ROLE_ID);
  EXPECT_EQ(list[1].role, ROLE_DLC);
  EXPECT_EQ(list[1].bit_position, 13u * 8);
}

TEST(ChannelInfoAdd, VariableLengthChannelKeepsItsDataBlock) {
  ChannelSpec spec{"CAN_DataFrame.DataBytes", 16, 0, 64, DATA_BYTE_ARRAY, CHANNEL_VLSD};
  BlockRef cn = make_channel(spec);
  BlockRef sd = BlockRef::adopt(new SdBlock(block_descriptor(BLOCK_SD)));
  block_as<CnBlock>(cn)->cn_data = sd;
  ChannelSpec fixed_spec = spec;
  fixed_spec.kind = CHANNEL_FIXED;
  BlockRef fixed = make_channel(fixed_spec);
  block_as<CnBlock>(fixed)->cn_data = sd;
  ChannelInfoList list;
  channel_info_add(block_as<CnBlock>(cn), &list);
  channel_info_add(block_as<CnBlock>(fixed), &list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].data_block, sd.get());
  EXPECT_EQ(list[1].data_block, nullptr);
}

struct CcCase {
  uint8_t type;
  std::vector<double> values;
  double raw;
  double expected;
};

class ChannelConversionTest : public testing::TestWithParam<CcCase> {};

TEST_P(ChannelConversionTest, AppliesByConversionType) {
  BlockRef cn = make_channel(ChannelSpec{"x"});
  block_as<CnBlock>(cn)->cn_cc_conversion = make_conversion(GetParam().type, GetParam().values);
  ChannelInfoList list;
  channel_info_add(block_as<CnBlock>(cn), &list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_DOUBLE_EQ(conversion_apply(list[0].conversion, GetParam().raw), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Types, ChannelConversionTest,
                         testing::Values(CcCase{1, {2.0, 0.5}, 10, 7.0},
                                         CcCase{5, {1, 10, 1, 20}, 1, 10}, CcCase{0, {}, 3, 3},
                                         CcCase{2, {1, 2, 3, 4, 5, 6}, 3, 3},
                                         CcCase{4, {1, 10, 2, 20}, 1, 1}, CcCase{1, {5.0}, 3, 3}));

TEST(ChannelInfoBuild, RebuildsTheGroupList) {
  BlockRef cg = make_group({"Timestamp", "CAN_DataFrame.ID"});
  CgBlock* group = block_as<CgBlock>(cg);
  ChannelInfo stale = info_named("stale");
  ASSERT_TRUE(group->channel_infos.append(std::move(stale)));
  ChannelInfoList* list = channel_info_build(group);
  ASSERT_EQ(list, &group->channel_infos);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].role, ROLE_TIMESTAMP);
  EXPECT_EQ((*list)[1].role, ROLE_ID);
}

TEST(RecordLayoutsBuild, KeysByRecordIdAndRecognisesBusGroups) {
  BlockRef dg = make_data_group({make_group({"Timestamp", "CAN_DataFrame.ID"}, 1, true, 12),
                                 make_group({"Timestamp", "LIN_Frame.ID"}, 2, true, 9),
                                 make_group({"Timestamp", "LIN_SyncError.BusChannel"}, 3, true, 9)},
                                1);
  RecordLayoutMap& map = block_as<DgBlock>(dg)->record_layouts;
  ASSERT_EQ(map.size(), 3u);
  const auto* can = map.find(1);
  ASSERT_NE(can, nullptr);
  EXPECT_EQ(can->value.kind, FRAME_CAN_DATA);
  EXPECT_EQ(can->value.decode, decode_can_data);
  EXPECT_EQ(can->value.record_size, 12u);
  EXPECT_EQ(can->value.channels->size(), 2u);
  EXPECT_EQ(map.find(2)->value.kind, FRAME_LIN);
  EXPECT_EQ(map.find(3)->value.kind, FRAME_LIN_SYNC_ERROR);
  EXPECT_EQ(map.find(3)->value.decode, decode_no_frame);
}

TEST(RecordLayoutsBuild, NonBusSourceStaysUnrecognised) {
  BlockRef dg = make_data_group({make_group({"Timestamp", "CAN_DataFrame.ID"}, 0, false)}, 0);
  const auto* slot = block_as<DgBlock>(dg)->record_layouts.find(0);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->value.kind, FRAME_NONE);
  EXPECT_EQ(slot->value.decode, decode_no_frame);
}

TEST(RecordLayoutsBuild, MissingSourceStaysUnrecognised) {
  BlockRef cg = make_group({"Timestamp", "CAN_DataFrame.ID"});
  block_as<CgBlock>(cg)->cg_si_acq_source.reset();
  BlockRef dg = make_data_group({cg}, 0);
  EXPECT_EQ(block_as<DgBlock>(dg)->record_layouts.find(0)->value.kind, FRAME_NONE);
}

TEST(RecordLayoutsBuild, WithoutRecordIdsTheLayoutMovesToKeyZero) {
  BlockRef dg = make_data_group({make_group({"Timestamp", "CAN_DataFrame.ID"}, 5)}, 0);
  RecordLayoutMap& map = block_as<DgBlock>(dg)->record_layouts;
  ASSERT_EQ(map.size(), 1u);
  const auto* slot = map.find(0);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->value.record_id, 0u);
  EXPECT_EQ(slot->value.kind, FRAME_CAN_DATA);
  EXPECT_EQ(map.find(5), nullptr);
}

TEST(RecordLayoutsBuild, WithoutRecordIdsTheFirstGroupIsDispatched) {
  BlockRef dg =
      make_data_group({make_group({"LIN_Frame.ID"}, 7), make_group({"CAN_DataFrame.ID"}, 3)}, 0);
  RecordLayoutMap& map = block_as<DgBlock>(dg)->record_layouts;
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.find(0)->value.kind, FRAME_LIN);
}

TEST(RecordLayoutsBuild, DuplicateRecordIdKeepsTheFirstLayout) {
  BlockRef dg =
      make_data_group({make_group({"LIN_Frame.ID"}, 4), make_group({"CAN_DataFrame.ID"}, 4)}, 1);
  RecordLayoutMap& map = block_as<DgBlock>(dg)->record_layouts;
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.find(4)->value.kind, FRAME_LIN);
}

TEST(RecordLayoutsBuild, VlsdGroupHasNoChannelsAndTheMarkerSize) {
  BlockRef vlsd = make_group({}, 9);
  block_as<CgBlock>(vlsd)->cg_vlsd = 1;
  BlockRef dg = make_data_group({make_group({"CAN_DataFrame.ID"}, 1), vlsd}, 1);
  const auto* slot = block_as<DgBlock>(dg)->record_layouts.find(9);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->value.record_size, kVlsdRecordSize);
  EXPECT_EQ(slot->value.channels, nullptr);
  EXPECT_EQ(slot->value.decode, nullptr);
  EXPECT_EQ(slot->value.kind, FRAME_NONE);
}

TEST(RecordLayoutsBuild, RecordSizeIncludesInvalidationBytes) {
  BlockRef cg = make_group({"CAN_DataFrame.ID"}, 1, true, 10);
  block_as<CgBlock>(cg)->cg_inval_bytes = 2;
  BlockRef dg = make_data_group({cg}, 1);
  EXPECT_EQ(block_as<DgBlock>(dg)->record_layouts.find(1)->value.record_size, 12u);
}

TEST(RecordLayoutsBuild, OversizedRecordLeavesTheGroupOut) {
  BlockRef cg = make_group({"CAN_DataFrame.ID"}, 1, true, 0xFFFFFFF0u);
  block_as<CgBlock>(cg)->cg_inval_bytes = 0x20;
  BlockRef dg = make_data_group({cg, make_group({"LIN_Frame.ID"}, 2)}, 1);
  RecordLayoutMap& map = block_as<DgBlock>(dg)->record_layouts;
  EXPECT_EQ(map.find(1), nullptr);
  EXPECT_NE(map.find(2), nullptr);
}

TEST(GroupKind, LooksUpByRecordIdOrZero) {
  BlockRef a = make_group({"CAN_DataFrame.ID"}, 1);
  BlockRef b = make_group({"LIN_Frame.ID"}, 2);
  BlockRef stranger = make_group({"LIN_Frame.ID"}, 77);
  BlockRef dg = make_data_group({a, b}, 1);
  DgBlock* group = block_as<DgBlock>(dg);
  EXPECT_EQ(group_kind(group, block_as<CgBlock>(a)), FRAME_CAN_DATA);
  EXPECT_EQ(group_kind(group, block_as<CgBlock>(b)), FRAME_LIN);
  EXPECT_EQ(group_kind(group, block_as<CgBlock>(stranger)), FRAME_NONE);
  EXPECT_EQ(group_kind(nullptr, block_as<CgBlock>(a)), FRAME_NONE);

  BlockRef c = make_group({"LIN_Frame.ID"}, 5);
  BlockRef sorted = make_data_group({c}, 0);
  EXPECT_EQ(group_kind(block_as<DgBlock>(sorted), block_as<CgBlock>(c)), FRAME_LIN);
}

}  // namespace
}  // namespace quarrow
