#pragma once

#include <cstdint>
#include <memory>

#include "bus/frame.h"
#include "bus/frame_sink.h"
#include "core/grow_array.h"
#include "core/sso_string.h"

namespace quarrow {

class ByteStream;
class Folder;
struct ConverterSettings;

// Copies of stored frames, carved from blocks that are kept from file to
// file: one allocation per block instead of one per frame.
class FramePool {
 public:
  FramePool() = default;
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  // Room for one object of `size` bytes (at most kBlockSize), aligned to 8
  // bytes; null when memory is short.
  void* take(uint64_t size);
  // Forgets every object; keeps the first block for the next file.
  void reset();

  // One huge page each.
  static constexpr uint64_t kBlockSize = 2 * 1024 * 1024;

 private:
  GrowArray<uint8_t*> blocks_;
  uint64_t used_ = kBlockSize;  // in the last block
};

// A stored frame: only what a table row prints, followed in its pool room by
// the `length` data bytes the row prints, so that an 8-byte frame does not
// occupy the storage of a 64-byte one.
struct StoredFrame {
  double timestamp;
  uint32_t id;
  uint8_t bus_channel;
  uint8_t ide;
  uint8_t dlc;
  uint8_t dir;
  uint8_t edl;
  uint8_t brs;
  uint8_t esi;
  uint8_t rtr;
  uint8_t received_count;
  uint8_t length;
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(this + 1); }
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// A stored frame in the sort: its timestamp as an integer with the order of
// the timestamps (NaN last), so that sorting compares keys held in the array
// instead of following pointers.
struct SortEntry {
  uint64_t key;
  StoredFrame* frame;
};

// The CSV writer: collects the CAN data, CAN remote and LIN frames of one
// input file and, when the file ends, writes them sorted by time into
// "<base>_CAN.csv" and "<base>_LIN.csv" below the output folder. A table
// without rows is deleted.
class CsvSink : public FrameSink {
 public:
  CsvSink() = default;

  // Stores a copy of a CAN data, CAN remote or LIN frame; other kinds are
  // ignored. False when the copy cannot be stored, so the file fails rather
  // than losing the frame.
  bool on_frame(const Frame& frame) override;
  // Takes the recording's start time from the file's header block (NaN when
  // the file has none) and forgets the frames of the previous file.
  bool on_file_begin(StringView output_base, MdfFile* mdf) override;
  // Writes both tables; false when either could not be written completely.
  bool on_file_end(StringView output_base) override;
  // True when a group carries CAN data, CAN remote or LIN frames.
  bool wants_group(const GroupList& groups) override;
  // Closes the data group's run of frames: each run is ordered on its own
  // and the runs are merged as the tables are written.
  void on_group_end(const GroupList& groups) override;

  double start_time() const { return start_time_; }
  uint64_t can_frame_count() const { return can_frames_.size(); }
  uint64_t lin_frame_count() const { return lin_frames_.size(); }

 private:
  void forget_frames();
  // Sorts the frames and writes one table; *rows tells how many rows made it.
  bool write_table(ByteStream* stream, bool is_can, uint64_t* rows);

  double start_time_ = 0.0;
  GrowArray<SortEntry> can_frames_;
  GrowArray<SortEntry> lin_frames_;
  // Where each data group's frames end in the arrays above.
  GrowArray<uint64_t> can_runs_;
  GrowArray<uint64_t> lin_runs_;
  FramePool pool_;
  SsoString row_;
  bool store_failed_ = false;
  bool run_lost_ = false;  // a run boundary could not be kept
};

// A writer over the two folders, or null when memory is short or a folder or
// the settings are missing.
std::unique_ptr<CsvSink> csv_sink_create(Folder* input, Folder* output,
                                         ConverterSettings* settings);

// Sorts entries by key, ascending; equal keys keep their order.
void frames_sort_by_time(SortEntry* entries, uint64_t count);

// The most runs frames_merge_runs takes.
inline constexpr uint64_t kMaxMergedRuns = 64;

// Visits the entries in the order of a stable sort by key of all of them,
// given runs that are each sorted already: run i is
// [ends[i - 1], ends[i]) with ends[-1] = 0 and ends[run_count - 1] the
// entry count. Ties go to the earlier run. visit(const SortEntry&) returns
// false to stop; the result is false when it did.
// REQUIRES: run_count <= kMaxMergedRuns.
template <typename Visit>
bool frames_merge_runs(const SortEntry* entries, const uint64_t* ends, uint64_t run_count,
                       Visit&& visit);

// Appends one table row for a frame, clipping its bytes to the frame's
// storage. Returns false when memory is short.
bool csv_format_can_row(const CanFrame& frame, double start_time, SsoString* row);
bool csv_format_lin_row(const LinFrame& frame, double start_time, SsoString* row);

template <typename Visit>
bool frames_merge_runs(const SortEntry* entries, const uint64_t* ends, uint64_t run_count,
                       Visit&& visit) {
  // Loggers write each bus in time order, so there are few runs: a linear
  // scan for the smallest head beats a heap for them, and the first head
  // of equal keys is the earlier run's.
  uint64_t next[kMaxMergedRuns];
  for (uint64_t r = 0; r < run_count; ++r) next[r] = r == 0 ? 0 : ends[r - 1];
  for (;;) {
    uint64_t best = run_count;
    for (uint64_t r = 0; r < run_count; ++r) {
      if (next[r] < ends[r] &&
          (best == run_count || entries[next[r]].key < entries[next[best]].key)) {
        best = r;
      }
    }
    if (best == run_count) return true;
    if (!visit(entries[next[best]++])) return false;
  }
}

}  // namespace quarrow
