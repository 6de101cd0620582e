#pragma once

#include <cstdint>

#include "io/lzss_decoder.h"
#include "io/stream.h"

namespace quarrow {

// Reads the decompressed form of an inner stream of LZSS bits. Input is
// taken in 1024-byte reads; output goes straight into the caller's buffer.
// Reading only: write, tell and seek fail with -1. Closing it leaves the
// inner stream open.
class DecompressStream : public ByteStream {
 public:
  DecompressStream(ByteStream* inner, LzssDecoder* decoder) : inner_(inner), decoder_(decoder) {}
  ~DecompressStream() override;

  // Fills buffer until it is full or the input ends; -1 when the inner
  // stream fails or the decoder reports an error.
  int64_t read(void* buffer, uint64_t count) override;
  int64_t write(const void*, uint64_t) override { return -1; }
  int64_t tell() override { return -1; }
  int64_t seek(int64_t, int32_t) override { return -1; }
  int64_t close() override;

 private:
  ByteStream* inner_;
  LzssDecoder* decoder_;
};

// Null for a null inner stream, parameters the decoder refuses, or when
// memory is short.
DecompressStream* decompress_stream_create(ByteStream* inner, uint8_t window_sz2,
                                           uint8_t lookahead_sz2);

}  // namespace quarrow
