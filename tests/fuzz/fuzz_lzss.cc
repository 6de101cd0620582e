// The LZSS decoder, stopped and resumed anywhere: four bytes pick its sizes and
// the chunking; with the mode byte's top bit the rest must round-trip instead.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "io/lzss_decoder.h"
#include "mdfwriter/container_writer.h"

using namespace quarrow;

// Aborts on any broken promise of the decoder's interface.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return -1;
  const uint8_t window_sz2 = static_cast<uint8_t>(4 + data[0] % 12);
  const uint8_t lookahead_sz2 = static_cast<uint8_t>(3 + data[1] % (window_sz2 - 3));
  const size_t sink_step = 1 + (data[2] & 0x3Fu) * 7u;
  const bool roundtrip = data[2] & 0x80;
  const std::vector<uint8_t> plain(data + 4, data + size);
  const std::vector<uint8_t> input =
      roundtrip ? mdfw::lzss_encode(plain, window_sz2, lookahead_sz2) : plain;
  std::vector<uint8_t> out, room(1 + data[3] / 64u * 255u);
  LzssDecoder* d = lzss_decoder_alloc(1 + data[3] % 64u * 16u, window_sz2, lookahead_sz2);
  if (!d) abort();
  // Every item costs at least 8 bits and yields at most 2^lookahead bytes.
  const size_t bound = (input.size() + 1) << lookahead_sz2;
  size_t total = 0;
  auto drain = [&] {
    for (LzssPollResult r = POLL_MORE; r != POLL_EMPTY;) {
      size_t produced = 0;
      r = lzss_decoder_poll(d, room.data(), room.size(), &produced);
      if (r < 0 || produced > room.size() || (total += produced) > bound) abort();
      if (roundtrip)
        out.insert(out.end(), room.begin(), room.begin() + static_cast<ptrdiff_t>(produced));
    }
  };
  for (size_t pos = 0; pos < input.size();) {
    const size_t offer = std::min(input.size() - pos, sink_step);
    size_t taken = 0;
    LzssSinkResult r = lzss_decoder_sink(d, input.data() + pos, offer, &taken);
    if (r < 0 || taken > offer) abort();
    pos += taken;
    drain();
    // After a drain the input buffer has room again, so a sink must take.
    if (taken == 0 && r != SINK_FULL) abort();
  }
  drain();
  if (lzss_decoder_finish(d) < 0 || (roundtrip && out != plain)) abort();
  lzss_decoder_free(d);
  return 0;
}
