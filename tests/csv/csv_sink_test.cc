#include "csv/csv_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "app/settings.h"
#include "io/folder.h"
#include "mdf/file_blocks.h"
#include "mdf/mdf_file.h"

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
    std::string close = "", remove = "";
  };
  std::map<std::string, std::string> files;
  std::vector<std::string> opened;
  Faults faults;

  bool stat(StringView, PathInfo*) override { return false; }
  void list(StringView, DirListing*) override {}
  bool make_folder(StringView) override { return true; }
  bool remove(StringView path) override {
    return !failing(path, faults.remove) && files.erase(std::string(path.data, path.size)) == 1;
  }
  ByteStream* open_file(StringView path, uint32_t) override {
    opened.emplace_back(path.data, path.size);
    if (failing(path, faults.open)) return nullptr;
    return new Stream(&(files[opened.back()] = ""),
                      failing(path, faults.write) ? faults.budget : INT64_MAX,
                      failing(path, faults.close));
  }

 private:
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
  static bool failing(StringView path, const std::string& suffix) {
    return !suffix.empty() && std::string(path.data, path.size).ends_with(suffix);
  }
};

// A frame whose data pointer follows it when it is copied.
template <typename F>
struct Owned : F {
  Owned() {
    std::memset(static_cast<F*>(this), 0, sizeof(F));
    this->data = this->bytes;
  }
  Owned(const Owned& other) : F(other) { this->data = this->bytes; }
};

template <typename F = CanFrame>
Owned<F> frame(double t, uint32_t id, std::vector<uint8_t> bytes = {}) {
  Owned<F> f;
  f.kind = std::is_same_v<F, CanFrame> ? FRAME_CAN_DATA : FRAME_LIN;
  f.timestamp = t;
  f.id = id;
  f.bus_channel = 1;
  f.data_length = bytes.size();
  if constexpr (std::is_same_v<F, CanFrame>) f.dlc = static_cast<uint8_t>(bytes.size());
  if constexpr (std::is_same_v<F, LinFrame>) f.received_count = static_cast<uint8_t>(bytes.size());
  std::copy_n(bytes.begin(), std::min(bytes.size(), sizeof f.bytes), f.bytes);
  return f;
}

// The other columns are pinned by the end-to-end tests.
TEST(CsvRow, RoundsHalfWayUpAndGrowsForHugeTimes) {
  SsoString row;
  ASSERT_TRUE(csv_format_can_row(frame(2.8329605, 1, {}), 0.0, &row));
  EXPECT_STREQ(row.c_str(), "  2.832961;1;001;0;0;0;0;0;0;0;0;\n");
  SsoString long_row;
  ASSERT_TRUE(long_row.append(StringView("prefix|")));
  ASSERT_TRUE(csv_format_can_row(frame(1e300, 1, std::vector<uint8_t>(64, 0x12)), 0.0, &long_row));
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
    auto* id = new IdBlock(block_descriptor(BLOCK_ID));
    id->id_hd = BlockRef::adopt(new HdBlock(block_descriptor(BLOCK_HD)));
    mdf_.id = BlockRef::adopt(id);
  }
  // The frames arrive in data groups of group_size frames (0: one group).
  bool convert(const std::vector<const Frame*>& frames, size_t group_size = 0) {
    EXPECT_TRUE(sink_->on_file_begin("out/log", &mdf_));
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_TRUE(sink_->on_frame(*frames[i]));
      if (group_size && (i + 1) % group_size == 0) sink_->on_group_end({});
    }
    return sink_->on_file_end("out/log");
  }
  void check_sorted_tables();
  std::string table(const char* kind) { return output_.files[std::string("out/log_") + kind]; }
  bool has(const char* kind) { return output_.files.count(std::string("out/log_") + kind) == 1; }

  MemoryFolder input_, output_;
  MdfFile mdf_;
  ConverterSettings settings_;
  std::unique_ptr<CsvSink> sink_;
};

