#include "csv/csv_sink.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/format.h"
#include "io/folder.h"
#include "io/stream.h"
#include "log/log.h"
#include "mdf/mdf_file.h"

namespace quarrow {

namespace {

constexpr char kCanHeader[] =
    "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;DataBytes\n";
constexpr char kLinHeader[] = "TimestampEpoch;BusChannel;ID;DataLength;Dir;DataBytes\n";
constexpr uint64_t kRowCapacity = 256;
constexpr uint64_t kFrameAlign = alignof(CanFrame);

// Formats into the free room of row in one pass; only a row that does not
// fit is formatted a second time, after the buffer grew.
bool append_formatted(SsoString* row, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

bool append_formatted(SsoString* row, const char* format, ...) {
  uint64_t length = row->size();
  uint64_t room = row->capacity() - length;
  va_list args;
  va_start(args, format);
  int n = format_vsnprintf(row->data() + length, room + 1, format, args);
  va_end(args);
  if (n < 0) return false;
  if (static_cast<uint64_t>(n) > room) {
    if (!row->reserve(length + static_cast<uint64_t>(n) + row->capacity())) return false;
    va_start(args, format);
    format_vsnprintf(row->data() + length, static_cast<uint64_t>(n) + 1, format, args);
    va_end(args);
  }
  row->set_size(length + static_cast<uint64_t>(n));
  return true;
}

bool append_hex(SsoString* row, const uint8_t* bytes, uint64_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  uint64_t length = row->size();
  char* d = row->reserve(length + 2 * count);
  if (!d) return false;
  d += length;
  for (uint64_t i = 0; i < count; ++i) {
    *d++ = kDigits[bytes[i] >> 4];
    *d++ = kDigits[bytes[i] & 0xF];
  }
  row->set_size(length + 2 * count);
  return true;
}

uint64_t clipped_length(const Frame& frame, uint64_t storage) {
  if (!frame.data) return 0;
  return frame.data_length < storage ? frame.data_length : storage;
}

// A stored copy: every field, the used bytes, and data pointing at the
// copy's own storage. data_length is clipped to the storage, so a stored
// frame never claims bytes it does not hold.
template <typename F>
F* copy_frame(FramePool* pool, const F& frame, uint64_t storage) {
  void* room = pool->take(sizeof(F));
  if (!room) return nullptr;
  F* copy = static_cast<F*>(room);
  uint64_t n = clipped_length(frame, storage);
  std::memcpy(static_cast<void*>(copy), &frame, sizeof(F));
  if (n) std::memcpy(copy->bytes, frame.data, n);
  std::memset(copy->bytes + n, 0, storage - n);
  copy->data = copy->bytes;
  copy->data_length = n;
  return copy;
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
    auto* block = static_cast<uint8_t*>(std::malloc(kBlockSize));
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
  const char* format = frame.ide == 1 ? "%10.6f;%d;%08X;%d;%d;%d;%d;%d;%d;%d;%d;"
                                      : "%10.6f;%d;%03X;%d;%d;%d;%d;%d;%d;%d;%d;";
  uint64_t n = clipped_length(frame, kCanFrameStorage);
  return append_formatted(row, format, frame.timestamp + start_time, frame.bus_channel, frame.id,
                          frame.ide, frame.dlc, static_cast<int>(frame.data_length), frame.dir,
                          frame.edl, frame.brs, frame.esi, frame.rtr) &&
         append_hex(row, frame.data, n) && row->push_back('\n');
}

bool csv_format_lin_row(const LinFrame& frame, double start_time, SsoString* row) {
  uint64_t n = clipped_length(frame, kLinFrameStorage);
  return append_formatted(row, "%10.6f;%d;%02X;%d;%d;", frame.timestamp + start_time,
                          frame.bus_channel, frame.id, frame.received_count, frame.dir) &&
         append_hex(row, frame.data, n) && row->push_back('\n');
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
  pool_.reset();
}

bool CsvSink::on_file_begin(StringView, MdfFile* mdf) {
  start_time_ = __builtin_nan("");
  // Whole microseconds since 1970: the tables print six decimals.
  if (HdBlock* hd = mdf_hd_block(mdf)) {
    start_time_ = static_cast<double>(hd->hd_start_time_ns / 1000) * 0.000001;
  }
  forget_frames();
  store_failed_ = false;
  return true;
}

bool CsvSink::on_frame(const Frame& frame) {
  bool stored;
  switch (frame.kind) {
    case FRAME_CAN_DATA:
    case FRAME_CAN_REMOTE: {
      CanFrame* copy = copy_frame(&pool_, static_cast<const CanFrame&>(frame), kCanFrameStorage);
      stored = copy && can_frames_.append(copy);
      break;
    }
    case FRAME_LIN: {
      LinFrame* copy = copy_frame(&pool_, static_cast<const LinFrame&>(frame), kLinFrameStorage);
      stored = copy && lin_frames_.append(copy);
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
  uint64_t count = is_can ? can_frames_.size() : lin_frames_.size();
  *rows = 0;
  if (count == 0) return true;
  if (is_can) {
    frames_sort_by_time(can_frames_.data(), count);
  } else {
    frames_sort_by_time(lin_frames_.data(), count);
  }
  if (stream_write(stream, header, header_size) != static_cast<int64_t>(header_size)) {
    QLOG(LOG_ERROR, "Could not write %s header", label);
    return false;
  }
  // Only a hint: a row that does not fit grows the buffer itself.
  (void)row_.reserve(kRowCapacity);
  for (uint64_t i = 0; i < count; ++i) {
    row_.clear();
    bool formatted = is_can ? csv_format_can_row(*can_frames_[i], start_time_, &row_)
                            : csv_format_lin_row(*lin_frames_[i], start_time_, &row_);
    if (!formatted ||
        stream_write(stream, row_.c_str(), row_.size()) != static_cast<int64_t>(row_.size())) {
      QLOG(LOG_ERROR, "Could not write %s data", label);
      return false;
    }
    ++*rows;
  }
  return true;
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
  // A LIN table cut short after some rows stays for inspection, unless the
  // CAN table already failed the file.
  if ((rows == 0 || !result) && !folder_remove_relative(folder, path.view())) result = false;
  return result && lin_ok;
}

}  // namespace quarrow
