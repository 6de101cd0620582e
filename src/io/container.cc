#include "io/container.h"

#include <cstring>
#include <memory>
#include <new>

#include "io/crc32.h"
#include "io/decompress_stream.h"
#include "io/memory_stream.h"
#include "io/window_stream.h"
#include "log/log.h"

namespace quarrow {

namespace {

constexpr int64_t kCompressedPayloadOffset = 28;
constexpr int64_t kFooterSize = 4;

uint32_t decode_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool compressed_header_valid(const ContainerHeader& h) {
  return h.type == CONTAINER_COMPRESSED && h.version == 1 && h.flag <= 1 &&
         h.checksum_flag == h.flag;
}

uint8_t lowest_set_bit(uint32_t v) {
  if (v == 0) return 0;
  uint8_t i = 0;
  while (!(v & 1)) {
    v >>= 1;
    ++i;
  }
  return i;
}

// Runs the payload through the decoder into output. A read error of the
// decompressing stream fails too: without a footer nothing else would notice
// that the content was cut short. A few bytes of payload can stand for
// gigabytes of content, so the content is bounded.
bool copy_decoded(ByteStream* decoded, ByteStream* output, uint64_t max_content) {
  // Large pieces: the decoder's own bookkeeping is paid once per piece.
  // Into a container's content they are decoded in place.
  constexpr uint64_t kChunk = 256 * 1024;
  auto* container = dynamic_cast<ContainerStream*>(output);
  MemoryStream* content = container ? container->content() : nullptr;
  std::unique_ptr<uint8_t[]> buffer;
  if (!content) {
    buffer.reset(new (std::nothrow) uint8_t[kChunk]);
    if (!buffer) return false;
  }
  uint64_t total = 0;
  for (;;) {
    uint8_t* chunk = buffer.get();
    if (content) {
      uint64_t size = content->size();
      if (content->capacity() - size < kChunk &&
          !content->reserve(size + (size > kChunk ? size : kChunk))) {
        return false;
      }
      chunk = content->room(kChunk);
      if (!chunk) return false;
    }
    int64_t n = stream_read(decoded, chunk, kChunk);
    if (n == 0) return true;
    if (n < 0) return false;
    total += static_cast<uint64_t>(n);
    if (total > max_content) {
      QLOG(LOG_ERROR, "Decompressed content exceeds the limit of %llu bytes",
           static_cast<unsigned long long>(max_content));
      return false;
    }
    if (content) {
      content->wrote(static_cast<uint64_t>(n));
    } else if (stream_write(output, chunk, static_cast<uint64_t>(n)) != n) {
      return false;
    }
  }
}

// Decodes payload_end - 28 bytes (or to the end when payload_end <= 0) and
// yields the CRC register over the bytes the decoder consumed.
bool decode_payload(ByteStream* stream, int64_t payload_end, uint8_t window_sz2,
                    uint8_t lookahead_sz2, ByteStream* output, uint64_t max_content,
                    uint32_t* crc) {
  ByteStream* window = window_stream_create(stream, kCompressedPayloadOffset, payload_end);
  CrcStream* checked = crc_stream_create(window);
  DecompressStream* decoded = decompress_stream_create(checked, window_sz2, lookahead_sz2);
  bool ok = decoded && stream_seek(window, 0, STREAM_SEEK_SET) == 0 &&
            copy_decoded(decoded, output, max_content);
  if (checked) *crc = crc_stream_value(checked);
  stream_close(decoded);
  stream_close(checked);
  stream_close(window);
  return ok;
}

bool check_footer(ByteStream* stream, int64_t size, uint32_t crc) {
  uint32_t stored = 0;
  if (size < kCompressedPayloadOffset + kFooterSize ||
      stream_seek(stream, size - kFooterSize, STREAM_SEEK_SET) != size - kFooterSize ||
      !container_read_be32(stream, &stored)) {
    QLOG(LOG_ERROR, "Expected to read out CRC from footer, but found none");
    return false;
  }
  if (stored != crc) {
    QLOG(LOG_ERROR, "Could not validate checksum, expected %08X but found %08X", stored, crc);
    return false;
  }
  return true;
}

}  // namespace

bool container_read_exact(ByteStream* stream, void* buffer, uint64_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    int64_t n = stream_read(stream, p, count);
    if (n <= 0 || static_cast<uint64_t>(n) > count) return false;
    p += n;
    count -= static_cast<uint64_t>(n);
  }
  return true;
}

