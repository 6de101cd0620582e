// Damaged, hostile and unsupported files: each must fail cleanly (null from
// mdf_open, the documented message where there is one) without crashing,
// leaking or reading outside a buffer.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mdf/block_loader.h"
#include "mdfwriter/bus_log_writer.h"
#include "reader_test_util.h"

namespace quarrow {
namespace {

using readertest::Opened;
using readertest::SampleMap;

// Opens the image with the log captured; returns whether it opened.
bool opens_logging(const std::vector<uint8_t>& bytes, std::string* log) {
  readertest::StderrCapture capture;
  bool opened = readertest::opens(bytes);
  *log = capture.text();
  return opened;
}

bool mentions_failure(const std::string& log) {
  return log.find("Unable to load") != std::string::npos ||
         log.find("Unsupported parameter") != std::string::npos ||
         log.find("Could not") != std::string::npos;
}

// Touches every block reachable from the tree, so that the sanitizer sees a
// stale or half-built block.
void walk_tree(const BlockList& list, uint64_t* count) {
  for (const BlockRef& ref : list) {
    ++*count;
    if (DgBlock* dg = block_as<DgBlock>(ref)) {
      walk_tree(dg->dg_cg_list, count);
      if (ByteStream* view = data_block_stream(dg->dg_data.get())) stream_size(view);
    } else if (CgBlock* cg = block_as<CgBlock>(ref)) {
      walk_tree(cg->cg_cn_list, count);
      *count += text_block_text(cg->cg_tx_acq_name).size;
    } else if (CnBlock* cn = block_as<CnBlock>(ref)) {
      walk_tree(cn->cn_member_list, count);
      *count += text_block_text(cn->cn_tx_name).size;
      double v;
      if (cc_block_value(block_as<CcBlock>(cn->cn_cc_conversion), 0, &v)) ++*count;
    }
  }
}

TEST(ReaderDamage, ForeignFileIdentifierIsNamedInTheLog) {
  std::vector<uint8_t> bytes = readertest::sample_log();
  std::memcpy(bytes.data(), "NOTMDF\0\0", 8);
  std::string log;
  EXPECT_FALSE(opens_logging(bytes, &log));
  EXPECT_NE(log.find("Unable to load block header for type NOTMDF\n"), std::string::npos) << log;
}

TEST(ReaderDamage, UnprintableIdBytesAreMaskedInTheLog) {
  std::vector<uint8_t> bytes = readertest::sample_log();
  std::memcpy(bytes.data(), "\x1b[2J##", 6);
  std::string log;
  EXPECT_FALSE(opens_logging(bytes, &log));
  EXPECT_NE(log.find("Unable to load block header for type ?[2J##"), std::string::npos) << log;
}

TEST(ReaderDamage, UnsupportedBlocksAreRejectedWithTheirMessage) {
  struct Case {
    const char* name;
    void (*set)(mdfw::Unsupported*);
    const char* message;  // null: rejected without a message
  } cases[] = {
      {"data list", [](mdfw::Unsupported* u) { u->data_list = true; },
       "Unable to load block header for type ##DL"},
      {"attachment", [](mdfw::Unsupported* u) { u->attachment = true; },
       "Unsupported parameter present in file"},
      {"event", [](mdfw::Unsupported* u) { u->event = true; },
       "Unsupported parameter present in file"},
      {"hierarchy", [](mdfw::Unsupported* u) { u->channel_hierarchy = true; },
       "Unsupported parameter present in file"},
      {"sample reduction", [](mdfw::Unsupported* u) { u->sample_reduction = true; },
       "Unsupported parameter present in file"},
      {"conversion with references", [](mdfw::Unsupported* u) { u->conversion_with_refs = true; },
       nullptr},
  };
  std::vector<mdfw::BusFrame> frames = {mdfw::can_data(0.5, 0x100, {1, 2})};
  for (const Case& c : cases) {
    mdfw::BusLogOptions options;
    c.set(&options.unsupported);
    std::string log;
    EXPECT_FALSE(opens_logging(mdfw::write_bus_log(frames, options), &log)) << c.name;
    if (c.message) {
      EXPECT_NE(log.find(c.message), std::string::npos) << c.name << ": " << log;
    } else {
      EXPECT_FALSE(mentions_failure(log)) << c.name << ": " << log;
    }
  }
  std::string log;
  EXPECT_TRUE(opens_logging(mdfw::write_bus_log(frames), &log));
}

TEST(ReaderDamage, WrongLinkCountFailsSilently) {
  SampleMap m;
  std::vector<uint8_t> sample = readertest::sample_log(&m);
  struct Case {
    uint64_t block;
    uint64_t link_count;
  } cases[] = {{m.hd, 5},    {m.hd, 7}, {m.dg, 3}, {m.cg, 7},    {m.cn_time, 7},
               {m.cn_id, 9}, {m.cc, 6}, {m.si, 2}, {m.tx_id, 1}, {m.tx_time, 2}};
  for (const Case& c : cases) {
    mdfw::BlockBuilder b;
    b.bytes() = sample;
    b.set_link_count(c.block, c.link_count);
    std::string log;
    EXPECT_FALSE(opens_logging(b.release(), &log)) << c.block << " " << c.link_count;
    EXPECT_FALSE(mentions_failure(log)) << log;
  }
}

// Lengths and counts larger than the file, or too small for the header and
// links, fail before anything is allocated from them.
TEST(ReaderDamage, ImpossibleLengthsAndCountsFail) {
  SampleMap m;
  std::vector<uint8_t> sample = readertest::sample_log(&m);
  struct Case {
    const char* name;
    uint64_t at;  // absolute position of a u64 or u16 field
    uint64_t value;
    bool wide;
  } cases[] = {
      {"text longer than the file", m.tx_id + 8, uint64_t{1} << 40, true},
      {"text of length 2^64-1", m.tx_id + 8, UINT64_MAX, true},
      {"channel shorter than header and links", m.cn_id + 8, 24 + 8 * 8 - 1, true},
      {"channel of length 0", m.cn_id + 8, 0, true},
      {"data block shorter than its header", m.dt + 8, 23, true},
      {"link count that overflows", m.dt + 16, UINT64_MAX / 4, true},
      {"huge link count on a text", m.tx_id + 16, UINT64_MAX, true},
      {"conversion values beyond the file", m.cc + 24 + 32 + 6, 65535, false},
      {"link beyond the end", m.cn_id + 24 + 16, 1u << 30, true},
      {"link beyond any position", m.cn_id + 24 + 16, uint64_t{1} << 63, true},
      {"link to the last byte", m.cn_id + 24 + 16, 0, true},
  };
  cases[std::size(cases) - 1].value = sample.size() - 1;
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = sample;
    if (c.wide)
      mdfw::put_u64(bytes, c.at, c.value);
    else
      mdfw::put_u16(bytes, c.at, static_cast<uint16_t>(c.value));
    readertest::QuietLog quiet;
    EXPECT_FALSE(readertest::opens(bytes)) << c.name;
  }
}

TEST(ReaderDamage, LinksIntoBlocksOntoThemselvesAndInCyclesFail) {
  SampleMap m;
  std::vector<uint8_t> sample = readertest::sample_log(&m);
  using Edit = void (*)(mdfw::BlockBuilder&, const SampleMap&);
  struct Case {
    const char* name;
    Edit edit;
  } cases[] = {
      {"middle of a block",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.cg, 1, m.cn_time + 8); }},
      {"middle of the header block",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.dg, 3, m.hd + 16); }},
      {"next channel is itself",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.cn_bytes, 0, m.cn_bytes); }},
      {"member is its parent",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.cn_frame, 1, m.cn_frame); }},
      {"member's member is the parent",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.cn_id, 1, m.cn_frame); }},
      {"data group's data is itself",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.dg, 2, m.dg); }},
      {"header comment is the header",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.hd, 5, m.hd); }},
      {"conversion's inverse is itself",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.cc, 3, m.cc); }},
      {"next data group is itself",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.dg, 0, m.dg); }},
      {"two channels next to each other",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.cn_bytes, 0, m.cn_id); }},
      {"two data groups next to each other",
       [](mdfw::BlockBuilder& b, const SampleMap& m) {
         uint64_t dg2 = b.add_block("DG", {m.dg, 0, 0, 0}, readertest::dg_fields());
         b.set_link(m.dg, 0, dg2);
       }},
      {"two conversions inverse to each other",
       [](mdfw::BlockBuilder& b, const SampleMap& m) {
         uint64_t cc2 = b.add_block("CC", {0, 0, 0, m.cc}, readertest::cc_fields(0, {}));
         b.set_link(m.cc, 3, cc2);
       }},
      {"two channel groups next to each other",
       [](mdfw::BlockBuilder& b, const SampleMap& m) {
         uint64_t cg2 = b.add_block("CG", {m.cg, 0, 0, 0, 0, 0}, readertest::cg_fields());
         b.set_link(m.cg, 0, cg2);
       }},
      {"signal data is the own channel group",
       [](mdfw::BlockBuilder& b, const SampleMap& m) { b.set_link(m.cn_bytes, 5, m.cg); }},
  };
  for (const Case& c : cases) {
    mdfw::BlockBuilder b;
    b.bytes() = sample;
    c.edit(b, m);
    readertest::QuietLog quiet;
    EXPECT_FALSE(readertest::opens(b.release())) << c.name;
  }
}

