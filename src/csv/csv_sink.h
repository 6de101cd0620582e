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
struct DgBlock;

// A record in the order of a table: its timestamp as an integer with the
// order of the timestamps (NaN last), and where the record starts in its
// data group.
struct SortEntry {
  uint64_t key;
  uint64_t offset;
};

// The frames one data group gives one table. Loggers write each group in
// time order; such frames are only skimmed when the group is read, and
// decoded again as the table is written, in read order. A frame stamped
// before one read earlier in the group is late: it keeps a 16-byte entry,
// and the late entries, stably sorted, are merged with the others. Frames
// of equal time then come out in read order, as a stable sort of the whole
// group gives them.
struct TableSource {
  DgBlock* group = nullptr;
  uint64_t dg_index = 0;   // 1-based, for messages
  bool in_memory = false;  // the group can be decoded on several threads
  uint64_t frames = 0;     // in time order
  uint64_t last_key = 0;   // of the last of them: the latest time so far
  // Every kCheckpointSpacing-th frame in time order, where a piece of the
  // table can start reading.
  GrowArray<SortEntry> checkpoints;
  GrowArray<SortEntry> late;
};

// The suffix of the table of decoded signal values.
inline constexpr char kSignalsSuffix[] = "_CAN_signals.csv";

// The CSV writer: takes the data groups of one input file that carry CAN
// data, CAN remote or LIN frames and, when the file ends, writes their
// frames sorted by time into "<base>_CAN.csv" and "<base>_LIN.csv" below
// the output folder. The rows are the stable sort by time of all frames in
// read order (data groups in file order). With DBC files in the settings,
// the CAN data frames' signals go to "<base>_CAN_signals.csv", in the
// order of their frames' rows. A table without rows is deleted.
class CsvSink : public FrameSink {
 public:
  CsvSink() = default;
  ~CsvSink() override;

  // Skims the group's records: how many frames each table gets, and which
  // of them are late. Fails the file when the late entries cannot be
  // stored.
  GroupReadResult read_group(DgBlock* group, const GroupList& groups) override;
  // Takes the recording's start time from the file's header block (NaN when
  // the file has none) and forgets the groups of the previous file.
  bool on_file_begin(StringView output_base, MdfFile* mdf) override;
  // Writes both tables; false when either could not be written completely.
  bool on_file_end(StringView output_base) override;
  // Removes both tables.
  void discard_file(StringView output_base) override;
  // True when a group carries CAN data, CAN remote or LIN frames.
  bool wants_group(const GroupList& groups) override;
  std::unique_ptr<FrameSink> another() override;
  uint64_t rows_written() const override { return rows_written_; }

  double start_time() const { return start_time_; }

  // Dense enough that pieces cut by time stay small when a table merges
  // hundreds of groups; 16 bytes per 512 frames.
  static constexpr uint64_t kCheckpointSpacing = 512;

 private:
  void forget_sources();
  bool write_table(ByteStream* stream, bool is_can, ByteStream* signal_stream, uint64_t* rows,
                   uint64_t* signal_rows);

  double start_time_ = 0.0;
  GrowArray<TableSource*> can_sources_;
  GrowArray<TableSource*> lin_sources_;
  bool store_failed_ = false;
  uint64_t rows_written_ = 0;
};

// A writer over the two folders, or null when memory is short or a folder or
// the settings are missing.
std::unique_ptr<CsvSink> csv_sink_create(Folder* input, Folder* output,
                                         ConverterSettings* settings);

// Sorts entries by key, ascending; equal keys keep their order.
void frames_sort_by_time(SortEntry* entries, uint64_t count);

// Appends one table row; false when memory is short.
bool csv_format_can_row(const CanFrame& frame, double start_time, SsoString* row);
bool csv_format_lin_row(const LinFrame& frame, double start_time, SsoString* row);

}  // namespace quarrow
