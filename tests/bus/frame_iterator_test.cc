#include "bus/frame_iterator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "io/memory_stream.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/file_blocks.h"
#include "mdf/mdf_file.h"
#include "mdfwriter/block_builder.h"
#include "mdfwriter/bus_log_writer.h"

namespace quarrow {
namespace {

using mdfw::BusFrame;
using mdfw::BusLogMap;
using mdfw::BusLogOptions;
using mdfw::DataBytesStorage;
using mdfw::FrameType;
using mdfw::Layout;

// What one record gave: the decode result and a copy of the frame buffer.
struct Record {
  FrameKind result;
  FrameBuffer frame;
};

// An opened log; the stream outlives the MdfFile.
class OpenLog {
 public:
  explicit OpenLog(const std::vector<uint8_t>& bytes) {
    stream_ = memory_stream_create();
    EXPECT_EQ(stream_write(stream_, bytes.data(), bytes.size()),
              static_cast<int64_t>(bytes.size()));
    stream_seek(stream_, 0, STREAM_SEEK_SET);
    mdf_ = mdf_open(stream_);
    EXPECT_NE(mdf_, nullptr);
  }
  ~OpenLog() {
    mdf_close(mdf_);
    stream_close(stream_);
  }

  std::vector<DgBlock*> data_groups() const {
    std::vector<DgBlock*> out;
    HdBlock* hd = mdf_hd_block(mdf_);
    if (!hd) return out;
    for (const BlockRef& ref : hd->hd_dg_list) out.push_back(block_as<DgBlock>(ref));
    return out;
  }

  // Every record of every data group, in file order.
  std::vector<Record> records() const {
    std::vector<Record> out;
    for (DgBlock* dg : data_groups()) {
      std::vector<Record> more = records_of(dg);
      out.insert(out.end(), more.begin(), more.end());
    }
    return out;
  }

  static std::vector<Record> records_of(DgBlock* dg) {
    std::vector<Record> out;
    std::unique_ptr<FrameIterator> it = frame_iterator_create(dg);
    EXPECT_NE(it, nullptr);
    if (!it) return out;
    EXPECT_EQ(it->last_result(), FRAME_INVALID);
    for (const Frame* f = it->first(); f; f = it->next()) {
      Record r;
      r.result = it->last_result();
      std::memcpy(static_cast<void*>(&r.frame), f, sizeof(FrameBuffer));
      out.push_back(r);
    }
    return out;
  }

