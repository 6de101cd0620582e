// Bus logs in every layout a logger writes must convert, through the real
// program, to exactly the tables computed from the frames they were written
// with.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "mdfwriter/block_builder.h"
#include "mdfwriter/bus_log_writer.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;
using mdfw::BusFrame;
using mdfw::BusLogOptions;
using mdfw::DataBytesStorage;
using mdfw::FrameType;
using mdfw::Layout;

// Converts log bytes written as in/<name> into out/ and checks the tables
// against want; nothing else may appear in out/.
void expect_conversion(const std::vector<uint8_t>& log, const ExpectedTables& want,
                       const std::string& name = "log.mf4") {
  TempDir tmp;
  write_file(tmp / ("in/" + name), log);
  fs::create_directories(tmp / "out");
  ProcessResult r =
      run_process(QUARROW_BINARY, {"-O", tmp / "out", tmp / ("in/" + name)}, tmp.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  const std::string stem = fs::path(name).stem().string();
  std::vector<std::string> tables;
  if (!want.can.empty()) tables.push_back(stem + "_CAN.csv");
  if (!want.lin.empty()) tables.push_back(stem + "_LIN.csv");
  EXPECT_EQ(list_tree(tmp / "out"), tables);
  expect_tables_at(tmp / ("out/" + stem), want);
}

struct LayoutCase {
  const char* name;
  std::function<void(BusLogOptions&)> configure;
  // Which of mixed_frames to write; all when empty.
  std::function<bool(const BusFrame&)> keep;
};

class ConvertLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ConvertLayoutTest, WritesTheTablesOfTheWrittenFrames) {
  const LayoutCase& c = GetParam();
  BusLogOptions options;
  options.start_time_ns = 1'796'500'000'123'456'000;
  if (c.configure) c.configure(options);
  std::vector<BusFrame> frames;
  for (const BusFrame& f : mixed_frames()) {
    if (!c.keep || c.keep(f)) frames.push_back(f);
  }
  expect_conversion(mdfw::write_bus_log(frames, options), expected_tables(frames, options));
}

LayoutCase layout(const char* name, std::function<void(BusLogOptions&)> configure,
                  std::function<bool(const BusFrame&)> keep = nullptr) {
  return {name, std::move(configure), std::move(keep)};
}

bool is_type(const BusFrame& f, FrameType type) {
  return f.type == type;
}

LayoutCase unsorted(const char* name, uint8_t id_size, DataBytesStorage storage) {
  return layout(name, [=](BusLogOptions& o) {
    o.layout = Layout::unsorted;
    o.record_id_size = id_size;
    o.can_data_bytes = storage;
  });
}

