#include <cstdio>
#include <cstdlib>
#include <new>

#include "io/file_stream.h"

namespace quarrow {

namespace {

// Tables are written a row at a time: a buffer this large turns the default
// write call per 4 KiB into one per 256 KiB.
constexpr size_t kWriteBufferSize = 256 * 1024;

// Standard I/O with 64-bit offsets (fseeko/ftello), so logs beyond 2 GiB
// keep exact positions.
class FileStream : public ByteStream {
 public:
  FileStream(FILE* f, int32_t mode) : file_(f), mode_(mode) {}

  int64_t read(void* buffer, uint64_t count) override {
    if (mode_ == FILE_MODE_WRITE) return STREAM_UNSUPPORTED;
    size_t n = std::fread(buffer, 1, count, file_);
    position_ += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
  }

  int64_t write(const void* buffer, uint64_t count) override {
    if (mode_ == FILE_MODE_READ) return STREAM_UNSUPPORTED;
    size_t n = std::fwrite(buffer, 1, count, file_);
    position_ += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
  }

  int64_t tell() override {
    off_t p = ftello(file_);
    return p < 0 ? -1 : static_cast<int64_t>(p);
  }

  int64_t seek(int64_t offset, int32_t origin) override {
    int whence;
    switch (origin) {
      case STREAM_SEEK_SET:
        if (offset == position_) return offset;
        whence = SEEK_SET;
        break;
      case STREAM_SEEK_CUR:
        whence = SEEK_CUR;
        break;
      case STREAM_SEEK_END:
        whence = SEEK_END;
        break;
      default:
        return -1;
    }
    if (fseeko(file_, static_cast<off_t>(offset), whence) != 0) return -1;
    position_ = tell();
    return position_;
  }

  int64_t close() override {
    int r = std::fclose(file_);
    file_ = nullptr;
    std::free(buffer_);
    buffer_ = nullptr;
    return r;
  }

  ~FileStream() override {
    if (file_) std::fclose(file_);
    std::free(buffer_);
  }

  // Gives a file opened for writing the large buffer; without the memory it
  // keeps the standard one.
  void buffer_writes() {
    buffer_ = static_cast<char*>(std::malloc(kWriteBufferSize));
    if (buffer_ && std::setvbuf(file_, buffer_, _IOFBF, kWriteBufferSize) != 0) {
      std::free(buffer_);
      buffer_ = nullptr;
    }
  }

 private:
  FILE* file_;
  int32_t mode_;
  int64_t position_ = 0;
  char* buffer_ = nullptr;  // the write buffer, released after fclose
};

}  // namespace

ByteStream* file_stream_open(const char* path, int32_t mode) {
  if (!path) return nullptr;
  const char* how;
  switch (mode) {
    case FILE_MODE_READ:
      how = "rb";
      break;
    case FILE_MODE_WRITE:
      how = "wb";
      break;
    case FILE_MODE_UPDATE:
      how = "r+b";
      break;
    default:
      return nullptr;
  }
  FILE* f = std::fopen(path, how);
  if (!f) return nullptr;
  auto* s = new (std::nothrow) FileStream(f, mode);
  if (!s) {
    std::fclose(f);
    return nullptr;
  }
  if (mode == FILE_MODE_WRITE) s->buffer_writes();
  return s;
}

}  // namespace quarrow
