#include "csv/csv_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/convert_file.h"
#include "app/csv_expect.h"
#include "app/settings.h"
#include "io/folder.h"
#include "io/interrupt.h"
#include "io/memory_stream.h"

namespace quarrow {
namespace {

constexpr char kCanHeader[] =
    "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;DataBytes\n";
constexpr char kLinHeader[] = "TimestampEpoch;BusChannel;ID;DataLength;Dir;DataBytes\n";

// Output files held in memory; paths ending in a fault's suffix fail there.
class MemoryFolder : public Folder {
 public:
  struct Faults {  // path suffixes; a file failing on write takes budget bytes
    std::string open = "", write = "";
    int64_t budget = 0;
    std::string close = "", remove = "", flush = "";
  };
  std::map<std::string, std::string> files;
  std::vector<std::string> opened;
  std::vector<std::string>* journal = nullptr;  // flushes and removals, in order
  Faults faults;

  bool stat(StringView path, PathInfo* info) override {
    info->kind = files.count(std::string(path.data, path.size)) ? PATH_FILE : PATH_MISSING;
    return true;
  }
  void list(StringView, DirListing*) override {}
  bool make_folder(StringView) override { return true; }
  bool remove(StringView path) override {
    note("remove", path);
    return !failing(path, faults.remove) && files.erase(std::string(path.data, path.size)) == 1;
  }
  bool rename(StringView from, StringView to) override {
    auto it = files.find(std::string(from.data, from.size));
    if (it == files.end()) return false;
    files[std::string(to.data, to.size)] = std::move(it->second);
    files.erase(it);
    return true;
  }
  bool flush(StringView path) override {
    note("flush", path);
    return faults.flush.empty() || !std::string(path.data, path.size).ends_with(faults.flush);
  }
  ByteStream* open_file(StringView path, uint32_t flags) override {
    if (!(flags & FS_OPEN_WRITE)) {
      auto* input = new Input(failing(path, faults.close));
      const std::string& bytes = files[std::string(path.data, path.size)];
      input->write(bytes.data(), bytes.size());
      input->seek(0, STREAM_SEEK_SET);
      return input;
    }
    opened.emplace_back(path.data, path.size);
    if (failing(path, faults.open)) return nullptr;
    return new Stream(&(files[opened.back()] = ""),
                      failing(path, faults.write) ? faults.budget : INT64_MAX,
                      failing(path, faults.close));
  }

 private:
  struct Input : MemoryStream {
    explicit Input(bool fail_close) : fail_close(fail_close) {}
    int64_t close() override { return MemoryStream::close() == 0 && !fail_close ? 0 : -1; }
    bool fail_close;
  };
  struct Stream : ByteStream {
    Stream(std::string* f, int64_t budget, bool fail_close)
        : file(f), budget(budget), fail_close(fail_close) {}
    int64_t write(const void* buffer, uint64_t count) override {
      int64_t n = std::min(budget, static_cast<int64_t>(count));
      budget -= n;
      file->append(static_cast<const char*>(buffer), static_cast<size_t>(n));
      return n;
    }
    int64_t close() override { return fail_close ? -1 : 0; }
    std::string* file;
    int64_t budget;
    bool fail_close;
  };
  void note(const char* op, StringView path) {
    if (journal) journal->push_back(op + (" " + std::string(path.data, path.size)));
  }
  // A table's temporary file fails where the table would.
  static bool failing(StringView path, const std::string& part) {
    return !part.empty() && std::string(path.data, path.size).find(part) != std::string::npos;
  }
};

// A frame whose data pointer follows it when it is copied.
template <typename F>
struct Owned : F {
  Owned() {
    std::memset(static_cast<F*>(this), 0, sizeof(F));
    this->data = this->bytes;
  }
};

// The other columns are pinned by the end-to-end tests.
TEST(CsvRow, RoundsHalfWayUpAndGrowsForHugeTimes) {
  Owned<CanFrame> f;
  f.kind = FRAME_CAN_DATA;
  f.timestamp = 2.8329605;
  f.id = 1;
  f.bus_channel = 1;
  SsoString row;
  ASSERT_TRUE(csv_format_can_row(f, 0.0, &row));
  EXPECT_STREQ(row.c_str(), "  2.832961;1;001;0;0;0;0;0;0;0;0;\n");
  f.timestamp = 1e300;
  f.data_length = 64;
  std::memset(f.bytes, 0x12, sizeof f.bytes);
  SsoString long_row;
  ASSERT_TRUE(long_row.append(StringView("prefix|")));
  ASSERT_TRUE(csv_format_can_row(f, 0.0, &long_row));
  std::string text(long_row.c_str(), long_row.size());
  EXPECT_EQ(text.rfind("prefix|1000000", 0), 0u);
  std::string hex;
  for (int i = 0; i < 64; ++i) hex += "12";
  EXPECT_GT(text.size(), 300u);
  EXPECT_EQ(text.substr(text.size() - 129), hex + "\n");
}

class CsvSinkTest : public testing::Test {
 protected:
  void SetUp() override {
    sink_ = csv_sink_create(&input_, &output_, &settings_);
    ASSERT_NE(sink_, nullptr);
  }
  // Writes the frames as a log that starts at time 0 and converts it.
  bool convert(const std::vector<mdfw::BusFrame>& frames,
               mdfw::Layout layout = mdfw::Layout::unsorted, bool group_per_bus = false) {
    mdfw::BusLogOptions options;
    options.layout = layout;
    options.group_per_bus_channel = group_per_bus;
    options.start_time_ns = 0;
    std::vector<uint8_t> log = mdfw::write_bus_log(frames, options);
    input_.files["in.mf4"].assign(log.begin(), log.end());
    return convert_file(sink_.get(), "in.mf4", "out/log") == CONVERT_OK;
  }
  std::string table(const char* kind) { return output_.files[std::string("out/log_") + kind]; }
  bool has(const char* kind) { return output_.files.count(std::string("out/log_") + kind) == 1; }

