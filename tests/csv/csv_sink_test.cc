#include "csv/csv_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "bus/frame_iterator.h"
#include "io/folder.h"
#include "io/memory_stream.h"
#include "log/log.h"
#include "mdf/data_group.h"
#include "mdf/mdf_file.h"
#include "mdfwriter/bus_log_writer.h"

namespace quarrow {
namespace {

constexpr char kCanHeader[] =
    "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;DataBytes\n";
constexpr char kLinHeader[] = "TimestampEpoch;BusChannel;ID;DataLength;Dir;DataBytes\n";

// A folder of files held in memory, with faults to order.
class MemoryFolder : public Folder {
 public:
  struct Faults {
    std::string fail_open;    // path suffix whose open fails
    std::string short_write;  // path suffix whose writes stop after budget bytes
    int64_t write_budget = 0;
    std::string fail_close;   // path suffix whose close fails
    std::string fail_remove;  // path suffix whose removal fails
  };

  std::map<std::string, std::string> files;
  std::vector<std::string> opened;
  Faults faults;

  bool stat(StringView path, PathInfo* info) override {
    info->kind = files.count(key(path)) ? PATH_FILE : PATH_MISSING;
    return true;
  }
  void list(StringView, DirListing*) override {}
  bool make_folder(StringView) override { return true; }
  bool remove(StringView path) override {
    std::string k = key(path);
    if (matches(k, faults.fail_remove)) return false;
    return files.erase(k) == 1;
  }
  ByteStream* open_file(StringView path, uint32_t flags) override {
    std::string k = key(path);
    opened.push_back(k);
    if (flags != FS_OPEN_WRITE || matches(k, faults.fail_open)) return nullptr;
    std::string* file = &files[k];
    file->clear();
    int64_t budget = matches(k, faults.short_write) ? faults.write_budget : -1;
    return new Stream(file, budget, matches(k, faults.fail_close));
  }

 private:
  class Stream : public ByteStream {
   public:
    Stream(std::string* file, int64_t budget, bool fail_close)
        : file_(file), budget_(budget), fail_close_(fail_close) {}
    int64_t write(const void* buffer, uint64_t count) override {
      uint64_t n = count;
      if (budget_ >= 0 && n > static_cast<uint64_t>(budget_)) n = static_cast<uint64_t>(budget_);
      if (budget_ >= 0) budget_ -= static_cast<int64_t>(n);
      file_->append(static_cast<const char*>(buffer), n);
      return static_cast<int64_t>(n);
    }
    int64_t close() override { return fail_close_ ? -1 : 0; }

   private:
    std::string* file_;
    int64_t budget_;
    bool fail_close_;
  };

  static std::string key(StringView path) { return std::string(path.data, path.size); }
  static bool matches(const std::string& path, const std::string& suffix) {
    return !suffix.empty() && path.size() >= suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
  }
};

// An MdfFile holding only what the writer reads: the header's start time.
struct FakeMdf {
  explicit FakeMdf(uint64_t start_ns) {
    auto* id = new IdBlock(block_descriptor(BLOCK_ID));
    auto* hd = new HdBlock(block_descriptor(BLOCK_HD));
    hd->hd_start_time_ns = start_ns;
    id->id_hd = BlockRef::adopt(hd);
    mdf.id = BlockRef::adopt(id);
  }
  MdfFile mdf;
};

// Frames whose data pointer follows them when they are copied.
struct TestCan : CanFrame {
  TestCan() {
    std::memset(static_cast<CanFrame*>(this), 0, sizeof(CanFrame));
    data = bytes;
  }
  TestCan(const TestCan& other) : CanFrame(other) { data = bytes; }
  TestCan& operator=(const TestCan& other) {
    CanFrame::operator=(other);
    data = bytes;
    return *this;
  }
};

struct TestLin : LinFrame {
  TestLin() {
    std::memset(static_cast<LinFrame*>(this), 0, sizeof(LinFrame));
    data = bytes;
  }
  TestLin(const TestLin& other) : LinFrame(other) { data = bytes; }
  TestLin& operator=(const TestLin& other) {
    LinFrame::operator=(other);
    data = bytes;
    return *this;
  }
};

TestCan can(double t, uint32_t id, std::vector<uint8_t> bytes, uint8_t ide = 0) {
  TestCan f;
  f.kind = FRAME_CAN_DATA;
  f.timestamp = t;
  f.id = id;
  f.ide = ide;
  f.bus_channel = 1;
  f.dlc = static_cast<uint8_t>(bytes.size());
  f.data_length = bytes.size();
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 64), f.bytes);
  return f;
}