// A chain that runs into a block already in another list, or into a block
// already loaded, ends there: the lists share that block, nothing is loaded
// twice and nothing holds itself.
TEST(ReaderDamage, ChainsRunningIntoLoadedBlocksEndThere) {
  SampleMap m;
  std::vector<uint8_t> sample = readertest::sample_log(&m);
  {
    mdfw::BlockBuilder b;
    b.bytes() = sample;
    b.set_link(m.cn_bytes, 0, m.cn_time);  // the member chain joins the group's channels
    Opened o = readertest::open_bytes(b.release());
    ASSERT_NE(o.file, nullptr);
    CgBlock* cg = block_as<CgBlock>(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_cg_list[0]);
    ASSERT_EQ(cg->cg_cn_list.size(), 2u);
    const BlockList& members = block_as<CnBlock>(cg->cg_cn_list[1])->cn_member_list;
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[2].get(), cg->cg_cn_list[0].get());
  }
  {
    mdfw::BlockBuilder b;
    b.bytes() = sample;
    // Signal data in a group whose chain leads back to the channel's own group.
    uint64_t cg2 = b.add_block("CG", {m.cg, 0, 0, 0, 0, 0}, readertest::cg_fields(0, 0, 1));
    b.set_link(m.cn_bytes, 5, cg2);
    Opened o = readertest::open_bytes(b.release());
    ASSERT_NE(o.file, nullptr);
    EXPECT_TRUE(o.id()->kept_alive.empty());
    EXPECT_EQ(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_cg_list.size(), 1u);
  }
}

