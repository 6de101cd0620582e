#pragma once

#include <cstdint>

#include "core/format.h"
#include "core/string_view.h"

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

// Writes text (captured lines, a summary) to standard error as it is.
void log_write_text(StringView text);

// On a terminal, one status line may stand below the log lines and be
// redrawn in place. Every write to standard error made through the logger
// erases it first, under one lock, so no line is ever torn by it; it stays
// away until it is drawn again. Where nothing draws it, standard error gets
// exactly the log lines.

// True when standard error is a terminal (on Windows, a console).
bool log_stderr_is_terminal();
// The terminal's width in columns; 80 when it cannot be told.
int log_stderr_columns();
// Draws text as the status line, replacing the one shown. REQUIRES: one
// line, no wider than the terminal less one column (a line that wraps
// cannot be erased). Drawing the text already shown writes nothing.
void log_status_show(StringView text);
// Erases the status line when one is shown.
void log_status_clear();

}  // namespace quarrow

// The level test happens before any argument is evaluated, so a skipped
// message costs one comparison.
#define QLOG(level, ...)                                                          \
  do {                                                                            \
    if ((level) >= ::quarrow::log_output_level)                                   \
      ::quarrow::log_write((level), nullptr, __VA_ARGS__);                        \
  } while (0)