TestLin lin(double t, uint32_t id, std::vector<uint8_t> bytes) {
  TestLin f;
  f.kind = FRAME_LIN;
  f.timestamp = t;
  f.id = id;
  f.bus_channel = 1;
  f.data_length = bytes.size();
  f.received_count = static_cast<uint8_t>(bytes.size());
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 8), f.bytes);
  return f;
}

class CsvSinkTest : public testing::Test {
 protected:
  void SetUp() override {
    sink_ = csv_sink_create(&input_, &output_, &settings_);
    ASSERT_NE(sink_, nullptr);
  }

  // One file: begin at start_ns, the frames, end; returns on_file_end.
  bool convert(const std::vector<const Frame*>& frames, uint64_t start_ns = 0) {
    FakeMdf mdf(start_ns);
    EXPECT_TRUE(sink_->on_file_begin("out/log", &mdf.mdf));
    for (const Frame* f : frames) EXPECT_TRUE(sink_->on_frame(*f));
    return sink_->on_file_end("out/log");
  }

  std::string can_table() { return output_.files["out/log_CAN.csv"]; }
  std::string lin_table() { return output_.files["out/log_LIN.csv"]; }
  bool has(const char* path) { return output_.files.count(path) == 1; }

  MemoryFolder input_;
  MemoryFolder output_;
  ConverterSettings settings_;
  std::unique_ptr<CsvSink> sink_;
};

