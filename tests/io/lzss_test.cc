#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/container_test_support.h"
#include "io/lzss_decoder.h"

namespace quarrow::test {
namespace {

struct DecoderDeleter {
  void operator()(LzssDecoder* d) const { lzss_decoder_free(d); }
};
using DecoderPtr = std::unique_ptr<LzssDecoder, DecoderDeleter>;

// Sinks the input and polls out_size bytes at a time until more input is wanted.
std::string decode(LzssDecoder* d, const std::vector<uint8_t>& input, size_t out_size) {
  size_t taken = 0, produced = 0;
  EXPECT_EQ(lzss_decoder_sink(d, input.data(), input.size(), &taken), SINK_OK);
  std::string out;
  std::vector<uint8_t> buffer(out_size);
  for (LzssPollResult r = POLL_MORE; r == POLL_MORE;
       out.append(buffer.begin(), buffer.begin() + produced)) {
    r = lzss_decoder_poll(d, buffer.data(), buffer.size(), &produced);
    EXPECT_TRUE(r == POLL_MORE || r == POLL_EMPTY) << r;
  }
  return out;
}

// W=8, L=4: a set bit and 8 bits are a literal; a clear bit, 8 bits of
// distance - 1 and 4 of length - 1 are a back-reference.
TEST(LzssDecoderTest, DecodesTheBitFormatAndFinishesOnPaddingBits) {
  const struct {
    std::vector<uint8_t> input;
    std::string output;
  } cases[] = {
      {{0xA0, 0x80, 0x0C}, "AAAAA"},         // "A", then 4 bytes from 1 back, overlapping
      {{0xA0, 0x80}, "A"},                   // seven zero bits look like a back-reference
      {{0x01, 0x88}, std::string(2, '\0')},  // reads the zeroed window before any output
  };
  for (const auto& c : cases) {
    for (size_t out_size : {1, 64}) {
      DecoderPtr d(lzss_decoder_alloc(1024, 8, 4));
      EXPECT_EQ(decode(d.get(), c.input, out_size), c.output);
      EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_DONE);
    }
  }
  // Stopped inside a back-reference, the decoder is not finished.
  DecoderPtr d(lzss_decoder_alloc(1024, 8, 4));
  size_t taken = 0, produced = 0;
  uint8_t out[2];
  ASSERT_EQ(lzss_decoder_sink(d.get(), std::vector<uint8_t>{0xA0, 0x80, 0x0C}.data(), 3, &taken),
            SINK_OK);
  EXPECT_EQ(lzss_decoder_poll(d.get(), out, 2, &produced), POLL_MORE);
  EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_MORE);
}

TEST(LzssDecoderTest, AcceptsOnlyWindowAndLookaheadInRange) {
  const std::tuple<size_t, uint8_t, uint8_t, bool> cases[] = {
      {1024, 4, 3, true},  {1024, 15, 14, true}, {1, 5, 4, true},      {65535, 15, 3, true},
      {1024, 3, 2, false}, {1024, 16, 4, false}, {1024, 8, 8, false},  {1024, 8, 2, false},
      {1024, 4, 4, false}, {0, 8, 4, false},     {65536, 8, 4, false}, {1024, 15, 15, false}};
  for (const auto& [input_size, w, l, valid] : cases) {
    EXPECT_EQ(DecoderPtr(lzss_decoder_alloc(input_size, w, l)) != nullptr, valid)
        << input_size << " " << +w << "/" << +l;
    EXPECT_EQ(lzss_decoder_params_valid(w, l), valid || input_size == 0 || input_size > 65535);
  }
}

TEST(LzssDecoderTest, SinkTakesOnlyTheFreeRoom) {
  DecoderPtr d(lzss_decoder_alloc(4, 8, 4));
  const uint8_t bytes[10] = {};
  size_t taken = 99;
  for (auto [offered, result, took] :
       {std::tuple{3, SINK_OK, 3}, {10, SINK_OK, 1}, {10, SINK_FULL, 0}}) {
    EXPECT_EQ(lzss_decoder_sink(d.get(), bytes, offered, &taken), result);
    EXPECT_EQ(taken, static_cast<size_t>(took));
  }
}

}  // namespace
}  // namespace quarrow::test
