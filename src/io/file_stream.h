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

// The whole of a file opened for reading, mapped into memory instead of read
// into fresh memory: reads, seeks, peek and content() work on the mapping.
// Takes over `file` on success. Null, with `file` untouched, where the file
// cannot be mapped (not a file stream, empty, or the system refuses); the
// caller then reads it.
//
// A file cut short by another program while it is mapped does not crash the
// reader: the pages beyond its new end read as zeros, and closing the
// stream reports the failure.
ByteStream* file_stream_map(ByteStream* file);

}  // namespace quarrow
