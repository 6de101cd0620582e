#include <gtest/gtest.h>

#include <vector>

#include "io/container_test_support.h"
#include "io/crc32.h"
#include "io/decompress_stream.h"
#include "mdfwriter/container_writer.h"
#include "mdfwriter/lzss_encoder.h"

namespace quarrow::test {
namespace {

// Reads the whole decompressed stream with reads of read_size bytes.
std::vector<uint8_t> inflate(const std::vector<uint8_t>& packed, int w, int l, size_t read_size) {
  StreamPtr source = memory_with(packed);
  StreamPtr stream(
      decompress_stream_create(source.get(), static_cast<uint8_t>(w), static_cast<uint8_t>(l)));
  EXPECT_TRUE(stream);
  if (!stream) return {};
  std::vector<uint8_t> out;
  std::vector<uint8_t> buffer(read_size);
  int64_t n;
  while ((n = stream_read(stream.get(), buffer.data(), buffer.size())) > 0)
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
  EXPECT_EQ(n, 0);
  return out;
}

TEST(LzssRoundTripTest, EveryWindowAndLookaheadPair) {
  std::vector<uint8_t> text = compressible_bytes(3000, 1);
  std::vector<uint8_t> noise = random_bytes(700, 2);
  for (int w = 4; w <= 15; ++w) {
    for (int l = 3; l < w; ++l) {
      EXPECT_EQ(inflate(mdfw::lzss_encode(text, w, l), w, l, 4096), text) << w << "/" << l;
      EXPECT_EQ(inflate(mdfw::lzss_encode(noise, w, l), w, l, 4096), noise) << w << "/" << l;
    }
  }
}

TEST(LzssRoundTripTest, DataShapesAcrossInputChunksAndSmallReads) {
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
  };
  std::vector<uint8_t> runs;
  for (int i = 0; i < 40; ++i)
    runs.insert(runs.end(), static_cast<size_t>(i * 97 % 5000), static_cast<uint8_t>(i));
  const Case cases[] = {
      {"empty", {}},
      {"one byte", {0x42}},
      {"zeros", std::vector<uint8_t>(70000, 0)},
      {"runs", runs},
      {"text", compressible_bytes(200000, 3)},
      {"noise", random_bytes(50000, 4)},
  };
  for (const Case& c : cases) {
    for (auto [w, l] : {std::pair{8, 4}, std::pair{11, 6}, std::pair{15, 14}, std::pair{9, 8}}) {
      std::vector<uint8_t> packed = mdfw::lzss_encode(c.data, w, l);
      for (size_t read_size : {size_t{1}, size_t{7}, size_t{4096}, size_t{100000}}) {
        if (read_size == 1 && c.data.size() > 70000) continue;
        EXPECT_EQ(inflate(packed, w, l, read_size), c.data)
            << c.name << " " << w << "/" << l << " reads of " << read_size;
      }
    }
  }
}

TEST(LzssRoundTripTest, CompressibleInputShrinks) {
  std::vector<uint8_t> text = compressible_bytes(100000, 5);
  EXPECT_LT(mdfw::lzss_encode(text, 11, 4).size(), text.size() / 2);
  // Runs of one byte cost 13 bits per 16 bytes with W=8, L=4.
  EXPECT_LT(mdfw::lzss_encode(std::vector<uint8_t>(100000, 7), 8, 4).size(), 10200u);
}

TEST(LzssRoundTripTest, ThousandfoldExpansionDecodes) {
  std::vector<uint8_t> zeros(8 << 20, 0);
  std::vector<uint8_t> packed = mdfw::lzss_encode(zeros, 15, 14);
  ASSERT_LT(packed.size() * 1000, zeros.size());
  EXPECT_EQ(inflate(packed, 15, 14, 4096), zeros);
}

TEST(LzssRoundTripTest, ReadErrorOfTheInputFailsTheRead) {
  std::vector<uint8_t> packed = mdfw::lzss_encode(compressible_bytes(20000, 6), 8, 4);
  FaultyReadStream source(packed, 1500, -1);
  StreamPtr stream(decompress_stream_create(&source, 8, 4));
  ASSERT_TRUE(stream);
  std::vector<uint8_t> buffer(1 << 20);
  EXPECT_EQ(stream_read(stream.get(), buffer.data(), buffer.size()), -1);
}

TEST(LzssRoundTripTest, DecompressStreamRefusesWritesTellAndSeek) {
  StreamPtr source = memory_with({});
  EXPECT_EQ(decompress_stream_create(nullptr, 8, 4), nullptr);
  EXPECT_EQ(decompress_stream_create(source.get(), 8, 8), nullptr);
  StreamPtr stream(decompress_stream_create(source.get(), 8, 4));
  ASSERT_TRUE(stream);
  uint8_t b = 0;
  EXPECT_EQ(stream_write(stream.get(), &b, 1), -1);
  EXPECT_EQ(stream_tell(stream.get()), -1);
  EXPECT_EQ(stream_seek(stream.get(), 0, STREAM_SEEK_SET), -1);
  EXPECT_EQ(stream_read(stream.get(), &b, 0), 0);
  EXPECT_EQ(stream_read(stream.get(), &b, 1), 0);
}

TEST(BitWriterTest, PacksMostSignificantFirstAndPadsWithZeros) {
  mdfw::BitWriter bits;
  bits.put(1, 1);
  bits.put('A', 8);
  bits.put(0, 1);
  bits.put(0, 8);
  bits.put(3, 4);
  EXPECT_EQ(bits.finish(), (std::vector<uint8_t>{0xA0, 0x80, 0x0C}));
}

TEST(Crc32Test, CheckValueWithoutFinalInversion) {
  const char digits[] = "123456789";
  EXPECT_EQ(crc32_update(CRC32_INITIAL, digits, 9), 0x340BC6D9u);
  EXPECT_EQ(~crc32_update(CRC32_INITIAL, digits, 9), 0xCBF43926u);
  EXPECT_EQ(crc32_update(CRC32_INITIAL, digits, 0), CRC32_INITIAL);
}

TEST(Crc32Test, StreamCountsOnlyTheBytesMoved) {
  StreamPtr inner = memory_with(bytes_of("123456789"));
  StreamPtr crc(crc_stream_create(inner.get()));
  ASSERT_TRUE(crc);
  auto* c = static_cast<CrcStream*>(crc.get());
  uint8_t buffer[64];
  EXPECT_EQ(stream_read(crc.get(), buffer, 4), 4);
  EXPECT_EQ(stream_read(crc.get(), buffer, 64), 5);
  EXPECT_EQ(stream_read(crc.get(), buffer, 64), 0);
  EXPECT_EQ(crc_stream_value(c), 0x340BC6D9u);
  EXPECT_EQ(stream_tell(crc.get()), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_seek(crc.get(), 0, STREAM_SEEK_SET), STREAM_UNSUPPORTED);
  EXPECT_EQ(crc_stream_create(nullptr), nullptr);

  StreamPtr target = memory_with({});
  StreamPtr writer(crc_stream_create(target.get()));
  EXPECT_EQ(stream_write(writer.get(), "123456789", 9), 9);
  EXPECT_EQ(crc_stream_value(static_cast<CrcStream*>(writer.get())), 0x340BC6D9u);
  writer.reset();
  // Closing the CRC stream leaves the inner one usable.
  EXPECT_EQ(read_all(target.get()), bytes_of("123456789"));
}

}  // namespace
}  // namespace quarrow::test