 private:
  ByteStream* stream_ = nullptr;
  MdfFile* mdf_ = nullptr;
};

std::vector<uint8_t> payload(const BusFrame& f, size_t n) {
  return std::vector<uint8_t>(f.data.begin(), f.data.begin() + std::min<size_t>(n, 64));
}

// Checks a record against the frame the writer was given.
void expect_record(const Record& r, const BusFrame& f, const char* where) {
  SCOPED_TRACE(where);
  switch (f.type) {
    case FrameType::can_data:
    case FrameType::can_remote: {
      bool remote = f.type == FrameType::can_remote;
      FrameKind kind = remote ? FRAME_CAN_REMOTE : FRAME_CAN_DATA;
      const CanFrame& c = r.frame.can;
      ASSERT_EQ(r.result, kind);
      EXPECT_EQ(c.kind, kind);
      EXPECT_EQ(c.timestamp, f.time);
      EXPECT_EQ(c.id, f.id & 0x1FFFFFFFu);
      EXPECT_EQ(c.ide, f.ide);
      EXPECT_EQ(c.bus_channel, f.bus_channel);
      EXPECT_EQ(c.dlc, f.dlc);
      EXPECT_EQ(c.data_length, f.data_length);
      EXPECT_EQ(c.dir, f.dir);
      EXPECT_EQ(c.rtr, remote ? 1 : 0);
      if (remote) {
        EXPECT_EQ(std::vector<uint8_t>(c.bytes, c.bytes + 64), std::vector<uint8_t>(64, 0));
      } else {
        EXPECT_EQ(c.edl, f.edl);
        EXPECT_EQ(c.brs, f.brs);
        EXPECT_EQ(c.esi, f.esi);
        EXPECT_EQ(std::vector<uint8_t>(c.bytes, c.bytes + std::min<size_t>(f.data_length, 64)),
                  payload(f, f.data_length));
      }
      break;
    }
    case FrameType::can_error: {
      ASSERT_EQ(r.result, FRAME_CAN_ERROR);
      EXPECT_EQ(r.frame.error.timestamp, f.time);
      EXPECT_EQ(r.frame.error.bus_channel, f.bus_channel);
      uint32_t type = f.error_type >= 1 && f.error_type <= 5 ? f.error_type : 0;
      EXPECT_EQ(r.frame.error.error_type, type);
      break;
    }
    case FrameType::lin: {
      const LinFrame& l = r.frame.lin;
      ASSERT_EQ(r.result, FRAME_LIN);
      EXPECT_EQ(l.kind, FRAME_LIN);
      EXPECT_EQ(l.timestamp, f.time);
      EXPECT_EQ(l.id, f.id & 0xFFu);
      EXPECT_EQ(l.bus_channel, f.bus_channel);
      EXPECT_EQ(l.dir, f.dir);
      EXPECT_EQ(l.received_count, f.received_count);
      EXPECT_EQ(l.data_length, f.data_length);
      size_t n = std::min<size_t>(f.data_length, 8);
      EXPECT_EQ(std::vector<uint8_t>(l.bytes, l.bytes + n), payload(f, n));
      break;
    }
    default:
      EXPECT_EQ(r.result, FRAME_INVALID);
      EXPECT_EQ(r.frame.frame.kind, FRAME_NONE);
  }
}

void expect_records(const std::vector<Record>& records, const std::vector<BusFrame>& frames) {
  ASSERT_EQ(records.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    expect_record(records[i], frames[i], ("record " + std::to_string(i)).c_str());
  }
}

std::vector<BusFrame> mixed_frames() {
  std::vector<BusFrame> frames = {
      mdfw::can_data(0.001, 0x123, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}),
      mdfw::lin_frame(0.002, 0x05, {0xA1, 0xB2, 0xC3}, 2),
      mdfw::can_remote(0.003, 0x7FF, 8),
      mdfw::can_error(0.004, 3),
      mdfw::can_data(0.005, 0x1ABCDEF, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 3),
      mdfw::lin_error(FrameType::lin_sync_error, 0.006, 0),
      mdfw::can_error(0.007, 7),
      mdfw::can_data(0.008, 0x5, {}),
  };
  frames[4].ide = true;
  frames[4].brs = true;
  frames[4].esi = true;
  frames[0].dir = true;
  frames[1].dir = true;
  return frames;
}

// The frames of one type, in the order given: what a sorted file holds in
// that type's data group.
std::vector<BusFrame> of_type(const std::vector<BusFrame>& frames, FrameType type) {
  std::vector<BusFrame> out;
  for (const BusFrame& f : frames)
    if (f.type == type) out.push_back(f);
  return out;
}

TEST(FrameIterator, SortedFileGivesEachGroupItsFrames) {
  std::vector<BusFrame> frames = mixed_frames();
  BusLogMap map;
  std::vector<uint8_t> file = mdfw::write_bus_log(frames, BusLogOptions{}, &map);
  OpenLog log(file);
  std::vector<DgBlock*> groups = log.data_groups();
  ASSERT_EQ(groups.size(), map.groups.size());
  for (size_t i = 0; i < groups.size(); ++i) {
    SCOPED_TRACE(mdfw::group_name(map.groups[i].type));
    EXPECT_EQ(groups[i]->dg_rec_id_size, 0);
    expect_records(OpenLog::records_of(groups[i]), of_type(frames, map.groups[i].type));
  }
}

class UnsortedIdSizeTest : public testing::TestWithParam<uint8_t> {};

TEST_P(UnsortedIdSizeTest, ReadsRecordsInFileOrder) {
  std::vector<BusFrame> frames = mixed_frames();
  BusLogOptions options;
  options.layout = Layout::unsorted;
  options.record_id_size = GetParam();
  OpenLog log(mdfw::write_bus_log(frames, options));
  ASSERT_EQ(log.data_groups().size(), 1u);
  expect_records(log.records(), frames);
}

INSTANTIATE_TEST_SUITE_P(IdSizes, UnsortedIdSizeTest, testing::Values(1, 2, 4, 8));

struct StorageCase {
  const char* what;
  Layout layout;
  DataBytesStorage storage;
  bool lin_variable;
};

class DataBytesStorageTest : public testing::TestWithParam<StorageCase> {};

TEST_P(DataBytesStorageTest, PayloadsArriveWhole) {
  const StorageCase& c = GetParam();
  std::vector<BusFrame> frames = mixed_frames();
  std::vector<uint8_t> fd(64);
  for (size_t i = 0; i < fd.size(); ++i) fd[i] = static_cast<uint8_t>(0xC0 + i);
  BusFrame big = mdfw::can_data(0.009, 0x100, {});
  std::copy(fd.begin(), fd.end(), big.data.begin());
  big.data_length = 64;
  big.dlc = 15;
  big.edl = true;
  frames.push_back(big);
  frames.push_back(mdfw::lin_frame(0.010, 0x3C, {9, 8, 7, 6, 5, 4, 3, 2}));
  BusLogOptions options;
  options.layout = c.layout;
  options.can_data_bytes = c.storage;
  options.lin_variable_data = c.lin_variable;
  BusLogMap map;
  OpenLog log(mdfw::write_bus_log(frames, options, &map));
  if (c.layout == Layout::unsorted) {
    expect_records(log.records(), frames);
    return;
  }
  std::vector<DgBlock*> groups = log.data_groups();
  ASSERT_EQ(groups.size(), map.groups.size());
  for (size_t i = 0; i < groups.size(); ++i) {
    SCOPED_TRACE(mdfw::group_name(map.groups[i].type));
    expect_records(OpenLog::records_of(groups[i]), of_type(frames, map.groups[i].type));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Storages, DataBytesStorageTest,
    testing::Values(
        StorageCase{"sorted sd", Layout::sorted, DataBytesStorage::sd, false},
        StorageCase{"unsorted sd", Layout::unsorted, DataBytesStorage::sd, false},
        StorageCase{"sorted vlsd", Layout::sorted, DataBytesStorage::vlsd, false},
        StorageCase{"unsorted vlsd", Layout::unsorted, DataBytesStorage::vlsd, false},
        StorageCase{"sorted lin sd", Layout::sorted, DataBytesStorage::sd, true},
        StorageCase{"unsorted lin vlsd", Layout::unsorted, DataBytesStorage::vlsd, true},
        StorageCase{"flat channels", Layout::unsorted, DataBytesStorage::fixed, false}));

TEST(FrameIterator, FlatChannelsDecodeLikeComposedOnes) {
  std::vector<BusFrame> frames = mixed_frames();
  BusLogOptions options;
  options.layout = Layout::unsorted;
  options.composed = false;
  OpenLog log(mdfw::write_bus_log(frames, options));
  expect_records(log.records(), frames);
}

TEST(FrameIterator, TickTimestampsPassTheLinearConversion) {
  std::vector<BusFrame> frames = {mdfw::can_data(1.5, 1, {1}), mdfw::can_data(2.25, 2, {2})};
  BusLogOptions options;
  options.timestamp = mdfw::TimestampEncoding::ticks;
  options.tick_seconds = 0.25;
  OpenLog log(mdfw::write_bus_log(frames, options));
  expect_records(log.records(), frames);
}

TEST(FrameIterator, OneGroupWithRecordIdsHonoursTheIds) {
  std::vector<BusFrame> frames = {mdfw::can_data(1, 1, {1}), mdfw::can_data(2, 2, {2, 3})};
  BusLogOptions options;
  options.layout = Layout::unsorted;
  options.record_id_size = 2;
  BusLogMap map;
  OpenLog log(mdfw::write_bus_log(frames, options, &map));
  ASSERT_EQ(map.groups.size(), 1u);
  ASSERT_EQ(log.data_groups()[0]->dg_rec_id_size, 2);
  expect_records(log.records(), frames);
}

TEST(FrameIterator, UnknownChannelMakesEveryRecordFrameless) {
  std::vector<BusFrame> frames = {mdfw::can_data(1, 1, {1}), mdfw::can_data(2, 2, {2})};
  BusLogOptions options;
  options.extra_channels.push_back({FrameType::can_data, "CAN_DataFrame.Unknown", 1});
  OpenLog log(mdfw::write_bus_log(frames, options));
  std::vector<Record> records = log.records();
  ASSERT_EQ(records.size(), 2u);
  for (const Record& r : records) {
    EXPECT_EQ(r.result, FRAME_INVALID);
    EXPECT_EQ(r.frame.frame.kind, FRAME_NONE);
  }
}

TEST(FrameIterator, NonBusSourceGivesNoFrames) {
  std::vector<BusFrame> frames = {mdfw::can_data(1, 1, {1})};
  BusLogOptions options;
  options.bus_source = false;
  OpenLog log(mdfw::write_bus_log(frames, options));
  std::vector<Record> records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].frame.frame.kind, FRAME_NONE);
}

