#pragma once

#include <atomic>
#include <cstdint>

#include "io/stream.h"

namespace quarrow {

struct MappingSlot;

// A file's bytes mapped into memory, read as a stream. Reads copy from the
// mapping, peek and content() hand it out; nothing is ever written.
//
// The mapping may go bad under the reader: a file cut short by another
// program, or a card pulled or a share lost while it is read. Each
// platform's handler then puts zero pages where the data was and marks the
// mapping's slot, so the reader ends with an error rather than a crash.
class MappedStream : public ByteStream {
 public:
  // Releases the mapping (zero pages, when damaged) and closes the file it
  // came from; false when either fails.
  using Unmap = bool (*)(void* file, const unsigned char* data, uint64_t size, bool damaged);

  MappedStream(const unsigned char* data, uint64_t size, Unmap unmap, void* file,
               MappingSlot* slot)
      : data_(data), size_(size), unmap_(unmap), file_(file), slot_(slot) {}
  ~MappedStream() override { release(); }

  int64_t read(void* buffer, uint64_t count) override;
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t seek(int64_t offset, int32_t origin) override;
  const void* peek(uint64_t count) override;
  const unsigned char* content(uint64_t* size) override {
    *size = size_;
    return data_;
  }
  // -1 when the mapping went bad while it was read, or could not be
  // released.
  int64_t close() override { return release(); }

 private:
  int64_t release();

  const unsigned char* data_;
  uint64_t size_;
  uint64_t position_ = 0;
  Unmap unmap_;
  void* file_;
  MappingSlot* slot_;
};

// A stream over the size bytes mapped at data, which takes over the mapping
// and file (handed to unmap when it closes). Null when every slot a fault
// handler watches is taken or memory is short: the caller then still owns
// both, and reads the file instead.
MappedStream* mapped_stream_create(const unsigned char* data, uint64_t size,
                                   MappedStream::Unmap unmap, void* file);

// The mappings a fault handler may meet: one slot per open mapping.
struct MappingSlot {
  std::atomic<int> used{0};
  std::atomic<uintptr_t> start{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<int> damaged{0};
};

// The slot whose mapping holds address, or null.
MappingSlot* mapping_slot_find(uintptr_t address);

}  // namespace quarrow