TEST_F(CsvSinkTest, WritesTheExampleRow) {
  TestCan f = can(1.5, 0x123, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
  ASSERT_TRUE(convert({&f}, 1700000000ull * 1000000000ull));
  EXPECT_EQ(can_table(),
            std::string(kCanHeader) + "1700000001.500000;1;123;0;8;8;0;0;0;0;0;1122334455667788\n");
  EXPECT_FALSE(has("out/log_LIN.csv"));
}

struct CanRowCase {
  const char* what;
  TestCan frame;
  std::string row;
};

TestCan with(TestCan f, void (*change)(CanFrame*)) {
  change(&f);
  return f;
}

class CanRowTest : public testing::TestWithParam<CanRowCase> {};

TEST_P(CanRowTest, FormatsTheRow) {
  SsoString row;
  ASSERT_TRUE(csv_format_can_row(GetParam().frame, 0.0, &row));
  EXPECT_EQ(std::string(row.c_str(), row.size()), GetParam().row) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CanRowTest,
    testing::Values(CanRowCase{"standard id 7FF", can(1, 0x7FF, {0xAB}),
                               "  1.000000;1;7FF;0;1;1;0;0;0;0;0;AB\n"},
                    CanRowCase{"standard id pads to three", can(1, 0x5, {}),
                               "  1.000000;1;005;0;0;0;0;0;0;0;0;\n"},
                    CanRowCase{"extended id pads to eight", can(1, 0x1ABCDEF, {0x0F}, 1),
                               "  1.000000;1;01ABCDEF;1;1;1;0;0;0;0;0;0F\n"},
                    CanRowCase{"small timestamp is padded", can(0.25, 1, {}),
                               "  0.250000;1;001;0;0;0;0;0;0;0;0;\n"},
                    CanRowCase{"remote frame prints zero bytes",
                               with(can(2, 0x10, {0, 0, 0, 0, 0, 0, 0, 0}),
                                    [](CanFrame* f) {
                                      f->kind = FRAME_CAN_REMOTE;
                                      f->rtr = 1;
                                    }),
                               "  2.000000;1;010;0;8;8;0;0;0;0;1;0000000000000000\n"},
                    CanRowCase{"flags in column order",
                               with(can(3, 0x20, {0xFF}),
                                    [](CanFrame* f) {
                                      f->bus_channel = 2;
                                      f->dir = 1;
                                      f->edl = 1;
                                      f->brs = 1;
                                      f->esi = 1;
                                      f->dlc = 9;
                                      f->data_length = 1;
                                    }),
                               "  3.000000;2;020;0;9;1;1;1;1;1;0;FF\n"},
                    CanRowCase{
                        "data length beyond the storage is clipped",
                        with(can(4, 1, std::vector<uint8_t>(64, 0xEE)),
                             [](CanFrame* f) { f->data_length = 200; }),
                        "  4.000000;1;001;0;64;200;0;0;0;0;0;" + std::string(128, 'E') + "\n"},
                    CanRowCase{"stb rounds half-way values up", can(2.8329605, 1, {}),
                               "  2.832961;1;001;0;0;0;0;0;0;0;0;\n"}));

TEST(LinRow, PrintsReceivedCountAndDataLengthBytes) {
  TestLin f = lin(0.5, 0x05, {0xA1, 0xB2, 0xC3});
  f.received_count = 7;
  f.dir = 1;
  SsoString row;
  ASSERT_TRUE(csv_format_lin_row(f, 10.0, &row));
  EXPECT_STREQ(row.c_str(), " 10.500000;1;05;7;1;A1B2C3\n");
  f.data_length = 99;
  row.clear();
  ASSERT_TRUE(csv_format_lin_row(f, 10.0, &row));
  EXPECT_STREQ(row.c_str(), " 10.500000;1;05;7;1;A1B2C30000000000\n");
}

TEST(CanRow, LongRowsGrowTheBuffer) {
  TestCan f = can(1e300, 1, std::vector<uint8_t>(64, 0x12));
  SsoString row;
  ASSERT_TRUE(row.append(StringView("prefix|")));
  ASSERT_TRUE(csv_format_can_row(f, 0.0, &row));
  std::string text(row.c_str(), row.size());
  EXPECT_EQ(text.rfind("prefix|1", 0), 0u);
  std::string hex;
  for (int i = 0; i < 64; ++i) hex += "12";
  EXPECT_EQ(text.substr(text.size() - 129), hex + "\n");
  EXPECT_GT(text.size(), 300u);
}

TEST_F(CsvSinkTest, SortsRowsByTime) {
  TestCan a = can(3, 3, {3});
  TestCan b = can(1, 1, {1});
  TestCan c = can(2, 2, {2});
  TestLin x = lin(0.3, 3, {});
  TestLin y = lin(0.1, 1, {});
  ASSERT_TRUE(convert({&a, &x, &b, &y, &c}));
  EXPECT_EQ(can_table(), std::string(kCanHeader) +
                             "  1.000000;1;001;0;1;1;0;0;0;0;0;01\n"
                             "  2.000000;1;002;0;1;1;0;0;0;0;0;02\n"
                             "  3.000000;1;003;0;1;1;0;0;0;0;0;03\n");
  EXPECT_EQ(lin_table(), std::string(kLinHeader) +
                             "  0.100000;1;01;0;0;\n"
                             "  0.300000;1;03;0;0;\n");
}

TEST_F(CsvSinkTest, EqualTimestampsKeepArrivalOrderAndNaNGoesLast) {
  std::vector<TestCan> frames;
  for (uint32_t i = 0; i < 40; ++i) frames.push_back(can(i % 2 ? 5.0 : 2.0, i, {}));
  frames.push_back(can(NAN, 0x7AA, {}));
  frames.push_back(can(1.0, 0x7BB, {}));
  std::vector<const Frame*> pointers;
  for (const TestCan& f : frames) pointers.push_back(&f);
  ASSERT_TRUE(convert(pointers));
  std::istringstream table(can_table());
  std::string line;
  std::getline(table, line);
  std::vector<std::string> ids;
  while (std::getline(table, line)) ids.push_back(line.substr(line.find(';', 11) + 1, 3));
  std::vector<std::string> expected = {"7BB"};
  char hex[8];
  for (uint32_t i = 0; i < 40; i += 2) {
    std::snprintf(hex, sizeof(hex), "%03X", i);
    expected.push_back(hex);
  }
  for (uint32_t i = 1; i < 40; i += 2) {
    std::snprintf(hex, sizeof(hex), "%03X", i);
    expected.push_back(hex);
  }
  expected.push_back("7AA");
  EXPECT_EQ(ids, expected);
}

TEST_F(CsvSinkTest, IgnoresErrorAndFramelessRecords) {
  FrameBuffer error;
  std::memset(&error, 0, sizeof(error));
  error.error.kind = FRAME_CAN_ERROR;
  FrameBuffer none;
  std::memset(&none, 0, sizeof(none));
  ASSERT_TRUE(sink_->on_frame(error.frame));
  ASSERT_TRUE(sink_->on_frame(none.frame));
  EXPECT_EQ(sink_->can_frame_count(), 0u);
  EXPECT_EQ(sink_->lin_frame_count(), 0u);
}

TEST_F(CsvSinkTest, StoresAnIndependentClippedCopy) {
  FrameBuffer buffer;
  buffer.can = can(1, 1, {1, 2, 3});
  buffer.can.data = buffer.can.bytes;
  buffer.can.data_length = 300;
  ASSERT_TRUE(sink_->on_frame(buffer.frame));
  std::memset(buffer.can.bytes, 0x99, sizeof(buffer.can.bytes));
  ASSERT_TRUE(sink_->on_file_end("out/log"));
  EXPECT_EQ(can_table(), std::string(kCanHeader) + "  1.000000;1;001;0;3;64;0;0;0;0;0;010203" +
                             std::string(122, '0') + "\n");
}

TEST_F(CsvSinkTest, NoFramesLeaveNoTablesAndRemoveStaleOnes) {
  output_.files["out/log_CAN.csv"] = "stale";
  output_.files["out/log_LIN.csv"] = "stale";
  ASSERT_TRUE(convert({}));
  EXPECT_TRUE(output_.files.empty());
  EXPECT_EQ(output_.opened, (std::vector<std::string>{"out/log_CAN.csv", "out/log_LIN.csv"}));
}

TEST_F(CsvSinkTest, OnlyLinLeavesOnlyTheLinTable) {
  TestLin f = lin(1, 5, {1});
  ASSERT_TRUE(convert({&f}));
  EXPECT_FALSE(has("out/log_CAN.csv"));
  EXPECT_EQ(lin_table(), std::string(kLinHeader) + "  1.000000;1;05;1;0;01\n");
}

TEST_F(CsvSinkTest, NextFileForgetsTheFramesBefore) {
  TestCan a = can(1, 1, {});
  ASSERT_TRUE(convert({&a}));
  TestLin b = lin(2, 2, {});
  ASSERT_TRUE(convert({&b}));
  EXPECT_FALSE(has("out/log_CAN.csv"));
  EXPECT_TRUE(has("out/log_LIN.csv"));
}

TEST_F(CsvSinkTest, StartTimeIsWholeMicrosecondsOrNaNWithoutHeader) {
  FakeMdf mdf(1234567891999ull);
  ASSERT_TRUE(sink_->on_file_begin("x", &mdf.mdf));
  EXPECT_DOUBLE_EQ(sink_->start_time(), 1234.567891);
  ASSERT_TRUE(sink_->on_file_begin("x", nullptr));
  EXPECT_TRUE(std::isnan(sink_->start_time()));
}

struct WantsCase {
  std::vector<FrameKind> kinds;
  bool wanted;
};

class WantsGroupTest : public CsvSinkTest, public testing::WithParamInterface<WantsCase> {};

TEST_P(WantsGroupTest, WantsCanDataRemoteAndLin) {
  GroupList groups;
  for (FrameKind k : GetParam().kinds) ASSERT_TRUE(groups.append(GroupInfo{StringView(), 0, k}));
  EXPECT_EQ(sink_->wants_group(groups), GetParam().wanted);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, WantsGroupTest,
    testing::Values(
        WantsCase{{}, false}, WantsCase{{FRAME_CAN_ERROR, FRAME_NONE}, false},
        WantsCase{{FRAME_CAN_DATA}, true}, WantsCase{{FRAME_NONE, FRAME_CAN_REMOTE}, true},
        WantsCase{{FRAME_LIN_SYNC_ERROR, FRAME_LIN}, true},
        WantsCase{{FRAME_LIN_CHECKSUM_ERROR, FRAME_LIN_RECEIVE_ERROR, FRAME_LIN_TRANSMISSION_ERROR},
                  false}));

TEST(CsvSinkCreate, NeedsFoldersAndSettings) {
  MemoryFolder folder;
  ConverterSettings settings;
  EXPECT_EQ(csv_sink_create(nullptr, &folder, &settings), nullptr);
  EXPECT_EQ(csv_sink_create(&folder, nullptr, &settings), nullptr);
  EXPECT_EQ(csv_sink_create(&folder, &folder, nullptr), nullptr);
  std::unique_ptr<CsvSink> sink = csv_sink_create(&folder, &folder, &settings);
  ASSERT_NE(sink, nullptr);
  EXPECT_TRUE(sink->create_folders());
  EXPECT_EQ(sink->output_folder(), &folder);
  EXPECT_EQ(sink->start_time(), 0.0);
}

// Failure paths: what is logged, what the result is, what stays on disk.
struct FailureCase {
  const char* what;
  MemoryFolder::Faults faults;
  std::string message;
  bool can_left;
  bool lin_left;
};

class CsvSinkFailureTest : public CsvSinkTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(CsvSinkFailureTest, FailsTheFile) {
  const FailureCase& c = GetParam();
  output_.faults = c.faults;
  TestCan a = can(1, 1, {1});
  TestCan b = can(2, 2, {2});
  TestLin x = lin(1, 1, {1});
  TestLin y = lin(2, 2, {2});
  testing::internal::CaptureStderr();
  bool ok = convert({&a, &b, &x, &y});
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok) << c.what;
  if (!c.message.empty()) {
    EXPECT_NE(log.find(" E " + c.message), std::string::npos) << log;
  }
  EXPECT_EQ(has("out/log_CAN.csv"), c.can_left) << c.what;
  EXPECT_EQ(has("out/log_LIN.csv"), c.lin_left) << c.what;
}