TEST(FrameIterator, FirstRestartsTheWalk) {
  std::vector<BusFrame> frames = {mdfw::can_data(1, 1, {1}), mdfw::can_data(2, 2, {2})};
  OpenLog log(mdfw::write_bus_log(frames));
  std::unique_ptr<FrameIterator> it = frame_iterator_create(log.data_groups()[0]);
  ASSERT_NE(it->first(), nullptr);
  ASSERT_NE(it->next(), nullptr);
  EXPECT_EQ(it->next(), nullptr);
  EXPECT_EQ(it->next(), nullptr);
  const Frame* again = it->first();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->timestamp, 1.0);
}

TEST(FrameIterator, NullGroupGivesNoIterator) {
  EXPECT_EQ(frame_iterator_create(nullptr), nullptr);
}

TEST(FrameIterator, ManyRecordsCrossChunkBoundaries) {
  mdfw::GeneratorOptions generator;
  generator.seed = 7;
  generator.mix.lin_error = 3;
  std::vector<BusFrame> frames = mdfw::generate_frames(5000, generator);
  for (DataBytesStorage storage :
       {DataBytesStorage::fixed, DataBytesStorage::sd, DataBytesStorage::vlsd}) {
    BusLogOptions options;
    options.layout = Layout::unsorted;
    options.can_data_bytes = storage;
    options.record_id_size = 2;
    OpenLog log(mdfw::write_bus_log(frames, options));
    expect_records(log.records(), frames);
  }
}

