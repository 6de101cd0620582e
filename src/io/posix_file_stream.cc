#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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


// The mappings a bus error may hit. A file that shrinks while it is mapped
// makes the pages beyond its end fault; the handler puts a page of zeros
// there, marks the mapping and lets the reader go on, so that the
// conversion ends with an error instead of a crash.
struct MappingSlot {
  std::atomic<int> used{0};
  std::atomic<uintptr_t> start{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<int> damaged{0};
};
constexpr int kMappingSlots = 64;
MappingSlot g_mappings[kMappingSlots];

void on_bus_error(int signal, siginfo_t* info, void*) {
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (MappingSlot& slot : g_mappings) {
    uintptr_t start = slot.start.load(std::memory_order_acquire);
    if (start == 0 || address < start || address >= slot.end.load(std::memory_order_acquire)) {
      continue;
    }
    uintptr_t page = address & ~static_cast<uintptr_t>(sysconf(_SC_PAGESIZE) - 1);
    void* zeros = mmap(reinterpret_cast<void*>(page), static_cast<size_t>(sysconf(_SC_PAGESIZE)),
                       PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      slot.damaged.store(1, std::memory_order_release);
      return;
    }
    break;
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

MappingSlot* claim_slot(const unsigned char* data, uint64_t size) {
  for (MappingSlot& slot : g_mappings) {
    int expected = 0;
    if (!slot.used.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    // The start last, so the handler never sees a start without its end.
    auto start = reinterpret_cast<uintptr_t>(data);
    slot.end.store(start + size, std::memory_order_release);
    slot.damaged.store(0, std::memory_order_release);
    slot.start.store(start, std::memory_order_release);
    return &slot;
  }
  return nullptr;
}

void free_slot(MappingSlot* slot) {
  slot->start.store(0, std::memory_order_release);
  slot->used.store(0, std::memory_order_release);
}

class MappedStream : public ByteStream {
 public:
  MappedStream(FILE* file, const unsigned char* data, uint64_t size, MappingSlot* slot)
      : file_(file), data_(data), size_(size), slot_(slot) {}
  ~MappedStream() override { release(); }

  int64_t read(void* buffer, uint64_t count) override {
    uint64_t left = position_ < size_ ? size_ - position_ : 0;
    uint64_t n = count < left ? count : left;
    if (n) std::memcpy(buffer, data_ + position_, n);
    position_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t seek(int64_t offset, int32_t origin) override {
    int64_t target = stream_seek_target(position_, size_, offset, origin);
    if (target < 0) return -1;
    position_ = static_cast<uint64_t>(target);
    return target;
  }
  const void* peek(uint64_t count) override {
    return position_ <= size_ && count <= size_ - position_ ? data_ + position_ : nullptr;
  }
  const unsigned char* content(uint64_t* size) override {
    *size = size_;
    return data_;
  }
  int64_t close() override { return release(); }

 private:
  int64_t release() {
    if (!data_) return 0;
    bool damaged = slot_->damaged.load(std::memory_order_acquire) != 0;
    munmap(const_cast<unsigned char*>(data_), size_);
    free_slot(slot_);
    data_ = nullptr;
    int closed = std::fclose(file_);
    return damaged || closed != 0 ? -1 : 0;
  }

  FILE* file_;
  const unsigned char* data_;
  uint64_t size_;
  uint64_t position_ = 0;
  MappingSlot* slot_;
};

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
  auto* bytes = static_cast<const unsigned char*>(data);
  MappingSlot* slot = claim_slot(bytes, size);
  auto* mapped = slot ? new (std::nothrow) MappedStream(stream->file(), bytes, size, slot) : nullptr;
  if (!mapped) {
    if (slot) free_slot(slot);
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
