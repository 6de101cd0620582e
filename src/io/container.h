#pragma once

#include <cstdint>

#include "io/memory_stream.h"
#include "io/stream.h"

namespace quarrow {

// Container types in the header's type byte.
inline constexpr uint8_t CONTAINER_COMPRESSED = 34;
inline constexpr uint8_t CONTAINER_ENCRYPTED = 17;

inline constexpr uint64_t CONTAINER_HEADER_SIZE = 20;
inline constexpr char CONTAINER_MAGIC[12] = {'G', 'e', 'n', 'e', 'r', 'i',
                                             'c', ' ', 'F', 'i', 'l', 'e'};

// The 20-byte header that starts every container: the magic, then flag,
// checksum_flag, type and version bytes, then the big-endian device id.
struct ContainerHeader {
  char magic[12] = {};
  uint32_t device_id = 0;  // host order
  uint8_t flag = 0;
  uint8_t checksum_flag = 0;
  uint8_t version = 0;
  uint8_t type = 0;
};

// Reads the header at offset 0. True when all 20 bytes were read and the
// magic matches; type and version are not checked. False for anything else,
// a null stream included, without a message.
bool container_read_header(ByteStream* stream, ContainerHeader* header);

// Reads exactly count bytes, repeating short reads; false when the stream
// ends or fails first.
bool container_read_exact(ByteStream* stream, void* buffer, uint64_t count);

// Reads a big-endian 32-bit number.
bool container_read_be32(ByteStream* stream, uint32_t* value);

// The lookahead and window-size fields of a compressed container.
struct CompressionFields {
  uint32_t lookahead = 0;
  uint32_t window_size = 0;
};

// The unwrapped content of a container, held in memory. Reads, writes,
// tells and seeks go to the content; closing releases it.
class ContainerStream : public ByteStream {
 public:
  ContainerStream(const ContainerHeader& header, MemoryStream* content)
      : header_(header), content_(content) {}
  ~ContainerStream() override;

  int64_t read(void* buffer, uint64_t count) override;
  int64_t write(const void* buffer, uint64_t count) override;
  int64_t tell() override;
  int64_t seek(int64_t offset, int32_t origin) override;
  // Closes the content and returns its result.
  int64_t close() override;
  const void* peek(uint64_t count) override;
  unsigned char* release_content(uint64_t* size, uint64_t* capacity) override;
  const unsigned char* content(uint64_t* size) override;

  const ContainerHeader& header() const { return header_; }
  const MemoryStream* content() const { return content_; }
  MemoryStream* content() { return content_; }

  // Zero unless the container was compressed.
  CompressionFields compression;

 private:
  ContainerHeader header_;
  MemoryStream* content_;
};

// A container stream around an empty memory stream, or null when memory is
// short.
ContainerStream* container_stream_create(const ContainerHeader& header);

// Decompresses the payload of a compressed container (type 34, version 1,
// flag equal to checksum_flag, 0 or 1) into output and, with a checksum
// footer, checks it. False, without a message, for other headers, window or
// lookahead fields the decoder refuses, a short read of those fields, a
// failed read of the payload or a failed write to output; a missing footer, a
// checksum mismatch and content beyond max_content bytes are logged. fields
// receives the two parameter fields when it is given. The stream stays open.
bool compressed_container_decode(ByteStream* stream, const ContainerHeader& header,
                                 ByteStream* output, CompressionFields* fields = nullptr,
                                 uint64_t max_content = UINT64_MAX);

// The decompressed content of a compressed container, or null (see
// compressed_container_decode). The stream stays open; the caller closes it.
ContainerStream* compressed_container_open(ByteStream* stream, const ContainerHeader& header,
                                           uint64_t max_content = UINT64_MAX);

}  // namespace quarrow