// Damaged files: the DT block of a single data group is replaced by one
// holding `data`; the DT block ends the file, so the file is cut behind it.
std::vector<uint8_t> with_dt_data(std::vector<uint8_t> file, uint64_t dt,
                                  const std::vector<uint8_t>& data) {
  file.resize(dt + 24);
  file.insert(file.end(), data.begin(), data.end());
  mdfw::put_u64(file, dt + 8, 24 + data.size());
  return file;
}

std::vector<uint8_t> dt_data(const std::vector<uint8_t>& file, uint64_t dt) {
  uint64_t length = mdfw::get_u64(file, dt + 8);
  return std::vector<uint8_t>(file.begin() + dt + 24, file.begin() + dt + length);
}

TEST(FrameIterator, PartialFinalRecordEndsTheWalk) {
  std::vector<BusFrame> frames;
  for (int i = 0; i < 4; ++i) frames.push_back(mdfw::can_error(i + 1, 1));
  BusLogMap map;
  std::vector<uint8_t> file = mdfw::write_bus_log(frames, BusLogOptions{}, &map);
  uint64_t record = map.groups[0].record_bytes;
  std::vector<uint8_t> data = dt_data(file, map.groups[0].dt);
  ASSERT_EQ(data.size(), 4 * record);
  data.resize(4 * record - 1);
  OpenLog log(with_dt_data(file, map.groups[0].dt, data));
  frames.pop_back();
  expect_records(log.records(), frames);
}

TEST(FrameIterator, UnknownRecordIdEndsTheWalk) {
  std::vector<BusFrame> frames = {mdfw::can_error(1, 1), mdfw::can_error(2, 2),
                                  mdfw::can_error(3, 3)};
  BusLogOptions options;
  options.layout = Layout::unsorted;
  BusLogMap map;
  std::vector<uint8_t> file = mdfw::write_bus_log(frames, options, &map);
  uint64_t record = 1 + map.groups[0].record_bytes;
  std::vector<uint8_t> data = dt_data(file, map.groups[0].dt);
  data[record] = 0x77;
  OpenLog log(with_dt_data(file, map.groups[0].dt, data));
  frames.resize(1);
  expect_records(log.records(), frames);
}

