// Loading MDF files: sound, other writers', damaged and hostile ones (failing cleanly), mklog's.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>

#include "bus/frame_iterator.h"
#include "log/log.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/data_list.h"
#include "mdf/file_blocks.h"
#include "mdf/mdf_file.h"
#include "mdfwriter/block_builder.h"
#include "mdfwriter/bus_log_writer.h"
#include "support/process.h"
#include "support/streams.h"
#include "support/temp_dir.h"

namespace quarrow {
namespace {

using B = mdfw::BlockBuilder;
using Bytes = std::vector<uint8_t>;
using mdfw::get_u64;
using mdfw::put_u64;

// The file is released before the stream it was read from.
struct Opened {
  test::StreamPtr stream;
  std::unique_ptr<MdfFile, decltype(&mdf_close)> file{nullptr, &mdf_close};
  IdBlock* id() const { return mdf_id_block(file.get()); }
  HdBlock* hd() const { return mdf_hd_block(file.get()); }
  DgBlock* dg(size_t i) const { return block_as<DgBlock>(hd()->hd_dg_list[i]); }
};

Opened open_bytes(const Bytes& bytes, bool other_writers = false) {
  Opened o{test::memory_with(bytes)};
  o.file.reset(mdf_open(o.stream.get(), other_writers));
  return o;
}

// Whether the image opens, and what was logged meanwhile.
bool opens_logging(const Bytes& bytes, std::string* log, bool other_writers = false) {
  testing::internal::CaptureStderr();
  bool opened = open_bytes(bytes, other_writers).file != nullptr;
  *log = testing::internal::GetCapturedStderr();
  return opened;
}

// Silences the log for tests that open thousands of damaged files.
struct QuietLog {
  int32_t saved = log_output_level;
  QuietLog() { log_set_output_level(LOG_FATAL + 1); }
  ~QuietLog() { log_set_output_level(saved); }
};

// Data sections of the block types (those of HD and DG blocks are zeros here).
Bytes cg_fields(uint64_t record_id = 0, uint64_t cycles = 0, uint16_t flags = 0,
                uint32_t data_bytes = 8) {
  mdfw::Fields f;
  return f.u64(record_id).u64(cycles).u16(flags).zeros(6).u32(data_bytes).u32(0).bytes();
}

struct CnFields {
  uint8_t type = 0, data_type = 0, bit_offset = 0;
  uint32_t byte_offset = 0, bit_count = 8;
};

Bytes cn_fields(const CnFields& c = {}) {
  mdfw::Fields f;
  f.u8(c.type).u8(0).u8(c.data_type).u8(c.bit_offset).u32(c.byte_offset).u32(c.bit_count);
  return f.zeros(12 + 6 * 8).bytes();
}

Bytes cc_fields(uint8_t type, const std::vector<double>& values) {
  mdfw::Fields f;
  f.u8(type).u8(0).u16(0).u16(0).u16(static_cast<uint16_t>(values.size())).f64(0).f64(0);
  for (double v : values) f.f64(v);
  return f.bytes();
}

// Offsets of the blocks of sample_log().
struct SampleMap {
  uint64_t hd = 0, dg = 0, cg = 0, cn_time = 0, cn_frame = 0, cn_id = 0, cn_bytes = 0;
  uint64_t tx_time = 0, tx_id = 0, cc = 0, si = 0, dt = 0, metadata_end = 0;
};

// One group: a timestamp with a linear conversion, a frame of two members; the DT block last.
Bytes sample_log(SampleMap* map, uint64_t dt_data_size = 32) {
  SampleMap& m = *map;
  B b;
  b.write_id();
  m.hd = b.add_block("HD", {0, 0, 0, 0, 0, 0},
                     mdfw::Fields().u64(1'700'000'000'000'000'000).zeros(24).bytes());
  m.dg = b.add_block("DG", {0, 0, 0, 0}, Bytes(8));
  b.set_link(m.hd, 0, m.dg);
  uint64_t acq = b.add_text("CAN_DataFrame");
  m.si = b.add_block("SI", {0, 0, 0}, mdfw::Fields().u8(2).zeros(7).bytes());
  m.cg = b.add_block("CG", {0, 0, acq, m.si, 0, 0}, cg_fields(0, 2, 0, 16));
  b.set_link(m.dg, 1, m.cg);
  m.tx_time = b.add_text("Timestamp");
  m.cc = b.add_block("CC", {0, 0, 0, 0}, cc_fields(1, {0.0, 1e-6}));
  m.cn_time = b.add_block("CN", {0, 0, m.tx_time, 0, m.cc, 0, 0, 0}, cn_fields({2, 0, 0, 0, 64}));
  uint64_t tx_frame = b.add_text("CAN_DataFrame");
  m.cn_frame = b.add_block("CN", {0, 0, tx_frame, 0, 0, 0, 0, 0}, cn_fields({0, 10, 0, 8, 64}));
  b.set_link(m.cn_time, 0, m.cn_frame);
  m.tx_id = b.add_text("CAN_DataFrame.ID");
  m.cn_id = b.add_block("CN", {0, 0, m.tx_id, 0, 0, 0, 0, 0}, cn_fields({0, 0, 0, 8, 32}));
  uint64_t tx_bytes = b.add_text("CAN_DataFrame.DataBytes");
  m.cn_bytes = b.add_block("CN", {0, 0, tx_bytes, 0, 0, 0, 0, 0}, cn_fields({0, 10, 0, 12, 32}));
  b.set_link(m.cn_frame, 1, m.cn_id);
  b.set_link(m.cn_id, 0, m.cn_bytes);
  b.set_link(m.cg, 1, m.cn_time);
  b.align();
  m.metadata_end = b.size();
  Bytes records(dt_data_size);
  for (uint64_t i = 0; i < records.size(); ++i) records[i] = static_cast<uint8_t>(i);
  m.dt = b.add_block("DT", {}, records);
  b.set_link(m.dg, 2, m.dt);
  return b.release();
}

// One data group and one channel group; add_channel appends to the group's chain.
struct OneGroup {
  B b;
  uint64_t cg = 0;
  std::vector<uint64_t> channels;

