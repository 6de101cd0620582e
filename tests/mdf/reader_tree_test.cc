// Loading sound files: the block tree, its lists, sharing and field values.

#include <gtest/gtest.h>

#include <cstring>

#include "mdfwriter/bus_log_writer.h"
#include "reader_test_util.h"

namespace quarrow {
namespace {

using readertest::CnFields;
using readertest::Opened;

std::vector<uint64_t> offsets_of(const BlockList& list) {
  std::vector<uint64_t> out;
  for (const BlockRef& ref : list) out.push_back(ref->offset);
  return out;
}

TEST(ReaderTree, SampleLogLoadsEveryLevelWithItsFields) {
  readertest::SampleMap m;
  Opened o = readertest::open_bytes(readertest::sample_log(&m));
  ASSERT_NE(o.file, nullptr);
  ASSERT_NE(o.hd(), nullptr);
  EXPECT_EQ(o.hd()->hd_start_time_ns, 1'700'000'000'000'000'000u);
  ASSERT_EQ(offsets_of(o.hd()->hd_dg_list), std::vector<uint64_t>{m.dg});
  DgBlock* dg = block_as<DgBlock>(o.hd()->hd_dg_list[0]);
  ASSERT_NE(dg, nullptr);
  EXPECT_EQ(dg->dg_rec_id_size, 0);
  ASSERT_EQ(offsets_of(dg->dg_cg_list), std::vector<uint64_t>{m.cg});
  CgBlock* cg = block_as<CgBlock>(dg->dg_cg_list[0]);
  ASSERT_NE(cg, nullptr);
  EXPECT_EQ(cg->cg_cycle_count, 2u);
  EXPECT_EQ(cg->cg_data_bytes, 16u);
  EXPECT_EQ(text_block_text(cg->cg_tx_acq_name), StringView("CAN_DataFrame"));
  EXPECT_EQ(si_block_source_kind(block_as<SiBlock>(cg->cg_si_acq_source)), SOURCE_BUS);
  EXPECT_EQ(offsets_of(cg->cg_cn_list), (std::vector<uint64_t>{m.cn_time, m.cn_frame}));
  CnBlock* frame = block_as<CnBlock>(cg->cg_cn_list[1]);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(offsets_of(frame->cn_member_list), (std::vector<uint64_t>{m.cn_id, m.cn_bytes}));
  CnBlock* bytes = block_as<CnBlock>(frame->cn_member_list[1]);
  EXPECT_EQ(text_block_text(bytes->cn_tx_name), StringView("CAN_DataFrame.DataBytes"));
  EXPECT_EQ(cn_block_byte_offset(bytes), 12u);
  EXPECT_EQ(cn_block_bit_count(bytes), 32u);
  EXPECT_EQ(cn_block_data_type(bytes), DATA_BYTE_ARRAY);
  CnBlock* time = block_as<CnBlock>(cg->cg_cn_list[0]);
  EXPECT_EQ(cn_block_kind(time), CHANNEL_MASTER);
  double factor = 0;
  EXPECT_TRUE(cc_block_value(block_as<CcBlock>(time->cn_cc_conversion), 1, &factor));
  EXPECT_EQ(factor, 1e-6);
  DtBlock* dt = block_as<DtBlock>(dg->dg_data);
  ASSERT_NE(dt, nullptr);
  EXPECT_EQ(dt->offset, m.dt);
  EXPECT_EQ(stream_size(data_block_stream(dt)), 32);
}

TEST(ReaderTree, BothIdentifiersAndAnyVersionNumberOpen) {
  struct Case {
    const char* file_id;
    uint16_t version;
  } cases[] = {{"MDF     ", 400}, {"MDF     ", 410}, {"UnFinMF ", 420}, {"UnFinMF ", 9999}};
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = readertest::sample_log();
    mdfw::BlockBuilder b;
    mdfw::IdFields fields;
    fields.file_id = c.file_id;
    fields.version_number = c.version;
    b.write_id(fields);
    std::memcpy(bytes.data(), b.bytes().data(), 64);
    Opened o = readertest::open_bytes(bytes);
    ASSERT_NE(o.file, nullptr) << c.file_id << c.version;
    EXPECT_EQ(o.id()->id_file.view(), StringView(c.file_id));
    EXPECT_EQ(o.id()->id_ver, c.version);
    EXPECT_EQ(o.id()->id_vers.view(), StringView("4.10    "));
  }
}

// A three-block chain on every chained level: data groups, channel groups,
// channels, composition members and file history.
TEST(ReaderTree, ChainsBecomeListsInChainOrder) {
  mdfw::BlockBuilder b;
  b.write_id();
  uint64_t hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, readertest::hd_fields());
  std::vector<uint64_t> fh, dg, cg, cn, members;
  // Written back to front, so that chain order differs from file order.
  for (int i = 0; i < 3; ++i)
    fh.insert(fh.begin(), b.add_block("FH", {fh.empty() ? 0 : fh.front(), 0},
                                      readertest::fh_fields(static_cast<uint64_t>(i))));
  for (int i = 0; i < 3; ++i)
    members.insert(members.begin(),
                   b.add_block("CN", {members.empty() ? 0 : members.front(), 0, 0, 0, 0, 0, 0, 0},
                               readertest::cn_fields()));
  for (int i = 0; i < 3; ++i)
    cn.insert(cn.begin(), b.add_block("CN", {cn.empty() ? 0 : cn.front(), 0, 0, 0, 0, 0, 0, 0},
                                      readertest::cn_fields()));
  b.set_link(cn[1], 1, members[0]);
  for (int i = 0; i < 3; ++i)
    cg.insert(cg.begin(), b.add_block("CG", {cg.empty() ? 0 : cg.front(), 0, 0, 0, 0, 0},
                                      readertest::cg_fields(static_cast<uint64_t>(i))));
  b.set_link(cg[2], 1, cn[0]);
  for (int i = 0; i < 3; ++i)
    dg.insert(dg.begin(),
              b.add_block("DG", {dg.empty() ? 0 : dg.front(), 0, 0, 0}, readertest::dg_fields()));
  b.set_link(dg[0], 1, cg[0]);
  b.set_link(hd, 0, dg[0]);
  b.set_link(hd, 1, fh[0]);

