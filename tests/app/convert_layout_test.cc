// Bus logs in every layout a logger writes must convert, through the real
// program, to exactly the tables computed from the frames they were written
// with.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "mdfwriter/bus_log_writer.h"

namespace quarrow::test {
namespace {

using mdfw::BusFrame;
using mdfw::BusLogOptions;
using mdfw::DataBytesStorage;
using mdfw::FrameType;
using mdfw::Layout;

// Converts the log and checks its tables; nothing else may appear beside it.
void expect_conversion(const std::vector<uint8_t>& log, const ExpectedTables& want,
                       std::vector<std::string> options = {}) {
  TempDir tmp;
  write_file(tmp / "log.mf4", log);
  options.push_back(tmp / "log.mf4");
  ProcessResult r = run_process(QUARROW_BINARY, options, tmp.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(list_tree(tmp.path()).size(), 1u + !want.can.empty() + !want.lin.empty());
  expect_tables_at(tmp / "log", want);
}

struct LayoutCase {
  const char* name;
  Layout layout;
  uint8_t record_id_size;  // 0: the writer's default
  DataBytesStorage storage;
  std::function<void(BusLogOptions&)> more = nullptr;
  std::function<bool(const BusFrame&)> keep = nullptr;  // which of mixed_frames to write; null: all
};

class ConvertLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

BusLogOptions options_of(const LayoutCase& c) {
  BusLogOptions options;
  options.start_time_ns = 1'796'500'000'123'456'000;
  options.layout = c.layout;
  if (c.record_id_size) options.record_id_size = c.record_id_size;
  options.can_data_bytes = c.storage;
  if (c.more) c.more(options);
  return options;
}

std::vector<BusFrame> frames_of(const LayoutCase& c) {
  std::vector<BusFrame> frames;
  for (const BusFrame& f : mixed_frames())
    if (!c.keep || c.keep(f)) frames.push_back(f);
  return frames;
}

TEST_P(ConvertLayoutTest, WritesTheTablesOfTheWrittenFrames) {
  const BusLogOptions options = options_of(GetParam());
  const std::vector<BusFrame> frames = frames_of(GetParam());
  expect_conversion(mdfw::write_bus_log(frames, options), expected_tables(frames, options));
}

// The layouts of other writers convert with --other-writers; there, members
// that no column needs are skipped rather than dropping their group.
using ConvertOtherWritersTest = ConvertLayoutTest;

TEST_P(ConvertOtherWritersTest, WritesTheTablesOfTheWrittenFrames) {
  const BusLogOptions options = options_of(GetParam());
  const std::vector<BusFrame> frames = frames_of(GetParam());
  BusLogOptions read_as = options;
  read_as.extra_channels.clear();
  // The columns of channels that are not there print 0.
  std::vector<BusFrame> read;
  for (BusFrame f : frames) {
    if (options.other.mandatory_only) f.dir = f.edl = f.brs = f.esi = false;
    if (!options.other.channel_array || f.type != FrameType::can_data) read.push_back(f);
  }
  expect_conversion(mdfw::write_bus_log(frames, options), expected_tables(read, read_as),
                    {"--other-writers"});
}

constexpr Layout S = Layout::sorted, U = Layout::unsorted;
constexpr DataBytesStorage FIX = DataBytesStorage::fixed, SD = DataBytesStorage::sd,
                           VLSD = DataBytesStorage::vlsd;

INSTANTIATE_TEST_SUITE_P(
    Layouts, ConvertLayoutTest,
    ::testing::Values(
        LayoutCase{"SortedFixed", S, 0, FIX}, LayoutCase{"SortedSd", S, 0, SD},
        LayoutCase{"SortedVlsd", S, 0, VLSD}, LayoutCase{"Unsorted1ByteIds", U, 1, FIX},
        LayoutCase{"Unsorted2ByteIds", U, 2, FIX}, LayoutCase{"Unsorted4ByteIds", U, 4, FIX},
        LayoutCase{"Unsorted8ByteIds", U, 8, FIX}, LayoutCase{"UnsortedSd", U, 2, SD},
        LayoutCase{"UnsortedVlsd8ByteIds", U, 8, VLSD},
        LayoutCase{"LinPayloadInVlsdGroup", U, 1, VLSD,
                   [](auto& o) { o.lin_variable_data = true; }},
        LayoutCase{"NarrowFixedPayloadLeavesZeros", S, 0, FIX,
                   [](auto& o) { o.fixed_data_bytes = 8; }},
        LayoutCase{"GroupPerBusChannelVlsd", S, 0, VLSD,
                   [](auto& o) { o.group_per_bus_channel = true; }},
        LayoutCase{"UnfinalisedSorted", S, 0, FIX, [](auto& o) { o.unfinalised = true; }},
        LayoutCase{"UnfinalisedUnsortedVlsd", U, 2, VLSD,
                   [](auto& o) { o.unfinalised = true, o.unfin_flags = 4; }},
        LayoutCase{"FlatChannelsUnsortedSd", U, 2, SD, [](auto& o) { o.composed = false; }},
        LayoutCase{
            "TenMicrosecondTicksUnsorted", U, 1, FIX,
            [](auto& o) { o.timestamp = mdfw::TimestampEncoding::ticks, o.tick_seconds = 1e-5; }},
        LayoutCase{"InvalidationBytes", U, 2, FIX, [](auto& o) { o.inval_bytes = 3; }},
        LayoutCase{"EmptyGroupsWritten", S, 0, FIX, [](auto& o) { o.include_empty_groups = true; },
                   [](const BusFrame& f) { return f.type == FrameType::lin; }},
        LayoutCase{"TimeZoneOffsetsAreNotApplied", S, 0, FIX,
                   [](auto& o) { o.tz_offset_min = 120, o.dst_offset_min = 60; }},
        LayoutCase{"NonBusSourceGivesNoTables", S, 0, FIX, [](auto& o) { o.bus_source = false; }},
        LayoutCase{"UnknownCanDataChannelDropsOnlyThatGroup", S, 0, FIX,
                   [](auto& o) {
                     o.extra_channels.push_back({FrameType::can_data, "CAN_DataFrame.X", 1});
                   }},
        LayoutCase{"UnknownLinChannelUnsorted", U, 2, FIX,
                   [](auto& o) {
                     o.extra_channels.push_back({FrameType::lin, "LIN_Frame.Checksum", 9});
                   }},
        LayoutCase{"OnlyErrorFramesGiveNoTables", S, 0, FIX, nullptr,
                   [](const BusFrame& f) {
                     return f.type == FrameType::can_error ||
                            f.type >= FrameType::lin_checksum_error;
                   }}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    OtherWriters, ConvertOtherWritersTest,
    ::testing::Values(
        LayoutCase{"RecordsAcrossSmallListPieces", U, 2, FIX,
                   [](auto& o) { o.other.piece_bytes = 100; }},
        LayoutCase{"ListChainInOffsetFormWithSd", S, 0, SD,
                   [](auto& o) {
                     o.other.piece_bytes = 64, o.other.pieces_per_list = 3;
                     o.other.offset_form = true;
                   }},
        LayoutCase{"DeflatedPiecesUnderHeaderListVlsd", U, 1, VLSD,
                   [](auto& o) {
                     o.other.piece_bytes = 1000, o.other.zip = 1, o.other.header_list = true;
                   }},
        LayoutCase{"TransposedDeflate", S, 0, FIX,
                   [](auto& o) { o.other.zip = 2, o.other.zip_columns = 40; }},
        LayoutCase{"SdInDeflatedList", U, 2, SD,
                   [](auto& o) { o.other.piece_bytes = 256, o.other.zip = 1; }},
        LayoutCase{"MasterNamedTAndBusPrefix", U, 1, FIX,
                   [](auto& o) { o.other.master_name = "t", o.other.bus_prefix = "1"; }},
        LayoutCase{"UnknownMembersAreSkipped", U, 2, FIX,
                   [](auto& o) {
                     o.extra_channels.push_back({FrameType::can_data, "CAN_DataFrame.SRR", 1});
                     o.extra_channels.push_back({FrameType::lin, "LIN_Frame.Checksum", 9});
                   }},
        LayoutCase{"AttachmentsEventsHierarchiesReductionsSkipped", S, 0, FIX,
                   [](auto& o) {
                     o.unsupported.attachment = o.unsupported.event = true;
                     o.unsupported.channel_hierarchy = o.unsupported.sample_reduction = true;
                   }},
        LayoutCase{
            "ChannelAttachmentsAndDefaultXLinksAreNotFollowed", S, 0, FIX,
            [](auto& o) { o.unsupported.channel_attachments = o.unsupported.default_x = true; }},
        LayoutCase{"TextConversionGivesTheRawValue", U, 1, FIX,
                   [](auto& o) { o.unsupported.conversion_with_refs = true; }},
        LayoutCase{"VlsdRecordsBeforeTheirFixedRecords", U, 2, VLSD,
                   [](auto& o) { o.other.vlsd_before = true, o.lin_variable_data = true; }},
        LayoutCase{"MandatoryMembersOnly", U, 1, SD,
                   [](auto& o) { o.other.mandatory_only = true; }},
        LayoutCase{"ChannelArrayDropsOnlyItsGroup", S, 0, FIX,
                   [](auto& o) { o.other.channel_array = true; }},
        LayoutCase{"LoggersLayoutStillConverts", U, 4, VLSD}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// Equal times keep the order in which data groups and records were read.
// Absolute times add the header's start time cut to whole microseconds,
// with six decimals and at least ten characters.
TEST(ConvertOrderTest, EqualTimesKeepTheReadOrderAndTheStartTimeIsAdded) {
  BusFrame c = mdfw::can_remote(1.0, 0x300, 2), a = mdfw::can_data(1.0, 0x100, {0xA});
  BusFrame x = mdfw::lin_frame(1.0, 1, {0x1}), b = mdfw::can_data(1.0, 0x200, {0xB});
  BusFrame d = mdfw::can_data(0.5, 0x400, {0xD}), y = mdfw::lin_frame(1.0, 2, {0x2});
  BusFrame z = mdfw::lin_frame(0.5, 3, {0x3});
  // Unsorted: records interleaved as written; sorted: one data group per
  // type, all data frames before the remote frames.
  const std::tuple<Layout, uint64_t, std::vector<BusFrame>, std::string> cases[] = {
      {Layout::unsorted, 1'796'500'000'123'456'999, {d, c, a, b}, "1796500000.623456;"},
      {Layout::sorted, 0, {d, a, b, c}, "  0.500000;"}};
  for (const auto& [layout, start_time_ns, can, first_time] : cases) {
    BusLogOptions options;
    options.layout = layout;
    options.start_time_ns = start_time_ns;
    const double start = start_seconds(start_time_ns);
    ExpectedTables want{kCanHeader, kLinHeader};
    for (const BusFrame& f : can) want.can += can_row(f, f.time + start, options);
    for (const BusFrame& f : {z, x, y}) want.lin += lin_row(f, f.time + start);
    ASSERT_EQ(want.can.substr(sizeof(kCanHeader) - 1, first_time.size()), first_time);
    expect_conversion(mdfw::write_bus_log({c, a, x, b, d, y, z}, options), want);
  }
}

}  // namespace
}  // namespace quarrow::test
