#include "io/buffered_stream.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/large_memory.h"

namespace quarrow {

namespace {

class BufferedStream : public ByteStream {
 public:
  BufferedStream(ByteStream* inner, bool owns_inner, unsigned char* buffer, uint64_t capacity)
      : capacity_(capacity), buffer_(buffer), inner_(inner), owns_inner_(owns_inner) {}
  ~BufferedStream() override { std::free(buffer_); }

  int64_t read(void* out, uint64_t count) override {
    auto* dest = static_cast<unsigned char*>(out);
    uint64_t delivered = 0;
    while (delivered < count) {
      if (position_ >= filled_) {
        int refilled = refill(offset_ + static_cast<int64_t>(filled_));
        // A failure the caller would otherwise take for the end of the data.
        if (refilled < 0 && delivered == 0) return -1;
        if (refilled <= 0) break;
      }
      uint64_t n = filled_ - position_;
      if (count - delivered < n) n = count - delivered;
      std::memcpy(dest + delivered, buffer_ + position_, n);
      position_ += n;
      delivered += n;
    }
    return static_cast<int64_t>(delivered);
  }

  int64_t tell() override { return offset_ + static_cast<int64_t>(position_); }

  int64_t seek(int64_t offset, int32_t origin) override {
    int64_t target;
    switch (origin) {
      case STREAM_SEEK_SET:
        target = offset;
        break;
      case STREAM_SEEK_CUR:
        target = stream_offset_add(tell(), offset);
        break;
      case STREAM_SEEK_END:
        if (stream_seek(inner_, offset, STREAM_SEEK_END) < 0) return -1;
        target = stream_tell(inner_);
        break;
      default:
        return -1;
    }
    if (target >= offset_ && target <= offset_ + static_cast<int64_t>(filled_)) {
      position_ = static_cast<uint64_t>(target - offset_);
      return target;
    }
    if (pinned_) {
      // Beyond the whole content: reads there find its end.
      if (target < 0) return -1;
      position_ = static_cast<uint64_t>(target);
      return target;
    }
    if (target < 0 || stream_seek(inner_, target, STREAM_SEEK_SET) != target) return -1;
    int64_t n = stream_read(inner_, buffer_, capacity_);
    offset_ = target;
    position_ = 0;
    filled_ = n > 0 ? static_cast<uint64_t>(n) : 0;
    return target;
  }

  const void* peek(uint64_t count) override {
    return position_ <= filled_ && count <= filled_ - position_ ? buffer_ + position_ : nullptr;
  }

  // Only a buffer that holds the inner stream from its first byte to its
  // last; it is then never refilled, so the block stays as it is.
  const unsigned char* content(uint64_t* size) override {
    if (!pinned_) {
      if (offset_ != 0 || !buffer_) return nullptr;
      int64_t end = stream_size(inner_);
      if (end < 0 || static_cast<uint64_t>(end) != filled_) return nullptr;
      pinned_ = true;
    }
    *size = filled_;
    return buffer_;
  }

  // Only a buffer that holds the inner stream from its first byte to its
  // last.
  unsigned char* release_content(uint64_t* size, uint64_t* capacity) override {
    if (offset_ != 0 || !buffer_) return nullptr;
    int64_t end = stream_seek(inner_, 0, STREAM_SEEK_END);
    if (end < 0 || static_cast<uint64_t>(end) != filled_) return nullptr;
    unsigned char* block = buffer_;
    *size = filled_;
    *capacity = capacity_;
    buffer_ = nullptr;
    capacity_ = filled_ = position_ = 0;
    pinned_ = false;
    return block;
  }

  int64_t close() override {
    int64_t r = owns_inner_ ? stream_close(inner_) : 0;
    inner_ = nullptr;
    return r;
  }

 private:
  // Reads a full buffer at position `at` of the inner stream: 1 when bytes
  // arrived, 0 at the end of the data, -1 when the inner stream failed. The
  // buffer is left as it was unless bytes arrived.
  int refill(int64_t at) {
    if (pinned_) return 0;
    if (stream_seek(inner_, at, STREAM_SEEK_SET) != at) return -1;
    int64_t n = stream_read(inner_, buffer_, capacity_);
    if (n < 1) return n < 0 ? -1 : 0;
    offset_ = at;
    position_ = 0;
    filled_ = static_cast<uint64_t>(n);
    return 1;
  }

  uint64_t capacity_;
  uint64_t filled_ = 0;
  uint64_t position_ = 0;
  int64_t offset_ = 0;
  unsigned char* buffer_;
  ByteStream* inner_;
  bool owns_inner_;
  bool pinned_ = false;
};

}  // namespace

ByteStream* buffered_stream_create(ByteStream* inner, bool owns_inner, int64_t size) {
  if (!inner || size < 0 || size > INT64_MAX - 8) return nullptr;
  // An empty input still gets a (tiny) buffer: "buffer the whole file" must
  // work for a file of 0 bytes too.
  uint64_t capacity = size == 0 ? 8 : (static_cast<uint64_t>(size) + 7) & ~uint64_t{7};
  auto* buffer = static_cast<unsigned char*>(large_memory_alloc(capacity));
  if (!buffer) return nullptr;
  auto* s = new (std::nothrow) BufferedStream(inner, owns_inner, buffer, capacity);
  if (!s) std::free(buffer);
  return s;
}

}  // namespace quarrow
