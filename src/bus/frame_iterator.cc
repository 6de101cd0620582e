#include "bus/frame_iterator.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bus/bits.h"
#include "bus/decoders.h"
#include "io/stream.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/data_list.h"

namespace quarrow {

namespace {

constexpr uint64_t kChunkSize = 64 * 1024;

uint64_t read_le(const uint8_t* p, uint64_t n) {
  uint64_t v = 0;
  for (uint64_t i = n; i > 0; --i) v = (v << 8) | p[i - 1];
  return v;
}

// Reads exactly n bytes, looping over short reads; false when fewer come,
// with *failed set when the stream reported an error.
bool read_full(ByteStream* stream, uint8_t* buffer, uint64_t n, bool* failed) {
  while (n > 0) {
    int64_t r = stream_read(stream, buffer, n);
    if (r < 0) *failed = true;
    if (r <= 0) return false;
    buffer += r;
    n -= static_cast<uint64_t>(r);
  }
  return true;
}

}  // namespace

std::unique_ptr<FrameIterator> frame_iterator_create(DgBlock* group) {
  if (!group) return nullptr;
  std::unique_ptr<FrameIterator> it(new (std::nothrow) FrameIterator);
  if (!it) return nullptr;
  it->group_ = group;
  it->id_size_ = group->dg_rec_id_size;
  DtBlock* dt = block_as<DtBlock>(group->dg_data);
  // A record id wider than 64 bits cannot be looked up: no records then.
  if (dt && it->id_size_ <= 8) {
    it->data_ = data_block_stream(dt);
    it->data_size_ = dt->present_size();
    it->memory_ = data_block_memory(dt);
  } else if (data_is_list(group->dg_data.get()) && it->id_size_ <= 8) {
    // A view of its own: lists are read by one thread (not in memory).
    it->list_ = data_list_open(group->dg_data.get());
    if (!it->list_) return nullptr;
    it->data_ = it->list_.get();
    it->data_size_ = it->list_->size();
  }
  // Every block the walk may read is asked here, once, so that walks on
  // other threads only read the answers.
  bool in_memory = !it->data_ || it->memory_ || it->data_size_ == 0;
  bool vlsd_groups = false;
  group->record_layouts.for_each([&](RecordLayoutMap::Slot& slot) {
    if (!slot.value.channels) return;
    for (const ChannelInfo& channel : *slot.value.channels) {
      if (block_as<CgBlock>(channel.data_block)) vlsd_groups = true;
      SdBlock* sd = block_as<SdBlock>(channel.data_block);
      if (sd && !data_block_memory(sd) && sd->present_size() > 0) in_memory = false;
      if (data_is_list(channel.data_block)) in_memory = false;
      if (data_is_list(channel.data_block) && !it->signal_list(channel.data_block)) {
        std::unique_ptr<DataListView> view = data_list_open(channel.data_block);
        if (view &&
            it->signal_lists_.append(FrameIterator::SignalList{channel.data_block, view.get()}))
          view.release();
      }
    }
  });
  it->in_memory_ = in_memory;
  if (group->other_writers && vlsd_groups && it->data_ && it->id_size_ > 0) {
    it->by_offset_ = true;
    if (it->list_) it->vlsd_list_ = data_list_open(group->dg_data.get());
    if ((it->list_ && !it->vlsd_list_) || !it->index_vlsd_records()) return nullptr;
  }
  return it;
}

bool FrameIterator::index_vlsd_records() {
  HashMap<uint64_t, uint64_t> next_offset;
  restart_at(0);
  uint64_t id;
  while (read_id(0, &id)) {
    const RecordLayout* l = find_layout(id);
    if (!l) break;
    if (l->record_size != kVlsdRecordSize) {
      if (!take(id_size_ + l->record_size)) break;
      consume(id_size_ + l->record_size);
      continue;
    }
    uint64_t length;
    if (!read_length(id_size_, &length)) break;
    auto slot = next_offset.insert(id);
    if (!slot.slot) return false;
    if (slot.inserted) slot.slot->value = 0;
    uint64_t body = chunk_base_ + begin_ + id_size_ + 4;
    if (length > data_size_ || body > data_size_ - length) break;
    if (!vlsd_index_.append(VlsdEntry{id, slot.slot->value, body, length})) return false;
    slot.slot->value += 4 + length;
    consume(id_size_ + 4 + length);
  }
  std::sort(vlsd_index_.begin(), vlsd_index_.end(), [](const VlsdEntry& a, const VlsdEntry& b) {
    return a.record_id != b.record_id ? a.record_id < b.record_id : a.offset < b.offset;
  });
  read_failed_ = false;
  cached_layout_ = nullptr;
  chunk_base_ = begin_ = end_ = 0;
  return true;
}

bool FrameIterator::append_vlsd_entry(uint64_t record_id, uint64_t offset) {
  const VlsdEntry key{record_id, offset, 0, 0};
  const VlsdEntry* entry = std::lower_bound(
      vlsd_index_.begin(), vlsd_index_.end(), key, [](const VlsdEntry& a, const VlsdEntry& b) {
        return a.record_id != b.record_id ? a.record_id < b.record_id : a.offset < b.offset;
      });
  // An offset that names no entry leaves the channel without data.
  if (entry == vlsd_index_.end() || entry->record_id != record_id || entry->offset != offset)
    return append_entry(nullptr, 0);
  if (skimming_) return true;
  if (memory_) return append_entry(memory_ + entry->body, entry->length);
  if (!reserve_variable(variable_size_ + 4 + entry->length)) return false;
  ByteStream* stream = vlsd_list_ ? static_cast<ByteStream*>(vlsd_list_.get()) : data_;
  if (stream_seek(stream, static_cast<int64_t>(entry->body), STREAM_SEEK_SET) !=
      static_cast<int64_t>(entry->body)) {
    read_failed_ = true;
    return false;
  }
  uint8_t* p = variable_ + variable_size_;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(entry->length >> (8 * i));
  if (!read_full(stream, p + 4, entry->length, &read_failed_)) return false;
  variable_size_ += 4 + entry->length;
  return true;
}

FrameIterator::~FrameIterator() {
  for (SignalList& list : signal_lists_) delete list.view;
  std::free(chunk_);
  std::free(variable_);
}

const Frame* FrameIterator::first() {
  cached_layout_ = nullptr;
  read_failed_ = false;
  result_ = FRAME_INVALID;
  restart_at(0);
  return step();
}

void FrameIterator::restart_at(uint64_t offset) {
  ended_ = data_ == nullptr;
  if (memory_) {
    // The whole data is one chunk that never moves.
    bytes_ = memory_;
    chunk_base_ = 0;
    end_ = data_size_;
    begin_ = offset < data_size_ ? offset : data_size_;
    return;
  }
  bytes_ = chunk_;
  // A record already in the chunk is not read again.
  if (offset >= chunk_base_ && offset - chunk_base_ <= end_) {
    begin_ = offset - chunk_base_;
    return;
  }
  chunk_base_ = offset;
  begin_ = end_ = 0;
}

bool FrameIterator::skim(uint64_t* offset, FrameKind* kind, double* time) {
  if (ended_) return false;
  RecordView view{};
  const RecordLayout* layout = nullptr;
  skimming_ = true;
  bool read = read_record(&view, &layout);
  skimming_ = false;
  if (!read) return false;
  *offset = record_offset_;
  *kind = layout->decode ? layout->kind : FRAME_NONE;
  *time = time_of(view, layout);
  return true;
}

double FrameIterator::time_of(const RecordView& view, const RecordLayout* layout) {
  if (layout != timed_layout_) {
    // The decoders take the last timestamp channel's value.
    timed_layout_ = layout;
    time_channel_ = nullptr;
    if (layout->channels) {
      for (const ChannelInfo& channel : *layout->channels) {
        if (channel.role == ROLE_TIMESTAMP) time_channel_ = &channel;
      }
    }
  }
  return time_channel_ ? channel_value(*time_channel_, view) : 0.0;
}

bool FrameIterator::read_record(RecordView* view, const RecordLayout** layout) {
  bool read = id_size_ == 0 ? read_sorted(view, layout) : read_unsorted(view, layout);
  if (!read) ended_ = true;
  return read;
}

const Frame* FrameIterator::next() {
  return step();
}

const Frame* FrameIterator::step() {
  if (ended_) return nullptr;
  RecordView view{};
  const RecordLayout* layout = nullptr;
  do {
    if (!read_record(&view, &layout)) return nullptr;
  } while (!(wanted_ >> (layout->decode ? layout->kind : FRAME_NONE) & 1));
  if (wanted_ != ~0u) record_time_ = time_of(view, layout);
  DecodeFn decode = layout->decode;
  result_ = decode ? decode(view, &frame_) : FRAME_INVALID;
  if (!decode) frame_.frame.kind = FRAME_NONE;
  return &frame_.frame;
}

const RecordLayout* FrameIterator::find_layout(uint64_t id) {
  if (cached_layout_ && cached_id_ == id) return cached_layout_;
  auto* slot = group_->record_layouts.find(id);
  if (!slot) return nullptr;
  cached_id_ = id;
  cached_layout_ = &slot->value;
  return cached_layout_;
}

bool FrameIterator::take(uint64_t n) {
  uint64_t held = end_ - begin_;
  if (held >= n) return true;
  if (memory_) return false;
  uint64_t position = chunk_base_ + begin_;
  if (position > data_size_ || n > data_size_ - position) return false;
  // Keep the current record at the start of the chunk and fill behind it.
  if (begin_ > 0) {
    std::memmove(chunk_, chunk_ + begin_, held);
    chunk_base_ = position;
    begin_ = 0;
    end_ = held;
  }
  // A small group gets a small chunk: a table may walk many groups at once.
  uint64_t want = kChunkSize < data_size_ ? kChunkSize : data_size_;
  if (want < n) want = n;
  if (want > chunk_capacity_) {
    auto* grown = static_cast<uint8_t*>(std::realloc(chunk_, want));
    if (!grown) return false;
    bytes_ = chunk_ = grown;
    chunk_capacity_ = want;
  }
  uint64_t fill_at = chunk_base_ + end_;
  if (stream_seek(data_, static_cast<int64_t>(fill_at), STREAM_SEEK_SET) !=
      static_cast<int64_t>(fill_at)) {
    read_failed_ = true;
    return false;
  }
  uint64_t room = chunk_capacity_ - end_;
  uint64_t left = data_size_ - fill_at;
  uint64_t ask = room < left ? room : left;
  while (end_ - begin_ < n) {
    int64_t r = stream_read(data_, chunk_ + end_, ask);
    if (r < 0) read_failed_ = true;
    if (r <= 0) return false;
    end_ += static_cast<uint64_t>(r);
    ask -= static_cast<uint64_t>(r);
  }
  return true;
}

void FrameIterator::consume(uint64_t n) {
  if (n <= end_ - begin_) {
    begin_ += n;
    return;
  }
  if (memory_) {
    begin_ = end_;
    return;
  }
  // Skipping past what is held: the next take() starts a fresh chunk there.
  uint64_t position = chunk_base_ + begin_;
  chunk_base_ = n > UINT64_MAX - position ? UINT64_MAX : position + n;
  begin_ = end_ = 0;
}

bool FrameIterator::read_id(uint64_t offset, uint64_t* id) {
  if (!take(offset + id_size_)) return false;
  *id = read_le(at(offset), id_size_);
  return true;
}

bool FrameIterator::read_length(uint64_t offset, uint64_t* length) {
  if (!take(offset + 4)) return false;
  *length = read_le(at(offset), 4);
  return true;
}

bool FrameIterator::reserve_variable(uint64_t size) {
  if (size <= variable_capacity_) return true;
  uint64_t grown = variable_capacity_ * 2 > size ? variable_capacity_ * 2 : size;
  auto* block = static_cast<uint8_t*>(std::realloc(variable_, grown));
  if (!block) return false;
  variable_ = block;
  variable_capacity_ = grown;
  return true;
}

bool FrameIterator::append_entry(const uint8_t* bytes, uint64_t length) {
  if (length > 0xFFFFFFFFu || !reserve_variable(variable_size_ + 4 + length)) return false;
  uint8_t* p = variable_ + variable_size_;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(length >> (8 * i));
  if (length) std::memcpy(p + 4, bytes, length);
  variable_size_ += 4 + length;
  return true;
}

DataListView* FrameIterator::signal_list(const BlockBase* block) {
  for (SignalList& list : signal_lists_)
    if (list.block == block) return list.view;
  return nullptr;
}

bool FrameIterator::append_list_entry(BlockBase* block, uint64_t offset) {
  DataListView* view = signal_list(block);
  if (!view) return false;
  uint64_t size = view->size();
  if (offset > size || size - offset < 4) return false;
  return stream_seek(view, static_cast<int64_t>(offset), STREAM_SEEK_SET) ==
             static_cast<int64_t>(offset) &&
         append_read_entry(view, size - offset);
}

bool FrameIterator::append_read_entry(ByteStream* stream, uint64_t left) {
  uint8_t head[4];
  if (!read_full(stream, head, 4, &read_failed_)) return false;
  uint64_t length = read_le(head, 4);
  if (length > left - 4 || !reserve_variable(variable_size_ + 4 + length)) return false;
  std::memcpy(variable_ + variable_size_, head, 4);
  if (!read_full(stream, variable_ + variable_size_ + 4, length, &read_failed_)) return false;
  variable_size_ += 4 + length;
  return true;
}

bool FrameIterator::append_sd_entry(BlockBase* block, uint64_t offset) {
  if (data_is_list(block)) return append_list_entry(block, offset);
  SdBlock* sd = block_as<SdBlock>(block);
  ByteStream* stream = data_block_stream(sd);
  uint64_t size = sd->present_size();
  if (offset > size || size - offset < 4) return false;
  if (in_memory_) {
    const uint8_t* entry = sd->memory + offset;
    uint64_t length = read_le(entry, 4);
    if (length > size - offset - 4) return false;
    return skimming_ || append_entry(entry + 4, length);
  }
  if (stream_seek(stream, static_cast<int64_t>(offset), STREAM_SEEK_SET) !=
      static_cast<int64_t>(offset)) {
    read_failed_ = true;
    return false;
  }
  // Where the file is held in memory, the entry is taken from there in one
  // piece instead of two reads.
  if (const auto* peeked = static_cast<const uint8_t*>(stream_peek(stream, 4))) {
    uint64_t length = read_le(peeked, 4);
    if (length > size - offset - 4) return false;
    if (const auto* entry = static_cast<const uint8_t*>(stream_peek(stream, 4 + length))) {
      return append_entry(entry + 4, length);
    }
  }
  return append_read_entry(stream, size - offset);
}

bool FrameIterator::read_sorted(RecordView* view, const RecordLayout** layout) {
  const RecordLayout* l = find_layout(0);
  // A record of no bytes would never move the walk forward.
  if (!l || l->record_size == kVlsdRecordSize || l->record_size == 0) return false;
  if (!take(l->record_size)) return false;
  record_offset_ = chunk_base_ + begin_;
  variable_size_ = 0;
  if (l->channels && l->variable) {
    for (const ChannelInfo& channel : *l->channels) {
      if (!channel.data_block) continue;
      bool ok;
      if (block_as<SdBlock>(channel.data_block) || data_is_list(channel.data_block)) {
        uint64_t offset = bits_extract(at(0), l->record_size, channel.bit_position,
                                       channel.bit_count, channel.little_endian != 0);
        ok = append_sd_entry(channel.data_block, offset);
      } else {
        ok = append_entry(nullptr, 0);
      }
      if (!ok) return false;
    }
  }
  *view = RecordView{at(0), l->record_size, variable_, variable_size_, l->channels};
  *layout = l;
  consume(l->record_size);
  return true;
}

bool FrameIterator::read_unsorted(RecordView* view, const RecordLayout** layout) {
  for (;;) {
    uint64_t id;
    if (!read_id(0, &id)) return false;
    const RecordLayout* l = find_layout(id);
    if (!l) return false;
    if (l->record_size == kVlsdRecordSize) {
      // A VLSD record that no fixed record claimed: skip it and go on.
      uint64_t length;
      if (!read_length(id_size_, &length)) return false;
      consume(id_size_ + 4 + length);
      continue;
    }
    uint64_t fixed_end = id_size_ + l->record_size;
    if (!take(fixed_end)) return false;
    record_offset_ = chunk_base_ + begin_;
    variable_size_ = 0;
    uint64_t extra = 0;  // bytes of the VLSD records that belong to this one
    if (l->channels && l->variable) {
      for (const ChannelInfo& channel : *l->channels) {
        if (!channel.data_block) continue;
        if (CgBlock* vlsd = block_as<CgBlock>(channel.data_block); vlsd && by_offset_) {
          uint64_t offset = bits_extract(at(id_size_), l->record_size, channel.bit_position,
                                         channel.bit_count, channel.little_endian != 0);
          if (!append_vlsd_entry(vlsd->cg_record_id, offset)) return false;
        } else if (vlsd) {
          uint64_t offset = fixed_end + extra;
          uint64_t next_id;
          // A different record (or none) behind the fixed one is left for
          // the next step; the channel's data is then missing.
          if (!read_id(offset, &next_id) || next_id != vlsd->cg_record_id) break;
          uint64_t length;
          if (!read_length(offset + id_size_, &length)) return false;
          uint64_t body = offset + id_size_ + 4;
          if (length > data_size_ || !take(body + length)) return false;
          if (!skimming_ && !append_entry(at(body), length)) return false;
          extra += id_size_ + 4 + length;
        } else if (block_as<SdBlock>(channel.data_block) || data_is_list(channel.data_block)) {
          uint64_t offset = bits_extract(at(id_size_), l->record_size, channel.bit_position,
                                         channel.bit_count, channel.little_endian != 0);
          if (!append_sd_entry(channel.data_block, offset)) return false;
        } else if (!append_entry(nullptr, 0)) {
          return false;
        }
      }
    }
    *view = RecordView{at(id_size_), l->record_size, variable_, variable_size_, l->channels};
    *layout = l;
    consume(fixed_end + extra);
    return true;
  }
}

}  // namespace quarrow
