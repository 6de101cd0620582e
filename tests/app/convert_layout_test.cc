// Bus logs in every layout of loggers and other writers, and with hostile claims, convert through
// the real program to exactly the tables of the frames written.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "mdfwriter/block_builder.h"
#include "mdfwriter/bus_log_writer.h"
#include "support/platform.h"

namespace quarrow::test {
namespace {

using mdfw::BusFrame;
using mdfw::BusLogOptions;
using mdfw::FrameType;

struct LayoutCase {
  const char* name;
  bool other_writers;  // read with --other-writers, which skips members no column needs
  mdfw::Layout layout;
  uint8_t record_id_size;
  mdfw::DataBytesStorage storage;
  std::function<void(BusLogOptions&)> more = nullptr;
  std::function<bool(const BusFrame&)> keep = nullptr;  // which of mixed_frames to write; null: all
};

class ConvertLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ConvertLayoutTest, WritesTheTablesOfTheWrittenFrames) {
  const LayoutCase& c = GetParam();
  BusLogOptions options;
  options.start_time_ns = 1'796'500'000'123'456'999;  // cut to whole microseconds
  options.layout = c.layout, options.record_id_size = c.record_id_size;
  options.can_data_bytes = c.storage;
  if (c.more) c.more(options);
  std::vector<BusFrame> frames, read;  // read: the columns of absent channels print 0
  for (BusFrame f : mixed_frames()) {
    if (c.keep && !c.keep(f)) continue;
    frames.push_back(f);
    if (options.other.mandatory_only) f.dir = f.edl = f.brs = f.esi = false;
    if (!options.other.channel_array || f.type != FrameType::can_data) read.push_back(f);
  }
  BusLogOptions read_as = options;
  if (c.other_writers) read_as.extra_channels.clear();
  TempDir tmp;
  write_file(tmp / "log.mf4", mdfw::write_bus_log(frames, options));
  std::vector<std::string> args = {tmp / "log.mf4"};
  if (c.other_writers) args.push_back("--other-writers");
  ProcessResult r = run_process(QUARROW_BINARY, args, tmp.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const ExpectedTables want = expected_tables(read, read_as);
  // Nothing but the tables appears beside the log.
  EXPECT_EQ(list_tree(tmp.path()).size(), 1u + !want.can.empty() + !want.lin.empty());
  expect_tables_at(tmp / "log", want);
}

constexpr mdfw::Layout S = mdfw::Layout::sorted, U = mdfw::Layout::unsorted;
using enum mdfw::DataBytesStorage;
constexpr auto FIX = fixed, SD = sd, VLSD = vlsd;

INSTANTIATE_TEST_SUITE_P(
    Layouts, ConvertLayoutTest,
    ::testing::ValuesIn(std::vector<LayoutCase>{
        {"SortedNarrowFixedPayloadTimeZoneOffsetsNotApplied", 0, S, 1, FIX,
         [](auto& o) { o.fixed_data_bytes = 8, o.tz_offset_min = 120, o.dst_offset_min = 60; }},
        {"SortedSd", 0, S, 1, SD},
        {"SortedVlsd", 0, S, 1, VLSD},
        {"Unsorted1ByteIds", 0, U, 1, FIX},
        {"Unsorted2ByteIdsInvalidationBytes", 0, U, 2, FIX, [](auto& o) { o.inval_bytes = 3; }},
        {"Unsorted4ByteIds", 0, U, 4, FIX},
        {"Unsorted8ByteIds", 0, U, 8, FIX},
        {"UnsortedSd", 0, U, 2, SD},
        {"UnsortedVlsd8ByteIds", 0, U, 8, VLSD},
        {"LinPayloadInVlsdGroup", 0, U, 1, VLSD, [](auto& o) { o.lin_variable_data = true; }},
        {"GroupPerBusChannelVlsd", 0, S, 1, VLSD, [](auto& o) { o.group_per_bus_channel = true; }},
        {"UnfinalisedSorted", 0, S, 1, FIX, [](auto& o) { o.unfinalised = true; }},
        {"UnfinalisedUnsortedVlsd", 0, U, 2, VLSD,
         [](auto& o) { o.unfinalised = true, o.unfin_flags = 4; }},
        {"FlatChannelsUnsortedSd", 0, U, 2, SD, [](auto& o) { o.composed = false; }},
        {"TenMicrosecondTicksUnsorted", 0, U, 1, FIX,
         [](auto& o) { o.timestamp = mdfw::TimestampEncoding::ticks, o.tick_seconds = 1e-5; }},
        {"EmptyGroupsWritten", 0, S, 1, FIX, [](auto& o) { o.include_empty_groups = true; },
         [](const BusFrame& f) { return f.type == FrameType::lin; }},
        {"NonBusSourceGivesNoTables", 0, S, 1, FIX, [](auto& o) { o.bus_source = false; }},
        {"UnknownCanDataChannelDropsOnlyThatGroup", 0, S, 1, FIX,
         [](auto& o) { o.extra_channels.push_back({FrameType::can_data, "CAN_DataFrame.X", 1}); }},
        {"UnknownLinChannelUnsorted", 0, U, 2, FIX,
         [](auto& o) { o.extra_channels.push_back({FrameType::lin, "LIN_Frame.Checksum", 9}); }},
        {"OnlyErrorFramesGiveNoTables", 0, S, 1, FIX, nullptr,
         [](const BusFrame& f) {
           return f.type == FrameType::can_error || f.type >= FrameType::lin_checksum_error;
         }},
        // The layouts of general-purpose writers.
        {"RecordsAcrossSmallListPieces", 1, U, 2, FIX, [](auto& o) { o.other.piece_bytes = 100; }},
        {"ListChainInOffsetFormWithSd", 1, S, 1, SD,
         [](auto& o) {
           o.other.piece_bytes = 64, o.other.pieces_per_list = 3, o.other.offset_form = true;
         }},
        {"DeflatedPiecesUnderHeaderListVlsd", 1, U, 1, VLSD,
         [](auto& o) { o.other.piece_bytes = 1000, o.other.zip = 1, o.other.header_list = true; }},
        {"TransposedDeflate", 1, S, 1, FIX,
         [](auto& o) { o.other.zip = 2, o.other.zip_columns = 40; }},
        {"SdInDeflatedList", 1, U, 2, SD,
         [](auto& o) { o.other.piece_bytes = 256, o.other.zip = 1; }},
        {"MasterNamedTAndBusPrefix", 1, U, 1, FIX,
         [](auto& o) { o.other.master_name = "t", o.other.bus_prefix = "1"; }},
        {"UnknownMembersAreSkipped", 1, U, 2, FIX,
         [](auto& o) {
           o.extra_channels = {{FrameType::can_data, "CAN_DataFrame.SRR", 1},
                               {FrameType::lin, "LIN_Frame.Checksum", 9}};
         }},
        {"AttachmentsEventsHierarchiesReductionsSkipped", 1, S, 1, FIX,
         [](auto& o) {
           o.unsupported.attachment = o.unsupported.event = true;
           o.unsupported.channel_hierarchy = o.unsupported.sample_reduction = true;
         }},
        {"ChannelAttachmentsAndDefaultXLinksAreNotFollowed", 1, S, 1, FIX,
         [](auto& o) { o.unsupported.channel_attachments = o.unsupported.default_x = true; }},
        {"TextConversionGivesTheRawValue", 1, U, 1, FIX,
         [](auto& o) { o.unsupported.conversion_with_refs = true; }},
        {"VlsdRecordsBeforeTheirFixedRecords", 1, U, 2, VLSD,
         [](auto& o) { o.other.vlsd_before = true, o.lin_variable_data = true; }},
        {"MandatoryMembersOnly", 1, U, 1, SD, [](auto& o) { o.other.mandatory_only = true; }},
        {"ChannelArrayDropsOnlyItsGroup", 1, S, 1, FIX,
         [](auto& o) { o.other.channel_array = true; }},
        {"LoggersLayoutStillConverts", 1, U, 4, VLSD}}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// Quickly and in bounded memory. 0: the last data block claims a terabyte; 1: so does the LIN
// group's, whose records claim 2 GiB (found by fuzzing: a buffer was sized by both claims), so its
// rows are lost; 2: every group claims 2^32 records, a count nothing may trust.
TEST(HostileClaimTest, EndsInBoundedTimeAndMemory) {
  for (int damage = 0; damage < 3; ++damage) {
    std::vector<BusFrame> frames = mixed_frames(30);
    mdfw::BusLogMap map;
    std::vector<uint8_t> log = mdfw::write_bus_log(frames, {}, &map);
    const mdfw::GroupBlocks *last = &map.groups.front(), *lin = last;
    for (const mdfw::GroupBlocks& g : map.groups) {
      if (g.dt > last->dt) last = &g;
      if (g.type == mdfw::FrameType::lin) lin = &g;
      if (damage == 2) mdfw::put_u64(log, mdfw::read_block(log, g.cg).data + 8, uint64_t{1} << 32);
    }
    if (damage < 2) mdfw::put_u64(log, (damage ? lin : last)->dt + 8, uint64_t{1} << 40);
    if (damage == 1) {
      mdfw::put_u32(log, mdfw::read_block(log, lin->cg).data + 24, 0x7FFFFFF0);
      std::erase_if(frames, [](const mdfw::BusFrame& f) { return f.type == mdfw::FrameType::lin; });
    }
    TempDir tmp;
    write_file(tmp / "log.mf4", log);
    // Under the sanitizers a buffer sized by a claim rather than by the bytes
    // present aborts the converter instead of passing unnoticed.
    const char* options = std::getenv("ASAN_OPTIONS");
    const std::string saved = options ? options : "";
    set_environment("ASAN_OPTIONS", (saved + ":max_allocation_size_mb=256").c_str());
    ProcessResult r = run_process(QUARROW_BINARY, {tmp / "log.mf4"});
    set_environment("ASAN_OPTIONS", options ? saved.c_str() : nullptr);
    EXPECT_EQ(r.status, damage < 2 ? 8 : 0) << r.err;
    EXPECT_EQ(r.err.find(" E Log is truncated") != std::string::npos, damage < 2) << r.err;
    expect_tables_at(tmp / "log", expected_tables(frames, {}));
  }
}

}  // namespace
}  // namespace quarrow::test
