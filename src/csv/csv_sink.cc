#include "csv/csv_sink.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "app/settings.h"
#include "bus/frame_iterator.h"
#include "core/ordered_work.h"
#include "csv/row_format.h"
#include "dbc/signal_decoder.h"
#include "io/folder.h"
#include "io/interrupt.h"
#include "io/stream.h"
#include "io/table_file.h"
#include "log/log.h"
#include "mdf/mdf_file.h"

namespace quarrow {

namespace {

constexpr char kCanHeader[] =
    "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;DataBytes\n";
constexpr char kLinHeader[] = "TimestampEpoch;BusChannel;ID;DataLength;Dir;DataBytes\n";
constexpr char kSignalsHeader[] = "TimestampEpoch;BusChannel;ID;Message;Signal;Value;Unit\n";

// Room for the fields of a row before its data bytes: the time, the hex
// id, at most nine int fields and a separator after each.
constexpr uint64_t kHeadRoom = kRowTimeRoom + kRowHexRoom + 9 * kRowIntRoom + 11;
// A whole row: the fields, two digits per data byte and the line feed.
constexpr uint64_t kRowCapacity = kHeadRoom + 2 * kCanFrameStorage + 1;

// Rows a piece of a table holds: a few megabytes of text, enough that
// handing pieces between threads costs nothing next to making them.
constexpr uint64_t kPieceFrames = 32 * 1024;

// Up to this many cursors, the next row is found by a scan; beyond, by a
// heap.
constexpr uint64_t kScannedCursors = 8;

constexpr uint32_t kCanKinds = 1u << FRAME_CAN_DATA | 1u << FRAME_CAN_REMOTE;
constexpr uint32_t kLinKinds = 1u << FRAME_LIN;

// The fields of a row before its data bytes, each followed by ";": the
// time, the bus channel, the id in hexadecimal of id_width digits at least,
// then the int fields.
template <size_t N>
char* write_head(char* d, double time, int bus_channel, uint32_t id, int id_width,
                 const int (&fields)[N]) {
  static_assert(N <= 8, "kHeadRoom holds nine int fields");
  d = row_format_time(d, time);
  *d++ = ';';
  d = row_format_int(d, bus_channel);
  *d++ = ';';
  d = row_format_hex(d, id, id_width);
  *d++ = ';';
  for (int field : fields) {
    d = row_format_int(d, field);
    *d++ = ';';
  }
  return d;
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

// The hexadecimal bytes and the line feed.
char* write_hex_line(char* d, const uint8_t* bytes, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    std::memcpy(d, kHex.digits[bytes[i]], 2);
    d += 2;
  }
  *d++ = '\n';
  return d;
}

uint64_t clipped_length(const Frame& frame, uint64_t storage) {
  if (!frame.data) return 0;
  return frame.data_length < storage ? frame.data_length : storage;
}

bool open_table(Folder* folder, StringView base, const char* suffix, const char* label,
                TableFile* table) {
  SsoString path;
  if (path.assign(base) && path.append(StringView(suffix)) && table->open(folder, path)) {
    return true;
  }
  // An interrupted run says so once, for all its tables.
  if (!interrupted()) QLOG(LOG_ERROR, "Could not open output file for %s: %s", label, path.c_str());
  return false;
}

// One table row for a frame, its bytes clipped to the frame's storage.
// REQUIRES: out has room for kRowCapacity characters.
char* csv_write_can_row(char* out, const CanFrame& frame, double start_time) {
  uint64_t count = clipped_length(frame, kCanFrameStorage);
  const int fields[] = {frame.ide, frame.dlc, static_cast<int>(count),
                        frame.dir, frame.edl, frame.brs,
                        frame.esi, frame.rtr};
  out = write_head(out, frame.timestamp + start_time, frame.bus_channel, frame.id,
                   frame.ide == 1 ? 8 : 3, fields);
  return write_hex_line(out, frame.data, count);
}

char* csv_write_lin_row(char* out, const LinFrame& frame, double start_time) {
  const int fields[] = {frame.received_count, frame.dir};
  out = write_head(out, frame.timestamp + start_time, frame.bus_channel, frame.id, 2, fields);
  return write_hex_line(out, frame.data, clipped_length(frame, kLinFrameStorage));
}

// Timestamps as integers of the same order: -0.0 equals 0.0, and every NaN
// sorts after every number.
uint64_t frame_time_key(double time) {
  if (time != time) return UINT64_MAX;
  time += 0.0;
  uint64_t bits;
  std::memcpy(&bits, &time, sizeof(bits));
  return bits >> 63 ? ~bits : bits | (1ull << 63);
}

// Where the walk of one source's frames in time order, or of its late
// frames, stands within a piece.
struct Cursor {
  TableSource* source;
  FrameIterator* frames;
  bool late;
  const Frame* head;  // the next frame to write, null when the cursor is done
  uint64_t key;
  bool walking;     // in time order: records are left
  uint64_t latest;  // in time order: the latest time so far
  // In time order: where the walk stopped at the end of an earlier piece
  // of this worker, with the latest time before it. Every frame in time
  // order before it belongs to earlier pieces, so a later piece may start
  // there instead of skimming from a checkpoint.
  bool resumable;
  uint64_t resume_at;
  uint64_t resume_latest;
  uint64_t next_entry;  // late: the next entry, and where they stop
  uint64_t end_entry;
};

// Text that grows by doubling from a first capacity.
struct TextBuffer {
  char* text = nullptr;
  uint64_t size = 0;
  uint64_t capacity = 0;
  uint64_t rows = 0;