bool container_read_be32(ByteStream* stream, uint32_t* value) {
  uint8_t bytes[4];
  if (!container_read_exact(stream, bytes, sizeof(bytes))) return false;
  *value = decode_be32(bytes);
  return true;
}

bool container_read_header(ByteStream* stream, ContainerHeader* header) {
  if (!stream || !header) return false;
  uint8_t raw[CONTAINER_HEADER_SIZE];
  if (stream_seek(stream, 0, STREAM_SEEK_SET) != 0 ||
      !container_read_exact(stream, raw, sizeof(raw)) ||
      std::memcmp(raw, CONTAINER_MAGIC, sizeof(CONTAINER_MAGIC)) != 0)
    return false;
  std::memcpy(header->magic, raw, sizeof(header->magic));
  header->flag = raw[12];
  header->checksum_flag = raw[13];
  header->type = raw[14];
  header->version = raw[15];
  header->device_id = decode_be32(raw + 16);
  return true;
}

ContainerStream::~ContainerStream() {
  stream_close(content_);
}

int64_t ContainerStream::read(void* buffer, uint64_t count) {
  return stream_read(content_, buffer, count);
}

int64_t ContainerStream::write(const void* buffer, uint64_t count) {
  return stream_write(content_, buffer, count);
}

int64_t ContainerStream::tell() {
  return stream_tell(content_);
}

int64_t ContainerStream::seek(int64_t offset, int32_t origin) {
  return stream_seek(content_, offset, origin);
}

const void* ContainerStream::peek(uint64_t count) {
  return stream_peek(content_, count);
}

const unsigned char* ContainerStream::content(uint64_t* size) {
  return stream_content(content_, size);
}

unsigned char* ContainerStream::release_content(uint64_t* size, uint64_t* capacity) {
  return stream_release_content(content_, size, capacity);
}

int64_t ContainerStream::close() {
  int64_t result = stream_close(content_);
  content_ = nullptr;
  return result;
}

ContainerStream* container_stream_create(const ContainerHeader& header) {
  MemoryStream* content = memory_stream_create();
  if (!content) return nullptr;
  auto* container = new (std::nothrow) ContainerStream(header, content);
  if (!container) stream_close(content);
  return container;
}

bool compressed_container_decode(ByteStream* stream, const ContainerHeader& header,
                                 ByteStream* output, CompressionFields* fields,
                                 uint64_t max_content) {
  if (!stream || !output || !compressed_header_valid(header)) return false;
  CompressionFields read_fields;
  if (stream_seek(stream, CONTAINER_HEADER_SIZE, STREAM_SEEK_SET) !=
          static_cast<int64_t>(CONTAINER_HEADER_SIZE) ||
      !container_read_be32(stream, &read_fields.lookahead) ||
      !container_read_be32(stream, &read_fields.window_size))
    return false;
  if (fields) *fields = read_fields;
  uint8_t window_sz2 = lowest_set_bit(read_fields.window_size);
  auto lookahead_sz2 = static_cast<uint8_t>(read_fields.lookahead & 0xFF);
  if (!lzss_decoder_params_valid(window_sz2, lookahead_sz2)) return false;

  int64_t size = -1;
  int64_t payload_end = -1;
  if (header.checksum_flag) {
    size = stream_size(stream);
    if (size < 0) return false;
    payload_end = size - kFooterSize;
    // A file too short for a footer would have the parameter fields read as
    // one; check_footer reports it missing instead.
    if (payload_end < kCompressedPayloadOffset) return check_footer(stream, size, CRC32_INITIAL);
  }
  uint32_t crc = CRC32_INITIAL;
  if (!decode_payload(stream, payload_end, window_sz2, lookahead_sz2, output, max_content, &crc)) {
    return false;
  }
  return !header.checksum_flag || check_footer(stream, size, crc);
}

ContainerStream* compressed_container_open(ByteStream* stream, const ContainerHeader& header,
                                           uint64_t max_content) {
  if (!stream || !compressed_header_valid(header)) return nullptr;
  ContainerStream* container = container_stream_create(header);
  // Room for what bus logs usually unpack to, so that the content seldom
  // moves while it grows; only the part written is ever touched.
  int64_t packed = stream_size(stream);
  if (container && packed > 0) {
    uint64_t guess = 2 * static_cast<uint64_t>(packed);
    (void)container->content()->reserve(guess < max_content ? guess : max_content);
  }
  if (container && !compressed_container_decode(stream, header, container, &container->compression,
                                                max_content)) {
    stream_close(container);
    return nullptr;
  }
  return container;
}

}  // namespace quarrow
