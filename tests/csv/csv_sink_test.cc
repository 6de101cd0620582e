#include "csv/csv_sink.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/convert_file.h"
#include "app/csv_expect.h"
#include "app/settings.h"
#include "support/faulty_folder.h"

namespace quarrow {
namespace {

TEST(CsvRow, RoundsHalfWayUpAndGrowsForHugeTimes) {
  CanFrame f{};
  f.data = f.bytes;
  f.kind = FRAME_CAN_DATA;
  f.timestamp = 2.8329605;
  f.id = f.bus_channel = 1;
  SsoString row;
  ASSERT_TRUE(csv_format_can_row(f, 0.0, &row));
  EXPECT_STREQ(row.c_str(), "  2.832961;1;001;0;0;0;0;0;0;0;0;\n");
  f.timestamp = 1e300;
  f.data_length = 64;
  std::memset(f.bytes, 0x12, sizeof f.bytes);
  ASSERT_TRUE(row.assign(StringView("prefix|")));
  ASSERT_TRUE(csv_format_can_row(f, 0.0, &row));
  const std::string text(row.c_str(), row.size());
  std::string hex;
  for (int i = 0; i < 64; ++i) hex += "12";
  EXPECT_EQ(text.rfind("prefix|1000000", 0), 0u);
  EXPECT_GT(text.size(), 300u);
  EXPECT_EQ(text.substr(text.size() - 129), hex + "\n");
}

// A folder failing as faults_ says (a write after `writes` writes, a flush by the
// path's end); flushes and removals go to journal_.
class CsvSinkTest : public testing::Test {
 protected:
  struct Faults {
    std::string create = "", write = "";
    int writes = 0;
    std::string close = "", remove = "", flush = "";
  };
  void SetUp() override {
    reset({});
    sink_ = csv_sink_create(&folder_, &folder_, &settings_);
    ASSERT_NE(sink_, nullptr);
  }
  void reset(const Faults& faults) {
    std::filesystem::remove_all(tmp_ / "out");
    std::filesystem::create_directories(tmp_ / "out");
    faults_ = faults;
    created_.clear();
    written_.clear();
    journal_.clear();
  }
  bool fails(const std::string& op, const std::string& path) {
    auto at = [&](const std::string& part) {
      return !part.empty() && path.find(part) != std::string::npos;
    };
    if (op == "create") created_.push_back(path);
    const std::string root = tmp_.path() + "/";
    if (op == "flush" || op == "remove")
      journal_.push_back(op + " " + (path.starts_with(root) ? path.substr(root.size()) : path));
    return (op == "create" && at(faults_.create)) || (op == "close" && at(faults_.close)) ||
           (op == "remove" && at(faults_.remove)) ||
           (op == "flush" && !faults_.flush.empty() && path.ends_with(faults_.flush)) ||
           (op == "write" && at(faults_.write) && written_[path]++ >= faults_.writes);
  }
  bool convert(const std::vector<mdfw::BusFrame>& frames, const mdfw::BusLogOptions& options) {
    test::write_file(tmp_ / "in.mf4", mdfw::write_bus_log(frames, options));
    return convert_file(sink_.get(), "in.mf4", "out/log") == CONVERT_OK;
  }