  // Room for `room` more bytes; false when memory is short.
  bool make_room(uint64_t room, uint64_t first_capacity) {
    if (capacity - size >= room) return true;
    uint64_t grown = capacity ? capacity * 2 : first_capacity;
    while (grown - size < room) grown *= 2;
    auto* grown_text = static_cast<char*>(std::realloc(text, grown));
    if (!grown_text) return false;
    text = grown_text;
    capacity = grown;
    return true;
  }
};

// Made pieces of a table, waiting to be written in order: the rows, and
// the signal rows decoded from them.
struct PieceText {
  TextBuffer rows;
  TextBuffer signals;
  uint64_t lost_group = 0;  // a data group whose records could not be read
};

// Writes one table: the merge of its sources, cut by time into pieces that
// are decoded and formatted on the worker threads and written in order.
class TableWriter : public OrderedWork {
 public:
  // With signals, CAN data frames are also decoded into signal rows for
  // signal_stream.
  TableWriter(const GrowArray<TableSource*>& sources, uint32_t kinds, double start_time,
              ByteStream* stream, const SignalDecoder* signals, ByteStream* signal_stream)
      : sources_(sources),
        kinds_(kinds),
        start_time_(start_time),
        stream_(stream),
        signals_(signals),
        signal_stream_(signal_stream) {}
  ~TableWriter() override {
    for (PieceText& piece : pieces_) {
      std::free(piece.rows.text);
      std::free(piece.signals.text);
    }
    for (FrameIterator* frames : iterators_) delete frames;
  }

  // Cuts the table into pieces and sizes the buffers; false when memory is
  // short.
  bool plan(unsigned threads);
  bool run() { return run_ordered_work(this, bounds_.size(), threads_, pieces_.size()); }

  bool make(uint64_t piece, unsigned worker) override;
  bool take(uint64_t piece) override;

  uint64_t rows() const { return rows_; }
  uint64_t signal_rows() const { return signal_rows_; }
  bool write_failed() const { return write_failed_; }
  bool signals_write_failed() const { return signals_write_failed_; }
  bool lost_records() const { return lost_records_; }