  OneGroup() {
    b.write_id();
    uint64_t hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, Bytes(32));
    uint64_t dg = b.add_block("DG", {0, 0, 0, 0}, Bytes(8));
    cg = b.add_block("CG", {0, 0, 0, 0, 0, 0}, cg_fields());
    b.set_link(hd, 0, dg);
    b.set_link(dg, 1, cg);
  }
  uint64_t add_channel(std::vector<uint64_t> links, const CnFields& fields = {}) {
    links.insert(links.begin(), 2, 0);  // next and composition
    links.resize(8, 0);
    uint64_t cn = b.add_block("CN", links, cn_fields(fields));
    b.set_link(channels.empty() ? cg : channels.back(), channels.empty() ? 1 : 0, cn);
    channels.push_back(cn);
    return cn;
  }
  CnBlock* channel(const Opened& o, size_t i) const {
    return block_as<CnBlock>(block_as<CgBlock>(o.dg(0)->dg_cg_list[0])->cg_cn_list[i]);
  }
};

// A text linked twice is read once and outlives the file; all-ones links mean no block.
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
  const std::pair<Bytes, const char*> texts[] = {
      {{}, ""}, {{'a', 'b', 0, 'c', 'd', 0, 0, 0}, "ab"}, {{'D', 'L', 'C'}, "DLC"}};
  QuietLog quiet;  // the unsupported types are reported by the recognition
  OneGroup g;
  uint64_t tx = g.b.add_text("CAN_DataFrame.ID");
  g.add_channel({tx, 0, g.b.add_block("CC", {0, 0, 0, 0}, cc_fields(1, {0.5, 2.0}))});
  g.add_channel({tx, 0, g.b.add_block("CC", {0, 0, 0, 0}, cc_fields(0, {}))});
  g.add_channel({0, MDF_NO_LINK, 0, MDF_NO_LINK});
  for (const auto& [data, text] : texts) g.add_channel({g.b.add_block("TX", {}, data)});
  g.add_channel({g.b.add_block("MD", {}, Bytes{'<', 'x', '/', '>', 0})});
  for (const auto& [type, kind] : kinds) g.add_channel({}, CnFields{type, 0, 0, 0, 8});
  for (const auto& [type, data] : types) g.add_channel({}, CnFields{0, type, 3, 5, 7});
  for (const auto& [type, source] : sources)
    g.add_channel({0, g.b.add_block("SI", {0, 0, 0}, mdfw::Fields().u8(type).zeros(7).bytes())});
  Opened o = open_bytes(g.b.release());
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

// The repair runs the last DT block to the file's end or the next block; clears only its flag.
TEST(ReaderTree, UnfinalisedRepairRunsTheLastDataBlockToTheEnd) {
  // flags, with data, a block behind, the late block's length, flags after
  const std::tuple<uint16_t, bool, bool, uint64_t, uint16_t> cases[] = {
      {5, 1, 0, 4000, 1}, {4, 1, 1, 2000, 0}, {4, 0, 0, 0, 4}, {1, 1, 0, 32, 1}};
  for (const auto& [flags, with_data, block_behind, late_length, flags_after] : cases) {
    B b;
    b.write_id({"UnFinMF ", "4.10    ", "mklog   ", 410, flags});
    uint64_t hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, Bytes(32));
    uint64_t dg2 = b.add_block("DG", {0, 0, 0, 0}, Bytes(8));
    uint64_t dg1 = b.add_block("DG", {dg2, 0, 0, 0}, Bytes(8));
    b.set_link(hd, 0, dg1);
    uint64_t at[3];
    for (auto [i, start, size] : {std::tuple{0, 1000, 100}, {1, 5000, 8}, {2, 7000, 0}}) {
      b.bytes().resize(start);
      at[i] = size ? b.add_block("DT", {}, Bytes(size)) : b.add_block("TX", {}, Bytes{'x', 0});
    }
    b.bytes().resize(9000);
    if (block_behind) b.set_link(hd, 5, at[2]);
    if (with_data) b.set_link(dg1, 2, at[1]), b.set_link(dg2, 2, at[0]);
    Opened o = open_bytes(b.release());
    ASSERT_NE(o.file, nullptr);
    EXPECT_EQ(o.id()->id_unfin_flags, flags_after) << flags;
    if (!with_data) continue;
    EXPECT_EQ(block_as<DtBlock>(o.dg(0)->dg_data)->length, late_length) << flags;
    EXPECT_EQ(block_as<DtBlock>(o.dg(1)->dg_data)->length, 124u);
  }
}

