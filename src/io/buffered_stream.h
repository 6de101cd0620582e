#pragma once

#include <cstdint>

#include "io/stream.h"

namespace quarrow {

// A read buffer in front of another stream. Seeks inside the buffered range
// only move the buffer position; anything else refills the buffer at the
// target. With a buffer as large as the inner stream, the whole input is read
// once and every later seek is served from memory.
//
// size is rounded up to a multiple of 8. When owns_inner is set, closing the
// buffered stream closes the inner one. Null when memory is short.
ByteStream* buffered_stream_create(ByteStream* inner, bool owns_inner, int64_t size);

}  // namespace quarrow