 private:
  void start(Cursor* cursor, uint64_t lo, bool bounded, uint64_t hi, PieceText* out);
  void advance(Cursor* cursor, bool bounded, uint64_t hi, PieceText* out);
  bool append_row(const Frame& frame, PieceText* out);
  bool append_signals(const CanFrame& frame, const char* row, const char* row_end, PieceText* out);

  const GrowArray<TableSource*>& sources_;
  uint32_t kinds_;
  double start_time_;
  ByteStream* stream_;
  const SignalDecoder* signals_;
  ByteStream* signal_stream_;
  unsigned threads_ = 1;
  uint64_t first_capacity_ = kRowCapacity;
  // Piece i holds the frames with keys in [bounds_[i], bounds_[i + 1]); the
  // last piece has no upper bound.
  GrowArray<uint64_t> bounds_;
  GrowArray<PieceText> pieces_;
  // Per worker, two cursors per source, each with its own iterator: cursor
  // c of worker w is at w * 2 * sources + c.
  GrowArray<FrameIterator*> iterators_;
  GrowArray<Cursor> cursors_;
  GrowArray<uint32_t> heaps_;  // per worker: room for a heap of its cursors
  uint64_t rows_ = 0;
  uint64_t signal_rows_ = 0;
  bool write_failed_ = false;
  bool signals_write_failed_ = false;
  bool lost_records_ = false;
};

bool TableWriter::plan(unsigned threads) {
  bool in_memory = true;
  GrowArray<uint64_t> keys;
  uint64_t frames = 0;
  for (TableSource* source : sources_) {
    in_memory = in_memory && source->in_memory;
    frames += source->frames + source->late.size();
    for (const SortEntry& checkpoint : source->checkpoints) {
      if (!keys.append(checkpoint.key)) return false;
    }
    for (uint64_t i = 0; i < source->late.size(); i += CsvSink::kCheckpointSpacing) {
      if (!keys.append(source->late[i].key)) return false;
    }
  }
  // Room for the rows of a piece, or of a small table: sized so that a
  // short row seldom grows it.
  first_capacity_ = (frames < kPieceFrames ? frames : kPieceFrames) * 48 + kRowCapacity;
  // Pieces start at keys that lie about kPieceFrames frames apart over all
  // sources; equal keys never straddle two pieces.
  std::sort(keys.begin(), keys.end());
  if (!bounds_.append(0)) return false;
  const uint64_t step = kPieceFrames / CsvSink::kCheckpointSpacing;
  for (uint64_t i = step; i < keys.size(); i += step) {
    if (keys[i] > bounds_.back() && !bounds_.append(keys[i])) return false;
  }
  // Groups read through a stream share its position: one thread then.
  threads_ = in_memory ? threads : 1;
  if (threads_ < 1) threads_ = 1;
  uint64_t ahead = threads_ == 1 ? 1 : 2 * uint64_t{threads_};
  // Two cursors per source: its frames in time order and its late ones.
  uint64_t slots = threads_ * sources_.size() * 2;
  if (!pieces_.reserve(ahead) || !iterators_.reserve(slots) || !cursors_.reserve(slots) ||
      !heaps_.reserve(slots) || sources_.size() > UINT32_MAX / 2) {
    return false;
  }
  for (uint64_t i = 0; i < ahead; ++i) pieces_.append(PieceText{});
  for (uint64_t i = 0; i < slots; ++i) {
    iterators_.append(nullptr);
    cursors_.append(Cursor{});
    heaps_.append(0);
  }
  return true;
}

bool TableWriter::append_row(const Frame& frame, PieceText* out) {
  TextBuffer& rows = out->rows;
  if (!rows.make_room(kRowCapacity, first_capacity_)) return false;
  char* d = rows.text + rows.size;
  char* end = frame.kind == FRAME_LIN
                  ? csv_write_lin_row(d, static_cast<const LinFrame&>(frame), start_time_)
                  : csv_write_can_row(d, static_cast<const CanFrame&>(frame), start_time_);
  rows.size += static_cast<uint64_t>(end - d);
  ++rows.rows;
  if (signals_ && frame.kind == FRAME_CAN_DATA) {
    return append_signals(static_cast<const CanFrame&>(frame), d, end, out);
  }
  return true;
}

// The frame's signal rows, which start with the first three fields of its
// table row.
bool TableWriter::append_signals(const CanFrame& frame, const char* row, const char* row_end,
                                 PieceText* out) {
  const SignalMessage* message = signals_->find(frame.bus_channel, frame.id, frame.ide == 1);
  if (!message) return true;
  const char* head_end = row;
  for (int field = 0; field < 3; ++field) {
    head_end = static_cast<const char*>(
                   std::memchr(head_end, ';', static_cast<size_t>(row_end - head_end))) +
               1;
  }
  auto head_size = static_cast<uint64_t>(head_end - row);
  TextBuffer& signals = out->signals;
  if (!signals.make_room(SignalDecoder::rows_room(*message, head_size), first_capacity_)) {
    return false;
  }
  char* d = signals.text + signals.size;
  char* end =
      SignalDecoder::write_rows(*message, frame.data, clipped_length(frame, kCanFrameStorage), row,
                                head_size, d, &signals.rows);
  signals.size += static_cast<uint64_t>(end - d);
  return true;
}

// The walk of a later piece may start at offset, the first frame in time
// order of a later piece, with latest the latest time before it.
void stop_at(Cursor* cursor, uint64_t offset, uint64_t latest) {
  cursor->resumable = true;
  cursor->resume_at = offset;
  cursor->resume_latest = latest;
}

// Positions the cursor at its first frame with a key of at least lo.
void TableWriter::start(Cursor* cursor, uint64_t lo, bool bounded, uint64_t hi, PieceText* out) {
  TableSource* source = cursor->source;
  auto below = [](const SortEntry& e, uint64_t key) { return e.key < key; };
  cursor->head = nullptr;
  if (cursor->late) {
    const SortEntry* entries = source->late.data();
    uint64_t count = source->late.size();
    cursor->next_entry =
        static_cast<uint64_t>(std::lower_bound(entries, entries + count, lo, below) - entries);
    cursor->end_entry =
        bounded
            ? static_cast<uint64_t>(std::lower_bound(entries, entries + count, hi, below) - entries)
            : count;
    return;
  }
  // From the last checkpoint before lo, or from where this worker stopped
  // when that is further, skimming to the first frame at lo.
  const SortEntry* checkpoints = source->checkpoints.data();
  uint64_t count = source->checkpoints.size();
  uint64_t i = static_cast<uint64_t>(std::lower_bound(checkpoints, checkpoints + count, lo, below) -
                                     checkpoints);
  uint64_t from = i > 0 ? checkpoints[i - 1].offset : 0;
  uint64_t latest = i > 0 ? checkpoints[i - 1].key : 0;
  if (cursor->resumable && cursor->resume_at > from) {
    from = cursor->resume_at;
    latest = cursor->resume_latest;
  }
  cursor->resumable = false;
  FrameIterator* frames = cursor->frames;
  frames->restart_at(from);
  cursor->walking = false;
  uint64_t offset;
  FrameKind kind;
  double time;
  while (frames->skim(&offset, &kind, &time)) {
    if (!(kinds_ >> kind & 1)) continue;
    uint64_t key = frame_time_key(time);
    if (key < latest) continue;  // late
    if (key >= lo) {
      if (bounded && key >= hi) {
        stop_at(cursor, offset, latest);
        return;
      }
      frames->restart_at(offset);
      cursor->walking = true;
      break;
    }
    latest = key;
  }
  if (!cursor->walking && frames->read_failed()) out->lost_group = source->dg_index;
  cursor->latest = latest;
}

// Takes the cursor's next frame below hi, or ends it.
void TableWriter::advance(Cursor* cursor, bool bounded, uint64_t hi, PieceText* out) {
  TableSource* source = cursor->source;
  FrameIterator* frames = cursor->frames;
  cursor->head = nullptr;
  if (!cursor->late) {
    if (!cursor->walking) return;
    for (const Frame* frame = frames->next(); frame; frame = frames->next()) {
      // Classified by the skimmed time, as when the group was read: a
      // record that decodes to no frame still counts there.
      uint64_t key = frame_time_key(frames->record_time());
      if (key < cursor->latest) continue;  // late
      if (bounded && key >= hi) {
        stop_at(cursor, frames->record_offset(), cursor->latest);
        break;
      }
      cursor->latest = key;
      if (!(kinds_ >> frame->kind & 1)) continue;
      cursor->head = frame;
      cursor->key = key;
      return;
    }
    if (frames->read_failed()) out->lost_group = source->dg_index;
    cursor->walking = false;
    return;
  }
  while (cursor->next_entry < cursor->end_entry) {
    const SortEntry& entry = source->late[cursor->next_entry++];
    frames->restart_at(entry.offset);
    const Frame* frame = frames->next();
    if (!frame) {
      if (frames->read_failed()) out->lost_group = source->dg_index;
      continue;
    }
    if (!(kinds_ >> frame->kind & 1)) continue;
    cursor->head = frame;
    cursor->key = entry.key;
    return;
  }
}

bool TableWriter::make(uint64_t piece, unsigned worker) {
  PieceText* out = &pieces_[piece % pieces_.size()];
  out->rows.size = out->rows.rows = out->signals.size = out->signals.rows = out->lost_group = 0;
  uint64_t lo = bounds_[piece];
  bool bounded = piece + 1 < bounds_.size();
  uint64_t hi = bounded ? bounds_[piece + 1] : 0;
  // Cursor 2s walks source s in time order, 2s + 1 its late frames; equal
  // keys go to the lower cursor, which is the earlier in read order.
  uint64_t count = sources_.size() * 2;
  Cursor* cursors = cursors_.data() + worker * count;
  FrameIterator** iterators = iterators_.data() + worker * count;
  for (uint64_t c = 0; c < count; ++c) {
    TableSource* source = sources_[c / 2];
    cursors[c].source = source;
    cursors[c].late = c % 2 == 1;
    cursors[c].head = nullptr;
    cursors[c].walking = false;
    cursors[c].next_entry = cursors[c].end_entry = 0;
    if (cursors[c].late && source->late.empty()) continue;
    if (!iterators[c]) {
      iterators[c] = frame_iterator_create(source->group).release();
      if (!iterators[c]) return false;
      iterators[c]->want_kinds(kinds_);
    }
    cursors[c].frames = iterators[c];
    start(&cursors[c], lo, bounded, hi, out);
    advance(&cursors[c], bounded, hi, out);
  }
  if (count <= kScannedCursors) {
    // Loggers write few groups per bus: the smallest head is found by a
    // scan.
    for (;;) {
      Cursor* best = nullptr;
      for (uint64_t c = 0; c < count; ++c) {
        Cursor* cursor = &cursors[c];
        if (cursor->head && (!best || cursor->key < best->key)) best = cursor;
      }
      if (!best) return true;
      if (!append_row(*best->head, out)) return false;
      advance(best, bounded, hi, out);
    }
  }
  // Many groups: a heap of the cursors that have a head, ordered by key and
  // then by cursor.
  uint32_t* heap = heaps_.data() + worker * count;
  uint64_t size = 0;
  auto before = [&](uint32_t a, uint32_t b) {
    return cursors[a].key < cursors[b].key || (cursors[a].key == cursors[b].key && a < b);
  };
  auto sift_down = [&](uint64_t i) {
    for (;;) {
      uint64_t least = i, left = 2 * i + 1, right = left + 1;
      if (left < size && before(heap[left], heap[least])) least = left;
      if (right < size && before(heap[right], heap[least])) least = right;
      if (least == i) return;
      std::swap(heap[i], heap[least]);
      i = least;
    }
  };
  for (uint64_t c = 0; c < count; ++c) {
    if (cursors[c].head) heap[size++] = static_cast<uint32_t>(c);
  }
  for (uint64_t i = size / 2; i-- > 0;) sift_down(i);
  while (size > 0) {
    Cursor* best = &cursors[heap[0]];
    if (!append_row(*best->head, out)) return false;
    advance(best, bounded, hi, out);
    if (!best->head) heap[0] = heap[--size];
    sift_down(0);
  }
  return true;
}

bool TableWriter::take(uint64_t piece) {
  // Stops a long table soon after an interruption; what was written goes.
  if (interrupted()) return false;
  const PieceText& text = pieces_[piece % pieces_.size()];
  if (text.lost_group) {
    QLOG(LOG_ERROR, "Could not read the records of data group %llu",
         static_cast<unsigned long long>(text.lost_group));
    lost_records_ = true;
    return false;
  }
  const TextBuffer& rows = text.rows;
  if (rows.size && stream_write(stream_, rows.text, rows.size) != static_cast<int64_t>(rows.size)) {
    write_failed_ = true;
    return false;
  }
  rows_ += rows.rows;
  const TextBuffer& signals = text.signals;
  if (signals.size && stream_write(signal_stream_, signals.text, signals.size) !=
                          static_cast<int64_t>(signals.size)) {
    signals_write_failed_ = true;
    return false;
  }
  signal_rows_ += signals.rows;
  return true;
}

template <typename F>
bool format_row(const F& frame, double start_time, SsoString* row,
                char* (*write)(char*, const F&, double)) {
  uint64_t length = row->size();
  char* start = row->reserve(length + kRowCapacity);
  if (!start) return false;
  row->set_size(static_cast<uint64_t>(write(start + length, frame, start_time) - start));
  return true;
}

}  // namespace

bool csv_format_can_row(const CanFrame& frame, double start_time, SsoString* row) {
  return format_row(frame, start_time, row, csv_write_can_row);
}

bool csv_format_lin_row(const LinFrame& frame, double start_time, SsoString* row) {
  return format_row(frame, start_time, row, csv_write_lin_row);
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

std::unique_ptr<FrameSink> CsvSink::another() {
  return csv_sink_create(input_folder(), output_folder(), settings());
}

CsvSink::~CsvSink() {
  forget_sources();
}

void CsvSink::forget_sources() {
  for (TableSource* source : can_sources_) delete source;
  for (TableSource* source : lin_sources_) delete source;
  can_sources_.clear();
  lin_sources_.clear();
}

bool CsvSink::on_file_begin(StringView, MdfFile* mdf) {
  start_time_ = __builtin_nan("");
  // Whole microseconds since 1970: the tables print six decimals.
  if (HdBlock* hd = mdf_hd_block(mdf)) {
    start_time_ = static_cast<double>(hd->hd_start_time_ns / 1000) * 0.000001;
  }
  forget_sources();
  store_failed_ = false;
  return true;
}

namespace {

// Counts a frame of the source in time order, or keeps an entry for it
// when it is late. False when the entry cannot be stored.
bool note_frame(TableSource* source, uint64_t key, uint64_t offset) {
  if (source->frames > 0 && key < source->last_key) {
    return source->late.append(SortEntry{key, offset});
  }
  // Checkpoints only serve to start pieces: without room for one, a piece
  // starts earlier and skims further.
  if (source->frames % CsvSink::kCheckpointSpacing == 0) {
    (void)source->checkpoints.append(SortEntry{key, offset});
  }
  source->last_key = key;
  ++source->frames;
  return true;
}

// Orders the late entries and hands the source to its table, which then
// owns it; one without frames stays with the caller. False when the table
// has no room.
bool keep_source(TableSource** source, GrowArray<TableSource*>* table) {
  if ((*source)->frames == 0) return true;
  frames_sort_by_time((*source)->late.data(), (*source)->late.size());
  if (!table->append(*source)) return false;
  *source = nullptr;
  return true;
}

}  // namespace

GroupReadResult CsvSink::read_group(DgBlock* group, const GroupList& groups) {
  GroupReadResult result{true, false};
  std::unique_ptr<FrameIterator> frames = frame_iterator_create(group);
  if (!frames) return result;
  TableSource* can = new (std::nothrow) TableSource;
  TableSource* lin = new (std::nothrow) TableSource;
  bool stored = can && lin;
  if (stored) {
    for (TableSource* source : {can, lin}) {
      source->group = group;
      source->dg_index = groups.empty() ? 0 : groups[0].data_group;
      source->in_memory = frames->in_memory();
    }
    uint64_t offset;
    FrameKind kind;
    double time;
    frames->restart_at(0);
    uint64_t skimmed = 0;
    while (stored && frames->skim(&offset, &kind, &time)) {
      // A long group gives way to an interruption; the file fails then.
      if ((++skimmed & 0xFFFF) == 0 && interrupted()) break;
      TableSource* source = kCanKinds >> kind & 1 ? can : kLinKinds >> kind & 1 ? lin : nullptr;
      if (source) stored = note_frame(source, frame_time_key(time), offset);
    }
    result.read_failed = frames->read_failed();
    stored = stored && keep_source(&can, &can_sources_) && keep_source(&lin, &lin_sources_);
  }
  delete can;
  delete lin;
  if (!stored) {
    if (!store_failed_) {
      QLOG(LOG_ERROR, "Could not store frame: out of memory");
      store_failed_ = true;
    }
    result.frames_ok = false;
  }
  return result;
}

bool CsvSink::wants_group(const GroupList& groups) {
  for (const GroupInfo& group : groups) {
    if (group.kind == FRAME_CAN_DATA || group.kind == FRAME_CAN_REMOTE || group.kind == FRAME_LIN) {
      return true;
    }
  }
  return false;
}

bool CsvSink::write_table(ByteStream* stream, bool is_can, ByteStream* signal_stream,
                          uint64_t* rows, uint64_t* signal_rows) {
  const char* header = is_can ? kCanHeader : kLinHeader;
  uint64_t header_size = (is_can ? sizeof(kCanHeader) : sizeof(kLinHeader)) - 1;
  const char* label = is_can ? "CAN" : "LIN";
  const GrowArray<TableSource*>& sources = is_can ? can_sources_ : lin_sources_;
  *rows = *signal_rows = 0;
  if (sources.empty()) return true;
  const SignalDecoder* signals = signal_stream ? settings()->signals.get() : nullptr;
  TableWriter writer(sources, is_can ? kCanKinds : kLinKinds, start_time_, stream, signals,
                     signal_stream);
  if (stream_write(stream, header, header_size) != static_cast<int64_t>(header_size)) {
    QLOG(LOG_ERROR, "Could not write %s header", label);
    return false;
  }
  constexpr uint64_t kSignalsHeaderSize = sizeof(kSignalsHeader) - 1;
  if (signal_stream && stream_write(signal_stream, kSignalsHeader, kSignalsHeaderSize) !=
                           static_cast<int64_t>(kSignalsHeaderSize)) {
    QLOG(LOG_ERROR, "Could not write signals header");
    return false;
  }
  bool written = writer.plan(settings()->threads_per_file) && writer.run();
  *rows = writer.rows();
  *signal_rows = writer.signal_rows();
  if (!written && writer.signals_write_failed() && !interrupted()) {
    QLOG(LOG_ERROR, "Could not write signals data");
  } else if (!written && !writer.lost_records() && !interrupted()) {
    QLOG(LOG_ERROR, "Could not write %s data", label);
  }
  return written;
}

bool CsvSink::on_file_end(StringView output_base) {
  // The signals table is written with the CAN table, from the same pieces.
  enum { kCan, kSignals, kLin, kCount };
  static constexpr const char* kSuffixes[kCount] = {"_CAN.csv", kSignalsSuffix, "_LIN.csv"};
  static constexpr const char* kLabels[kCount] = {"CAN", "signals", "LIN"};
  Folder* folder = output_folder();
  TableFile files[kCount];
  uint64_t rows[kCount] = {};
  bool keep[kCount] = {};
  bool opened[kCount] = {};
  bool result = true;
  bool all_opened = true;
  // Signals come from CAN frames only: a log without them gets no signals
  // table.
  const bool with_signals = settings()->signals && !can_sources_.empty();
  for (int t : {kCan, kLin}) {
    const bool signals = t == kCan && with_signals;
    opened[t] = open_table(folder, output_base, kSuffixes[t], kLabels[t], &files[t]);
    if (opened[t] && signals) {
      opened[kSignals] =
          open_table(folder, output_base, kSuffixes[kSignals], kLabels[kSignals], &files[kSignals]);
      if (!opened[kSignals]) {
        (void)files[t].abandon();
        opened[t] = false;
      }
    }
    if (!opened[t]) {
      all_opened = false;
      break;
    }
    bool ok = write_table(files[t].stream(), t == kCan,
                          signals ? files[kSignals].stream() : nullptr, &rows[t], &rows[kSignals]);
    ok = files[t].close() && ok;
    bool signals_ok = !signals || files[kSignals].close();
    // The temporary files go with `files`; the log's tables of an earlier
    // run stay as they were.
    if (interrupted()) return false;
    // A table whose writing failed is cut short somewhere unknown; left on
    // disk it would pass for the log's whole traffic. One written after a
    // table that failed goes too, and signals go with their frames' table.
    keep[t] = ok && result && rows[t] > 0;
    if (signals) keep[kSignals] = keep[t] && signals_ok && rows[kSignals] > 0;
    result = result && ok && signals_ok;
    if (!keep[t] && !files[t].abandon()) result = false;
    if (signals && !keep[kSignals] && !files[kSignals].abandon()) result = false;
  }
  // A table that cannot be opened ends the file; the tables before it are
  // kept all the same.
  if (!all_opened) result = false;
  bool durable = settings()->delete_converted;
  bool placed = true;
  for (int i = 0; i < kCount; ++i) {
    if (keep[i] && !files[i].commit(durable)) placed = false;
  }
  // The log may be deleted once this returns: its tables must outlive a
  // power loss, renames included.
  if (placed && durable && opened[kCan] && !table_folder_flush(folder, files[kCan].path())) {
    placed = false;
  }
  if (!placed) {
    if (interrupted()) return false;
    QLOG(LOG_ERROR, "Could not put the tables of %.*s in place", static_cast<int>(output_base.size),
         output_base.data);
    for (int i = 0; i < kCount; ++i) {
      if (keep[i]) (void)files[i].abandon();
    }
    return false;
  }
  for (int i = 0; i < kCount; ++i) {
    if (keep[i]) rows_written_ += rows[i];
  }
  return result;
}

void CsvSink::discard_file(StringView output_base) {
  for (const char* suffix : {"_CAN.csv", "_LIN.csv", kSignalsSuffix}) {
    // A signals table of an earlier run with DBC files is not this run's.
    if (suffix == kSignalsSuffix && !settings()->signals) continue;
    SsoString path;
    // A table that was never written is not there to remove.
    if (path.assign(output_base) && path.append(StringView(suffix))) {
      (void)folder_remove_relative(output_folder(), path.view());
    }
  }
}

}  // namespace quarrow