// Nesting inside the block that links to it is bounded; ordinary files are
// far below the bound.
TEST(ReaderDamage, DeepNestingFailsCleanlyAndShallowNestingOpens) {
  struct Case {
    int depth;
    bool opens;
  } cases[] = {{20, true}, {200, false}, {5000, false}};
  for (const Case& c : cases) {
    for (bool through_conversions : {false, true}) {
      readertest::OneGroup g;
      g.b.reserve(uint64_t{200} * static_cast<uint64_t>(c.depth));
      uint64_t inner = 0;
      for (int i = 0; i < c.depth; ++i) {
        if (through_conversions) {
          inner = g.b.add_block("CC", {0, 0, 0, inner}, readertest::cc_fields(0, {}));
        } else {
          inner = g.b.add_block("CN", {0, inner, 0, 0, 0, 0, 0, 0}, readertest::cn_fields());
        }
      }
      if (through_conversions) {
        g.add_channel({0, 0, inner});
      } else {
        g.b.set_link(g.cg, 1, inner);
      }
      EXPECT_EQ(readertest::opens(g.b.release()), c.opens) << c.depth << through_conversions;
    }
  }
}

TEST(ReaderDamage, TruncationAtEveryOffsetFailsUntilTheMetadataIsWhole) {
  SampleMap m;
  std::vector<uint8_t> sample = readertest::sample_log(&m);
  readertest::QuietLog quiet;
  for (uint64_t n = 0; n <= sample.size(); ++n) {
    std::vector<uint8_t> cut(sample.begin(), sample.begin() + static_cast<int64_t>(n));
    Opened o = readertest::open_bytes(cut);
    // Records cut short still open: the data view reads what is there.
    ASSERT_EQ(o.file != nullptr, n >= m.dt + 24) << n;
    if (o.file) {
      uint64_t count = 0;
      walk_tree(o.hd()->hd_dg_list, &count);
      ByteStream* view = data_block_stream(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_data.get());
      uint8_t buffer[64];
      EXPECT_EQ(stream_read(view, buffer, sizeof buffer), static_cast<int64_t>(n - m.dt - 24));
    }
  }
}

TEST(ReaderDamage, SingleBitFlipsInTheMetadataNeverCrash) {
  SampleMap m;
  std::vector<uint8_t> sample = readertest::sample_log(&m);
  readertest::QuietLog quiet;
  uint64_t opened = 0;
  for (uint64_t bit = 0; bit < 8 * m.metadata_end; ++bit) {
    std::vector<uint8_t> bytes = sample;
    bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    Opened o = readertest::open_bytes(bytes);
    if (!o.file) continue;
    ++opened;
    uint64_t count = 0;
    if (o.hd()) walk_tree(o.hd()->hd_dg_list, &count);
  }
  // Flips in reserved bytes and values are harmless; flips in ids are not.
  EXPECT_GT(opened, 0u);
  EXPECT_LT(opened, 8 * m.metadata_end);
}

