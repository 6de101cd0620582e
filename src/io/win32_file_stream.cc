#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/win32_wide.h"
#include "io/file_stream.h"
#include "io/mapped_stream.h"

namespace quarrow {

namespace {

// Tables are written a row at a time: a buffer this large turns a system
// call per row into one per 256 KiB.
constexpr uint32_t kWriteBufferSize = 256 * 1024;
// ReadFile and WriteFile count in 32 bits.
constexpr uint64_t kMaxCall = 1u << 30;

// A file on a Win32 handle with 64-bit positions. Bytes pass unchanged: there
// is no text mode here, so tables keep their LF line ends.
class FileStream : public ByteStream {
 public:
  FileStream(HANDLE h, int32_t mode) : handle_(h), mode_(mode) {}

  int64_t read(void* buffer, uint64_t count) override {
    if (mode_ == FILE_MODE_WRITE) return STREAM_UNSUPPORTED;
    auto* out = static_cast<unsigned char*>(buffer);
    uint64_t done = 0;
    while (done < count) {
      uint64_t ask = count - done < kMaxCall ? count - done : kMaxCall;
      DWORD got = 0;
      if (!ReadFile(handle_, out + done, static_cast<DWORD>(ask), &got, nullptr)) {
        // What arrived before the failure still counts, as with fread; the
        // next call reports the failure.
        if (done == 0) return -1;
        break;
      }
      if (got == 0) break;
      done += got;
    }
    return static_cast<int64_t>(done);
  }

  int64_t write(const void* buffer, uint64_t count) override {
    if (mode_ == FILE_MODE_READ) return STREAM_UNSUPPORTED;
    const auto* in = static_cast<const unsigned char*>(buffer);
    if (buffer_) {
      if (count <= kWriteBufferSize - filled_) {
        std::memcpy(buffer_ + filled_, in, count);
        filled_ += static_cast<uint32_t>(count);
        return static_cast<int64_t>(count);
      }
      if (!flush()) return 0;
      if (count < kWriteBufferSize) {
        std::memcpy(buffer_, in, count);
        filled_ = static_cast<uint32_t>(count);
        return static_cast<int64_t>(count);
      }
    }
    return static_cast<int64_t>(write_through(in, count));
  }

  int64_t tell() override {
    LARGE_INTEGER zero{}, at{};
    if (!SetFilePointerEx(handle_, zero, &at, FILE_CURRENT)) return -1;
    return at.QuadPart + filled_;
  }

  int64_t seek(int64_t offset, int32_t origin) override {
    DWORD how;
    switch (origin) {
      case STREAM_SEEK_SET:
        how = FILE_BEGIN;
        break;
      case STREAM_SEEK_CUR:
        how = FILE_CURRENT;
        break;
      case STREAM_SEEK_END:
        how = FILE_END;
        break;
      default:
        return -1;
    }
    if (!flush()) return -1;
    LARGE_INTEGER distance{}, at{};
    distance.QuadPart = offset;
    if (!SetFilePointerEx(handle_, distance, &at, how)) return -1;
    return at.QuadPart;
  }

  int64_t close() override {
    bool ok = flush();
    if (handle_ != INVALID_HANDLE_VALUE) ok = CloseHandle(handle_) && ok;
    handle_ = INVALID_HANDLE_VALUE;
    std::free(buffer_);
    buffer_ = nullptr;
    return ok ? 0 : -1;
  }

  ~FileStream() override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      flush();
      CloseHandle(handle_);
    }
    std::free(buffer_);
  }

  HANDLE handle() const { return handle_; }
  int32_t mode() const { return mode_; }
  // Hands the handle to a new owner.
  HANDLE release() {
    HANDLE h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return h;
  }

  // Gives a file opened for writing the large buffer; without the memory it
  // writes through.
  void buffer_writes() { buffer_ = static_cast<unsigned char*>(std::malloc(kWriteBufferSize)); }

 private:
  uint64_t write_through(const unsigned char* in, uint64_t count) {
    uint64_t done = 0;
    while (done < count) {
      uint64_t ask = count - done < kMaxCall ? count - done : kMaxCall;
      DWORD put = 0;
      if (!WriteFile(handle_, in + done, static_cast<DWORD>(ask), &put, nullptr) || put == 0) {
        break;
      }
      done += put;
    }
    return done;
  }

  bool flush() {
    if (filled_ == 0) return true;
    bool ok = write_through(buffer_, filled_) == filled_;
    filled_ = 0;
    return ok;
  }

