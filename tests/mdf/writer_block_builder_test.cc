#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mdfwriter/block_builder.h"

namespace quarrow::mdfw {
namespace {

std::string text_at(const std::vector<uint8_t>& bytes, uint64_t offset, size_t n) {
  return std::string(bytes.begin() + offset, bytes.begin() + offset + n);
}

TEST(WriterBlockBuilder, IdBlockHoldsItsFieldsAtTheirOffsets) {
  BlockBuilder b;
  IdFields id;
  id.file_id = "UnFinMF ";
  id.version = "4.20";
  id.program = "tester";
  id.version_number = 420;
  id.unfin_flags = 0x0005;
  id.custom_unfin_flags = 0x0102;
  b.write_id(id);
  const std::vector<uint8_t>& bytes = b.bytes();
  ASSERT_EQ(bytes.size(), 64u);
  EXPECT_EQ(text_at(bytes, 0, 8), "UnFinMF ");
  EXPECT_EQ(text_at(bytes, 8, 8), std::string("4.20\0\0\0\0", 8));
  EXPECT_EQ(text_at(bytes, 16, 8), std::string("tester\0\0", 8));
  EXPECT_EQ(get_u16(bytes, 28), 420);
  EXPECT_EQ(get_u16(bytes, 60), 0x0005);
  EXPECT_EQ(bytes[62], 0x02);
  EXPECT_EQ(bytes[63], 0x01);
}

TEST(WriterBlockBuilder, BlockHeaderStatesLengthAndLinkCount) {
  BlockBuilder b;
  b.write_id();
  Fields data;
  data.u8(7).u32(0x11223344);
  const uint64_t at = b.add_block("DG", {0x40, 0x1234}, data);
  EXPECT_EQ(at, 64u);
  const std::vector<uint8_t>& bytes = b.bytes();
  EXPECT_EQ(text_at(bytes, at, 4), "##DG");
  EXPECT_EQ(get_u32(bytes, at + 4), 0u);
  EXPECT_EQ(get_u64(bytes, at + 8), 24u + 16u + 5u);
  EXPECT_EQ(get_u64(bytes, at + 16), 2u);
  EXPECT_EQ(get_u64(bytes, at + 24), 0x40u);
  EXPECT_EQ(get_u64(bytes, at + 32), 0x1234u);
  EXPECT_EQ(bytes[at + 40], 7);
  EXPECT_EQ(get_u32(bytes, at + 41), 0x11223344u);
}

TEST(WriterBlockBuilder, BlocksStartAtMultiplesOfEight) {
  BlockBuilder b;
  b.write_id();
  std::vector<uint64_t> offsets;
  for (int n = 0; n < 10; ++n) {
    std::vector<uint8_t> data(static_cast<size_t>(n), 0xAA);
    offsets.push_back(b.add_block("##SD", {}, data));
  }
  for (size_t i = 0; i < offsets.size(); ++i) {
    EXPECT_EQ(offsets[i] % 8, 0u) << i;
    EXPECT_EQ(b.length(offsets[i]), 24u + i) << i;
    if (i > 0) {
      // The padding between blocks is zero and not part of the length.
      for (uint64_t p = offsets[i - 1] + b.length(offsets[i - 1]); p < offsets[i]; ++p) {
        EXPECT_EQ(b.bytes()[p], 0) << p;
      }
    }
  }
}

TEST(WriterBlockBuilder, HeaderOverrideChangesOnlyTheStatedFields) {
  BlockBuilder b;
  b.write_id();
  HeaderOverride header;
  header.length = 4096;
  header.link_count = 9;
  const uint64_t at = b.add_block("CC", {1, 2, 3, 4}, Fields().u8(1), header);
  EXPECT_EQ(b.length(at), 4096u);
  EXPECT_EQ(b.link_count(at), 9u);
  EXPECT_EQ(b.link(at, 3), 4u);
  // The block really occupies what was written, not what it states.
  EXPECT_EQ(b.size(), at + 24 + 32 + 1);
}

TEST(WriterBlockBuilder, PatchedLinksAndLengthsLandInTheHeader) {
  BlockBuilder b;
  b.write_id();
  const uint64_t hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, Fields().zeros(32));
  const uint64_t tx = b.add_text("comment");
  b.set_link(hd, 5, tx);
  b.set_length(tx, 24);
  b.set_link_count(tx, 3);
  EXPECT_EQ(b.link(hd, 5), tx);
  EXPECT_EQ(get_u64(b.bytes(), hd + 24 + 40), tx);
  EXPECT_EQ(b.length(tx), 24u);
  EXPECT_EQ(b.link_count(tx), 3u);
  EXPECT_EQ(b.data_offset(tx), tx + 24 + 24);
}

TEST(WriterBlockBuilder, TextBlocksAreZeroTerminatedAndPaddedToEightBytes) {
  struct Case {
    std::string text;
    uint64_t data_size;
  };
  const Case cases[] = {{"", 8}, {"Timestamp", 16}, {"1234567", 8}, {"12345678", 16}};
  for (const Case& c : cases) {
    BlockBuilder b;
    b.write_id();
    const uint64_t tx = b.add_text(c.text);
    const uint64_t md = b.add_metadata(c.text);
    EXPECT_EQ(text_at(b.bytes(), tx, 4), "##TX");
    EXPECT_EQ(text_at(b.bytes(), md, 4), "##MD");
    for (uint64_t at : {tx, md}) {
      EXPECT_EQ(b.length(at), 24 + c.data_size) << c.text;
      EXPECT_EQ(b.link_count(at), 0u);
      EXPECT_EQ(text_at(b.bytes(), at + 24, c.text.size()), c.text);
      for (uint64_t p = at + 24 + c.text.size(); p < at + 24 + c.data_size; ++p) {
        EXPECT_EQ(b.bytes()[p], 0) << c.text;
      }
    }
  }
}

TEST(WriterBlockBuilder, ShortIdsGetTheHashPrefix) {
  BlockBuilder b;
  b.write_id();
  EXPECT_EQ(read_block(b.bytes(), b.add_block("DT", {})).id, "##DT");
  EXPECT_EQ(read_block(b.bytes(), b.add_block("##DL", {5})).id, "##DL");
}

TEST(WriterBlockBuilder, ReadBlockReturnsWhatWasWritten) {
  BlockBuilder b;
  b.write_id();
  const uint64_t at = b.add_block("CN", {8, 16, 24}, Fields().u64(99));
  const BlockInfo info = read_block(b.bytes(), at);
  EXPECT_EQ(info.id, "##CN");
  EXPECT_EQ(info.length, 24u + 24u + 8u);
  EXPECT_EQ(info.link_count, 3u);
  EXPECT_EQ(info.links, (std::vector<uint64_t>{8, 16, 24}));
  EXPECT_EQ(info.data, at + 48);
  EXPECT_EQ(get_u64(b.bytes(), info.data), 99u);
}

TEST(WriterBlockBuilder, FieldsAreLittleEndian) {
  Fields f;
  f.u16(0x0102).u32(0x03040506).u64(0x0708090A0B0C0D0E).i16(-2).f64(1.0).text("ab", 3);
  const std::vector<uint8_t> expected = {0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0E, 0x0D, 0x0C,
                                         0x0B, 0x0A, 0x09, 0x08, 0x07, 0xFE, 0xFF, 0,    0,
                                         0,    0,    0,    0,    0xF0, 0x3F, 'a',  'b',  0};
  EXPECT_EQ(f.bytes(), expected);
  EXPECT_EQ(get_f64(f.bytes(), 16), 1.0);
}

TEST(WriterBlockBuilder, RawBytesStartAligned) {
  BlockBuilder b;
  b.write_id();
  b.add_block("TX", {}, Fields().u8(1));
  const std::vector<uint8_t> junk = {'#', '#', 'X', 'Y'};
  const uint64_t at = b.add_raw(junk);
  EXPECT_EQ(at % 8, 0u);
  EXPECT_EQ(text_at(b.bytes(), at, 4), "##XY");
}

TEST(WriterBlockBuilder, WriteFileStoresTheImage) {
  BlockBuilder b;
  b.write_id();
  b.add_text("hello");
  const std::string path = testing::TempDir() + "writer_block_builder.mf4";
  ASSERT_TRUE(write_file(path, b.bytes()));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> back(b.size() + 1);
  EXPECT_EQ(std::fread(back.data(), 1, back.size(), f), b.size());
  std::fclose(f);
  back.resize(b.size());
  EXPECT_EQ(back, b.bytes());
  std::remove(path.c_str());
  EXPECT_FALSE(write_file("/nonexistent-dir/x.mf4", b.bytes()));
}

TEST(WriterBlockBuilder, ReleaseLeavesTheBuilderEmpty) {
  BlockBuilder b;
  b.write_id();
  const std::vector<uint8_t> image = b.release();
  EXPECT_EQ(image.size(), 64u);
  EXPECT_EQ(b.size(), 0u);
}

}  // namespace
}  // namespace quarrow::mdfw
