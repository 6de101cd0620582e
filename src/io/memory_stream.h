#pragma once

#include <cstdint>

#include "io/stream.h"

namespace quarrow {

// A growable in-memory stream. Capacity doubles (from 2) as writes need it;
// a failed growth fails only that write (-1) and keeps the content.
class MemoryStream : public ByteStream {
 public:
  MemoryStream() = default;
  ~MemoryStream() override;

  int64_t read(void* buffer, uint64_t count) override;
  int64_t write(const void* buffer, uint64_t count) override;
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t seek(int64_t offset, int32_t origin) override;
  int64_t close() override;
  const void* peek(uint64_t count) override;
  // Reading and seeking never move the block (only writes grow it).
  const unsigned char* content(uint64_t* size) override {
    *size = size_;
    return data_;
  }

  // Room for count bytes at the position for a writer that fills them in
  // place, without the copy of write(); null unless the capacity already
  // holds them and the position is inside the content. wrote() then makes
  // them part of the content.
  unsigned char* room(uint64_t count);
  void wrote(uint64_t count);

  unsigned char* release_content(uint64_t* size, uint64_t* capacity) override;
  // Releases the content and takes block (from malloc, of capacity bytes)
  // as the room for new content, which starts empty.
  void adopt(unsigned char* block, uint64_t capacity);

  // Makes room for n bytes in one block without changing the content, so
  // that writes up to n bytes never move it. False when memory is short.
  bool reserve(uint64_t n);

  // Direct access to the content, for readers that parse it in place.
  const unsigned char* data() const { return data_; }
  uint64_t size() const { return size_; }
  uint64_t capacity() const { return capacity_; }

 private:
  uint64_t capacity_ = 0;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  unsigned char* data_ = nullptr;
};

// An empty memory stream, or null when memory is short.
MemoryStream* memory_stream_create();

}  // namespace quarrow
