#include "app/progress.h"

#include <system_error>

#include "core/sso_string.h"
#include "io/interrupt.h"
#include "log/log.h"

namespace quarrow {

namespace {

constexpr auto kInterval = std::chrono::milliseconds(100);
// Before this much time has passed, or this share of the bytes was read,
// the rate says little.
constexpr double kRateAfterSeconds = 0.5;
constexpr double kRateAfterShare = 0.01;
constexpr double kMegabyte = 1e6;

// How each kind of failure is counted in the summary: one, and several.
struct FailureWords {
  const char* one;
  const char* several;
};

constexpr FailureWords kFailureWords[FAILURE_KINDS] = {
    {"", ""},
    {"input not found", "inputs not found"},
    {"input neither file nor folder", "inputs neither file nor folder"},
    {"input that could not be queried", "inputs that could not be queried"},
    {"log that could not be opened", "logs that could not be opened"},
    {"encrypted log without a password", "encrypted logs without a password"},
    {"encrypted log that could not be decrypted", "encrypted logs that could not be decrypted"},
    {"compressed log that could not be decompressed",
     "compressed logs that could not be decompressed"},
    {"damaged or unreadable log", "damaged or unreadable logs"},
    {"truncated log", "truncated logs"},
    {"log whose tables could not be written", "logs whose tables could not be written"},
    {"other failure", "other failures"},
};

const char* plural(uint64_t n, const char* one, const char* several) {
  return n == 1 ? one : several;
}

// "12.3 s" below a minute (whole seconds without tenths), then "3:05 min"
// and "1:02:03 h".
bool append_duration(double seconds, bool tenths, SsoString* text) {
  if (seconds < 0) seconds = 0;
  if (seconds < 59.95) {
    return tenths ? text->append_format("%.1f s", seconds) >= 0
                  : text->append_format("%d s", static_cast<int>(seconds + 0.5)) >= 0;
  }
  auto whole = static_cast<uint64_t>(seconds + 0.5);
  if (whole < 3600) {
    return text->append_format("%llu:%02llu min", static_cast<unsigned long long>(whole / 60),
                               static_cast<unsigned long long>(whole % 60)) >= 0;
  }
  return text->append_format("%llu:%02llu:%02llu h", static_cast<unsigned long long>(whole / 3600),
                             static_cast<unsigned long long>(whole / 60 % 60),
                             static_cast<unsigned long long>(whole % 60)) >= 0;
}

bool format_summary(const RunTally& tally, double seconds, SsoString* line) {
  uint64_t failed = 0;
  for (uint64_t n : tally.failures) failed += n;
  bool ok =
      line->append_format(
          "%llu %s converted, %llu failed, %llu skipped, %llu %s written in ",
          static_cast<unsigned long long>(tally.converted), plural(tally.converted, "log", "logs"),
          static_cast<unsigned long long>(failed), static_cast<unsigned long long>(tally.skipped),
          static_cast<unsigned long long>(tally.rows), plural(tally.rows, "row", "rows")) >= 0 &&
      append_duration(seconds, true, line);
  const char* separator = ": ";
  for (int kind = FAILURE_NONE + 1; kind < FAILURE_KINDS; ++kind) {
    uint64_t n = tally.failures[kind];
    if (n == 0) continue;
    ok = ok &&
         line->append_format("%s%llu %s", separator, static_cast<unsigned long long>(n),
                             plural(n, kFailureWords[kind].one, kFailureWords[kind].several)) >= 0;
    separator = ", ";
  }
  // Last, as it holds a colon and a comma of its own.
  if (uint64_t n = tally.other_writer_layouts; n > 0) {
    ok = ok &&
         line->append_format("%s%llu %s", separator, static_cast<unsigned long long>(n),
                             plural(n,
                                    "log gave no rows: it follows another writer's layout, try "
                                    "--other-writers",
                                    "logs gave no rows: they follow another writer's layout, try "
                                    "--other-writers")) >= 0;
  }
  return ok && line->push_back('\n');
}

// Cuts text to at most width bytes at a character boundary. Bytes are never
// fewer than the columns they take, so the cut text fits the columns too.
uint64_t fitting(StringView text, uint64_t width) {
  if (text.size <= width) return text.size;
  uint64_t n = width;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

}  // namespace

Progress::Progress() = default;

Progress::~Progress() {
  stop();
}

void Progress::start() {
  try {
    thread_ = std::thread(&Progress::run, this);
  } catch (const std::system_error&) {
    // No status line then; the run and its summary go on.
  }
}

void Progress::converting(uint64_t files, uint64_t bytes) {
  files_.store(files, std::memory_order_relaxed);
  bytes_.store(bytes, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    converting_ = true;
    converting_since_ = Clock::now();
    changed_ = true;
  }
  wake_.notify_all();
}

void Progress::file_done(uint64_t bytes) {
  bytes_done_.fetch_add(bytes, std::memory_order_relaxed);
  files_done_.fetch_add(1, std::memory_order_relaxed);
}

void Progress::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, kInterval, [&] { return stop_ || changed_; });
    // A change is drawn even when the run ends at once, so that every run
    // that converts shows its files at least once.
    if (changed_) {
      changed_ = false;
    } else if (stop_) {
      return;
    }
    lock.unlock();
    draw();
    lock.lock();
  }
}

