#pragma once

#include <algorithm>
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

  // Room for one object of `size` bytes (at most kBlockSize), aligned for any
  // frame; null when memory is short.
  void* take(uint64_t size);
  // Forgets every object; keeps the first block for the next file.
  void reset();

  static constexpr uint64_t kBlockSize = 256 * 1024;

 private:
  GrowArray<uint8_t*> blocks_;
  uint64_t used_ = kBlockSize;  // in the last block
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

  double start_time() const { return start_time_; }
  uint64_t can_frame_count() const { return can_frames_.size(); }
  uint64_t lin_frame_count() const { return lin_frames_.size(); }

 private:
  void forget_frames();
  // Sorts the frames and writes one table; *rows tells how many rows made it.
  bool write_table(ByteStream* stream, bool is_can, uint64_t* rows);

  double start_time_ = 0.0;
  GrowArray<CanFrame*> can_frames_;
  GrowArray<LinFrame*> lin_frames_;
  FramePool pool_;
  SsoString row_;
  bool store_failed_ = false;
};

// A writer over the two folders, or null when memory is short or a folder or
// the settings are missing.
std::unique_ptr<CsvSink> csv_sink_create(Folder* input, Folder* output,
                                         ConverterSettings* settings);

// Timestamp order that stays a strict weak order with NaN, which sorts last.
inline bool frame_time_before(const Frame* a, const Frame* b) {
  if (a->timestamp != a->timestamp) return false;
  if (b->timestamp != b->timestamp) return true;
  return a->timestamp < b->timestamp;
}

// Sorts frames by timestamp, ascending; equal timestamps keep their order.
template <typename F>
void frames_sort_by_time(F** frames, uint64_t count) {
  std::stable_sort(frames, frames + count, frame_time_before);
}

// Appends one table row for a frame, clipping its bytes to the frame's
// storage. Returns false when memory is short.
bool csv_format_can_row(const CanFrame& frame, double start_time, SsoString* row);
bool csv_format_lin_row(const LinFrame& frame, double start_time, SsoString* row);

}  // namespace quarrow