// A VLSD group before, after or outside its channel's chain (then kept alive) is shared.
TEST(ReaderTree, SignalDataGroupsAreSharedWhereverTheyStand) {
  for (int where : {0, 1, 2, 3}) {
    OneGroup g;
    uint64_t tail = g.b.add_block("CG", {0, 0, 0, 0, 0, 0}, cg_fields(3));
    uint64_t vlsd = g.b.add_block("CG", {0, 0, 0, 0, 0, 0}, cg_fields(2, 0, 1, 0));
    g.add_channel({0, 0, 0, vlsd}, CnFields{1, 10, 0, 0, 64});
    uint64_t dg = g.b.link(64, 0);
    if (where == 0) g.b.set_link(vlsd, 0, g.cg), g.b.set_link(dg, 1, vlsd);
    if (where == 1) g.b.set_link(g.cg, 0, vlsd);
    if (where >= 2) {
      g.b.set_link(vlsd, 0, tail);
      // A second data group's chain reaches the kept chain later.
      uint64_t head = g.b.add_block("CG", {vlsd, 0, 0, 0, 0, 0}, cg_fields(9));
      if (where == 3) g.b.set_link(dg, 0, g.b.add_block("DG", {0, head, 0, 0}, Bytes(8, 1)));
    }
    Opened o = open_bytes(g.b.release());
    ASSERT_NE(o.file, nullptr) << where;
    DgBlock* d = o.dg(0);
    CgBlock* own = block_as<CgBlock>(d->dg_cg_list[where == 0 ? 1 : 0]);
    BlockBase* linked = block_as<CnBlock>(own->cg_cn_list[0])->cn_data.get();
    EXPECT_EQ(linked->offset, vlsd);
    EXPECT_EQ(block_as<CgBlock>(linked)->cg_vlsd, 1);
    if (where < 2) {
      ASSERT_EQ(d->dg_cg_list.size(), 2u) << where;
      EXPECT_EQ(d->dg_cg_list[where == 0 ? 0 : 1].get(), linked);
    } else {
      EXPECT_EQ(d->dg_cg_list.size(), 1u);
      ASSERT_EQ(o.id()->kept_alive.size(), 1u);
      EXPECT_EQ(o.id()->kept_alive[0]->offset, tail);
    }
    if (where == 3) {
      const BlockList& later = o.dg(1)->dg_cg_list;
      ASSERT_EQ(later.size(), 3u);
      EXPECT_EQ(later[1].get(), linked);
      EXPECT_EQ(later[2].get(), o.id()->kept_alive[0].get());
    }
  }
}