  Opened o = readertest::open_bytes(b.release());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(offsets_of(o.hd()->hd_dg_list), dg);
  EXPECT_EQ(offsets_of(o.hd()->hd_fh_list), fh);
  DgBlock* first = block_as<DgBlock>(o.hd()->hd_dg_list[0]);
  EXPECT_EQ(offsets_of(first->dg_cg_list), cg);
  EXPECT_TRUE(block_as<DgBlock>(o.hd()->hd_dg_list[1])->dg_cg_list.empty());
  CgBlock* last = block_as<CgBlock>(first->dg_cg_list[2]);
  EXPECT_EQ(offsets_of(last->cg_cn_list), cn);
  EXPECT_EQ(offsets_of(block_as<CnBlock>(last->cg_cn_list[1])->cn_member_list), members);
}

TEST(ReaderTree, HeaderWithoutDataGroupsHasEmptyList) {
  mdfw::BlockBuilder b;
  b.write_id();
  b.add_block("HD", {0, 0, 0, 0, 0, 0}, readertest::hd_fields(42, -60, 60));
  Opened o = readertest::open_bytes(b.release());
  ASSERT_NE(o.file, nullptr);
  EXPECT_TRUE(o.hd()->hd_dg_list.empty());
  EXPECT_EQ(o.hd()->hd_start_time_ns, 42u);
  EXPECT_EQ(o.hd()->hd_tz_offset_min, -60);
  EXPECT_EQ(o.hd()->hd_dst_offset_min, 60);
}

using readertest::OneGroup;

