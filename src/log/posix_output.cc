#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "log/platform.h"

namespace quarrow {

LocalTime log_platform_local_time() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm local;
  time_t seconds = tv.tv_sec;
  localtime_r(&seconds, &local);
  return LocalTime{local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min,     local.tm_sec,  static_cast<int>(tv.tv_usec / 1000)};
}

int64_t log_platform_process_id() { return static_cast<int64_t>(getpid()); }

int64_t log_platform_thread_id() { return static_cast<int64_t>(syscall(SYS_gettid)); }

void log_platform_write_stderr(const char* data, uint64_t size) {
  ssize_t r = write(STDERR_FILENO, data, size);
  (void)r;
}

bool log_platform_stderr_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

int log_platform_stderr_columns() {
  struct winsize size;
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace quarrow
