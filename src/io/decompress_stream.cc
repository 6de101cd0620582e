#include "io/decompress_stream.h"

#include <new>

namespace quarrow {

namespace {

// Compressed bytes handed to the decoder at a time; it decodes whole items
// only while the input surely holds the longest one, so larger pieces leave
// fewer bytes to the bitwise path at their ends.
constexpr size_t kInputChunk = 16 * 1024;

}  // namespace

DecompressStream::~DecompressStream() {
  lzss_decoder_free(decoder_);
}

int64_t DecompressStream::read(void* buffer, uint64_t count) {
  if (count == 0) return 0;
  if (count > static_cast<uint64_t>(INT64_MAX)) count = static_cast<uint64_t>(INT64_MAX);
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t delivered = 0;
  for (;;) {
    size_t produced = 0;
    LzssPollResult poll = lzss_decoder_poll(decoder_, out + delivered,
                                            static_cast<size_t>(count - delivered), &produced);
    delivered += produced;
    if (poll == POLL_EMPTY) {
      uint8_t input[kInputChunk] = {};
      int64_t n = stream_read(inner_, input, sizeof(input));
      if (n < 0) return -1;
      // The end of the input ends the output, also when the decoder still
      // waits for bits: those can only be the padding of the last byte.
      // Sinking nothing would poll the same state again forever.
      if (n == 0) return static_cast<int64_t>(delivered);
      size_t taken = 0;
      if (lzss_decoder_sink(decoder_, input, static_cast<size_t>(n), &taken) == SINK_ERROR_NULL)
        return -1;
      if (taken < static_cast<size_t>(n)) {
        // Bytes the decoder could not take go back to the inner stream; one
        // that cannot seek would lose them, so that is a failure.
        int64_t back = n - static_cast<int64_t>(taken);
        if (stream_seek(inner_, -back, STREAM_SEEK_CUR) < 0) return -1;
      }
    } else if (poll != POLL_MORE) {
      return -1;
    }
    if (delivered == count) return static_cast<int64_t>(count);
  }
}

int64_t DecompressStream::close() {
  lzss_decoder_free(decoder_);
  decoder_ = nullptr;
  return 0;
}

DecompressStream* decompress_stream_create(ByteStream* inner, uint8_t window_sz2,
                                           uint8_t lookahead_sz2) {
  if (!inner) return nullptr;
  LzssDecoder* decoder = lzss_decoder_alloc(kInputChunk, window_sz2, lookahead_sz2);
  if (!decoder) return nullptr;
  auto* stream = new (std::nothrow) DecompressStream(inner, decoder);
  if (!stream) lzss_decoder_free(decoder);
  return stream;
}

}  // namespace quarrow