LayoutCase sorted(const char* name, DataBytesStorage storage) {
  return layout(name, [=](BusLogOptions& o) { o.can_data_bytes = storage; });
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ConvertLayoutTest,
    ::testing::Values(
        sorted("SortedFixed", DataBytesStorage::fixed), sorted("SortedSd", DataBytesStorage::sd),
        sorted("SortedVlsd", DataBytesStorage::vlsd),
        unsorted("Unsorted1ByteIds", 1, DataBytesStorage::fixed),
        unsorted("Unsorted2ByteIds", 2, DataBytesStorage::fixed),
        unsorted("Unsorted4ByteIds", 4, DataBytesStorage::fixed),
        unsorted("Unsorted8ByteIds", 8, DataBytesStorage::fixed),
        unsorted("UnsortedSd", 2, DataBytesStorage::sd),
        unsorted("UnsortedVlsd1ByteIds", 1, DataBytesStorage::vlsd),
        unsorted("UnsortedVlsd8ByteIds", 8, DataBytesStorage::vlsd),
        layout("SortedVlsd4ByteIds",
               [](BusLogOptions& o) {
                 o.can_data_bytes = DataBytesStorage::vlsd;
                 o.record_id_size = 4;
               }),
        layout("LinPayloadInSdBlock",
               [](BusLogOptions& o) {
                 o.can_data_bytes = DataBytesStorage::sd;
                 o.lin_variable_data = true;
               }),
        layout("LinPayloadInVlsdGroup",
               [](BusLogOptions& o) {
                 o.layout = Layout::unsorted;
                 o.can_data_bytes = DataBytesStorage::vlsd;
                 o.lin_variable_data = true;
               }),
        layout("NarrowFixedPayloadLeavesZeros", [](BusLogOptions& o) { o.fixed_data_bytes = 8; }),
        layout("UnfinalisedSorted", [](BusLogOptions& o) { o.unfinalised = true; }),
        layout("UnfinalisedUnsortedVlsd",
               [](BusLogOptions& o) {
                 o.unfinalised = true;
                 o.unfin_flags = 4;
                 o.layout = Layout::unsorted;
                 o.can_data_bytes = DataBytesStorage::vlsd;
               }),
        layout("FlatChannelsSorted", [](BusLogOptions& o) { o.composed = false; }),
        layout("FlatChannelsUnsortedSd",
               [](BusLogOptions& o) {
                 o.composed = false;
                 o.layout = Layout::unsorted;
                 o.can_data_bytes = DataBytesStorage::sd;
               }),
        layout("MicrosecondTicks",
               [](BusLogOptions& o) { o.timestamp = mdfw::TimestampEncoding::ticks; }),
        layout("TenMicrosecondTicksUnsorted",
               [](BusLogOptions& o) {
                 o.timestamp = mdfw::TimestampEncoding::ticks;
                 o.tick_seconds = 1e-5;
                 o.layout = Layout::unsorted;
               }),
        layout("InvalidationBytes",
               [](BusLogOptions& o) {
                 o.inval_bytes = 3;
                 o.layout = Layout::unsorted;
                 o.record_id_size = 2;
               }),
        layout(
            "EmptyGroupsWritten", [](BusLogOptions& o) { o.include_empty_groups = true; },
            [](const BusFrame& f) { return is_type(f, FrameType::lin); }),
        layout("TimeZoneOffsetsAreNotApplied",
               [](BusLogOptions& o) {
                 o.tz_offset_min = 120;
                 o.dst_offset_min = 60;
               }),
        layout("NonBusSourceGivesNoTables", [](BusLogOptions& o) { o.bus_source = false; }),
        layout("UnknownCanDataChannelDropsOnlyThatGroup",
               [](BusLogOptions& o) {
                 o.extra_channels.push_back({FrameType::can_data, "CAN_DataFrame.Unknown", 1});
               }),
        layout("UnknownRemoteChannelUnsorted",
               [](BusLogOptions& o) {
                 o.layout = Layout::unsorted;
                 o.extra_channels.push_back({FrameType::can_remote, "CAN_RemoteFrame.X", 1});
               }),
        layout("UnknownLinChannelDropsTheLinTable",
               [](BusLogOptions& o) {
                 o.extra_channels.push_back({FrameType::lin, "LIN_Frame.Checksum", 9});
               }),
        layout("OnlyLinFrames", nullptr,
               [](const BusFrame& f) { return is_type(f, FrameType::lin); }),
        layout("OnlyCanFrames", nullptr,
               [](const BusFrame& f) {
                 return is_type(f, FrameType::can_data) || is_type(f, FrameType::can_remote);
               }),
        layout("OnlyErrorFramesGiveNoTables", nullptr,
               [](const BusFrame& f) {
                 return is_type(f, FrameType::can_error) || f.type >= FrameType::lin_checksum_error;
               }),
        layout(
            "OneGroupWithRecordIds",
            [](BusLogOptions& o) {
              o.layout = Layout::unsorted;
              o.record_id_size = 2;
            },
            [](const BusFrame& f) { return is_type(f, FrameType::can_data); }),
        layout(
            "OneVlsdGroupWith8ByteRecordIds",
            [](BusLogOptions& o) {
              o.layout = Layout::unsorted;
              o.record_id_size = 8;
              o.can_data_bytes = DataBytesStorage::vlsd;
            },
            [](const BusFrame& f) { return is_type(f, FrameType::can_data); })),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// Frames with equal times keep the order in which the data groups and
// records were read.
TEST(ConvertOrderTest, EqualTimesKeepTheReadOrder) {
  BusFrame c = mdfw::can_remote(1.0, 0x300, 2);
  BusFrame a = mdfw::can_data(1.0, 0x100, {0xA});
  BusFrame x = mdfw::lin_frame(1.0, 1, {0x1});
  BusFrame b = mdfw::can_data(1.0, 0x200, {0xB});
  BusFrame d = mdfw::can_data(0.5, 0x400, {0xD});
  BusFrame y = mdfw::lin_frame(1.0, 2, {0x2});
  BusFrame z = mdfw::lin_frame(0.5, 3, {0x3});
  const std::vector<BusFrame> frames = {c, a, x, b, d, y, z};

  struct {
    Layout layout;
    std::vector<BusFrame> can;
  } cases[] = {
      // Records interleaved as written.
      {Layout::unsorted, {d, c, a, b}},
      // One data group per type: all data frames, then the remote frames.
      {Layout::sorted, {d, a, b, c}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.layout == Layout::sorted ? "sorted" : "unsorted");
    BusLogOptions options;
    options.layout = k.layout;
    const double start = start_seconds(options.start_time_ns);
    ExpectedTables want{kCanHeader, kLinHeader};
    for (const BusFrame& f : k.can) want.can += can_row(f, f.time + start, options);
    for (const BusFrame& f : {z, x, y}) want.lin += lin_row(f, f.time + start);
    expect_conversion(mdfw::write_bus_log(frames, options), want);
  }
}

// A VLSD record that no fixed record asked for is passed over; the records
// around it still convert.
TEST(ConvertOrderTest, StandAloneVlsdRecordsAreSkipped) {
  BusLogOptions options;
  options.layout = Layout::unsorted;
  options.record_id_size = 2;
  options.can_data_bytes = DataBytesStorage::vlsd;
  std::vector<BusFrame> frames = {mdfw::lin_frame(0.1, 1, {1, 2})};
  for (const BusFrame& f : mixed_frames(40)) frames.push_back(f);
  mdfw::BusLogMap map;
  std::vector<uint8_t> log = mdfw::write_bus_log(frames, options, &map);

  uint32_t lin_record = 0;
  for (const mdfw::GroupBlocks& g : map.groups) {
    if (g.type == FrameType::lin) lin_record = g.record_bytes;
  }
  ASSERT_GT(lin_record, 0u);
  const uint64_t dt = map.groups.front().dt;
  const uint64_t data = dt + 24;
  ASSERT_EQ(mdfw::read_block(log, dt).id, "##DT");
  ASSERT_EQ(dt + mdfw::read_block(log, dt).length, log.size());

  // id, length 3, three bytes
  const uint64_t vlsd_id = mdfw::vlsd_record_id_of(FrameType::can_data);
  const std::vector<uint8_t> stray = {static_cast<uint8_t>(vlsd_id), 0, 3, 0, 0, 0, 7, 7, 7};
  // After the first (LIN) record, then in front of it.
  log.insert(log.begin() + static_cast<std::ptrdiff_t>(data + 2 + lin_record), stray.begin(),
             stray.end());
  log.insert(log.begin() + static_cast<std::ptrdiff_t>(data), stray.begin(), stray.end());
  mdfw::put_u64(log, dt + 8, mdfw::read_block(log, dt).length + 2 * stray.size());

  expect_conversion(log, expected_tables(frames, options));
}

struct TimeCase {
  const char* name;
  uint64_t start_time_ns;
  const char* first_time;  // the first row's TimestampEpoch column
};

class ConvertTimeTest : public ::testing::TestWithParam<TimeCase> {};

// Absolute times are the frame time plus the header's start time cut to
// whole microseconds, with six decimals and at least ten characters.
TEST_P(ConvertTimeTest, AddsTheRecordingStartToEveryFrameTime) {
  const TimeCase& c = GetParam();
  std::vector<BusFrame> frames;
  const double times[] = {3599.000123, 0.000001, 0.25, 0.999999, 1.5, 59.000059, 86399.999999};
  uint32_t id = 0x100;
  for (double t : times) frames.push_back(mdfw::can_data(t, id++, {0x01, 0x02}));
  frames.push_back(mdfw::lin_frame(1.5, 0x05, {0xA1, 0xA2, 0xA3}));
  BusLogOptions options;
  options.start_time_ns = c.start_time_ns;
  ExpectedTables want = expected_tables(frames, options);
  ASSERT_EQ(want.can.substr(sizeof(kCanHeader) - 1, std::string(c.first_time).size() + 1),
            std::string(c.first_time) + ";");
  expect_conversion(mdfw::write_bus_log(frames, options), want);
}

INSTANTIATE_TEST_SUITE_P(
    StartTimes, ConvertTimeTest,
    ::testing::Values(TimeCase{"WholeMicroseconds", 1'796'500'000'123'456'000, "1796500000.123457"},
                      TimeCase{"NanosecondsAreCut", 1'796'500'000'123'456'999, "1796500000.123457"},
                      TimeCase{"Midnight", 1'796'515'200'000'000'000, "1796515200.000001"},
                      TimeCase{"YearTwoThousandHundred", 4'102'444'800'000'000'000,
                               "4102444800.000001"},
                      TimeCase{"ZeroStartIsPadded", 0, "  0.000001"},
                      TimeCase{"OneSecondStart", 1'000'000'000, "  1.000001"}),
    [](const ::testing::TestParamInfo<TimeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quarrow::test