  HANDLE handle_;
  int32_t mode_;
  unsigned char* buffer_ = nullptr;
  uint32_t filled_ = 0;
};

// A view whose file becomes unreadable (a card pulled, a share lost) faults
// with an in-page error. The handler replaces the whole view by zero pages
// at the same address and marks it, so the reader goes on and the
// conversion ends with an error. A thread that touches the view while it
// is being replaced meets no mapping there and waits for the zeros.
std::atomic<int> g_replacing{0};

LONG CALLBACK on_page_error(EXCEPTION_POINTERS* e) {
  DWORD code = e->ExceptionRecord->ExceptionCode;
  if ((code != EXCEPTION_IN_PAGE_ERROR && code != EXCEPTION_ACCESS_VIOLATION) ||
      e->ExceptionRecord->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  MappingSlot* slot = mapping_slot_find(e->ExceptionRecord->ExceptionInformation[1]);
  if (!slot) return EXCEPTION_CONTINUE_SEARCH;
  if (code == EXCEPTION_ACCESS_VIOLATION) {
    // Ours only while a replacement is under way or done.
    if (!g_replacing.load() && !slot->damaged.load()) return EXCEPTION_CONTINUE_SEARCH;
    while (g_replacing.load()) SwitchToThread();
    return slot->damaged.load() ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
  }
  int expected = 0;
  while (!g_replacing.compare_exchange_weak(expected, 1)) {
    expected = 0;
    SwitchToThread();
  }
  bool ok = slot->damaged.load() != 0;
  if (!ok) {
    auto* base = reinterpret_cast<void*>(slot->start.load());
    SIZE_T length = slot->end.load() - slot->start.load();
    ok = UnmapViewOfFile(base) &&
         VirtualAlloc(base, length, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY) == base;
    if (ok) slot->damaged.store(1);
  }
  g_replacing.store(0);
  return ok ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

bool guard_page_errors() {
  static bool installed = AddVectoredExceptionHandler(1, on_page_error) != nullptr;
  return installed;
}

bool unmap_file(void* file, const unsigned char* data, uint64_t, bool damaged) {
  void* base = const_cast<unsigned char*>(data);
  bool released = damaged ? VirtualFree(base, 0, MEM_RELEASE) : UnmapViewOfFile(base);
  return CloseHandle(file) && released;
}

}  // namespace

ByteStream* file_stream_open(const char* path, int32_t mode) {
  if (!path) return nullptr;
  DWORD access, disposition;
  switch (mode) {
    case FILE_MODE_READ:
      access = GENERIC_READ;
      disposition = OPEN_EXISTING;
      break;
    case FILE_MODE_WRITE:
      access = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
    case FILE_MODE_UPDATE:
      access = GENERIC_READ | GENERIC_WRITE;
      disposition = OPEN_EXISTING;
      break;
    default:
      return nullptr;
  }
  GrowArray<wchar_t> wide;
  if (!wide_path(path, &wide)) return nullptr;
  // Others may read and write what is open here, as with the C library's
  // files, so a log another tool still has open can be converted. Deleting
  // is shared too: a converted input is removed before its stream closes.
  HANDLE h =
      CreateFileW(wide.data(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* s = new (std::nothrow) FileStream(h, mode);
  if (!s) {
    CloseHandle(h);
    return nullptr;
  }
  if (mode == FILE_MODE_WRITE) s->buffer_writes();
  return s;
}

ByteStream* file_stream_map(ByteStream* file) {
  auto* stream = dynamic_cast<FileStream*>(file);
  LARGE_INTEGER size{};
  if (!stream || stream->mode() != FILE_MODE_READ || !guard_page_errors() ||
      !GetFileSizeEx(stream->handle(), &size) || size.QuadPart <= 0 ||
      static_cast<uint64_t>(size.QuadPart) > SIZE_MAX) {
    return nullptr;
  }
  HANDLE section = CreateFileMappingW(stream->handle(), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!section) return nullptr;
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
  // The view keeps the section alive.
  CloseHandle(section);
  if (!view) return nullptr;
  MappedStream* mapped =
      mapped_stream_create(static_cast<const unsigned char*>(view),
                           static_cast<uint64_t>(size.QuadPart), unmap_file, stream->handle());
  if (!mapped) {
    UnmapViewOfFile(view);
    return nullptr;
  }
  stream->release();
  stream_close(stream);
  return mapped;
}

}  // namespace quarrow
