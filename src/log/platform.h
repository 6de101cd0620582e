#pragma once

#include <cstdint>

namespace quarrow {

// What the logger needs from the operating system; one implementation file
// per platform.
struct LocalTime {
  int month, day, hour, minute, second, millisecond;
};

LocalTime log_platform_local_time();
int64_t log_platform_process_id();
int64_t log_platform_thread_id();
// One unbuffered write of the whole line to standard error; failures ignored.
void log_platform_write_stderr(const char* data, uint64_t size);
bool log_platform_stderr_is_terminal();
// Columns of the terminal behind standard error, or 0 when unknown.
int log_platform_stderr_columns();

}  // namespace quarrow
