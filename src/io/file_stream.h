#pragma once

#include "io/stream.h"

namespace quarrow {

enum FileMode : int32_t {
  FILE_MODE_READ = 0,
  FILE_MODE_WRITE = 1,   // creates or truncates
  FILE_MODE_UPDATE = 2,  // read and write an existing file
};

// Opens a file as a stream with 64-bit positions; null for a null path, an
// unknown mode or a failed open. The path must be zero-terminated.
ByteStream* file_stream_open(const char* path, int32_t mode);

}  // namespace quarrow