TEST(ReaderTree, TextLinkedTwiceIsReadOnceAndSurvivesItsFirstHolder) {
  OneGroup g;
  uint64_t tx = g.b.add_text("CAN_DataFrame.ID");
  g.add_channel({tx});
  g.add_channel({tx});
  Opened o = readertest::open_bytes(g.b.release());
  ASSERT_NE(o.file, nullptr);
  CnBlock* a = g.channel(o, 0);
  CnBlock* b = g.channel(o, 1);
  ASSERT_EQ(a->cn_tx_name.get(), b->cn_tx_name.get());
  EXPECT_EQ(a->cn_tx_name.use_count(), 2u);
  BlockRef kept = b->cn_tx_name;
  o.file.reset();
  // Only this reference is left; the block must still be readable.
  EXPECT_EQ(kept.use_count(), 1u);
  EXPECT_EQ(text_block_text(kept), StringView("CAN_DataFrame.ID"));
}

TEST(ReaderTree, ZeroAndAllOnesLinksBothMeanNoBlock) {
  OneGroup g;
  g.add_channel({0, MDF_NO_LINK, 0, MDF_NO_LINK});
  Opened o = readertest::open_bytes(g.b.release());
  ASSERT_NE(o.file, nullptr);
  CnBlock* cn = g.channel(o, 0);
  EXPECT_FALSE(cn->cn_tx_name);
  EXPECT_FALSE(cn->cn_si_source);
  EXPECT_FALSE(cn->cn_cc_conversion);
  EXPECT_FALSE(cn->cn_data);
}

TEST(ReaderTree, ChannelKindAndDataTypeAreDerived) {
  struct Case {
    uint8_t cn_type;
    ChannelKind kind;
  } kinds[] = {{0, CHANNEL_FIXED},        {1, CHANNEL_VLSD},  {2, CHANNEL_MASTER},
               {3, CHANNEL_OTHER},        {4, CHANNEL_OTHER}, {5, CHANNEL_OTHER},
               {6, CHANNEL_VIRTUAL_DATA}, {7, CHANNEL_OTHER}, {200, CHANNEL_OTHER}};
  struct TypeCase {
    uint8_t cn_data_type;
    ChannelDataType type;
  } types[] = {{0, DATA_UINT_LE},     {1, DATA_UNSUPPORTED}, {2, DATA_UNSUPPORTED},
               {3, DATA_UNSUPPORTED}, {4, DATA_FLOAT_LE},    {5, DATA_UNSUPPORTED},
               {6, DATA_UNSUPPORTED}, {10, DATA_BYTE_ARRAY}, {11, DATA_UNSUPPORTED}};
  readertest::QuietLog quiet;  // the unsupported types are reported by the recognition
  OneGroup g;
  for (const Case& c : kinds) g.add_channel({}, CnFields{c.cn_type, 0, 0, 0, 8});
  for (const TypeCase& c : types) g.add_channel({}, CnFields{0, c.cn_data_type, 3, 5, 7});
  Opened o = readertest::open_bytes(g.b.release());
  ASSERT_NE(o.file, nullptr);
  size_t i = 0;
  for (const Case& c : kinds) EXPECT_EQ(cn_block_kind(g.channel(o, i++)), c.kind) << +c.cn_type;
  for (const TypeCase& c : types) {
    CnBlock* cn = g.channel(o, i++);
    EXPECT_EQ(cn_block_data_type(cn), c.type) << +c.cn_data_type;
    EXPECT_EQ(cn_block_bit_offset(cn), 3);
    EXPECT_EQ(cn_block_byte_offset(cn), 5u);
    EXPECT_EQ(cn_block_bit_count(cn), 7u);
  }
  EXPECT_EQ(cn_block_kind(nullptr), CHANNEL_OTHER);
  EXPECT_EQ(cn_block_data_type(nullptr), DATA_UNSUPPORTED);
  EXPECT_EQ(cn_block_bit_count(nullptr), 0u);
  EXPECT_EQ(cn_block_bit_offset(nullptr), 0);
  EXPECT_EQ(cn_block_byte_offset(nullptr), 0u);
}

