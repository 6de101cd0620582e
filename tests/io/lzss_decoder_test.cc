#include "io/lzss_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/container_test_support.h"
#include "io/decompress_stream.h"
#include "mdfwriter/container_writer.h"

namespace quarrow::test {
namespace {

struct DecoderDeleter {
  void operator()(LzssDecoder* d) const { lzss_decoder_free(d); }
};
using DecoderPtr = std::unique_ptr<LzssDecoder, DecoderDeleter>;

// Feeds all input at once and polls with the given output size until the
// decoder wants more input.
std::string decode(LzssDecoder* d, const std::vector<uint8_t>& input, size_t out_size = 64) {
  size_t taken = 0;
  EXPECT_EQ(lzss_decoder_sink(d, input.data(), input.size(), &taken), SINK_OK);
  EXPECT_EQ(taken, input.size());
  std::string out;
  std::vector<uint8_t> buffer(out_size);
  for (;;) {
    size_t produced = 0;
    LzssPollResult r = lzss_decoder_poll(d, buffer.data(), buffer.size(), &produced);
    out.append(buffer.begin(), buffer.begin() + static_cast<long>(produced));
    if (r != POLL_MORE) {
      EXPECT_EQ(r, POLL_EMPTY);
      return out;
    }
  }
}

TEST(LzssDecoderTest, LiteralThenOverlappingBackReference) {
  // W=8, L=4: 1 01000001 is "A"; 0 00000000 0011 copies 4 bytes from 1 back.
  // 1010000010000000000011 and two padding bits.
  DecoderPtr d(lzss_decoder_alloc(1024, 8, 4));
  ASSERT_TRUE(d);
  EXPECT_EQ(decode(d.get(), {0xA0, 0x80, 0x0C}), "AAAAA");
  EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_DONE);
}

TEST(LzssDecoderTest, LiteralAloneFinishesOnPaddingBits) {
  // 101000001 then seven zero bits, which look like the start of a
  // back-reference.
  DecoderPtr d(lzss_decoder_alloc(1024, 8, 4));
  ASSERT_TRUE(d);
  EXPECT_EQ(decode(d.get(), {0xA0, 0x80}), "A");
  EXPECT_EQ(d->state, DECODER_BACKREF_INDEX_LSB);
  EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_DONE);
}

TEST(LzssDecoderTest, BackReferenceBeforeAnyOutputReadsTheZeroedWindow) {
  // 0 00000011 0001: distance 4, length 2, into the initial zeros.
  DecoderPtr d(lzss_decoder_alloc(1024, 8, 4));
  ASSERT_TRUE(d);
  EXPECT_EQ(decode(d.get(), {0x01, 0x88}), std::string(2, '\0'));
}

struct Limits {
  size_t input_size;
  int window_sz2;
  int lookahead_sz2;
  bool valid;
};

TEST(LzssDecoderTest, AcceptsOnlyWindowAndLookaheadInRange) {
  const Limits cases[] = {{1024, 4, 3, true},   {1024, 15, 14, true}, {1024, 8, 4, true},
                          {1, 5, 4, true},      {65535, 15, 3, true}, {1024, 3, 2, false},
                          {1024, 16, 4, false}, {1024, 8, 8, false},  {1024, 8, 2, false},
                          {1024, 4, 4, false},  {1024, 0, 0, false},  {0, 8, 4, false},
                          {65536, 8, 4, false}, {1024, 15, 15, false}};
  for (const Limits& c : cases) {
    DecoderPtr d(lzss_decoder_alloc(c.input_size, static_cast<uint8_t>(c.window_sz2),
                                    static_cast<uint8_t>(c.lookahead_sz2)));
    EXPECT_EQ(d != nullptr, c.valid)
        << c.input_size << " " << c.window_sz2 << " " << c.lookahead_sz2;
    EXPECT_EQ(lzss_decoder_params_valid(static_cast<uint8_t>(c.window_sz2),
                                        static_cast<uint8_t>(c.lookahead_sz2)),
              c.valid || c.input_size == 0 || c.input_size > 65535);
  }
}