void Progress::draw() {
  bool converting;
  Clock::time_point since;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    converting = converting_;
    since = converting_since_;
  }
  // A line that wraps could not be erased.
  uint64_t width = static_cast<uint64_t>(log_stderr_columns() - 1);
  SsoString text;
  bool ok = converting ? compose(since, width, &text)
                       : text.append_format("Looking for logs: %llu found",
                                            static_cast<unsigned long long>(found_.load())) >= 0;
  if (ok) log_status_show(text.view().prefix(fitting(text, width)));
}

bool Progress::compose(Clock::time_point since, uint64_t width, SsoString* text) const {
  uint64_t files = files_.load(std::memory_order_relaxed);
  uint64_t done = files_done_.load(std::memory_order_relaxed);
  double total_mb = static_cast<double>(bytes_.load(std::memory_order_relaxed)) / kMegabyte;
  double read_mb = static_cast<double>(bytes_done_.load(std::memory_order_relaxed)) / kMegabyte;
  if (text->append_format("%llu/%llu files, %.1f of %.1f MB", static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(files), read_mb, total_mb) < 0) {
    return false;
  }
  double seconds = std::chrono::duration<double>(Clock::now() - since).count();
  // A rate from a few small files says nothing about the large ones left.
  if (read_mb > 0 && read_mb >= total_mb * kRateAfterShare && seconds >= kRateAfterSeconds) {
    double rate = read_mb / seconds;
    if (text->append_format(", %.1f MB/s, ", rate) < 0 ||
        !append_duration((total_mb - read_mb) / rate, false, text) || !text->append(" left")) {
      return false;
    }
  }
  // The current file's name goes last and loses its beginning where the
  // line would be too wide.
  const char* name = current_.load(std::memory_order_relaxed);
  uint64_t room = text->size() + 2 < width ? width - text->size() - 2 : 0;
  if (!name || room <= 3) return true;
  StringView whole(name);
  if (!text->append("  ")) return false;
  if (whole.size <= room) return text->append(whole) != nullptr;
  uint64_t start = whole.size - (room - 3);
  while (start < whole.size && (static_cast<unsigned char>(whole[start]) & 0xC0) == 0x80) ++start;
  return text->append("...") && text->append(whole.suffix_from(start));
}

void Progress::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Progress::finish(const RunTally& tally) {
  stop();
  // An interrupted run ends with its own line instead.
  if (interrupted()) return;
  log_status_clear();
  SsoString line;
  double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  if (format_summary(tally, seconds, &line)) log_write_text(line);
}

}  // namespace quarrow
