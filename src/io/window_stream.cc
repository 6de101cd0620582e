#include "io/window_stream.h"

#include <new>

namespace quarrow {

namespace {

class WindowStream : public ByteStream {
 public:
  WindowStream(ByteStream* inner, int64_t start, int64_t end)
      : inner_(inner), start_(start), end_(end) {}

  int64_t read(void* buffer, uint64_t count) override {
    return stream_read(inner_, buffer, clamp(count));
  }

  int64_t write(const void* buffer, uint64_t count) override {
    return stream_write(inner_, buffer, clamp(count));
  }

  int64_t tell() override {
    int64_t p = stream_tell(inner_);
    if (p < 0) return p;
    p -= start_;
    if (end_ > 0 && p > end_ - start_) return -1;
    return p;
  }

  int64_t seek(int64_t offset, int32_t origin) override {
    int64_t base;
    switch (origin) {
      case STREAM_SEEK_SET:
        base = start_;
        break;
      case STREAM_SEEK_CUR:
        base = stream_tell(inner_);
        break;
      case STREAM_SEEK_END:
        base = end_ > 0 ? end_ : stream_size(inner_);
        break;
      default:
        return -1;
    }
    if (base < 0) return -1;  // the inner stream could not say where it is
    int64_t target = stream_offset_add(base, offset);
    if (end_ > 0 && target > end_) target = end_;
    if (target < start_) target = start_;
    if (target < 0) return -1;
    if (stream_seek(inner_, target, STREAM_SEEK_SET) != target) return -1;
    return target - start_;
  }

  int64_t close() override { return 0; }

 private:
  uint64_t clamp(uint64_t count) {
    if (end_ <= 0) return count;
    int64_t at = stream_tell(inner_);
    if (at < 0 || at >= end_) return 0;
    uint64_t left = static_cast<uint64_t>(end_ - at);
    return count < left ? count : left;
  }

  ByteStream* inner_;
  int64_t start_;
  int64_t end_;
};

}  // namespace

ByteStream* window_stream_create(ByteStream* inner, int64_t start, int64_t end) {
  if (!inner) return nullptr;
  auto* w = new (std::nothrow) WindowStream(inner, start, end);
  if (w) stream_seek(inner, start, STREAM_SEEK_SET);
  return w;
}

}  // namespace quarrow