MemoryFolder::Faults fault_open(const char* suffix) {
  MemoryFolder::Faults f;
  f.fail_open = suffix;
  return f;
}
MemoryFolder::Faults fault_write(const char* suffix, int64_t budget) {
  MemoryFolder::Faults f;
  f.short_write = suffix;
  f.write_budget = budget;
  return f;
}
MemoryFolder::Faults fault_close(const char* suffix) {
  MemoryFolder::Faults f;
  f.fail_close = suffix;
  return f;
}
MemoryFolder::Faults fault_remove(const char* suffix, MemoryFolder::Faults f = {}) {
  f.fail_remove = suffix;
  return f;
}

const int64_t kOneCanRow = sizeof(kCanHeader) - 1 + 37;
const int64_t kOneLinRow = sizeof(kLinHeader) - 1 + 23;

INSTANTIATE_TEST_SUITE_P(
    Faults, CsvSinkFailureTest,
    testing::Values(FailureCase{"can open", fault_open("_CAN.csv"),
                                "Could not open output file for CAN: out/log_CAN.csv", false,
                                false},
                    FailureCase{"can header", fault_write("_CAN.csv", 10),
                                "Could not write CAN header", false, false},
                    FailureCase{"can row", fault_write("_CAN.csv", kOneCanRow + 5),
                                "Could not write CAN data", false, false},
                    FailureCase{"can close", fault_close("_CAN.csv"), "", false, false},
                    FailureCase{"lin open", fault_open("_LIN.csv"),
                                "Could not open output file for LIN: out/log_LIN.csv", true, false},
                    FailureCase{"lin header", fault_write("_LIN.csv", 0),
                                "Could not write LIN header", true, false},
                    FailureCase{"lin row after one row stays", fault_write("_LIN.csv", kOneLinRow),
                                "Could not write LIN data", true, true},
                    FailureCase{"lin close", fault_close("_LIN.csv"), "", true, true},
                    FailureCase{"can removal after a failed row",
                                fault_remove("_CAN.csv", fault_write("_CAN.csv", kOneCanRow)),
                                "Could not write CAN data", true, false}));

