// The LZSS decoder alone. The first bytes pick the window and lookahead
// sizes, the input buffer size and how input and output are chunked, so the
// decoder is stopped and resumed at every point of its state machine.
// With the top bit of the mode byte set, the rest of the input is instead
// compressed with the project's encoder and must decode to itself.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/lzss_decoder.h"
#include "mdfwriter/container_writer.h"

namespace {

using namespace quarrow;

constexpr size_t kParamBytes = 4;

struct Chunking {
  size_t input_buffer;  // the decoder's input buffer size
  size_t sink_step;     // bytes offered per sink call
  size_t output_step;   // room offered per poll call
};

// Decodes input in the given pieces into out (when given); aborts on any
// broken promise of the decoder's interface.
void decode(const uint8_t* input, size_t size, uint8_t window_sz2, uint8_t lookahead_sz2,
            const Chunking& c, std::vector<uint8_t>* out) {
  LzssDecoder* d = lzss_decoder_alloc(c.input_buffer, window_sz2, lookahead_sz2);
  if (!d) abort();
  // Every item costs at least 8 bits (a back-reference with the smallest
  // window and lookahead) and yields at most 2^lookahead bytes.
  const size_t bound = (size + 1) << lookahead_sz2;
  size_t total = 0;
  std::vector<uint8_t> room(c.output_step);
  auto drain = [&] {
    for (;;) {
      size_t produced = 0;
      LzssPollResult r = lzss_decoder_poll(d, room.data(), room.size(), &produced);
      if (r < 0 || produced > room.size()) abort();
      if (out)
        out->insert(out->end(), room.begin(), room.begin() + static_cast<ptrdiff_t>(produced));
      total += produced;
      if (total > bound) abort();
      if (r == POLL_EMPTY) return;
    }
  };
  size_t pos = 0;
  while (pos < size) {
    size_t offer = size - pos < c.sink_step ? size - pos : c.sink_step;
    size_t taken = 0;
    LzssSinkResult r = lzss_decoder_sink(d, input + pos, offer, &taken);
    if (r < 0 || taken > offer) abort();
    pos += taken;
    drain();
    // After a drain the input buffer has room again, so a sink must take.
    if (taken == 0 && r != SINK_FULL) abort();
  }
  drain();
  if (lzss_decoder_finish(d) < 0) abort();
  lzss_decoder_free(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kParamBytes) return -1;
  const uint8_t window_sz2 = static_cast<uint8_t>(4 + data[0] % 12);
  const uint8_t lookahead_sz2 = static_cast<uint8_t>(3 + data[1] % (window_sz2 - 3));
  const bool roundtrip = (data[2] & 0x80) != 0;
  Chunking c{1 + data[3] % 64u * 16u, 1 + (data[2] & 0x3Fu) * 7u, 1 + data[3] / 64u * 255u};
  data += kParamBytes;
  size -= kParamBytes;

  if (!roundtrip) {
    decode(data, size, window_sz2, lookahead_sz2, c, nullptr);
    return 0;
  }
  std::vector<uint8_t> plain(data, data + size);
  std::vector<uint8_t> packed = mdfw::lzss_encode(plain, window_sz2, lookahead_sz2);
  std::vector<uint8_t> back;
  decode(packed.data(), packed.size(), window_sz2, lookahead_sz2, c, &back);
  if (back != plain) abort();
  return 0;
}