// Touches every reachable block, so that the sanitizer sees a stale or half-built one.
void walk_tree(const BlockList& list) {
  double v;
  for (const BlockRef& ref : list) {
    if (DgBlock* dg = block_as<DgBlock>(ref)) {
      walk_tree(dg->dg_cg_list);
      stream_size(data_block_stream(dg->dg_data.get()));
    } else if (CgBlock* cg = block_as<CgBlock>(ref)) {
      walk_tree(cg->cg_cn_list);
      text_block_text(cg->cg_tx_acq_name);
    } else if (CnBlock* cn = block_as<CnBlock>(ref)) {
      walk_tree(cn->cn_member_list);
      text_block_text(cn->cn_tx_name);
      cc_block_value(block_as<CcBlock>(cn->cn_cc_conversion), 0, &v);
    }
  }
}

// Wrong link counts (silently), impossible sizes and links fail before anything is allocated.
TEST(ReaderDamage, ImpossibleHeadersLinksAndCountsFail) {
  SampleMap m;
  const Bytes sample = sample_log(&m);
  auto u64 = [](uint64_t at, uint64_t v) { return [=](B& b) { put_u64(b.bytes(), at, v); }; };
  auto link = [](uint64_t from, size_t i, uint64_t to) {
    return [=](B& b) { b.set_link(from, i, to); };
  };
  auto count = [](uint64_t block, uint64_t n) { return [=](B& b) { b.set_link_count(block, n); }; };
  const std::function<void(B&)> edits[] = {
      // clang-format off
      count(m.hd, 5), count(m.hd, 7), count(m.dg, 3), count(m.cg, 7), count(m.cn_id, 9),
      count(m.cc, 6), count(m.si, 2), count(m.tx_id, 1),
      u64(m.tx_id + 8, uint64_t{1} << 40), u64(m.tx_id + 8, UINT64_MAX),
      u64(m.cn_id + 8, 24 + 8 * 8 - 1), u64(m.cn_id + 8, 0), u64(m.dt + 8, 23),
      u64(m.dt + 16, UINT64_MAX / 4), u64(m.tx_id + 16, UINT64_MAX),
      [&](B& b) { mdfw::put_u16(b.bytes(), m.cc + 24 + 32 + 6, 65535); },  // conversion values
      link(m.cn_id, 2, 1u << 30), link(m.cn_id, 2, uint64_t{1} << 63),
      link(m.cn_id, 2, sample.size() - 1), link(m.cg, 1, m.cn_time + 8), link(m.dg, 3, m.hd + 16),
      // Cycles: onto itself, through members, between neighbours.
      link(m.cn_bytes, 0, m.cn_bytes), link(m.cn_frame, 1, m.cn_frame), link(m.cn_id, 1, m.cn_frame),
      link(m.dg, 2, m.dg), link(m.hd, 5, m.hd), link(m.cc, 3, m.cc), link(m.dg, 0, m.dg),
      link(m.cn_bytes, 0, m.cn_id), link(m.cn_bytes, 5, m.cg),
      [&](B& b) { b.set_link(m.dg, 0, b.add_block("DG", {m.dg, 0, 0, 0}, Bytes(8))); },
      [&](B& b) { b.set_link(m.cc, 3, b.add_block("CC", {0, 0, 0, m.cc}, cc_fields(0, {}))); },
      [&](B& b) { b.set_link(m.cg, 0, b.add_block("CG", {m.cg, 0, 0, 0, 0, 0}, cg_fields())); },
      // clang-format on
  };
  std::string log;
  for (size_t i = 0; i < std::size(edits); ++i) {
    B b;
    b.bytes() = sample;
    edits[i](b);
    EXPECT_FALSE(opens_logging(b.release(), &log)) << i;
    EXPECT_TRUE(i >= 8 || log.empty()) << i << log;  // wrong link counts say nothing
  }
  // Optional links beyond the channel's counts fail with --other-writers too, saying so.
  mdfw::BusLogOptions linked;
  linked.unsupported.channel_attachments = linked.unsupported.default_x = true;
  mdfw::BusLogMap map;
  Bytes miscounted = mdfw::write_bus_log({mdfw::can_data(0.5, 0x100, {1, 2})}, linked, &map);
  const uint64_t cn = map.groups[0].channels.at("CAN_DataFrame.ID");
  mdfw::put_u16(miscounted, cn + 24 + 12 * 8 + 22, 2);
  EXPECT_FALSE(opens_logging(miscounted, &log, true));
  const std::string want = " has 12 links where its counts call for 13";
  EXPECT_NE(log.find("Block ##CN at offset " + std::to_string(cn) + want), std::string::npos)
      << log;
}

