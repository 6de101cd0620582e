#pragma once

#include <cstdint>

namespace quarrow {

enum SeekOrigin : int32_t {
  STREAM_SEEK_SET = 0,
  STREAM_SEEK_CUR = 1,
  STREAM_SEEK_END = 2,
};

// Result of an operation that a stream kind does not offer.
inline constexpr int64_t STREAM_UNSUPPORTED = -2;

// base + offset, held at the int64 limits instead of overflowing: seek
// offsets come from files and may be anything.
inline int64_t stream_offset_add(int64_t base, int64_t offset) {
  int64_t sum;
  if (!__builtin_add_overflow(base, offset, &sum)) return sum;
  return offset > 0 ? INT64_MAX : INT64_MIN;
}

// The absolute position a seek from position in a stream of size bytes
// asks for, or -1 for a negative target or an unknown origin.
inline int64_t stream_seek_target(uint64_t position, uint64_t size, int64_t offset,
                                  int32_t origin) {
  int64_t base = origin == STREAM_SEEK_SET   ? 0
                 : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(position)
                 : origin == STREAM_SEEK_END ? static_cast<int64_t>(size)
                                             : -1;
  if (base < 0) return -1;
  int64_t target = stream_offset_add(base, offset);
  return target < 0 ? -1 : target;
}

// The one byte-stream interface for files and memory. Each operation a kind
// does not override reports STREAM_UNSUPPORTED. Streams stack: a buffered
// stream over a file, a window over a container, and so on.
//
// Owned streams are created by a kind's factory and destroyed only through
// stream_close(): close() releases what the stream holds and returns 0 or an
// error, and the object is deleted either way (a failed close cannot be
// retried, the handle is gone). Streams embedded in another object (the data
// views of MDF blocks) keep the default close(), which stream_close() treats
// as "nothing to close".
class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Bytes read (0 at end of data), negative on failure.
  virtual int64_t read(void* buffer, uint64_t count);
  // Bytes written, negative on failure.
  virtual int64_t write(const void* buffer, uint64_t count);
  // Current absolute position, negative on failure.
  virtual int64_t tell();
  // New absolute position, -1 on failure.
  virtual int64_t seek(int64_t offset, int32_t origin);
  virtual int64_t close();
  // The next count bytes from the position, where the stream already holds
  // them all in its own memory; null otherwise (the caller reads them
  // instead). The position does not move, and the bytes stay valid until the
  // next operation on the stream.
  virtual const void* peek(uint64_t count);
  // Hands the block that holds the stream's whole content to a reader that
  // transforms it in place: *size receives the content's size and *capacity
  // the block's; the caller frees it with std::free. The stream is left
  // empty. Null, with the stream unchanged, where it does not hold all of its
  // content in one block of its own (the caller then reads it).
  virtual unsigned char* release_content(uint64_t* size, uint64_t* capacity);
  // The stream's whole content where it holds all of it in one block of its
  // own that stays in place, unchanged, for as long as the stream is only
  // read and sought: readers may then keep pointers into it (from several
  // threads). Null otherwise. *size receives the content's size.
  virtual const unsigned char* content(uint64_t* size);
};

// Wrappers used everywhere instead of the virtual calls; a null stream
// reports STREAM_UNSUPPORTED.
int64_t stream_read(ByteStream* s, void* buffer, uint64_t count);
int64_t stream_write(ByteStream* s, const void* buffer, uint64_t count);
int64_t stream_tell(ByteStream* s);
int64_t stream_seek(ByteStream* s, int64_t offset, int32_t origin);
// Null for a null stream.
const void* stream_peek(ByteStream* s, uint64_t count);
unsigned char* stream_release_content(ByteStream* s, uint64_t* size, uint64_t* capacity);
// Null for a null stream.
const unsigned char* stream_content(ByteStream* s, uint64_t* size);
// 0 for a null stream or one without close; else close()'s result. The
// object is deleted in both cases.
int64_t stream_close(ByteStream* s);
// Size in bytes; the position is restored. -1 for a null stream.
int64_t stream_size(ByteStream* s);
// Copies source to target in 4096-byte chunks until a read returns 0 or
// less. Returns false when a read failed, or a write to the target failed or
// came up short (the copy then stops), so that content is never silently cut.
bool stream_copy(ByteStream* source, ByteStream* target);

}  // namespace quarrow
