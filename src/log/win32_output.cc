#include <windows.h>

#include "log/platform.h"

namespace quarrow {

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
  DWORD console_mode;
  if (GetConsoleMode(err, &console_mode)) {
    wchar_t wide[512];
    int n = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), wide, 512);
    if (n > 0) {
      DWORD written;
      WriteConsoleW(err, wide, static_cast<DWORD>(n), &written, nullptr);
      return;
    }
  }
  DWORD written;
  WriteFile(err, data, static_cast<DWORD>(size), &written, nullptr);
}

}  // namespace quarrow