  test::TempDir tmp_;
  Faults faults_;
  std::vector<std::string> created_, journal_;
  std::map<std::string, int> written_;
  test::FaultyFolder folder_{
      tmp_.path(), [this](const char* op, const std::string& path) { return fails(op, path); }};
  ConverterSettings settings_;
  std::unique_ptr<CsvSink> sink_;
};

// The rows are the stable sort by time of the frames in read order, NaN last
// and -0.0 equal to 0.0, whatever the groups' order, pieces and threads.
TEST_F(CsvSinkTest, RowsAreTheStableSortByTime) {
  using mdfw::BusFrame;  // few distinct times, so that equal times straddle the pieces
  std::vector<BusFrame> in_order;
  for (uint32_t i = 0; i < 150'000; ++i) {
    double t = (i / 7'000) * 0.5;
    in_order.push_back(i % 3 ? mdfw::can_data(t, i & 0x7FF, {static_cast<uint8_t>(i)})
                             : mdfw::can_remote(t, i & 0x7FF, 1));
  }
  std::vector<BusFrame> shuffled;
  for (uint32_t i = 0; i < 40; ++i) shuffled.push_back(mdfw::can_data(i % 2 ? 5.0 : 2.0, i, {}));
  shuffled.push_back(mdfw::can_data(NAN, 0x7AA, {}));
  shuffled.push_back(mdfw::can_remote(1.0, 0x7BB, 0));
  for (uint32_t i = 0; i < 30; ++i)
    shuffled.push_back(mdfw::can_data(i % 2 ? -0.0 : 0.0, 0x400 + i, {}));
  shuffled.push_back(mdfw::lin_frame(0.3, 3, {}));
  shuffled.push_back(mdfw::lin_frame(0.1, 1, {9}));
  for (uint32_t i = 0; i < 70'000; ++i)
    shuffled.push_back(mdfw::can_data((i * 7919 % 1000) * 0.001, 0x100, {}));

  // Many groups, each in time order, with equal times across them.
  std::vector<BusFrame> per_bus;
  for (uint32_t i = 0; i < 40'000; ++i)
    per_bus.push_back(
        mdfw::can_data((i / 300) * 0.25, i & 0x7FF, {}, static_cast<uint8_t>(1 + i % 120)));

  const mdfw::Layout S = mdfw::Layout::sorted, U = mdfw::Layout::unsorted;
  const struct {
    const std::vector<BusFrame>* frames;
    mdfw::Layout layout;
    bool group_per_bus;
  } cases[] = {{&in_order, S, false},
               {&in_order, U, false},
               {&shuffled, S, false},
               {&shuffled, U, false},
               {&per_bus, S, true}};
  for (const auto& c : cases) {
    mdfw::BusLogOptions options;
    options.layout = c.layout;
    options.group_per_bus_channel = c.group_per_bus;
    options.start_time_ns = 0;
    const test::ExpectedTables want = test::expected_tables(*c.frames, options);
    for (unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(testing::Message() << c.frames->size() << " frames, " << threads << " threads");
      settings_.threads_per_file = threads;
      ASSERT_TRUE(convert(*c.frames, options));
      EXPECT_TRUE(test::read_file(tmp_ / "out/log_CAN.csv") == want.can);
      EXPECT_EQ(test::read_file(tmp_ / "out/log_LIN.csv"), want.lin);
    }
  }
}

TEST_F(CsvSinkTest, OutputFailuresFailTheFile) {
  using F = Faults;
  mdfw::BusLogOptions unsorted;
  unsorted.layout = mdfw::Layout::unsorted;
  const struct {
    F faults;
    bool with_lin;
    std::string message;
    bool can_left, lin_left;
    size_t opened;
  } cases[] = {
      {F{"_CAN.csv"}, 1, "Could not open output file for CAN: out/log_CAN.csv", 0, 0, 1},
      {F{"", "_CAN.csv", 0}, 1, "Could not write CAN header", 0, 0, 2},
      {F{"", "_CAN.csv", 1}, 1, "Could not write CAN data", 0, 0, 2},
      {F{"", "", 0, "_CAN.csv"}, 1, "", 0, 0, 2},
      {F{"_LIN.csv"}, 1, "Could not open output file for LIN: out/log_LIN.csv", 1, 0, 2},
      {F{"", "_LIN.csv", 0}, 1, "Could not write LIN header", 1, 0, 2},
      {F{"", "_LIN.csv", 1}, 1, "Could not write LIN data", 1, 0, 2},
      {F{"", "", 0, "_LIN.csv"}, 1, "", 1, 0, 2},
      // A table that cannot be removed stays under its temporary name only.
      {F{"", "_LIN.csv", 1, "", "_LIN.csv"}, 1, "Could not write LIN data", 1, 0, 2},
      {F{"", "_CAN.csv", 1, "", "_CAN.csv"}, 1, "Could not write CAN data", 0, 0, 2},
      {F{"", "", 0, "", "_LIN.csv"}, 0, "", 1, 0, 2},
      // An input that fails when closed may have fed the tables damaged bytes.
      {F{"", "", 0, "in.mf4"}, 1, "Could not close input file after conversion: in.mf4", 0, 0, 2},
  };
  for (const auto& c : cases) {
    reset(c.faults);
    std::vector<mdfw::BusFrame> frames{mdfw::can_data(1, 1, {1}), mdfw::can_data(2, 2, {2})};
    if (c.with_lin)
      frames.insert(frames.end(), {mdfw::lin_frame(1, 1, {1}), mdfw::lin_frame(2, 2, {2})});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(convert(frames, unsorted)) << c.message;
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.message.empty() ? "" : " E " + c.message), std::string::npos) << log;
    EXPECT_EQ(test::file_exists(tmp_ / "out/log_CAN.csv"), c.can_left) << c.message;
    EXPECT_EQ(test::file_exists(tmp_ / "out/log_LIN.csv"), c.lin_left) << c.message;
    EXPECT_EQ(created_.size(), c.opened) << c.message;
  }
}

// With -d the tables, then their folder after the renames, reach stable storage
// before the input goes; a failed flush fails the file and keeps the input.
TEST_F(CsvSinkTest, DeleteFlushesTablesBeforeTheInputGoes) {
  const std::string part = ".csv." + std::to_string(test::process_id()) + ".part";
  const std::string can = "flush out/.log_CAN" + part, lin = "flush out/.log_LIN" + part;
  const std::string gone_can = "remove out/log_CAN.csv", gone_lin = "remove out/log_LIN.csv";
  const struct {
    bool delete_converted;
    std::string failing;
    std::vector<std::string> journal;
  } cases[] = {
      {false, "", {}},
      {true, "", {can, lin, "flush out/", "remove in.mf4"}},
      {true, ".log_LIN" + part, {can, lin, "remove out/.log_LIN" + part, gone_can, gone_lin}},
      {true, "out/", {can, lin, "flush out/", gone_can, gone_lin}},
  };
  for (const auto& c : cases) {
    reset({.flush = c.failing});
    settings_.delete_converted = c.delete_converted;
    testing::internal::CaptureStderr();
    const bool ok = convert({mdfw::can_data(1, 1, {1}), mdfw::lin_frame(1, 1, {1})}, {});
    SCOPED_TRACE(c.failing + "\n" + testing::internal::GetCapturedStderr());
    EXPECT_EQ(ok, c.failing.empty());
    EXPECT_EQ(journal_, c.journal);
    EXPECT_EQ(test::file_exists(tmp_ / "in.mf4"), !(c.delete_converted && ok));
    EXPECT_EQ(test::list_tree(tmp_ / "out").size(), ok ? 2u : 0u);
  }
}

}  // namespace
}  // namespace quarrow
