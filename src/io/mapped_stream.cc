#include "io/mapped_stream.h"

#include <cstring>
#include <new>

namespace quarrow {

namespace {

constexpr int kMappingSlots = 64;
MappingSlot g_mappings[kMappingSlots];

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

}  // namespace

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
  bool damaged = slot_->damaged.load(std::memory_order_acquire) != 0;
  bool released = unmap_(file_, data_, size_, damaged);
  mapping_slot_free(slot_);
  data_ = nullptr;
  return damaged || !released ? -1 : 0;
}

MappedStream* mapped_stream_create(const unsigned char* data, uint64_t size,
                                   MappedStream::Unmap unmap, void* file) {
  MappingSlot* slot = mapping_slot_claim(data, size);
  if (!slot) return nullptr;
  auto* stream = new (std::nothrow) MappedStream(data, size, unmap, file, slot);
  if (!stream) mapping_slot_free(slot);
  return stream;
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