TEST_F(CsvSinkTest, FailedRemovalOfAnEmptyTableFailsTheFile) {
  output_.faults = fault_remove("_LIN.csv");
  TestCan a = can(1, 1, {1});
  EXPECT_FALSE(convert({&a}));
  EXPECT_TRUE(has("out/log_CAN.csv"));
}

TEST_F(CsvSinkTest, CanOpenFailureDoesNotTryLin) {
  output_.faults = fault_open("_CAN.csv");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(convert({}));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(output_.opened, std::vector<std::string>{"out/log_CAN.csv"});
}

// A whole file: written by the MDF writer, read through the iterator into
// the sink; the expected tables are formatted here from the written frames.
std::string expected_can_row(const mdfw::BusFrame& f, double start) {
  char head[128];
  std::snprintf(
      head, sizeof(head),
      f.ide ? "%10.6f;%d;%08X;%d;%d;%d;%d;%d;%d;%d;%d;" : "%10.6f;%d;%03X;%d;%d;%d;%d;%d;%d;%d;%d;",
      f.time + start, f.bus_channel, f.id, f.ide, f.dlc, f.data_length, f.dir,
      f.type == mdfw::FrameType::can_data ? f.edl : 0,
      f.type == mdfw::FrameType::can_data ? f.brs : 0,
      f.type == mdfw::FrameType::can_data ? f.esi : 0,
      f.type == mdfw::FrameType::can_remote ? 1 : 0);
  std::string row = head;
  for (size_t i = 0; i < std::min<size_t>(f.data_length, 64); ++i) {
    char byte[3];
    std::snprintf(byte, sizeof(byte), "%02X",
                  f.type == mdfw::FrameType::can_remote ? 0 : f.data[i]);
    row += byte;
  }
  return row + "\n";
}

