#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "app/convert_file.h"
#include "core/sso_string.h"

namespace quarrow {

// What a run did, for its summary.
struct RunTally {
  uint64_t converted = 0;
  // Logs that gave no row in a layout that --other-writers reads; not
  // counted as converted.
  uint64_t other_writer_layouts = 0;
  uint64_t skipped = 0;  // files that are not logs
  uint64_t rows = 0;     // in the tables written
  uint64_t failures[FAILURE_KINDS] = {};
};

// The status line of a run on a terminal and its summary. A thread of its
// own draws the line, at most about ten times a second, from counters the
// run updates; it is the only thread that draws it. Nothing is drawn before
// the first tenth of a second, so a quick walk shows no line of its own.
class Progress {
 public:
  Progress();
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Starts drawing. Where no thread can be started, only the summary shows.
  void start();
  // The walk found one more log.
  void found_log() { found_.fetch_add(1, std::memory_order_relaxed); }
  // The walk is over: this many logs of this many bytes are to convert.
  // The line switches to them at once.
  void converting(uint64_t files, uint64_t bytes);
  // A conversion of the file of that name began on some thread. REQUIRES:
  // name lives until finish().
  void file_started(const char* name) { current_.store(name, std::memory_order_relaxed); }
  // A file's conversion is over; its bytes count as read.
  void file_done(uint64_t bytes);
  // Stops drawing, erases the status line and writes the one-line summary
  // of tally to standard error.
  void finish(const RunTally& tally);

 private:
  using Clock = std::chrono::steady_clock;

  void run();
  void draw();
  // The line while files convert: counts, bytes, rate, time left and the
  // current file, within width.
  bool compose(Clock::time_point since, uint64_t width, SsoString* text) const;
  void stop();

  Clock::time_point started_ = Clock::now();
  Clock::time_point converting_since_;  // guarded by mutex_
  std::atomic<uint64_t> found_{0};
  std::atomic<uint64_t> files_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> files_done_{0};
  std::atomic<uint64_t> bytes_done_{0};
  std::atomic<const char*> current_{nullptr};

  std::mutex mutex_;
  std::condition_variable wake_;
  bool converting_ = false;  // guarded by mutex_, as are the next three
  bool changed_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace quarrow