  MemoryFolder input_, output_;
  ConverterSettings settings_;
  std::unique_ptr<CsvSink> sink_;
};

// The rows are the stable sort by time of the frames in read order, NaN
// last and -0.0 equal to 0.0, whether the groups come in time order or not,
// in one piece or in many made on several threads.
TEST_F(CsvSinkTest, RowsAreTheStableSortByTime) {
  using mdfw::BusFrame;
  // Few distinct times, so that equal times straddle the pieces.
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
    // Read order: one data group per frame type (and bus) when sorted.
    std::vector<BusFrame> read = *c.frames;
    if (c.layout == S) {
      std::stable_sort(read.begin(), read.end(), [&](const auto& a, const auto& b) {
        return a.type < b.type ||
               (c.group_per_bus && a.type == b.type && a.bus_channel < b.bus_channel);
      });
    }
    auto rank = [](const BusFrame& f) { return std::pair(std::isnan(f.time), f.time + 0.0); };
    std::stable_sort(read.begin(), read.end(), [&](const auto& a, const auto& b) {
      return rank(a) < rank(b) && !(std::isnan(a.time) && std::isnan(b.time));
    });
    std::string can = kCanHeader, lin = kLinHeader;
    mdfw::BusLogOptions options;
    for (const BusFrame& f : read) {
      double t = std::isnan(f.time) ? f.time : f.time + 0.0;
      if (f.type == mdfw::FrameType::lin) {
        lin += test::lin_row(f, t);
      } else {
        can += test::can_row(f, t, options);
        // The program's formatter spells it so.
        if (std::isnan(t)) can.replace(can.rfind("nan;"), 3, "NaN");
      }
    }
    for (unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(testing::Message() << c.frames->size() << " frames, " << threads << " threads");
      settings_.threads_per_file = threads;
      ASSERT_TRUE(convert(*c.frames, c.layout, c.group_per_bus));
      EXPECT_TRUE(table("CAN.csv") == can);
      EXPECT_EQ(table("LIN.csv"), c.frames == &shuffled ? lin : "");
    }
  }
}

TEST_F(CsvSinkTest, HeaderlessStartIsNaNAndOnlyBusFrameGroupsAreWanted) {
  ASSERT_TRUE(sink_->on_file_begin("x", nullptr));
  EXPECT_TRUE(std::isnan(sink_->start_time()));
  auto wants = [&](std::initializer_list<FrameKind> kinds) {
    GroupList groups;
    for (FrameKind k : kinds) EXPECT_TRUE(groups.append(GroupInfo{StringView(), 0, k, 1}));
    return sink_->wants_group(groups);
  };
  EXPECT_FALSE(
      wants({FRAME_NONE, FRAME_CAN_ERROR, FRAME_LIN_CHECKSUM_ERROR, FRAME_LIN_RECEIVE_ERROR,
             FRAME_LIN_SYNC_ERROR, FRAME_LIN_TRANSMISSION_ERROR}));
  for (FrameKind k : {FRAME_CAN_DATA, FRAME_CAN_REMOTE, FRAME_LIN})
    EXPECT_TRUE(wants({FRAME_NONE, k}));
}

// What is logged, what the result is, what stays behind.
TEST_F(CsvSinkTest, OutputFailuresFailTheFile) {
  const int64_t can_row = sizeof(kCanHeader) - 1 + 37;
  const int64_t lin_row = sizeof(kLinHeader) - 1 + 23;
  using F = MemoryFolder::Faults;
  const struct {
    F faults;
    bool with_lin;
    std::string message;
    bool can_left, lin_left;
    size_t opened;
  } cases[] = {
      {F{"_CAN.csv"}, 1, "Could not open output file for CAN: out/log_CAN.csv", 0, 0, 1},
      {F{"", "_CAN.csv", 10}, 1, "Could not write CAN header", 0, 0, 2},
      {F{"", "_CAN.csv", can_row + 5}, 1, "Could not write CAN data", 0, 0, 2},
      {F{"", "", 0, "_CAN.csv"}, 1, "", 0, 0, 2},
      {F{"_LIN.csv"}, 1, "Could not open output file for LIN: out/log_LIN.csv", 1, 0, 2},
      {F{"", "_LIN.csv", 0}, 1, "Could not write LIN header", 1, 0, 2},
      {F{"", "_LIN.csv", lin_row}, 1, "Could not write LIN data", 1, 0, 2},
      {F{"", "", 0, "_LIN.csv"}, 1, "", 1, 0, 2},
      // A table that cannot be removed stays under its temporary name only.
      {F{"", "_LIN.csv", lin_row, "", "_LIN.csv"}, 1, "Could not write LIN data", 1, 0, 2},
      {F{"", "_CAN.csv", can_row, "", "_CAN.csv"}, 1, "Could not write CAN data", 0, 0, 2},
      {F{"", "", 0, "", "_LIN.csv"}, 0, "", 1, 0, 2},
      // An input that fails when it is closed may have fed the tables
      // damaged bytes.
      {F{"", "", 0, "in.mf4"}, 1, "Could not close input file after conversion: in.mf4", 0, 0, 2},
  };
  for (const auto& c : cases) {
    output_.files.clear();
    output_.opened.clear();
    input_.faults = output_.faults = c.faults;
    std::vector<mdfw::BusFrame> frames = {mdfw::can_data(1, 1, {1}), mdfw::can_data(2, 2, {2})};
    if (c.with_lin)
      frames.insert(frames.end(), {mdfw::lin_frame(1, 1, {1}), mdfw::lin_frame(2, 2, {2})});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(convert(frames)) << c.message;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.message.empty() ? "" : " E " + c.message), std::string::npos) << log;
    EXPECT_EQ(has("CAN.csv"), c.can_left) << c.message;
    EXPECT_EQ(has("LIN.csv"), c.lin_left) << c.message;
    EXPECT_EQ(output_.opened.size(), c.opened) << c.message;
  }
}