// An unsorted log with 1-byte record ids whose CAN payloads are in a VLSD
// channel group, split into (fixed record, VLSD record) pairs so that tests
// can drop, reorder or damage them.
struct VlsdLog {
  struct Pair {
    std::vector<uint8_t> fixed;
    std::vector<uint8_t> vlsd;
  };

  explicit VlsdLog(std::vector<BusFrame> written) : frames(std::move(written)) {
    BusLogOptions options;
    options.layout = Layout::unsorted;
    options.can_data_bytes = DataBytesStorage::vlsd;
    file = mdfw::write_bus_log(frames, options, &map);
    std::vector<uint8_t> data = dt_data(file, map.groups[0].dt);
    for (size_t at = 0; at < data.size();) {
      Pair p;
      p.fixed.assign(data.begin() + at, data.begin() + at + 1 + map.groups[0].record_bytes);
      at += p.fixed.size();
      uint32_t n = mdfw::get_u32(data, at + 1);
      p.vlsd.assign(data.begin() + at, data.begin() + at + 5 + n);
      at += p.vlsd.size();
      pairs.push_back(p);
    }
  }

  // The file with its records replaced by parts, back to back.
  std::vector<uint8_t> with(const std::vector<std::vector<uint8_t>>& parts) const {
    std::vector<uint8_t> data;
    for (const std::vector<uint8_t>& part : parts)
      data.insert(data.end(), part.begin(), part.end());
    return with_dt_data(file, map.groups[0].dt, data);
  }

  std::vector<BusFrame> frames;
  BusLogMap map;
  std::vector<uint8_t> file;
  std::vector<Pair> pairs;
};

std::vector<BusFrame> three_payloads() {
  return {mdfw::can_data(1, 1, {1, 2}), mdfw::can_data(2, 2, {3}), mdfw::can_data(3, 3, {4, 5, 6})};
}

TEST(FrameIterator, StandAloneVlsdRecordIsSkipped) {
  VlsdLog log(three_payloads());
  ASSERT_EQ(log.pairs.size(), 3u);
  // The first fixed record is gone; its VLSD record stands alone.
  const auto& p = log.pairs;
  OpenLog open(log.with({p[0].vlsd, p[1].fixed, p[1].vlsd, p[2].fixed, p[2].vlsd}));
  expect_records(open.records(), {log.frames[1], log.frames[2]});
}

TEST(FrameIterator, RecordAfterAFixedRecordIsNotConsumedUnlessItIsItsVlsdRecord) {
  VlsdLog log(three_payloads());
  ASSERT_EQ(log.pairs.size(), 3u);
  // The first VLSD record is missing: the second fixed record follows the
  // first one directly and must still be read.
  const auto& p = log.pairs;
  OpenLog open(log.with({p[0].fixed, p[1].fixed, p[1].vlsd, p[2].fixed, p[2].vlsd}));
  std::vector<Record> records = open.records();
  ASSERT_EQ(records.size(), 3u);
  // The first frame has its fields but no payload.
  EXPECT_EQ(records[0].frame.can.id, 1u);
  EXPECT_EQ(records[0].frame.can.bytes[0], 0);
  expect_record(records[1], log.frames[1], "second");
  expect_record(records[2], log.frames[2], "third");
}

TEST(FrameIterator, TruncatedVlsdRecordEndsTheWalk) {
  VlsdLog log(three_payloads());
  const auto& p = log.pairs;
  std::vector<uint8_t> cut = p[1].vlsd;
  cut.pop_back();
  OpenLog open(log.with({p[0].fixed, p[0].vlsd, p[1].fixed, cut}));
  expect_records(open.records(), {log.frames[0]});
}

TEST(FrameIterator, VlsdLengthLargerThanTheFileEndsTheWalkWithoutAllocating) {
  VlsdLog log(three_payloads());
  auto& p = log.pairs;
  mdfw::put_u32(p[1].vlsd, 1, 0xFFFFFFF0u);
  OpenLog open(log.with({p[0].fixed, p[0].vlsd, p[1].fixed, p[1].vlsd, p[2].fixed, p[2].vlsd}));
  expect_records(open.records(), {log.frames[0]});
}