// A chain running into a block already loaded ends there: lists share it, nothing holds itself.
TEST(ReaderDamage, ChainsRunningIntoLoadedBlocksEndThere) {
  SampleMap m;
  B b;
  b.bytes() = sample_log(&m);
  // The member chain joins the group's channels.
  b.set_link(m.cn_bytes, 0, m.cn_time);
  // Signal data in a group whose chain leads back to the channel's own group.
  b.set_link(m.cn_bytes, 5, b.add_block("CG", {m.cg, 0, 0, 0, 0, 0}, cg_fields(0, 0, 1)));
  Opened o = open_bytes(b.release());
  ASSERT_NE(o.file, nullptr);
  CgBlock* cg = block_as<CgBlock>(o.dg(0)->dg_cg_list[0]);
  ASSERT_EQ(cg->cg_cn_list.size(), 2u);
  const BlockList& members = block_as<CnBlock>(cg->cg_cn_list[1])->cn_member_list;
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[2].get(), cg->cg_cn_list[0].get());
  EXPECT_TRUE(o.id()->kept_alive.empty());
  EXPECT_EQ(o.dg(0)->dg_cg_list.size(), 1u);
}

TEST(ReaderDamage, DataViewStaysInsideAndCutOrFlippedFilesNeverCrash) {
  SampleMap m;
  const Bytes sample = sample_log(&m, 1000);
  QuietLog quiet;
  EXPECT_EQ(mdf_open(nullptr), nullptr);
  Bytes buffer(2000);
  for (uint64_t n = 0; n <= sample.size(); ++n) {
    Opened o = open_bytes({sample.begin(), sample.begin() + static_cast<int64_t>(n)});
    // Records cut short still open: the data view reads what is there.
    ASSERT_EQ(o.file != nullptr, n >= m.dt + 24) << n;
    if (!o.file) continue;
    walk_tree(o.hd()->hd_dg_list);
    ByteStream* view = data_block_stream(o.dg(0)->dg_data.get());
    EXPECT_EQ(stream_read(view, buffer.data(), 2000), static_cast<int64_t>(n - m.dt - 24));
  }
  Opened whole = open_bytes(sample);  // the view reads and seeks within the data section
  DtBlock* dt = block_as<DtBlock>(whole.dg(0)->dg_data);
  EXPECT_EQ(dt->length, 1024u);
  ByteStream* view = data_block_stream(dt);
  EXPECT_EQ(stream_read(view, buffer.data(), 2000), 1000);
  EXPECT_EQ(buffer[999], static_cast<uint8_t>(999));
  EXPECT_EQ(stream_read(view, buffer.data(), 2000), 0);
  constexpr int32_t SET = STREAM_SEEK_SET, CUR = STREAM_SEEK_CUR, END = STREAM_SEEK_END;
  const std::tuple<int64_t, int32_t, int64_t> seeks[] = {
      {5000, SET, 1000}, {0, END, 1000}, {-1, SET, -1},          {10, SET, 10},  {5, CUR, 15},
      {-15, CUR, 0},     {-1, CUR, -1},  {INT64_MAX, CUR, 1000}, {998, SET, 998}};
  for (const auto& [offset, origin, result] : seeks)
    EXPECT_EQ(stream_seek(view, offset, origin), result);
  uint8_t two[4] = {};
  EXPECT_EQ(stream_read(view, two, 4), 2);
  EXPECT_EQ(two[0], static_cast<uint8_t>(998));
  EXPECT_EQ(stream_size(view), 1000);
  EXPECT_EQ(stream_write(view, two, 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(data_block_stream(whole.dg(0)), nullptr);
  uint64_t opened = 0;
  for (uint64_t bit = 0; bit < 8 * m.metadata_end; ++bit) {
    Bytes bytes = sample;
    bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    Opened o = open_bytes(bytes);
    if (o.file) ++opened;
    if (o.file && o.hd()) walk_tree(o.hd()->hd_dg_list);
  }
  // Flips in reserved bytes and values are harmless; flips in ids are not.
  EXPECT_GT(opened, 0u);
  EXPECT_LT(opened, 8 * m.metadata_end);
  // A header block of another type opens, but reads as absent.
  B b;
  b.write_id();
  b.add_text("not a header");
  Opened other = open_bytes(b.release());
  ASSERT_NE(other.file, nullptr);
  EXPECT_EQ(other.hd(), nullptr);
}

// Long chains are read, checked for loops and freed without recursion or quadratic work.
TEST(ReaderDamage, MillionBlockChainsOpenInOrderAndLoopsOrDeepNestingFail) {
  constexpr uint64_t kFirst = 64 + 104, kSize = 64, kCount = 1'000'000;
  B b;
  b.write_id();
  b.add_block("HD", {kFirst, 0, 0, 0, 0, 0}, Bytes(32));
  Bytes& image = b.bytes();
  image.resize(kFirst + kCount * kSize);
  for (uint64_t at = kFirst; at < image.size(); at += kSize) {
    std::memcpy(&image[at], "##DG", 4);
    put_u64(image, at + 8, kSize);
    put_u64(image, at + 16, 4);
    put_u64(image, at + 24, at + kSize < image.size() ? at + kSize : 0);
  }
  {
    Opened o = open_bytes(image);
    ASSERT_NE(o.file, nullptr);
    const BlockList& list = o.hd()->hd_dg_list;
    ASSERT_EQ(list.size(), kCount);
    for (uint64_t i = 0; i < kCount; ++i) ASSERT_EQ(list[i]->offset, kFirst + i * kSize) << i;
  }
  put_u64(image, image.size() - kSize + 24, kFirst + 17 * kSize);
  EXPECT_EQ(open_bytes(image).file, nullptr);
  BlockRef head;
  for (int i = 0; i < 1'000'000; ++i) {
    BlockRef cc = BlockRef::adopt(kCcDescriptor.create());
    block_as<CcBlock>(cc)->cc_cc_inverse = std::move(head);
    head = std::move(cc);
  }
  head.reset();
  // Nesting inside the block that links to it is bounded; ordinary files stay far below it.
  for (const auto& [depth, opened] : {std::pair{20, true}, {200, false}, {5000, false}}) {
    for (bool through_conversions : {false, true}) {
      OneGroup g;
      g.b.reserve(uint64_t{200} * static_cast<uint64_t>(depth));
      uint64_t inner = 0;
      for (int i = 0; i < depth; ++i) {
        inner = through_conversions
                    ? g.b.add_block("CC", {0, 0, 0, inner}, cc_fields(0, {}))
                    : g.b.add_block("CN", {0, inner, 0, 0, 0, 0, 0, 0}, cn_fields());
      }
      through_conversions ? (void)g.add_channel({0, 0, inner}) : g.b.set_link(g.cg, 1, inner);
      EXPECT_EQ(open_bytes(g.b.release()).file != nullptr, opened) << depth << through_conversions;
    }
  }
}

// The first list (or header list) of an other writer's log, as damaged by a test.
struct ListImage {
  Bytes& b;
  uint64_t dl;
  uint64_t at(uint64_t where) const { return get_u64(b, where); }
  uint64_t dz() const { return at(dl + 32); }  // the first piece, compressed
  uint64_t fields() const { return dl + 24 + 8 * at(dl + 16); }
  void set(uint64_t where, uint64_t v) { put_u64(b, where, v); }
};

// Other writers' lists and compressed blocks: damage fails the open or the read, or truncates.
TEST(DataList, DamagedListsAndCompressedBlocksAreCaught) {
  constexpr uint64_t kFrames = 40;
  std::vector<mdfw::BusFrame> frames;
  for (uint64_t i = 0; i < kFrames; ++i) {
    frames.push_back(mdfw::can_data(0.001 * static_cast<double>(i), 0x100 + i,
                                    {static_cast<uint8_t>(i), 1, 2, 3, 4, 5, 6, 7}));
  }
  mdfw::BusLogOptions zipped, offsets, equal, headed;
  zipped.other.zip = 1;
  zipped.other.offset_form = true;  // so that a piece's stated size is not checked by its list
  offsets.other.piece_bytes = equal.other.piece_bytes = 200;
  offsets.other.offset_form = true;
  headed.other = zipped.other;
  headed.other.header_list = true;
  using L = ListImage;
  enum Outcome { kAll, kReadFails, kNo /* does not open */, kMissing };
  const struct {
    const char* name;
    const mdfw::BusLogOptions& options;
    std::function<void(L&)> edit;
    Outcome outcome;
  } cases[] = {
      // clang-format off
      {"sound zipped list", zipped, nullptr, kAll},
      {"sound list of pieces", offsets, nullptr, kAll},
      {"compressed bytes damaged", zipped, [](L& l) { l.b[l.dz() + 68] ^= 0x5A; }, kReadFails},
      {"more inflated bytes stated than there are", zipped,
       [](L& l) { l.set(l.dz() + 32, l.at(l.dz() + 32) + 1); }, kReadFails},
      {"inflated size over the bound", zipped, [](L& l) { l.set(l.dz() + 32, 65ull << 20); }, kNo},
      {"inflated size beyond what deflate can give", zipped,
       [](L& l) { l.set(l.dz() + 32, l.at(l.dz() + 40) * 1032 + 65); }, kNo},
      {"compressed size over the block", zipped, [](L& l) { l.set(l.dz() + 40, UINT64_MAX); }, kNo},
      {"unknown zip type", zipped, [](L& l) { l.b[l.dz() + 26] = 7; }, kNo},
      {"list that runs into itself", offsets, [](L& l) { l.set(l.dl + 24, l.dl); }, kNo},
      {"list count other than its links", offsets,
       [](L& l) { mdfw::put_u32(l.b, l.fields() + 4, uint32_t(l.at(l.fields() + 4) + 1)); }, kNo},
      {"list links a block without data", offsets, [](L& l) { l.set(l.dl + 32, 64); }, kNo},
      {"header list leading to no list", headed,
       [](L& l) { l.set(l.dl + 24, L{l.b, l.at(l.dl + 24)}.dz()); }, kNo},
      {"piece not at its offset", offsets, [](L& l) { l.set(l.fields() + 16, 199); }, kMissing},
      {"piece not of the equal length", equal, [](L& l) { l.set(l.fields() + 8, 199); }, kMissing},
      // clang-format on
  };
  QuietLog quiet;
  for (const auto& c : cases) {
    mdfw::BusLogMap map;
    Bytes bytes = mdfw::write_bus_log(frames, c.options, &map);
    L image{bytes, get_u64(bytes, map.data_groups[0] + 24 + 16)};
    if (c.edit) c.edit(image);
    Opened o = open_bytes(bytes, true);
    ASSERT_EQ(o.file != nullptr, c.outcome != kNo) << c.name;
    if (!o.file) continue;
    std::unique_ptr<FrameIterator> it = frame_iterator_create(o.dg(0));
    ASSERT_NE(it, nullptr) << c.name;
    uint64_t count = 0;
    for (const Frame* f = it->first(); f; f = it->next()) count += f->kind == FRAME_CAN_DATA;
    EXPECT_EQ(count == kFrames, c.outcome == kAll) << c.name << ": " << count;
    EXPECT_EQ(it->read_failed(), c.outcome == kReadFails) << c.name;
    EXPECT_EQ(data_missing_bytes(o.dg(0)->dg_data.get()) > 0, c.outcome == kMissing) << c.name;
  }
}

int run_mklog(const std::string& args) {
  std::istringstream in(args);
  return test::run_process(MKLOG_BINARY, {std::istream_iterator<std::string>(in), {}}).status;
}

// mklog's command line, as the demo, the fuzz seeds and the README use it.
TEST(WriterMklog, WritesTheRequestedLayoutOrRefusesBadArguments) {
  test::TempDir tmp;
  const std::string out = tmp / "x.mf4";
  for (const char* bad : {"a.mf4", "--frames", "--frames ten", "--layout diagonal",
                          "--record-id-size 3", "--mix can=1,bogus=2", "--compress 8",
                          "--group-per-bus --layout unsorted", "--no-such-option"}) {
    EXPECT_EQ(run_mklog(std::string(bad) + " " + out), 2) << bad;
  }
  EXPECT_EQ(run_mklog(""), 2);
  EXPECT_EQ(run_mklog("--help"), 0);
  auto written = [&out](const std::string& args) {
    EXPECT_EQ(run_mklog(args + " " + out), 0) << args;
    const std::string log = test::read_file(out);
    return open_bytes({log.begin(), log.end()});
  };
  Opened o = written(
      "-n 200 --seed 7 --layout unsorted --record-id-size 4 --data-bytes vlsd --unfinalised "
      "--start-time 1700000000.5");
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(o.id()->id_file.view(), StringView("UnFinMF "));
  EXPECT_EQ(o.hd()->hd_start_time_ns, 1'700'000'000'500'000'000u);
  EXPECT_EQ(o.dg(0)->dg_rec_id_size, 4);
  // Only CAN data frames on four bus channels: four data groups of them.
  Opened split =
      written("-n 200 --group-per-bus --can-channels 4 --mix can=1,fd=1,remote=0,error=0,lin=0");
  ASSERT_NE(split.file, nullptr);
  ASSERT_EQ(split.hd()->hd_dg_list.size(), 4u);
  uint64_t frames = 0;
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(split.dg(i)->dg_cg_list.size(), 1u);
    const CgBlock* cg = block_as<CgBlock>(split.dg(i)->dg_cg_list[0]);
    EXPECT_EQ(cg->cg_record_id, mdfw::record_id_of(mdfw::FrameType::can_data));
    EXPECT_GT(cg->cg_cycle_count, 0u);
    frames += cg->cg_cycle_count;
  }
  EXPECT_EQ(frames, 200u);
  ASSERT_EQ(run_mklog("-n 100 --compress 8,4 --crc --device-id 0000ABCD " + out), 0);
  // Checksummed (flags 1), compressed (34), version 1, the device id big-endian.
  EXPECT_EQ(test::read_file(out).substr(0, 20),
            std::string("Generic File\1\1\x22\1\0\0\xAB\xCD", 20));
}

}  // namespace
}  // namespace quarrow
