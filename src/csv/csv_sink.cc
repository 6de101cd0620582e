#include "csv/csv_sink.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/large_memory.h"
#include "csv/row_format.h"
#include "io/folder.h"
#include "io/stream.h"
#include "log/log.h"
#include "mdf/mdf_file.h"

namespace quarrow {

namespace {

constexpr char kCanHeader[] =
    "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;DataBytes\n";
constexpr char kLinHeader[] = "TimestampEpoch;BusChannel;ID;DataLength;Dir;DataBytes\n";
constexpr uint64_t kFrameAlign = alignof(StoredFrame);

// Room for the fields of a row before its data bytes: the time, the hex
// id, at most nine int fields and a separator after each.
constexpr uint64_t kHeadRoom = kRowTimeRoom + kRowHexRoom + 9 * kRowIntRoom + 11;
// A whole row: the fields, two digits per data byte and the line feed.
constexpr uint64_t kRowCapacity = kHeadRoom + 2 * kCanFrameStorage + 1;

// The fields of a row before its data bytes, each followed by ";": the
// time, the bus channel, the id in hexadecimal of id_width digits at least,
// then the int fields.
template <size_t N>
bool append_head(SsoString* row, double time, int bus_channel, uint32_t id, int id_width,
                 const int (&fields)[N]) {
  static_assert(N <= 8, "kHeadRoom holds nine int fields");
  uint64_t length = row->size();
  char* start = row->reserve(length + kHeadRoom);
  if (!start) return false;
  char* d = row_format_time(start + length, time);
  *d++ = ';';
  d = row_format_int(d, bus_channel);
  *d++ = ';';
  d = row_format_hex(d, id, id_width);
  *d++ = ';';
  for (int field : fields) {
    d = row_format_int(d, field);
    *d++ = ';';
  }
  row->set_size(static_cast<uint64_t>(d - start));
  return true;
}

// Two upper-case hexadecimal digits per byte value, high nibble first.
struct HexPairs {
  char digits[256][2];
  constexpr HexPairs() : digits() {
    const char* kDigits = "0123456789ABCDEF";
    for (int i = 0; i < 256; ++i) {
      digits[i][0] = kDigits[i >> 4];
      digits[i][1] = kDigits[i & 0xF];
    }
  }
};
constexpr HexPairs kHex;

// Appends the hexadecimal bytes and the line feed.
bool append_hex_line(SsoString* row, const uint8_t* bytes, uint64_t count) {
  uint64_t length = row->size();
  char* d = row->reserve(length + 2 * count + 1);
  if (!d) return false;
  d += length;
  for (uint64_t i = 0; i < count; ++i) {
    std::memcpy(d, kHex.digits[bytes[i]], 2);
    d += 2;
  }
  *d = '\n';
  row->set_size(length + 2 * count + 1);
  return true;
}

// The values of one table row.
struct CanRow {
  double time;
  int bus_channel;
  uint32_t id;
  int ide, dlc, data_length, dir, edl, brs, esi, rtr;
  const uint8_t* bytes;
  uint64_t count;  // hexadecimal bytes
};

struct LinRow {
  double time;
  int bus_channel;
  uint32_t id;
  int received_count, dir;
  const uint8_t* bytes;
  uint64_t count;
};

// "%10.6f;%d;%08X;" for an extended id, "%03X" for a standard one, then
// "%d;" for each flag and count.
bool format_can(const CanRow& r, SsoString* row) {
  const int fields[] = {r.ide, r.dlc, r.data_length, r.dir, r.edl, r.brs, r.esi, r.rtr};
  return append_head(row, r.time, r.bus_channel, r.id, r.ide == 1 ? 8 : 3, fields) &&
         append_hex_line(row, r.bytes, r.count);
}

// "%10.6f;%d;%02X;%d;%d;".
bool format_lin(const LinRow& r, SsoString* row) {
  const int fields[] = {r.received_count, r.dir};
  return append_head(row, r.time, r.bus_channel, r.id, 2, fields) &&
         append_hex_line(row, r.bytes, r.count);
}

uint64_t clipped_length(const Frame& frame, uint64_t storage) {
  if (!frame.data) return 0;
  return frame.data_length < storage ? frame.data_length : storage;
}

// Timestamps as integers of the same order: -0.0 equals 0.0, and every NaN
// sorts after every number.
uint64_t time_key(double time) {
  if (time != time) return UINT64_MAX;
  time += 0.0;
  uint64_t bits;
  std::memcpy(&bits, &time, sizeof(bits));
  return bits >> 63 ? ~bits : bits | (1ull << 63);
}

// A stored copy with the data bytes clipped to the frame's storage.
StoredFrame* store_frame(FramePool* pool, const Frame& frame, uint64_t storage) {
  uint64_t n = clipped_length(frame, storage);
  auto* copy = static_cast<StoredFrame*>(pool->take(sizeof(StoredFrame) + n));
  if (!copy) return nullptr;
  std::memset(static_cast<void*>(copy), 0, sizeof(*copy));
  copy->timestamp = frame.timestamp;
  copy->id = frame.id;
  copy->length = static_cast<uint8_t>(n);
  if (n) std::memcpy(copy->bytes(), frame.data, n);
  return copy;
}

StoredFrame* store_can(FramePool* pool, const CanFrame& frame) {
  StoredFrame* copy = store_frame(pool, frame, kCanFrameStorage);
  if (copy) {
    copy->bus_channel = frame.bus_channel;
    copy->ide = frame.ide;
    copy->dlc = frame.dlc;
    copy->dir = frame.dir;
    copy->edl = frame.edl;
    copy->brs = frame.brs;
    copy->esi = frame.esi;
    copy->rtr = frame.rtr;
  }
  return copy;
}

StoredFrame* store_lin(FramePool* pool, const LinFrame& frame) {
  StoredFrame* copy = store_frame(pool, frame, kLinFrameStorage);
  if (copy) {
    copy->bus_channel = frame.bus_channel;
    copy->dir = frame.dir;
    copy->received_count = frame.received_count;
  }
  return copy;
}

bool format_stored_can(const StoredFrame& f, double start_time, SsoString* row) {
  return format_can(CanRow{f.timestamp + start_time, f.bus_channel, f.id, f.ide, f.dlc, f.length,
                           f.dir, f.edl, f.brs, f.esi, f.rtr, f.bytes(), f.length},
                    row);
}

bool format_stored_lin(const StoredFrame& f, double start_time, SsoString* row) {
  return format_lin(LinRow{f.timestamp + start_time, f.bus_channel, f.id, f.received_count, f.dir,
                           f.bytes(), f.length},
                    row);
}

bool open_table(Folder* folder, StringView base, const char* suffix, const char* label,
                SsoString* path, ByteStream** stream) {
  if (!path->assign(base) || !path->append(StringView(suffix))) {
    *stream = nullptr;
  } else {
    *stream = folder_open_relative(folder, path->view(), FS_OPEN_WRITE);
  }
  if (!*stream) {
    QLOG(LOG_ERROR, "Could not open output file for %s: %s", label, path->c_str());
    return false;
  }
  return true;
}

}  // namespace

FramePool::~FramePool() {
  for (uint8_t* block : blocks_) std::free(block);
}

void* FramePool::take(uint64_t size) {
  size = (size + kFrameAlign - 1) / kFrameAlign * kFrameAlign;
  if (size > kBlockSize) return nullptr;
  if (blocks_.empty() || kBlockSize - used_ < size) {
    if (!blocks_.reserve(blocks_.size() + 1)) return nullptr;
    auto* block = static_cast<uint8_t*>(large_memory_alloc(kBlockSize));
    if (!block) return nullptr;
    blocks_.append(block);
    used_ = 0;
  }
  void* p = blocks_.back() + used_;
  used_ += size;
  return p;
}

void FramePool::reset() {
  while (blocks_.size() > 1) {
    std::free(blocks_.back());
    blocks_.pop_back();
  }
  used_ = 0;
}

bool csv_format_can_row(const CanFrame& frame, double start_time, SsoString* row) {
  return format_can(
      CanRow{frame.timestamp + start_time, frame.bus_channel, frame.id, frame.ide, frame.dlc,
             static_cast<int>(frame.data_length), frame.dir, frame.edl, frame.brs, frame.esi,
             frame.rtr, frame.data, clipped_length(frame, kCanFrameStorage)},
      row);
}

bool csv_format_lin_row(const LinFrame& frame, double start_time, SsoString* row) {
  return format_lin(
      LinRow{frame.timestamp + start_time, frame.bus_channel, frame.id, frame.received_count,
             frame.dir, frame.data, clipped_length(frame, kLinFrameStorage)},
      row);
}

void frames_sort_by_time(SortEntry* entries, uint64_t count) {
  // Frames mostly arrive in time order with a few stamped late; insertion
  // moves those few into place in linear time. Input far from that order
  // runs out of the move budget and goes to the merge sort. Insertion never
  // moves an entry past an equal key, so stopping halfway keeps the order of
  // equal keys for the merge sort.
  uint64_t budget = 8 * count + 64;
  for (uint64_t i = 1; i < count; ++i) {
    if (entries[i].key >= entries[i - 1].key) continue;
    SortEntry moving = entries[i];
    uint64_t j = i;
    do {
      entries[j] = entries[j - 1];
      --j;
      if (--budget == 0) {
        entries[j] = moving;
        std::stable_sort(entries, entries + count,
                         [](const SortEntry& a, const SortEntry& b) { return a.key < b.key; });
        return;
      }
    } while (j > 0 && moving.key < entries[j - 1].key);
    entries[j] = moving;
  }
}

std::unique_ptr<CsvSink> csv_sink_create(Folder* input, Folder* output,
                                         ConverterSettings* settings) {
  std::unique_ptr<CsvSink> sink(new (std::nothrow) CsvSink);
  if (!sink || !sink->init(input, output, true, settings)) return nullptr;
  return sink;
}

void CsvSink::forget_frames() {
  can_frames_.clear();
  lin_frames_.clear();
  can_runs_.clear();
  lin_runs_.clear();
  pool_.reset();
}

namespace {

// Ends the current run when frames arrived since the last one ended.
bool close_run(const GrowArray<SortEntry>& frames, GrowArray<uint64_t>* runs) {
  uint64_t end = frames.size();
  if (end == (runs->empty() ? 0 : runs->back())) return true;
  return runs->append(end);
}

}  // namespace

void CsvSink::on_group_end(const GroupList&) {
  // Without room for the boundary the runs merge with the next group's;
  // the table is then ordered by the whole sort below.
  if (!close_run(can_frames_, &can_runs_) || !close_run(lin_frames_, &lin_runs_)) {
    run_lost_ = true;
  }
}

bool CsvSink::on_file_begin(StringView, MdfFile* mdf) {
  start_time_ = __builtin_nan("");
  // Whole microseconds since 1970: the tables print six decimals.
  if (HdBlock* hd = mdf_hd_block(mdf)) {
    start_time_ = static_cast<double>(hd->hd_start_time_ns / 1000) * 0.000001;
  }
  forget_frames();
  store_failed_ = false;
  run_lost_ = false;
  return true;
}

bool CsvSink::on_frame(const Frame& frame) {
  bool stored;
  switch (frame.kind) {
    case FRAME_CAN_DATA:
    case FRAME_CAN_REMOTE: {
      StoredFrame* copy = store_can(&pool_, static_cast<const CanFrame&>(frame));
      stored = copy && can_frames_.append(SortEntry{time_key(frame.timestamp), copy});
      break;
    }
    case FRAME_LIN: {
      StoredFrame* copy = store_lin(&pool_, static_cast<const LinFrame&>(frame));
      stored = copy && lin_frames_.append(SortEntry{time_key(frame.timestamp), copy});
      break;
    }
    default:
      return true;
  }
  if (!stored && !store_failed_) {
    // Once per file: a file that cannot be held in memory would repeat it
    // for every frame after.
    QLOG(LOG_ERROR, "Could not store frame: out of memory");
    store_failed_ = true;
  }
  return stored;
}

bool CsvSink::wants_group(const GroupList& groups) {
  for (const GroupInfo& group : groups) {
    if (group.kind == FRAME_CAN_DATA || group.kind == FRAME_CAN_REMOTE || group.kind == FRAME_LIN) {
      return true;
    }
  }
  return false;
}

bool CsvSink::write_table(ByteStream* stream, bool is_can, uint64_t* rows) {
  const char* header = is_can ? kCanHeader : kLinHeader;
  uint64_t header_size = (is_can ? sizeof(kCanHeader) : sizeof(kLinHeader)) - 1;
  const char* label = is_can ? "CAN" : "LIN";
  GrowArray<SortEntry>& frames = is_can ? can_frames_ : lin_frames_;
  GrowArray<uint64_t>& runs = is_can ? can_runs_ : lin_runs_;
  uint64_t count = frames.size();
  *rows = 0;
  if (count == 0) return true;
  SortEntry* entries = frames.data();
  // The table is the stable sort by time of all frames in read order. Each
  // data group's run is sorted on its own, which costs nothing for the time
  // order loggers write, and the runs are merged while the rows go out.
  uint64_t whole = count;
  const uint64_t* ends = &whole;
  uint64_t run_count = 1;
  if (!run_lost_ && close_run(frames, &runs) && runs.size() <= kMaxMergedRuns) {
    ends = runs.data();
    run_count = runs.size();
  }
  for (uint64_t r = 0, start = 0; r < run_count; start = ends[r++]) {
    frames_sort_by_time(entries + start, ends[r] - start);
  }
  if (stream_write(stream, header, header_size) != static_cast<int64_t>(header_size)) {
    QLOG(LOG_ERROR, "Could not write %s header", label);
    return false;
  }
  // Only a hint: a row that does not fit grows the buffer itself.
  (void)row_.reserve(kRowCapacity);
  bool written = frames_merge_runs(entries, ends, run_count, [&](const SortEntry& entry) {
    row_.clear();
    bool formatted = is_can ? format_stored_can(*entry.frame, start_time_, &row_)
                            : format_stored_lin(*entry.frame, start_time_, &row_);
    if (!formatted ||
        stream_write(stream, row_.c_str(), row_.size()) != static_cast<int64_t>(row_.size())) {
      return false;
    }
    ++*rows;
    return true;
  });
  if (!written) QLOG(LOG_ERROR, "Could not write %s data", label);
  return written;
}

bool CsvSink::on_file_end(StringView output_base) {
  Folder* folder = output_folder();
  SsoString path;
  ByteStream* stream;

  if (!open_table(folder, output_base, "_CAN.csv", "CAN", &path, &stream)) return false;
  uint64_t rows;
  bool can_ok = write_table(stream, true, &rows);
  if (stream_close(stream) != 0) can_ok = false;
  bool result = can_ok;
  if ((rows == 0 || !can_ok) && !folder_remove_relative(folder, path.view())) result = false;

  if (!open_table(folder, output_base, "_LIN.csv", "LIN", &path, &stream)) return false;
  bool lin_ok = write_table(stream, false, &rows);
  if (stream_close(stream) != 0) lin_ok = false;
  // A table whose writing failed is cut short somewhere unknown; left on
  // disk it would pass for the log's whole LIN traffic.
  if ((rows == 0 || !result || !lin_ok) && !folder_remove_relative(folder, path.view())) {
    result = false;
  }
  return result && lin_ok;
}

}  // namespace quarrow