// Whether the frames come in one data group, in groups each merged with the
// others, or in more groups than are merged, the rows are the stable sort.
TEST_F(CsvSinkTest, SortsStablyByTimeWithNaNLastAcrossDataGroups) {
  // Enough equal times that an unstable sort would reorder them, equal
  // times in different groups, and -0.0 before 0.0's equal.
  std::vector<Owned<CanFrame>> frames;
  for (uint32_t i = 0; i < 40; ++i) frames.push_back(frame(i % 2 ? 5.0 : 2.0, i));
  frames.push_back(frame(NAN, 0x7AA));
  frames.push_back(frame(1.0, 0x7BB));
  for (uint32_t i = 0; i < 30; ++i) frames.push_back(frame(i % 2 ? -0.0 : 0.0, 0x400 + i));
  auto x = frame<LinFrame>(0.3, 3), y = frame<LinFrame>(0.1, 1, {9});
  std::vector<const Frame*> pointers = {&x, &y};
  for (const auto& f : frames) pointers.push_back(&f);
  for (size_t group_size : {0, 1, 2, 7, 20}) {
    SCOPED_TRACE(group_size);
    ASSERT_TRUE(convert(pointers, group_size));
    check_sorted_tables();
  }
}

void CsvSinkTest::check_sorted_tables() {
  auto row = [](double t, uint32_t id) {
    char text[64];
    std::snprintf(text, sizeof text, "%10.6f;1;%03X;0;0;0;0;0;0;0;0;\n", t, id);
    return std::string(text);
  };
  std::string want = kCanHeader;
  for (uint32_t i = 0; i < 30; ++i) want += row(0, 0x400 + i);
  want += row(1, 0x7BB);
  for (uint32_t i = 0; i < 40; i += 2) want += row(2, i);
  for (uint32_t i = 1; i < 40; i += 2) want += row(5, i);
  const std::string got = table("CAN.csv");
  EXPECT_EQ(got.substr(0, want.size()), want);
  EXPECT_TRUE(got.ends_with(";1;7AA;0;0;0;0;0;0;0;0;\n")) << got;
  EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 73);
  EXPECT_EQ(table("LIN.csv"),
            kLinHeader + std::string("  0.100000;1;01;1;0;09\n") + "  0.300000;1;03;0;0;\n");
}

TEST_F(CsvSinkTest, HeaderlessStartIsNaNAndOnlyBusFrameGroupsAreWanted) {
  ASSERT_TRUE(sink_->on_file_begin("x", nullptr));
  EXPECT_TRUE(std::isnan(sink_->start_time()));
  auto wants = [&](std::initializer_list<FrameKind> kinds) {
    GroupList groups;
    for (FrameKind k : kinds) EXPECT_TRUE(groups.append(GroupInfo{StringView(), 0, k}));
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
      // A table that cannot be removed stays, partly written or empty.
      {F{"", "_LIN.csv", lin_row, "", "_LIN.csv"}, 1, "Could not write LIN data", 1, 1, 2},
      {F{"", "_CAN.csv", can_row, "", "_CAN.csv"}, 1, "Could not write CAN data", 1, 0, 2},
      {F{"", "", 0, "", "_LIN.csv"}, 0, "", 1, 1, 2},
  };
  auto a = frame(1, 1, {1}), b = frame(2, 2, {2});
  auto x = frame<LinFrame>(1, 1, {1}), y = frame<LinFrame>(2, 2, {2});
  for (const auto& c : cases) {
    output_.files.clear();
    output_.opened.clear();
    output_.faults = c.faults;
    std::vector<const Frame*> frames = {&a, &b};
    if (c.with_lin) frames.insert(frames.end(), {&x, &y});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(convert(frames)) << c.message;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.message.empty() ? "" : " E " + c.message), std::string::npos) << log;
    EXPECT_EQ(has("CAN.csv"), c.can_left) << c.message;
    EXPECT_EQ(has("LIN.csv"), c.lin_left) << c.message;
    EXPECT_EQ(output_.opened.size(), c.opened) << c.message;
  }
}

}  // namespace
}  // namespace quarrow
