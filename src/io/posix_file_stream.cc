#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "io/file_stream.h"
#include "io/mapped_stream.h"

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
    int r = file_ ? std::fclose(file_) : 0;
    file_ = nullptr;
    std::free(buffer_);
    buffer_ = nullptr;
    return r;
  }

  ~FileStream() override {
    if (file_) std::fclose(file_);
    std::free(buffer_);
  }

  FILE* file() const { return file_; }
  int32_t mode() const { return mode_; }
  // Hands the file to a new owner.
  FILE* release() {
    FILE* f = file_;
    file_ = nullptr;
    return f;
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


// A file that shrinks while it is mapped makes the pages beyond its end
// fault. The handler puts a page of zeros there and marks the mapping, so
// the reader goes on and the conversion ends with an error.
void on_bus_error(int signal, siginfo_t* info, void*) {
  MappingSlot* slot = mapping_slot_find(reinterpret_cast<uintptr_t>(info->si_addr));
  if (slot) {
    auto page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t page = reinterpret_cast<uintptr_t>(info->si_addr) & ~(page_size - 1);
    void* zeros = mmap(reinterpret_cast<void*>(page), page_size, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      slot->damaged.store(1, std::memory_order_release);
      return;
    }
  }
  // Not ours: what the signal would have done without the handler.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
}

bool guard_bus_errors() {
  static bool installed = [] {
    struct sigaction action = {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  return installed;
}

bool unmap_file(void* file, const unsigned char* data, uint64_t size, bool) {
  munmap(const_cast<unsigned char*>(data), size);
  return std::fclose(static_cast<FILE*>(file)) == 0;
}

}  // namespace

ByteStream* file_stream_map(ByteStream* file) {
  auto* stream = dynamic_cast<FileStream*>(file);
  if (!stream || stream->mode() != FILE_MODE_READ || !guard_bus_errors()) return nullptr;
  int fd = fileno(stream->file());
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
      static_cast<uint64_t>(info.st_size) > SIZE_MAX) {
    return nullptr;
  }
  auto size = static_cast<uint64_t>(info.st_size);
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) return nullptr;
  MappedStream* mapped = mapped_stream_create(static_cast<const unsigned char*>(data), size,
                                              unmap_file, stream->file());
  if (!mapped) {
    munmap(data, size);
    return nullptr;
  }
  stream->release();
  stream_close(stream);
  return mapped;
}

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
