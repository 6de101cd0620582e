#include "app/whole_file.h"

#include "io/stream.h"
#include "log/log.h"

namespace quarrow {

namespace {

// Reads size bytes into text; true only when all of them arrived.
bool read_bytes(ByteStream* stream, int64_t size, const char* what, const SsoString& path,
                SsoString* text) {
  if (size < 0) return false;
  constexpr uint64_t kPiece = 1 << 20;
  const auto want = static_cast<uint64_t>(size);
  uint64_t got = 0;
  while (got < want) {
    uint64_t piece = want - got < kPiece ? want - got : kPiece;
    if (text->capacity() < got + piece) {
      uint64_t grown = text->capacity() * 2;
      if (grown < got + piece) grown = got + piece;
      if (grown > want) grown = want;
      if (!text->reserve(grown)) {
        QLOG(LOG_ERROR, "Could not allocate %lld bytes for %s %s", static_cast<long long>(size),
             what, path.c_str());
        return false;
      }
    }
    int64_t n = stream_read(stream, text->data() + got, piece);
    if (n <= 0) return false;
    got += static_cast<uint64_t>(n);
    text->set_size(got);
  }
  return true;
}

}  // namespace

WholeFile read_whole_file(ByteStream* stream, uint64_t limit, const char* what,
                          const SsoString& path, SsoString* text) {
  int64_t size = stream_size(stream);
  const bool too_large = size > 0 && static_cast<uint64_t>(size) > limit;
  if (!read_bytes(stream, too_large ? static_cast<int64_t>(limit) + 1 : size, what, path, text)) {
    return WHOLE_FILE_FAILED;
  }
  return too_large ? WHOLE_FILE_TOO_LARGE : WHOLE_FILE_READ;
}

}  // namespace quarrow
