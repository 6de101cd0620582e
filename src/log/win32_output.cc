#include <windows.h>

#include "log/platform.h"

namespace quarrow {

namespace {

// Bytes converted for the console at a time: a log line fits whole.
constexpr int kPiece = 512;

}  // namespace

LocalTime log_platform_local_time() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return LocalTime{t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

int64_t log_platform_process_id() { return static_cast<int64_t>(GetCurrentProcessId()); }

int64_t log_platform_thread_id() { return static_cast<int64_t>(GetCurrentThreadId()); }

void log_platform_write_stderr(const char* data, uint64_t size) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE || size > 0x7fffffff) return;
  // A console shows text in its own code page, which is rarely UTF-8, so
  // names such as "Messfahrt_Überland" go to it as UTF-16. Redirected into a
  // file or a pipe, the line keeps its UTF-8 bytes, as on every platform.
  // Text longer than a line (the captured lines of a file) goes in pieces
  // that end on a character boundary.
  DWORD console_mode;
  if (GetConsoleMode(err, &console_mode)) {
    while (size > 0) {
      uint64_t piece = size < kPiece ? size : kPiece;
      while (piece < size && piece > 1 &&
             (static_cast<unsigned char>(data[piece]) & 0xC0) == 0x80) {
        --piece;
      }
      wchar_t wide[kPiece];
      int n = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(piece), wide, kPiece);
      if (n <= 0) break;
      DWORD written;
      WriteConsoleW(err, wide, static_cast<DWORD>(n), &written, nullptr);
      data += piece;
      size -= piece;
    }
    if (size == 0) return;
  }
  DWORD written;
  WriteFile(err, data, static_cast<DWORD>(size), &written, nullptr);
}

bool log_platform_stderr_is_terminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int log_platform_stderr_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  // Text reaching the last column makes the console start a new line.
  return info.dwSize.X;
}

}  // namespace quarrow