// With -d the tables reach stable storage, and their folder after the
// renames, before the input is deleted; a flush that fails is a write
// failure: no table, the input kept. Without -d nothing is flushed.
TEST_F(CsvSinkTest, DeleteFlushesTablesBeforeTheInputGoes) {
  const std::string pid = std::to_string(process_id());
  const std::string lin_name = ".log_LIN.csv." + pid + ".part";
  const std::string can_part = "flush out/.log_CAN.csv." + pid + ".part";
  const std::string lin_part = "flush out/" + lin_name;
  const struct {
    bool delete_converted;
    std::string failing;
    std::vector<std::string> journal;
  } cases[] = {
      {false, "", {}},
      {true, "", {can_part, lin_part, "flush out/", "remove in.mf4"}},
      {true,
       lin_name,
       {can_part, lin_part, "remove out/" + lin_name, "remove out/log_CAN.csv",
        "remove out/log_LIN.csv"}},
      {true,
       "out/",
       {can_part, lin_part, "flush out/", "remove out/log_CAN.csv", "remove out/log_LIN.csv"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> journal;
    input_.journal = output_.journal = &journal;
    output_.files.clear();
    output_.faults.flush = c.failing;
    settings_.delete_converted = c.delete_converted;
    testing::internal::CaptureStderr();
    bool ok = convert({mdfw::can_data(1, 1, {1}), mdfw::lin_frame(1, 1, {1})});
    std::string log = testing::internal::GetCapturedStderr();
    SCOPED_TRACE(c.failing + "\n" + log);
    EXPECT_EQ(ok, c.failing.empty());
    EXPECT_EQ(journal, c.journal);
    EXPECT_EQ(input_.files.count("in.mf4"), c.delete_converted && ok ? 0u : 1u);
    EXPECT_EQ(output_.files.size(), ok ? 2u : 0u);
  }
}

}  // namespace
}  // namespace quarrow
