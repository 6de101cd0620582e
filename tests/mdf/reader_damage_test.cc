// Damaged, hostile and unsupported files: each must fail cleanly (null from
// mdf_open, with its message where there is one) without crashing, leaking or
// reading outside a buffer.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "mdfwriter/bus_log_writer.h"
#include "reader_test_util.h"

namespace quarrow {
namespace {

using readertest::Opened;
using readertest::SampleMap;

// Whether the image opens, and what was logged meanwhile.
bool opens_logging(const std::vector<uint8_t>& bytes, std::string* log,
                   bool other_writers = false) {
  testing::internal::CaptureStderr();
  bool opened = readertest::opens(bytes, other_writers);
  *log = testing::internal::GetCapturedStderr();
  return opened;
}

// Touches every block reachable from the tree, so that the sanitizer sees a
// stale or half-built block.
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

// Optional links that the counts in the channel's data do not account for
// fail the open with --other-writers too, saying so.
TEST(ReaderDamage, OptionalLinksBeyondTheCountsAreRejected) {
  const std::vector<mdfw::BusFrame> frames = {mdfw::can_data(0.5, 0x100, {1, 2})};
  mdfw::BusLogOptions linked;
  linked.unsupported.channel_attachments = linked.unsupported.default_x = true;
  mdfw::BusLogMap map;
  std::vector<uint8_t> miscounted = mdfw::write_bus_log(frames, linked, &map);
  const uint64_t cn = map.groups[0].channels.at("CAN_DataFrame.ID");
  mdfw::put_u16(miscounted, cn + 24 + 12 * 8 + 22, 2);
  std::string log;
  EXPECT_FALSE(opens_logging(miscounted, &log, true));
  EXPECT_NE(log.find("Block ##CN at offset " + std::to_string(cn) +
                     " has 12 links where its counts call for 13"),
            std::string::npos)
      << log;
}

// Link counts other than the type's, lengths and counts larger than the file
// or too small for the header and links, and links into or onto blocks all
// fail before anything is allocated from them; wrong link counts say nothing.
TEST(ReaderDamage, ImpossibleHeadersAndLinksFail) {
  SampleMap m;
  const std::vector<uint8_t> sample = readertest::sample_log(&m);
  using B = mdfw::BlockBuilder;
  auto u64 = [](uint64_t at, uint64_t v) { return [=](B& b) { mdfw::put_u64(b.bytes(), at, v); }; };
  auto link = [](uint64_t block, size_t i, uint64_t to) {
    return [=](B& b) { b.set_link(block, i, to); };
  };
  const std::function<void(B&)> edits[] = {
      // clang-format off
      [&](B& b) { b.set_link_count(m.hd, 5); }, [&](B& b) { b.set_link_count(m.hd, 7); },
      [&](B& b) { b.set_link_count(m.dg, 3); }, [&](B& b) { b.set_link_count(m.cg, 7); },
      [&](B& b) { b.set_link_count(m.cn_id, 9); }, [&](B& b) { b.set_link_count(m.cc, 6); },
      [&](B& b) { b.set_link_count(m.si, 2); }, [&](B& b) { b.set_link_count(m.tx_id, 1); },
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
      [&](B& b) { b.set_link(m.dg, 0, b.add_block("DG", {m.dg, 0, 0, 0}, readertest::dg_fields())); },
      [&](B& b) { b.set_link(m.cc, 3, b.add_block("CC", {0, 0, 0, m.cc}, readertest::cc_fields(0, {}))); },
      [&](B& b) { b.set_link(m.cg, 0, b.add_block("CG", {m.cg, 0, 0, 0, 0, 0}, readertest::cg_fields())); },
      // clang-format on
  };
  for (size_t i = 0; i < std::size(edits); ++i) {
    B b;
    b.bytes() = sample;
    edits[i](b);
    std::string log;
    EXPECT_FALSE(opens_logging(b.release(), &log)) << i;
    if (i < 8) {
      EXPECT_EQ(log, "") << i;
    }
  }
}

// A chain that runs into a block already in another list, or already loaded,
// ends there: the lists share that block and nothing holds itself.
TEST(ReaderDamage, ChainsRunningIntoLoadedBlocksEndThere) {
  SampleMap m;
  mdfw::BlockBuilder b;
  b.bytes() = readertest::sample_log(&m);
  b.set_link(m.cn_bytes, 0, m.cn_time);  // the member chain joins the group's channels
  // Signal data in a group whose chain leads back to the channel's own group.
  b.set_link(m.cn_bytes, 5,
             b.add_block("CG", {m.cg, 0, 0, 0, 0, 0}, readertest::cg_fields(0, 0, 1)));
  Opened o = readertest::open_bytes(b.release());
  ASSERT_NE(o.file, nullptr);
  CgBlock* cg = block_as<CgBlock>(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_cg_list[0]);
  ASSERT_EQ(cg->cg_cn_list.size(), 2u);
  const BlockList& members = block_as<CnBlock>(cg->cg_cn_list[1])->cn_member_list;
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[2].get(), cg->cg_cn_list[0].get());
  EXPECT_TRUE(o.id()->kept_alive.empty());
  EXPECT_EQ(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_cg_list.size(), 1u);
}

// Nesting inside the block that links to it is bounded; ordinary files are
// far below the bound.
TEST(ReaderDamage, DeepNestingFailsCleanlyAndShallowNestingOpens) {
  for (const auto& [depth, opens] : {std::pair{20, true}, {200, false}, {5000, false}}) {
    for (bool through_conversions : {false, true}) {
      readertest::OneGroup g;
      g.b.reserve(uint64_t{200} * static_cast<uint64_t>(depth));
      uint64_t inner = 0;
      for (int i = 0; i < depth; ++i) {
        inner = through_conversions
                    ? g.b.add_block("CC", {0, 0, 0, inner}, readertest::cc_fields(0, {}))
                    : g.b.add_block("CN", {0, inner, 0, 0, 0, 0, 0, 0}, readertest::cn_fields());
      }
      if (through_conversions) g.add_channel({0, 0, inner});
      if (!through_conversions) g.b.set_link(g.cg, 1, inner);
      EXPECT_EQ(readertest::opens(g.b.release()), opens) << depth << through_conversions;
    }
  }
}

TEST(ReaderDamage, TruncatedAndBitFlippedFilesNeverCrash) {
  SampleMap m;
  const std::vector<uint8_t> sample = readertest::sample_log(&m);
  readertest::QuietLog quiet;
  EXPECT_EQ(mdf_open(nullptr), nullptr);
  for (uint64_t n = 0; n <= sample.size(); ++n) {
    Opened o = readertest::open_bytes({sample.begin(), sample.begin() + static_cast<int64_t>(n)});
    // Records cut short still open: the data view reads what is there.
    ASSERT_EQ(o.file != nullptr, n >= m.dt + 24) << n;
    if (!o.file) continue;
    walk_tree(o.hd()->hd_dg_list);
    uint8_t buffer[64];
    ByteStream* view = data_block_stream(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_data.get());
    EXPECT_EQ(stream_read(view, buffer, sizeof buffer), static_cast<int64_t>(n - m.dt - 24));
  }
  uint64_t opened = 0;
  for (uint64_t bit = 0; bit < 8 * m.metadata_end; ++bit) {
    std::vector<uint8_t> bytes = sample;
    bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    Opened o = readertest::open_bytes(bytes);
    if (o.file) ++opened;
    if (o.file && o.hd()) walk_tree(o.hd()->hd_dg_list);
  }
  // Flips in reserved bytes and values are harmless; flips in ids are not.
  EXPECT_GT(opened, 0u);
  EXPECT_LT(opened, 8 * m.metadata_end);
  // A header block of another type opens, but reads as absent.
  mdfw::BlockBuilder b;
  b.write_id();
  b.add_text("not a header");
  Opened o = readertest::open_bytes(b.release());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(o.hd(), nullptr);
}

// Chains are read iteratively and checked for loops without quadratic work;
// blocks that each hold the next are freed in a loop, not by nested calls.
TEST(ReaderDamage, MillionBlockChainsOpenInOrderOrFailOnALoop) {
  constexpr uint64_t kFirst = 64 + 104, kSize = 64, kCount = 1'000'000;
  mdfw::BlockBuilder b;
  b.write_id();
  b.add_block("HD", {kFirst, 0, 0, 0, 0, 0}, readertest::hd_fields());
  std::vector<uint8_t>& image = b.bytes();
  image.resize(kFirst + kCount * kSize);
  for (uint64_t at = kFirst; at < image.size(); at += kSize) {
    std::memcpy(&image[at], "##DG", 4);
    mdfw::put_u64(image, at + 8, kSize);
    mdfw::put_u64(image, at + 16, 4);
    mdfw::put_u64(image, at + 24, at + kSize < image.size() ? at + kSize : 0);
  }
  {
    Opened o = readertest::open_bytes(image);
    ASSERT_NE(o.file, nullptr);
    const BlockList& list = o.hd()->hd_dg_list;
    ASSERT_EQ(list.size(), kCount);
    for (uint64_t i = 0; i < kCount; ++i) ASSERT_EQ(list[i]->offset, kFirst + i * kSize) << i;
  }
  mdfw::put_u64(image, image.size() - kSize + 24, kFirst + 17 * kSize);
  EXPECT_FALSE(readertest::opens(image));

  BlockRef head;
  for (int i = 0; i < 1'000'000; ++i) {
    BlockRef cc = BlockRef::adopt(kCcDescriptor.create());
    block_as<CcBlock>(cc)->cc_cc_inverse = std::move(head);
    head = std::move(cc);
  }
  head.reset();
}

}  // namespace
}  // namespace quarrow