TEST(ReaderTree, ConversionValuesAreReadInOrder) {
  OneGroup g;
  uint64_t linear = g.b.add_block("CC", {0, 0, 0, 0}, readertest::cc_fields(1, {0.5, 2.0}));
  uint64_t empty = g.b.add_block("CC", {0, 0, 0, 0}, readertest::cc_fields(0, {}));
  g.add_channel({0, 0, linear});
  g.add_channel({0, 0, empty});
  Opened o = readertest::open_bytes(g.b.release());
  ASSERT_NE(o.file, nullptr);
  CcBlock* cc = block_as<CcBlock>(g.channel(o, 0)->cn_cc_conversion);
  ASSERT_NE(cc, nullptr);
  EXPECT_EQ(cc->cc_type, 1);
  double v = -1;
  EXPECT_TRUE(cc_block_value(cc, 0, &v));
  EXPECT_EQ(v, 0.5);
  EXPECT_TRUE(cc_block_value(cc, 1, &v));
  EXPECT_EQ(v, 2.0);
  EXPECT_FALSE(cc_block_value(cc, 2, &v));
  EXPECT_FALSE(cc_block_value(cc, 0, nullptr));
  EXPECT_FALSE(cc_block_value(nullptr, 0, &v));
  CcBlock* none = block_as<CcBlock>(g.channel(o, 1)->cn_cc_conversion);
  ASSERT_NE(none, nullptr);
  EXPECT_FALSE(cc_block_value(none, 0, &v));
}

TEST(ReaderTree, TextBlocksEndAtTheirFirstZeroByte) {
  struct Case {
    const char* id;
    std::vector<uint8_t> data;
    const char* expected;
  } cases[] = {
      {"TX", {}, ""},
      {"TX", {'T', 'i', 'm', 'e', 's', 't', 'a', 'm', 'p', 0, 0, 0, 0, 0, 0, 0}, "Timestamp"},
      {"TX", {'a', 'b', 0, 'c', 'd', 0, 0, 0}, "ab"},
      // A writer that left out the terminator does not lose the last letter.
      {"TX", {'D', 'L', 'C'}, "DLC"},
      {"MD", {'<', 'x', '/', '>', 0, 0, 0, 0}, "<x/>"},
  };
  for (const Case& c : cases) {
    OneGroup g;
    uint64_t tx = g.b.add_block(c.id, {}, c.data);
    g.add_channel({tx});
    Opened o = readertest::open_bytes(g.b.release());
    ASSERT_NE(o.file, nullptr) << c.expected;
    EXPECT_EQ(text_block_text(g.channel(o, 0)->cn_tx_name), StringView(c.expected));
  }
}

TEST(ReaderTree, SourceKindIsBusOnlyForSourceTypeTwo) {
  struct Case {
    uint8_t si_type;
    SourceKind kind;
  } cases[] = {{0, SOURCE_OTHER}, {1, SOURCE_OTHER}, {2, SOURCE_BUS}, {5, SOURCE_OTHER}};
  OneGroup g;
  for (const Case& c : cases) {
    uint64_t si = g.b.add_block("SI", {0, 0, 0}, readertest::si_fields(c.si_type));
    g.add_channel({0, si});
  }
  Opened o = readertest::open_bytes(g.b.release());
  ASSERT_NE(o.file, nullptr);
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(si_block_source_kind(block_as<SiBlock>(g.channel(o, i)->cn_si_source)),
              cases[i].kind);
  EXPECT_EQ(si_block_source_kind(nullptr), SOURCE_OTHER);
}

