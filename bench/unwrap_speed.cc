// Times the converter's own unwrapping of a container file, layer after
// layer, with the file already in memory. Prints "unwrapped_bytes seconds".
// Separates the cost of decompression and decryption from the rest of a
// conversion.
#include <time.h>

#include <cstdio>
#include <cstring>

#include "io/buffered_stream.h"
#include "io/container.h"
#include "io/encrypted_container.h"
#include "io/file_stream.h"

using namespace quarrow;

namespace {

double now() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: unwrap_speed FILE [PASSWORD]\n");
    return 2;
  }
  const char* password = argc > 2 ? argv[2] : "";
  // Held the way the converter holds it: a whole-file buffer over the file,
  // filled before the clock starts.
  ByteStream* file = file_stream_open(argv[1], FILE_MODE_READ);
  int64_t size = stream_size(file);
  ByteStream* stream = size >= 0 ? buffered_stream_create(file, true, size) : nullptr;
  uint8_t first = 0;
  if (!stream || stream_read(stream, &first, 1) != (size > 0 ? 1 : 0) ||
      stream_seek(stream, 0, STREAM_SEEK_SET) != 0)
    return 1;

  double t0 = now();
  ContainerHeader header;
  while (container_read_header(stream, &header)) {
    ByteStream* inner = nullptr;
    if (header.type == CONTAINER_COMPRESSED) {
      inner = compressed_container_open(stream, header);
    } else if (header.type == CONTAINER_ENCRYPTED) {
      inner = encrypted_container_open(stream, header, StringView(password));
    }
    stream_close(stream);
    if (!inner) return 1;
    stream = inner;
  }
  double seconds = now() - t0;
  std::printf("%lld %.4f\n", static_cast<long long>(stream_size(stream)), seconds);
  stream_close(stream);
  return 0;
}