std::string expected_lin_row(const mdfw::BusFrame& f, double start) {
  char head[64];
  std::snprintf(head, sizeof(head), "%10.6f;%d;%02X;%d;%d;", f.time + start, f.bus_channel, f.id,
                f.received_count, f.dir);
  std::string row = head;
  for (size_t i = 0; i < std::min<size_t>(f.data_length, 8); ++i) {
    char byte[3];
    std::snprintf(byte, sizeof(byte), "%02X", f.data[i]);
    row += byte;
  }
  return row + "\n";
}

TEST_F(CsvSinkTest, ConvertsAWrittenLog) {
  mdfw::GeneratorOptions generator;
  generator.seed = 11;
  generator.mix.lin_error = 2;
  std::vector<mdfw::BusFrame> frames = mdfw::generate_frames(3000, generator);
  mdfw::BusLogOptions options;
  options.layout = mdfw::Layout::unsorted;
  options.can_data_bytes = mdfw::DataBytesStorage::vlsd;
  options.start_time_ns = 1700000000ull * 1000000000ull;
  std::vector<uint8_t> bytes = mdfw::write_bus_log(frames, options);

  MemoryStream* stream = memory_stream_create();
  ASSERT_EQ(stream_write(stream, bytes.data(), bytes.size()), static_cast<int64_t>(bytes.size()));
  MdfFile* mdf = mdf_open(stream);
  ASSERT_NE(mdf, nullptr);
  ASSERT_TRUE(sink_->on_file_begin("out/log", mdf));
  for (const BlockRef& ref : mdf_hd_block(mdf)->hd_dg_list) {
    std::unique_ptr<FrameIterator> it = frame_iterator_create(block_as<DgBlock>(ref));
    for (const Frame* f = it->first(); f; f = it->next()) ASSERT_TRUE(sink_->on_frame(*f));
  }
  ASSERT_TRUE(sink_->on_file_end("out/log"));
  mdf_close(mdf);
  stream_close(stream);

  std::stable_sort(
      frames.begin(), frames.end(),
      [](const mdfw::BusFrame& a, const mdfw::BusFrame& b) { return a.time < b.time; });
  std::string can_expected = kCanHeader;
  std::string lin_expected = kLinHeader;
  for (const mdfw::BusFrame& f : frames) {
    if (f.type == mdfw::FrameType::can_data || f.type == mdfw::FrameType::can_remote) {
      can_expected += expected_can_row(f, 1700000000.0);
    } else if (f.type == mdfw::FrameType::lin) {
      lin_expected += expected_lin_row(f, 1700000000.0);
    }
  }
  EXPECT_EQ(can_table(), can_expected);
  EXPECT_EQ(lin_table(), lin_expected);
}

TEST(CsvSinkOnDisk, WritesThroughARealFolderAndRemovesAStaleTable) {
  std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("quarrow_csv_" + std::to_string(::getpid()));
  std::filesystem::create_directories(root);
  { std::ofstream(root / "log_LIN.csv") << "stale"; }
  std::unique_ptr<Folder> folder = folder_open(root.string().c_str());
  ASSERT_NE(folder, nullptr);
  ConverterSettings settings;
  std::unique_ptr<CsvSink> sink = csv_sink_create(folder.get(), folder.get(), &settings);
  ASSERT_NE(sink, nullptr);
  FakeMdf mdf(0);
  ASSERT_TRUE(sink->on_file_begin("log", &mdf.mdf));
  TestCan f = can(1.5, 0x123, {0xDE, 0xAD});
  ASSERT_TRUE(sink->on_frame(f));
  ASSERT_TRUE(sink->on_file_end("log"));
  std::ifstream in(root / "log_CAN.csv", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, std::string(kCanHeader) + "  1.500000;1;123;0;2;2;0;0;0;0;0;DEAD\n");
  EXPECT_FALSE(std::filesystem::exists(root / "log_LIN.csv"));
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace quarrow
