#include "log/log.h"

#include <cstdarg>
#include <cstring>
#include <mutex>

#include "core/format.h"
#include "core/sso_string.h"
#include "log/platform.h"

namespace quarrow {

int32_t log_output_level = 0;

namespace {

thread_local SsoString* t_capture = nullptr;

// Wider status lines are cut: the console back end converts at most this
// much in one piece.
constexpr uint64_t kStatusMax = 500;

// Held for every write to standard error, so that the status line can be
// erased before a line and no line is written while it is drawn.
std::mutex g_output;
char g_status[kStatusMax];
uint64_t g_status_size = 0;
uint64_t g_status_covered = 0;  // columns the status line covers; 0 while none is shown

// REQUIRES: g_output is held.
void erase_status() {
  if (g_status_covered == 0) return;
  char blank[kStatusMax + 2];
  blank[0] = '\r';
  std::memset(blank + 1, ' ', g_status_covered);
  blank[g_status_covered + 1] = '\r';
  log_platform_write_stderr(blank, g_status_covered + 2);
  g_status_covered = 0;
}

void write_stderr(const char* data, uint64_t size) {
  std::lock_guard<std::mutex> lock(g_output);
  erase_status();
  log_platform_write_stderr(data, size);
}

}  // namespace

void log_capture(SsoString* lines) {
  t_capture = lines;
}

void log_write_text(StringView text) {
  if (!text.empty()) write_stderr(text.data, text.size);
}

bool log_stderr_is_terminal() {
  return log_platform_stderr_is_terminal();
}

int log_stderr_columns() {
  int columns = log_platform_stderr_columns();
  return columns > 0 ? columns : 80;
}

void log_status_show(StringView text) {
  if (text.size > kStatusMax) text.size = kStatusMax;
  std::lock_guard<std::mutex> lock(g_output);
  if (g_status_covered > 0 && text.equals(StringView(g_status, g_status_size))) return;
  // Spaces cover what a longer line before left on the screen.
  uint64_t covered = g_status_covered > text.size ? g_status_covered : text.size;
  char line[kStatusMax + 1];
  line[0] = '\r';
  std::memcpy(line + 1, text.data, text.size);
  std::memset(line + 1 + text.size, ' ', covered - text.size);
  log_platform_write_stderr(line, covered + 1);
  std::memcpy(g_status, text.data, text.size);
  g_status_size = text.size;
  g_status_covered = covered;
}

void log_status_clear() {
  std::lock_guard<std::mutex> lock(g_output);
  erase_status();
}

void log_set_output_level(int32_t level) {
  log_output_level = level;
}

namespace {

constexpr int kLineBuffer = 512;
// Last position at which the line feed may go: a line is at most 511 bytes.
constexpr int kEndOffset = 510;

char level_letter(int32_t level) {
  static const char kLetters[] = "VDIWEF";
  return level >= LOG_VERBOSE && level <= LOG_FATAL ? kLetters[level - 1] : '?';
}

// Writes value right-aligned, right to left, ending just before *pos. Digits
// are at least min_digits wide (zero-padded) and the whole field at least
// width wide (space-padded).
void put_number(char** pos, int64_t value, int min_digits, int width) {
  char* p = *pos;
  char* start = p;
  bool negative = value < 0;
  uint64_t v = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  int digits = 0;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
    ++digits;
  } while (v != 0);
  while (digits < min_digits) {
    *--p = '0';
    ++digits;
  }
  if (negative) *--p = '-';
  while (start - p < width) *--p = ' ';
  *pos = p;
}

// Builds the context "MM-DD hh:mm:ss.mmm  pid  tid L " right to left.
// Returns its start inside scratch (which ends at scratch_end).
char* build_context(char* scratch_end, int32_t level) {
  LocalTime t = log_platform_local_time();
  char* p = scratch_end;
  *--p = ' ';
  *--p = level_letter(level);
  *--p = ' ';
  put_number(&p, log_platform_thread_id(), 1, 5);
  *--p = ' ';
  put_number(&p, log_platform_process_id(), 1, 5);
  *--p = ' ';
  put_number(&p, t.millisecond, 3, 0);
  *--p = '.';
  put_number(&p, t.second, 2, 0);
  *--p = ':';
  put_number(&p, t.minute, 2, 0);
  *--p = ':';
  put_number(&p, t.hour, 2, 0);
  *--p = ' ';
  put_number(&p, t.day, 2, 0);
  *--p = '-';
  put_number(&p, t.month, 2, 0);
  return p;
}

}  // namespace

void log_write(int32_t level, const char* tag, const char* format, ...) {
  char line[kLineBuffer];
  char* const end = line + kEndOffset;
  char* at = line;

  char scratch[96];
  char* ctx = build_context(scratch + sizeof(scratch), level);
  uint64_t n = static_cast<uint64_t>(scratch + sizeof(scratch) - ctx);
  if (n > static_cast<uint64_t>(end - at)) n = static_cast<uint64_t>(end - at);
  std::memcpy(at, ctx, n);
  at += n;

  if (tag && *tag) {
    uint64_t t = std::strlen(tag);
    if (t > static_cast<uint64_t>(end - at)) t = static_cast<uint64_t>(end - at);
    std::memcpy(at, tag, t);
    at += t;
    if (at < end) *at++ = ' ';
  }

  va_list args;
  va_start(args, format);
  int written = format_vsnprintf(at, static_cast<uint64_t>(end - at) + 1, format, args);
  va_end(args);
  if (written > 0) at = written > end - at ? end : at + written;

  *at = '\n';
  uint64_t size = static_cast<uint64_t>(at - line) + 1;
  if (t_capture && t_capture->append(line, size)) return;
  write_stderr(line, size);
}

}  // namespace quarrow