TEST(FrameIterator, SdEntryPastTheBlockEndsTheWalk) {
  std::vector<BusFrame> frames = {mdfw::can_data(1, 1, {1, 2}), mdfw::can_data(2, 2, {3, 4})};
  BusLogOptions options;
  options.can_data_bytes = DataBytesStorage::sd;
  BusLogMap map;
  std::vector<uint8_t> file = mdfw::write_bus_log(frames, options, &map);
  // The second record's offset points past the SD data.
  uint64_t dt = map.groups[0].dt;
  uint64_t record = map.groups[0].record_bytes;
  mdfw::put_u64(file, dt + 24 + record + 16, 1000);
  OpenLog log(file);
  expect_records(log.records(), {frames[0]});
}

// A data group built in memory over `data`, with one channel group of
// record_size bytes whose only channel is a one-byte "CAN_DataFrame.DLC".
struct HandBuiltGroup {
  HandBuiltGroup(const std::vector<uint8_t>& data, uint32_t record_size, uint8_t rec_id_size) {
    stream = memory_stream_create();
    stream_write(stream, data.data(), data.size());
    auto* dt = new DtBlock(block_descriptor(BLOCK_DT));
    dt->source = stream;
    dt->length = 24 + data.size();
    auto* cn = new CnBlock(block_descriptor(BLOCK_CN));
    auto* tx = new TxBlock(block_descriptor(BLOCK_TX));
    EXPECT_TRUE(tx->text.assign("CAN_DataFrame.DLC"));
    cn->cn_tx_name = BlockRef::adopt(tx);
    cn->cn_bit_count = 8;
    cn->data_type = DATA_UINT_LE;
    auto* si = new SiBlock(block_descriptor(BLOCK_SI));
    si->source_kind = SOURCE_BUS;
    auto* cg = new CgBlock(block_descriptor(BLOCK_CG));
    EXPECT_TRUE(cg->cg_cn_list.append(BlockRef::adopt(cn)));
    cg->cg_si_acq_source = BlockRef::adopt(si);
    cg->cg_data_bytes = record_size;
    cg->cg_record_id = 1;
    auto* dg = new DgBlock(block_descriptor(BLOCK_DG));
    EXPECT_TRUE(dg->dg_cg_list.append(BlockRef::adopt(cg)));
    dg->dg_data = BlockRef::adopt(dt);
    dg->dg_rec_id_size = rec_id_size;
    record_layouts_build(dg);
    group = BlockRef::adopt(dg);
  }
  ~HandBuiltGroup() {
    group.reset();
    stream_close(stream);
  }
  std::vector<Record> records() { return OpenLog::records_of(block_as<DgBlock>(group)); }

  MemoryStream* stream;
  BlockRef group;
};

TEST(FrameIterator, ZeroSizeRecordsEndTheWalkAtOnce) {
  HandBuiltGroup group({1, 2, 3}, 0, 0);
  EXPECT_TRUE(group.records().empty());
}

TEST(FrameIterator, RecordIdsWiderThan64BitsGiveNoRecords) {
  HandBuiltGroup group(std::vector<uint8_t>(40, 1), 1, 9);
  EXPECT_TRUE(group.records().empty());
}

TEST(FrameIterator, OddRecordIdSizesReadLittleEndian) {
  HandBuiltGroup group({1, 0, 0, 7, 1, 0, 0, 9, 2, 0, 0, 5}, 1, 3);
  std::vector<Record> records = group.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].frame.can.dlc, 7);
  EXPECT_EQ(records[1].frame.can.dlc, 9);
}

TEST(FrameIterator, MissingDataBlockGivesNoRecords) {
  HandBuiltGroup group({5, 6}, 1, 0);
  block_as<DgBlock>(group.group)->dg_data.reset();
  EXPECT_TRUE(group.records().empty());
}

TEST(FrameIterator, LinErrorGroupsHandOutFramelessRecords) {
  std::vector<BusFrame> frames = {mdfw::lin_error(FrameType::lin_sync_error, 1, 0),
                                  mdfw::lin_error(FrameType::lin_checksum_error, 2, 4),
                                  mdfw::lin_error(FrameType::lin_receive_error, 3, 5),
                                  mdfw::lin_error(FrameType::lin_transmission_error, 4, 6)};
  BusLogOptions options;
  options.layout = Layout::unsorted;
  OpenLog log(mdfw::write_bus_log(frames, options));
  expect_records(log.records(), frames);
}

}  // namespace
}  // namespace quarrow