TEST(ReaderTree, DataViewReadsAndSeeksWithinTheDataSection) {
  // A DT block of length 1024 holds 1000 data bytes.
  readertest::SampleMap m;
  Opened o = readertest::open_bytes(readertest::sample_log(&m, 1000));
  ASSERT_NE(o.file, nullptr);
  DgBlock* dg = block_as<DgBlock>(o.hd()->hd_dg_list[0]);
  DtBlock* dt = block_as<DtBlock>(dg->dg_data);
  ASSERT_NE(dt, nullptr);
  EXPECT_EQ(dt->length, 1024u);
  ByteStream* view = data_block_stream(dt);
  std::vector<uint8_t> buffer(2000);
  EXPECT_EQ(stream_read(view, buffer.data(), 2000), 1000);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[999], static_cast<uint8_t>(999));
  EXPECT_EQ(stream_read(view, buffer.data(), 2000), 0);
  EXPECT_EQ(stream_seek(view, 5000, STREAM_SEEK_SET), 1000);
  EXPECT_EQ(stream_seek(view, 0, STREAM_SEEK_END), 1000);
  EXPECT_EQ(stream_tell(view), 1000);
  EXPECT_EQ(stream_size(view), 1000);
  EXPECT_EQ(stream_seek(view, -1, STREAM_SEEK_SET), -1);
  EXPECT_EQ(stream_seek(view, 10, STREAM_SEEK_SET), 10);
  EXPECT_EQ(stream_seek(view, 5, STREAM_SEEK_CUR), 15);
  EXPECT_EQ(stream_seek(view, -15, STREAM_SEEK_CUR), 0);
  EXPECT_EQ(stream_seek(view, -1, STREAM_SEEK_CUR), -1);
  EXPECT_EQ(stream_seek(view, INT64_MAX, STREAM_SEEK_CUR), 1000);
  EXPECT_EQ(stream_seek(view, 998, STREAM_SEEK_SET), 998);
  uint8_t two[4] = {};
  EXPECT_EQ(stream_read(view, two, 4), 2);
  EXPECT_EQ(two[0], static_cast<uint8_t>(998));
  EXPECT_EQ(stream_write(view, two, 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(data_block_stream(nullptr), nullptr);
  EXPECT_EQ(data_block_stream(dg), nullptr);
}

TEST(ReaderTree, DataViewsOnOneStreamDoNotDisturbEachOther) {
  OneGroup g;
  uint64_t sd = g.b.add_block("SD", {}, std::vector<uint8_t>{10, 11, 12, 13});
  g.add_channel({0, 0, 0, sd}, CnFields{1, 10, 0, 0, 64});
  uint64_t dt = g.b.add_block("DT", {}, std::vector<uint8_t>{20, 21, 22, 23});
  g.b.set_link(g.b.link(64, 0), 2, dt);
  Opened o = readertest::open_bytes(g.b.release());
  ASSERT_NE(o.file, nullptr);
  ByteStream* sd_view = data_block_stream(g.channel(o, 0)->cn_data.get());
  ByteStream* dt_view = data_block_stream(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_data.get());
  ASSERT_NE(sd_view, nullptr);
  ASSERT_NE(dt_view, nullptr);
  EXPECT_EQ(cn_block_kind(g.channel(o, 0)), CHANNEL_VLSD);
  uint8_t a = 0, b = 0;
  for (uint8_t i = 0; i < 4; ++i) {
    ASSERT_EQ(stream_read(sd_view, &a, 1), 1);
    stream_seek(o.stream.get(), 0, STREAM_SEEK_SET);  // someone else moves the file
    ASSERT_EQ(stream_read(dt_view, &b, 1), 1);
    EXPECT_EQ(a, 10 + i);
    EXPECT_EQ(b, 20 + i);
  }
}

// Two data groups whose data blocks start at 1000 and 5000 in a 9000-byte
// stream.
std::vector<uint8_t> unfinalised_image(uint16_t unfin_flags, bool with_data) {
  mdfw::BlockBuilder b;
  mdfw::IdFields id;
  id.file_id = "UnFinMF ";
  id.unfin_flags = unfin_flags;
  b.write_id(id);
  uint64_t hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, readertest::hd_fields());
  uint64_t dg1 = b.add_block("DG", {0, 0, 0, 0}, readertest::dg_fields());
  uint64_t dg2 = b.add_block("DG", {0, 0, 0, 0}, readertest::dg_fields());
  b.set_link(hd, 0, dg1);
  b.set_link(dg1, 0, dg2);
  b.bytes().resize(1000);
  uint64_t dt1 = b.add_block("DT", {}, std::vector<uint8_t>(100));
  b.bytes().resize(5000);
  uint64_t dt2 = b.add_block("DT", {}, std::vector<uint8_t>(8));
  b.bytes().resize(9000);
  if (with_data) {
    // The second group's block is linked first, so the largest offset wins,
    // not the list position.
    b.set_link(dg1, 2, dt2);
    b.set_link(dg2, 2, dt1);
  }
  return b.release();
}

