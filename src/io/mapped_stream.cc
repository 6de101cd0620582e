#include "io/mapped_stream.h"

#include <cstring>

namespace quarrow {

MappingSlot g_mappings[kMappingSlots];

int64_t MappedStream::read(void* buffer, uint64_t count) {
  uint64_t left = position_ < size_ ? size_ - position_ : 0;
  uint64_t n = count < left ? count : left;
  if (n) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return static_cast<int64_t>(n);
}

int64_t MappedStream::seek(int64_t offset, int32_t origin) {
  int64_t target = stream_seek_target(position_, size_, offset, origin);
  if (target < 0) return -1;
  position_ = static_cast<uint64_t>(target);
  return target;
}

const void* MappedStream::peek(uint64_t count) {
  return position_ <= size_ && count <= size_ - position_ ? data_ + position_ : nullptr;
}

int64_t MappedStream::release() {
  if (!data_) return 0;
  int result = unmap_(context_, data_, size_);
  data_ = nullptr;
  return result;
}

MappingSlot* mapping_slot_claim(const unsigned char* data, uint64_t size) {
  for (MappingSlot& slot : g_mappings) {
    int expected = 0;
    if (!slot.used.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    // The start last, so a handler never sees a start without its end.
    auto start = reinterpret_cast<uintptr_t>(data);
    slot.end.store(start + size, std::memory_order_release);
    slot.damaged.store(0, std::memory_order_release);
    slot.start.store(start, std::memory_order_release);
    return &slot;
  }
  return nullptr;
}

void mapping_slot_free(MappingSlot* slot) {
  slot->start.store(0, std::memory_order_release);
  slot->used.store(0, std::memory_order_release);
}

MappingSlot* mapping_slot_find(uintptr_t address) {
  for (MappingSlot& slot : g_mappings) {
    uintptr_t start = slot.start.load(std::memory_order_acquire);
    if (start != 0 && address >= start && address < slot.end.load(std::memory_order_acquire)) {
      return &slot;
    }
  }
  return nullptr;
}

}  // namespace quarrow