TEST(ReaderDamage, NullAndTinyStreamsDoNotOpen) {
  EXPECT_EQ(mdf_open(nullptr), nullptr);
  mdf_close(nullptr);
  readertest::QuietLog quiet;
  std::vector<uint8_t> sample = readertest::sample_log();
  EXPECT_FALSE(readertest::opens({}));
  EXPECT_FALSE(readertest::opens(std::vector<uint8_t>(sample.begin(), sample.begin() + 64)));
  // A header block of another type at offset 64 opens, but reads as absent.
  mdfw::BlockBuilder b;
  b.write_id();
  b.add_text("not a header");
  Opened o = readertest::open_bytes(b.release());
  ASSERT_NE(o.file, nullptr);
  EXPECT_NE(o.id(), nullptr);
  EXPECT_EQ(o.hd(), nullptr);
}

// A stream that makes up a header block followed by `count` data groups, each
// linked to the next, without holding them in memory.
class ChainStream : public ByteStream {
 public:
  static constexpr uint64_t kFirst = 64 + 104;
  static constexpr uint64_t kSize = 64;

  ChainStream(uint64_t count, uint64_t last_next) : count_(count), last_next_(last_next) {
    mdfw::BlockBuilder b;
    b.write_id();
    b.add_block("HD", {kFirst, 0, 0, 0, 0, 0}, readertest::hd_fields());
    prefix_ = b.release();
  }
  int64_t read(void* buffer, uint64_t n) override {
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < n && position_ < size()) {
      uint8_t block[kSize];
      const uint8_t* src;
      uint64_t start;
      if (position_ < kFirst) {
        src = prefix_.data();
        start = 0;
      } else {
        uint64_t i = (position_ - kFirst) / kSize;
        start = kFirst + i * kSize;
        std::memset(block, 0, sizeof block);
        std::memcpy(block, "##DG", 4);
        mdfw::put_u64(block, 8, kSize);
        mdfw::put_u64(block, 16, 4);
        mdfw::put_u64(block, 24, i + 1 < count_ ? start + kSize : last_next_);
        src = block;
      }
      uint64_t end = position_ < kFirst ? kFirst : start + kSize;
      uint64_t piece = std::min(n - done, end - position_);
      std::memcpy(out + done, src + (position_ - start), piece);
      done += piece;
      position_ += piece;
    }
    return static_cast<int64_t>(done);
  }
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t seek(int64_t offset, int32_t origin) override {
    int64_t base = origin == STREAM_SEEK_SET   ? 0
                   : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(position_)
                                               : static_cast<int64_t>(size());
    if (base + offset < 0) return -1;
    position_ = static_cast<uint64_t>(base + offset);
    return static_cast<int64_t>(position_);
  }
  uint64_t size() const { return kFirst + count_ * kSize; }

 private:
  std::vector<uint8_t> prefix_;
  uint64_t count_;
  uint64_t last_next_;
  uint64_t position_ = 0;
};

TEST(ReaderDamage, MillionBlockChainOpensInChainOrder) {
  constexpr uint64_t kCount = 1'000'000;
  ChainStream stream(kCount, 0);
  MdfFile* file = mdf_open(&stream);
  ASSERT_NE(file, nullptr);
  const BlockList& list = mdf_hd_block(file)->hd_dg_list;
  ASSERT_EQ(list.size(), kCount);
  for (uint64_t i = 0; i < kCount; ++i)
    ASSERT_EQ(list[i]->offset, ChainStream::kFirst + i * ChainStream::kSize) << i;
  mdf_close(file);
}

TEST(ReaderDamage, MillionBlockChainThatLoopsBackFails) {
  constexpr uint64_t kCount = 1'000'000;
  ChainStream stream(kCount, ChainStream::kFirst + 17 * ChainStream::kSize);
  EXPECT_EQ(mdf_open(&stream), nullptr);
}

// Blocks that each hold the next are freed in a loop, not by nested calls.
TEST(ReaderDamage, ReleasingAMillionLinkedBlocksDoesNotNest) {
  BlockRef head;
  for (int i = 0; i < 1'000'000; ++i) {
    BlockRef cc = BlockRef::adopt(kCcDescriptor.create());
    ASSERT_TRUE(cc);
    block_as<CcBlock>(cc)->cc_cc_inverse = std::move(head);
    head = std::move(cc);
  }
  EXPECT_EQ(head.use_count(), 1u);
  head.reset();
  EXPECT_FALSE(head);
}

}  // namespace
}  // namespace quarrow
