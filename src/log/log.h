#pragma once

#include <cstdint>

#include "core/format.h"

namespace quarrow {

// Levels of diagnostic lines, lowest first.
enum LogLevel : int32_t {
  LOG_VERBOSE = 1,
  LOG_DEBUG = 2,
  LOG_INFO = 3,
  LOG_WARN = 4,
  LOG_ERROR = 5,
  LOG_FATAL = 6,
};

// Messages below this level are skipped. Starts at 0 so that everything
// passes until the command line has been read.
extern int32_t log_output_level;

void log_set_output_level(int32_t level);

// Composes one line "MM-DD hh:mm:ss.mmm  pid  tid L message" (at most 511
// bytes, line feed included; longer messages are cut) and writes it with a
// single write to standard error. Does not test the level: use QLOG.
void log_write(int32_t level, const char* tag, const char* format, ...)
    QUARROW_FORMAT(3, 4);

class SsoString;

// While a thread has a capture set, the lines it logs are appended to it
// instead of being written, so that a thread can hand its lines to another
// that prints them in an order of its choosing. A line that does not fit
// in memory is written at once rather than lost. Null ends the capture.
void log_capture(SsoString* lines);

// Writes captured lines to standard error as they are.
void log_write_captured(const SsoString& lines);

}  // namespace quarrow

// The level test happens before any argument is evaluated, so a skipped
// message costs one comparison.
#define QLOG(level, ...)                                                          \
  do {                                                                            \
    if ((level) >= ::quarrow::log_output_level)                                   \
      ::quarrow::log_write((level), nullptr, __VA_ARGS__);                        \
  } while (0)
