#include "io/stream.h"

namespace quarrow {

int64_t ByteStream::read(void*, uint64_t) { return STREAM_UNSUPPORTED; }
int64_t ByteStream::write(const void*, uint64_t) { return STREAM_UNSUPPORTED; }
int64_t ByteStream::tell() { return STREAM_UNSUPPORTED; }
int64_t ByteStream::seek(int64_t, int32_t) { return STREAM_UNSUPPORTED; }
int64_t ByteStream::close() { return STREAM_UNSUPPORTED; }
const void* ByteStream::peek(uint64_t) { return nullptr; }
const unsigned char* ByteStream::content(uint64_t*) { return nullptr; }
unsigned char* ByteStream::release_content(uint64_t*, uint64_t*) { return nullptr; }

int64_t stream_read(ByteStream* s, void* buffer, uint64_t count) {
  return s ? s->read(buffer, count) : STREAM_UNSUPPORTED;
}

int64_t stream_write(ByteStream* s, const void* buffer, uint64_t count) {
  return s ? s->write(buffer, count) : STREAM_UNSUPPORTED;
}

int64_t stream_tell(ByteStream* s) { return s ? s->tell() : STREAM_UNSUPPORTED; }

int64_t stream_seek(ByteStream* s, int64_t offset, int32_t origin) {
  return s ? s->seek(offset, origin) : STREAM_UNSUPPORTED;
}

const void* stream_peek(ByteStream* s, uint64_t count) { return s ? s->peek(count) : nullptr; }
const unsigned char* stream_content(ByteStream* s, uint64_t* size) {
  return s ? s->content(size) : nullptr;
}

unsigned char* stream_release_content(ByteStream* s, uint64_t* size, uint64_t* capacity) {
  return s ? s->release_content(size, capacity) : nullptr;
}

int64_t stream_close(ByteStream* s) {
  if (!s) return 0;
  int64_t r = s->close();
  if (r == STREAM_UNSUPPORTED) return 0;
  delete s;
  return r;
}

int64_t stream_size(ByteStream* s) {
  if (!s) return -1;
  int64_t position = s->tell();
  int64_t sought = s->seek(0, STREAM_SEEK_END);
  int64_t size = s->tell();
  if (sought != STREAM_UNSUPPORTED) s->seek(position, STREAM_SEEK_SET);
  return size;
}

bool stream_copy(ByteStream* source, ByteStream* target) {
  if (!source || !target) return true;
  unsigned char chunk[4096];
  for (;;) {
    int64_t n = source->read(chunk, sizeof(chunk));
    if (n <= 0) return n == 0;
    int64_t w = target->write(chunk, static_cast<uint64_t>(n));
    if (w == STREAM_UNSUPPORTED) continue;
    if (w != n) return false;
  }
}

}  // namespace quarrow
