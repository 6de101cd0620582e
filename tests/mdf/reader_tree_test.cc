// Loading sound files: the block tree, its lists, sharing and field values.

#include <gtest/gtest.h>

#include "mdfwriter/bus_log_writer.h"
#include "reader_test_util.h"

namespace quarrow {
namespace {

using readertest::CnFields;
using readertest::OneGroup;
using readertest::Opened;

std::vector<uint64_t> offsets_of(const BlockList& list) {
  std::vector<uint64_t> out;
  for (const BlockRef& ref : list) out.push_back(ref->offset);
  return out;
}

DgBlock* data_group(const Opened& o, size_t i) {
  return block_as<DgBlock>(o.hd()->hd_dg_list[i]);
}

// A text linked twice is read once and outlives the file; all-ones links
// mean no block, as 0 does. Texts end at their first zero byte, or at the
// block's end without one.
TEST(ReaderTree, ChannelFieldsAreReadAndDerived) {
  const std::pair<uint8_t, ChannelKind> kinds[] = {
      {0, CHANNEL_FIXED}, {1, CHANNEL_VLSD},         {2, CHANNEL_MASTER}, {3, CHANNEL_OTHER},
      {5, CHANNEL_OTHER}, {6, CHANNEL_VIRTUAL_DATA}, {7, CHANNEL_OTHER},  {200, CHANNEL_OTHER}};
  const std::pair<uint8_t, ChannelDataType> types[] = {
      {0, DATA_UINT_LE},     {1, DATA_UNSUPPORTED}, {2, DATA_UNSUPPORTED},
      {3, DATA_UNSUPPORTED}, {4, DATA_FLOAT_LE},    {5, DATA_UNSUPPORTED},
      {6, DATA_UNSUPPORTED}, {10, DATA_BYTE_ARRAY}, {11, DATA_UNSUPPORTED}};
  const std::pair<uint8_t, SourceKind> sources[] = {
      {0, SOURCE_OTHER}, {1, SOURCE_OTHER}, {2, SOURCE_BUS}, {5, SOURCE_OTHER}};
  const std::pair<std::vector<uint8_t>, const char*> texts[] = {
      {{}, ""}, {{'a', 'b', 0, 'c', 'd', 0, 0, 0}, "ab"}, {{'D', 'L', 'C'}, "DLC"}};
  readertest::QuietLog quiet;  // the unsupported types are reported by the recognition
  OneGroup g;
  uint64_t tx = g.b.add_text("CAN_DataFrame.ID");
  g.add_channel({tx, 0, g.b.add_block("CC", {0, 0, 0, 0}, readertest::cc_fields(1, {0.5, 2.0}))});
  g.add_channel({tx, 0, g.b.add_block("CC", {0, 0, 0, 0}, readertest::cc_fields(0, {}))});
  g.add_channel({0, MDF_NO_LINK, 0, MDF_NO_LINK});
  for (const auto& [data, text] : texts) g.add_channel({g.b.add_block("TX", {}, data)});
  g.add_channel({g.b.add_block("MD", {}, std::vector<uint8_t>{'<', 'x', '/', '>', 0})});
  for (const auto& [type, kind] : kinds) g.add_channel({}, CnFields{type, 0, 0, 0, 8});
  for (const auto& [type, data] : types) g.add_channel({}, CnFields{0, type, 3, 5, 7});
  for (const auto& [type, source] : sources)
    g.add_channel({0, g.b.add_block("SI", {0, 0, 0}, mdfw::Fields().u8(type).zeros(7).bytes())});
  Opened o = readertest::open_bytes(g.b.release());
  ASSERT_NE(o.file, nullptr);
  ASSERT_EQ(g.channel(o, 0)->cn_tx_name.get(), g.channel(o, 1)->cn_tx_name.get());
  CnBlock* none = g.channel(o, 2);
  EXPECT_FALSE(none->cn_tx_name || none->cn_si_source || none->cn_cc_conversion || none->cn_data);
  CcBlock* cc = block_as<CcBlock>(g.channel(o, 0)->cn_cc_conversion);
  EXPECT_EQ(cc->cc_type, 1);
  double a = 0, b = 0, v = -1;
  EXPECT_TRUE(cc_block_value(cc, 0, &a) && cc_block_value(cc, 1, &b));
  EXPECT_EQ(std::pair(a, b), std::pair(0.5, 2.0));
  EXPECT_FALSE(cc_block_value(cc, 2, &v) || cc_block_value(cc, 0, nullptr));
  EXPECT_FALSE(cc_block_value(block_as<CcBlock>(g.channel(o, 1)->cn_cc_conversion), 0, &v));
  EXPECT_FALSE(cc_block_value(nullptr, 0, &v));
  size_t i = 3;
  for (const auto& [data, text] : texts)
    EXPECT_EQ(text_block_text(g.channel(o, i++)->cn_tx_name), StringView(text));
  EXPECT_EQ(text_block_text(g.channel(o, i++)->cn_tx_name), StringView("<x/>"));
  for (const auto& [type, kind] : kinds) EXPECT_EQ(cn_block_kind(g.channel(o, i++)), kind) << +type;
  for (const auto& [type, data] : types)
    EXPECT_EQ(cn_block_data_type(g.channel(o, i++)), data) << +type;
  for (const auto& [type, source] : sources)
    EXPECT_EQ(si_block_source_kind(block_as<SiBlock>(g.channel(o, i++)->cn_si_source)), source);
  EXPECT_EQ(cn_block_kind(nullptr), CHANNEL_OTHER);
  EXPECT_EQ(cn_block_data_type(nullptr), DATA_UNSUPPORTED);
  EXPECT_EQ(si_block_source_kind(nullptr), SOURCE_OTHER);
  BlockRef kept = g.channel(o, 1)->cn_tx_name;
  EXPECT_EQ(kept.use_count(), 3u);
  o.file.reset();
  EXPECT_EQ(kept.use_count(), 1u);
  EXPECT_EQ(text_block_text(kept), StringView("CAN_DataFrame.ID"));
}

TEST(ReaderTree, DataViewReadsAndSeeksWithinTheDataSection) {
  readertest::SampleMap m;
  Opened o = readertest::open_bytes(readertest::sample_log(&m, 1000));
  ASSERT_NE(o.file, nullptr);
  DtBlock* dt = block_as<DtBlock>(data_group(o, 0)->dg_data);
  EXPECT_EQ(dt->length, 1024u);
  ByteStream* view = data_block_stream(dt);
  std::vector<uint8_t> buffer(2000);
  EXPECT_EQ(stream_read(view, buffer.data(), 2000), 1000);
  EXPECT_EQ(buffer[999], static_cast<uint8_t>(999));
  EXPECT_EQ(stream_read(view, buffer.data(), 2000), 0);
  const struct {
    int64_t offset;
    int32_t origin;
    int64_t result;
  } seeks[] = {{5000, STREAM_SEEK_SET, 1000}, {0, STREAM_SEEK_END, 1000},
               {-1, STREAM_SEEK_SET, -1},     {10, STREAM_SEEK_SET, 10},
               {5, STREAM_SEEK_CUR, 15},      {-15, STREAM_SEEK_CUR, 0},
               {-1, STREAM_SEEK_CUR, -1},     {INT64_MAX, STREAM_SEEK_CUR, 1000},
               {998, STREAM_SEEK_SET, 998}};
  for (const auto& s : seeks) EXPECT_EQ(stream_seek(view, s.offset, s.origin), s.result);
  uint8_t two[4] = {};
  EXPECT_EQ(stream_read(view, two, 4), 2);
  EXPECT_EQ(two[0], static_cast<uint8_t>(998));
  EXPECT_EQ(stream_size(view), 1000);
  EXPECT_EQ(stream_write(view, two, 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(data_block_stream(data_group(o, 0)), nullptr);
}

// Two data groups whose DT blocks start at 1000 (100 bytes) and 5000 (8
// bytes, linked first) in a 9000-byte file: the repair takes the block at the
// largest offset to the end of the file, or to a linked block that follows it
// at 7000, and clears only the length flag.
TEST(ReaderTree, UnfinalisedRepairRunsTheLastDataBlockToTheEnd) {
  const struct {
    uint16_t flags;
    bool with_data;
    bool block_behind;
    uint64_t late_length;
    uint16_t flags_after;
  } cases[] = {{5, true, false, 4000, 1},
               {4, true, true, 2000, 0},
               {4, false, false, 0, 4},
               {1, true, false, 32, 1}};
  for (const auto& c : cases) {
    mdfw::BlockBuilder b;
    mdfw::IdFields id;
    id.file_id = "UnFinMF ";
    id.unfin_flags = c.flags;
    b.write_id(id);
    uint64_t hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, readertest::hd_fields());
    uint64_t dg2 = b.add_block("DG", {0, 0, 0, 0}, readertest::dg_fields());
    uint64_t dg1 = b.add_block("DG", {dg2, 0, 0, 0}, readertest::dg_fields());
    b.set_link(hd, 0, dg1);
    b.bytes().resize(1000);
    uint64_t dt1 = b.add_block("DT", {}, std::vector<uint8_t>(100));
    b.bytes().resize(5000);
    uint64_t dt2 = b.add_block("DT", {}, std::vector<uint8_t>(8));
    b.bytes().resize(7000);
    uint64_t comment = b.add_block("TX", {}, std::vector<uint8_t>{'x', 0});
    b.bytes().resize(9000);
    if (c.block_behind) b.set_link(hd, 5, comment);
    if (c.with_data) {
      b.set_link(dg1, 2, dt2);
      b.set_link(dg2, 2, dt1);
    }
    Opened o = readertest::open_bytes(b.release());
    ASSERT_NE(o.file, nullptr);
    EXPECT_EQ(o.id()->id_unfin_flags, c.flags_after) << c.flags;
    if (!c.with_data) continue;
    EXPECT_EQ(block_as<DtBlock>(data_group(o, 0)->dg_data)->length, c.late_length) << c.flags;
    EXPECT_EQ(block_as<DtBlock>(data_group(o, 1)->dg_data)->length, 124u);
  }
}

// A variable-length channel may link to a VLSD channel group before or after
// its own group in the chain, or to one outside any data group's chain, which
// is kept alive with the chain behind it until a later data group lists it.
TEST(ReaderTree, SignalDataGroupsAreSharedWhereverTheyStand) {
  for (int where : {0, 1, 2, 3}) {
    OneGroup g;
    uint64_t tail = g.b.add_block("CG", {0, 0, 0, 0, 0, 0}, readertest::cg_fields(3));
    uint64_t vlsd = g.b.add_block("CG", {0, 0, 0, 0, 0, 0}, readertest::cg_fields(2, 0, 1, 0));
    g.add_channel({0, 0, 0, vlsd}, CnFields{1, 10, 0, 0, 64});
    uint64_t dg = g.b.link(64, 0);
    if (where == 0) {
      g.b.set_link(vlsd, 0, g.cg);
      g.b.set_link(dg, 1, vlsd);
    } else if (where == 1) {
      g.b.set_link(g.cg, 0, vlsd);
    } else {
      g.b.set_link(vlsd, 0, tail);
      // A second data group's chain reaches the kept chain later.
      uint64_t head = g.b.add_block("CG", {vlsd, 0, 0, 0, 0, 0}, readertest::cg_fields(9));
      if (where == 3)
        g.b.set_link(dg, 0, g.b.add_block("DG", {0, head, 0, 0}, readertest::dg_fields(1)));
    }
    Opened o = readertest::open_bytes(g.b.release());
    ASSERT_NE(o.file, nullptr) << where;
    DgBlock* d = data_group(o, 0);
    CgBlock* own = block_as<CgBlock>(d->dg_cg_list[where == 0 ? 1 : 0]);
    BlockBase* linked = block_as<CnBlock>(own->cg_cn_list[0])->cn_data.get();
    EXPECT_EQ(linked->offset, vlsd);
    EXPECT_EQ(block_as<CgBlock>(linked)->cg_vlsd, 1);
    if (where < 2) {
      ASSERT_EQ(d->dg_cg_list.size(), 2u) << where;
      EXPECT_EQ(d->dg_cg_list[where == 0 ? 0 : 1].get(), linked);
    } else {
      EXPECT_EQ(d->dg_cg_list.size(), 1u);
      EXPECT_EQ(offsets_of(o.id()->kept_alive), std::vector<uint64_t>{tail});
    }
    if (where == 3) {
      const BlockList& later = data_group(o, 1)->dg_cg_list;
      ASSERT_EQ(later.size(), 3u);
      EXPECT_EQ(later[1].get(), linked);
      EXPECT_EQ(later[2].get(), o.id()->kept_alive[0].get());
    }
  }
}

}  // namespace
}  // namespace quarrow
