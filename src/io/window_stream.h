#pragma once

#include <cstdint>

#include "io/stream.h"

namespace quarrow {

// A view of the bytes from start to end of an inner stream (end <= 0: to the
// inner stream's end). Positions are relative to start. Closing the window
// leaves the inner stream open; it belongs to whoever made the window.
// Null for a null inner stream; otherwise the inner stream is sought to start.
ByteStream* window_stream_create(ByteStream* inner, int64_t start, int64_t end);

}  // namespace quarrow