TEST(ReaderTree, UnfinalisedFileGetsItsLastDataBlockRunToTheEnd) {
  Opened o = readertest::open_bytes(unfinalised_image(5, true));
  ASSERT_NE(o.file, nullptr);
  DtBlock* late = block_as<DtBlock>(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_data);
  DtBlock* early = block_as<DtBlock>(block_as<DgBlock>(o.hd()->hd_dg_list[1])->dg_data);
  EXPECT_EQ(late->offset, 5000u);
  EXPECT_EQ(late->length, 4000u);
  EXPECT_EQ(early->length, 124u);
  EXPECT_EQ(stream_size(data_block_stream(late)), 3976);
  // Only bit 2 is cleared.
  EXPECT_EQ(o.id()->id_unfin_flags, 1);
}

TEST(ReaderTree, UnfinalisedFlagWithoutDataBlocksRepairsNothing) {
  Opened o = readertest::open_bytes(unfinalised_image(4, false));
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(o.id()->id_unfin_flags, 4);
}

TEST(ReaderTree, FinalisedFileKeepsItsDataLengths) {
  Opened o = readertest::open_bytes(unfinalised_image(1, true));
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(block_as<DtBlock>(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_data)->length, 32u);
}

// A variable-length channel may link to a VLSD channel group before or after
// its own group in the chain; both orders load and share the group.
TEST(ReaderTree, VlsdGroupIsSharedWhereverItStandsInTheChain) {
  for (bool vlsd_first : {true, false}) {
    OneGroup g;
    uint64_t vlsd = g.b.add_block("CG", {0, 0, 0, 0, 0, 0}, readertest::cg_fields(2, 0, 1, 0));
    g.add_channel({0, 0, 0, vlsd}, CnFields{1, 10, 0, 0, 64});
    uint64_t dg = g.b.link(64, 0);
    if (vlsd_first) {
      g.b.set_link(vlsd, 0, g.cg);
      g.b.set_link(dg, 1, vlsd);
    } else {
      g.b.set_link(g.cg, 0, vlsd);
    }
    Opened o = readertest::open_bytes(g.b.release());
    ASSERT_NE(o.file, nullptr) << vlsd_first;
    DgBlock* d = block_as<DgBlock>(o.hd()->hd_dg_list[0]);
    ASSERT_EQ(d->dg_cg_list.size(), 2u);
    CgBlock* v = block_as<CgBlock>(d->dg_cg_list[vlsd_first ? 0 : 1]);
    CgBlock* f = block_as<CgBlock>(d->dg_cg_list[vlsd_first ? 1 : 0]);
    EXPECT_EQ(v->cg_vlsd, 1);
    EXPECT_EQ(f->cg_vlsd, 0);
    EXPECT_EQ(block_as<CnBlock>(f->cg_cn_list[0])->cn_data.get(), v);
  }
}