TEST(LzssDecoderTest, SinkTakesOnlyTheFreeRoom) {
  DecoderPtr d(lzss_decoder_alloc(4, 8, 4));
  ASSERT_TRUE(d);
  const uint8_t bytes[10] = {};
  size_t taken = 99;
  EXPECT_EQ(lzss_decoder_sink(d.get(), bytes, 3, &taken), SINK_OK);
  EXPECT_EQ(taken, 3u);
  EXPECT_EQ(lzss_decoder_sink(d.get(), bytes, 10, &taken), SINK_OK);
  EXPECT_EQ(taken, 1u);
  EXPECT_EQ(lzss_decoder_sink(d.get(), bytes, 10, &taken), SINK_FULL);
  EXPECT_EQ(taken, 0u);
  EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_MORE);
}

TEST(LzssDecoderTest, NullArgumentsAndBadStateAreReported) {
  size_t n = 0;
  uint8_t byte = 0;
  EXPECT_EQ(lzss_decoder_sink(nullptr, &byte, 1, &n), SINK_ERROR_NULL);
  EXPECT_EQ(lzss_decoder_poll(nullptr, &byte, 1, &n), POLL_ERROR_NULL);
  EXPECT_EQ(lzss_decoder_finish(nullptr), FINISH_ERROR_NULL);
  DecoderPtr d(lzss_decoder_alloc(16, 8, 4));
  ASSERT_TRUE(d);
  EXPECT_EQ(lzss_decoder_sink(d.get(), &byte, 1, nullptr), SINK_ERROR_NULL);
  EXPECT_EQ(lzss_decoder_poll(d.get(), &byte, 1, nullptr), POLL_ERROR_NULL);
  d->state = 7;
  EXPECT_EQ(lzss_decoder_poll(d.get(), &byte, 1, &n), POLL_ERROR_UNKNOWN);
}

TEST(LzssDecoderTest, OneByteOutputBufferResumesInsideABackReference) {
  DecoderPtr d(lzss_decoder_alloc(1024, 8, 4));
  ASSERT_TRUE(d);
  size_t taken = 0;
  const uint8_t input[] = {0xA0, 0x80, 0x0C};
  ASSERT_EQ(lzss_decoder_sink(d.get(), input, sizeof(input), &taken), SINK_OK);
  std::string out;
  uint8_t byte = 0;
  size_t produced = 0;
  // "A" then the four copies, one per poll; the copy is pending in between.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(lzss_decoder_poll(d.get(), &byte, 1, &produced), POLL_MORE) << i;
    ASSERT_EQ(produced, 1u);
    out.push_back(static_cast<char>(byte));
    if (i >= 1 && i < 4) {
      EXPECT_EQ(d->state, DECODER_YIELD_BACKREF);
      EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_MORE);
    }
  }
  EXPECT_EQ(lzss_decoder_poll(d.get(), &byte, 1, &produced), POLL_EMPTY);
  EXPECT_EQ(produced, 0u);
  EXPECT_EQ(out, "AAAAA");
  EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_DONE);
}

TEST(LzssDecoderTest, InputFedOneByteAtATimeDecodesTheSame) {
  std::vector<uint8_t> content = compressible_bytes(5000, 7);
  for (auto [w, l] : {std::pair{8, 4}, std::pair{12, 9}, std::pair{15, 14}, std::pair{4, 3}}) {
    std::vector<uint8_t> packed = mdfw::lzss_encode(content, w, l);
    DecoderPtr d(lzss_decoder_alloc(1, static_cast<uint8_t>(w), static_cast<uint8_t>(l)));
    ASSERT_TRUE(d);
    std::vector<uint8_t> out;
    uint8_t buffer[3];
    for (uint8_t b : packed) {
      size_t taken = 0;
      ASSERT_EQ(lzss_decoder_sink(d.get(), &b, 1, &taken), SINK_OK);
      ASSERT_EQ(taken, 1u);
      size_t produced = 0;
      LzssPollResult r;
      do {
        r = lzss_decoder_poll(d.get(), buffer, sizeof(buffer), &produced);
        out.insert(out.end(), buffer, buffer + produced);
      } while (r == POLL_MORE);
      ASSERT_EQ(r, POLL_EMPTY);
    }
    EXPECT_EQ(out, content) << w << "/" << l;
    EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_DONE);
  }
}

}  // namespace
}  // namespace quarrow::test
