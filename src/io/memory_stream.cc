#include "io/memory_stream.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/large_memory.h"

namespace quarrow {

MemoryStream* memory_stream_create() { return new (std::nothrow) MemoryStream(); }

MemoryStream::~MemoryStream() { std::free(data_); }

int64_t MemoryStream::read(void* buffer, uint64_t count) {
  if (position_ >= size_) return 0;
  uint64_t n = size_ - position_;
  if (count < n) n = count;
  std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return static_cast<int64_t>(n);
}

int64_t MemoryStream::write(const void* buffer, uint64_t count) {
  if (count > static_cast<uint64_t>(INT64_MAX) || position_ > UINT64_MAX - count) return -1;
  if (capacity_ < position_ || capacity_ - position_ < count) {
    uint64_t cap = capacity_;
    while (cap < position_ || cap - position_ < count) {
      if (cap > UINT64_MAX / 2) return -1;
      cap = cap == 0 ? 2 : cap * 2;
    }
    if (!reserve(cap)) return -1;
  }
  // A plain seek within the capacity may have left a gap behind the content;
  // it reads as zeros rather than as stale memory.
  if (position_ > size_) std::memset(data_ + size_, 0, position_ - size_);
  if (count) std::memcpy(data_ + position_, buffer, count);
  position_ += count;
  if (position_ > size_) size_ = position_;
  return static_cast<int64_t>(count);
}

bool MemoryStream::reserve(uint64_t n) {
  if (n <= capacity_) return true;
  auto* grown = static_cast<unsigned char*>(std::realloc(data_, n));
  if (!grown) return false;
  large_memory_advise(grown, n);
  data_ = grown;
  capacity_ = n;
  return true;
}

int64_t MemoryStream::seek(int64_t offset, int32_t origin) {
  uint64_t target;
  switch (origin) {
    case STREAM_SEEK_SET:
      target = static_cast<uint64_t>(offset);
      break;
    case STREAM_SEEK_CUR:
      target = position_ + static_cast<uint64_t>(offset);
      break;
    case STREAM_SEEK_END:
      target = size_ + static_cast<uint64_t>(offset);
      if (offset > 0) {
        static const unsigned char kZeros[512] = {};
        position_ = size_;
        while (size_ < target) {
          uint64_t piece = target - size_ < sizeof(kZeros) ? target - size_ : sizeof(kZeros);
          if (write(kZeros, piece) < 0) break;
        }
      }
      break;
    default:
      return -1;
  }
  if (target > capacity_ || target > static_cast<uint64_t>(INT64_MAX)) return -1;
  position_ = target;
  return static_cast<int64_t>(target);
}

const void* MemoryStream::peek(uint64_t count) {
  return position_ <= size_ && count <= size_ - position_ ? data_ + position_ : nullptr;
}

unsigned char* MemoryStream::room(uint64_t count) {
  return position_ <= size_ && count <= capacity_ - position_ ? data_ + position_ : nullptr;
}

void MemoryStream::wrote(uint64_t count) {
  position_ += count;
  if (position_ > size_) size_ = position_;
}

unsigned char* MemoryStream::release_content(uint64_t* size, uint64_t* capacity) {
  if (!data_) return nullptr;
  unsigned char* block = data_;
  *size = size_;
  *capacity = capacity_;
  data_ = nullptr;
  capacity_ = size_ = position_ = 0;
  return block;
}

void MemoryStream::adopt(unsigned char* block, uint64_t capacity) {
  std::free(data_);
  data_ = block;
  capacity_ = capacity;
  size_ = position_ = 0;
}

int64_t MemoryStream::close() {
  std::free(data_);
  data_ = nullptr;
  capacity_ = size_ = position_ = 0;
  return 0;
}

}  // namespace quarrow