// A channel group reached first through a channel's signal-data link, with
// two more groups chained behind it: the chain is loaded and kept alive, and
// when a data group's chain reaches it later the list takes in all of it.
TEST(ReaderTree, ChainReachedThroughAnOrdinaryLinkIsKeptAndLaterListed) {
  for (bool listed_later : {false, true}) {
    OneGroup g;
    uint64_t c = g.b.add_block("CG", {0, 0, 0, 0, 0, 0}, readertest::cg_fields(3));
    uint64_t bb = g.b.add_block("CG", {c, 0, 0, 0, 0, 0}, readertest::cg_fields(2));
    uint64_t a = g.b.add_block("CG", {bb, 0, 0, 0, 0, 0}, readertest::cg_fields(1, 0, 1));
    g.add_channel({0, 0, 0, a}, CnFields{1, 10, 0, 0, 64});
    uint64_t dg2 = 0;
    if (listed_later) {
      uint64_t head = g.b.add_block("CG", {a, 0, 0, 0, 0, 0}, readertest::cg_fields(9));
      dg2 = g.b.add_block("DG", {0, head, 0, 0}, readertest::dg_fields(1));
      g.b.set_link(g.b.link(64, 0), 0, dg2);
    }
    Opened o = readertest::open_bytes(g.b.release());
    ASSERT_NE(o.file, nullptr);
    EXPECT_EQ(offsets_of(o.id()->kept_alive), (std::vector<uint64_t>{bb, c}));
    EXPECT_EQ(g.channel(o, 0)->cn_data->offset, a);
    if (listed_later) {
      DgBlock* second = block_as<DgBlock>(o.hd()->hd_dg_list[1]);
      ASSERT_NE(second, nullptr);
      ASSERT_EQ(second->dg_cg_list.size(), 4u);
      EXPECT_EQ(second->dg_cg_list[1].get(), g.channel(o, 0)->cn_data.get());
      EXPECT_EQ(second->dg_cg_list[3].get(), o.id()->kept_alive[1].get());
    }
  }
}

TEST(ReaderTree, BusLogWriterLayoutsOpen) {
  using mdfw::DataBytesStorage;
  using mdfw::Layout;
  std::vector<mdfw::BusFrame> frames = {
      mdfw::can_data(0.001, 0x123, {1, 2, 3}), mdfw::can_remote(0.002, 0x7FF, 2),
      mdfw::lin_frame(0.003, 0x21, {9, 8}), mdfw::can_error(0.004, 3),
      mdfw::can_data(0.005, 0x456, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})};
  for (Layout layout : {Layout::sorted, Layout::unsorted}) {
    for (DataBytesStorage storage :
         {DataBytesStorage::fixed, DataBytesStorage::sd, DataBytesStorage::vlsd}) {
      mdfw::BusLogOptions options;
      options.layout = layout;
      options.can_data_bytes = storage;
      options.unfinalised = storage == DataBytesStorage::sd;
      mdfw::BusLogMap map;
      std::vector<uint8_t> bytes = mdfw::write_bus_log(frames, options, &map);
      Opened o = readertest::open_bytes(bytes);
      ASSERT_NE(o.file, nullptr) << static_cast<int>(layout) << static_cast<int>(storage);
      EXPECT_EQ(offsets_of(o.hd()->hd_dg_list), map.data_groups);
      size_t group = 0;
      for (const BlockRef& dg_ref : o.hd()->hd_dg_list) {
        DgBlock* dg = block_as<DgBlock>(dg_ref);
        ASSERT_NE(dg, nullptr);
        for (const BlockRef& cg_ref : dg->dg_cg_list) {
          CgBlock* cg = block_as<CgBlock>(cg_ref);
          ASSERT_NE(cg, nullptr);
          if (cg->cg_vlsd) continue;
          ASSERT_LT(group, map.groups.size());
          EXPECT_EQ(cg->offset, map.groups[group].cg);
          EXPECT_EQ(cg->cg_data_bytes, map.groups[group].record_bytes);
          EXPECT_EQ(cg->cg_cycle_count, map.groups[group].cycle_count);
          EXPECT_FALSE(cg->cg_cn_list.empty());
          ++group;
        }
      }
      EXPECT_EQ(group, map.groups.size());
      if (options.unfinalised) {
        // The last data block runs to the end of the file.
        EXPECT_EQ(o.id()->id_unfin_flags & 4, 0);
        const BlockRef& last = block_as<DgBlock>(o.hd()->hd_dg_list.back())->dg_data;
        EXPECT_EQ(last->offset + last->length, bytes.size());
      }
    }
  }
}

}  // namespace
}  // namespace quarrow
