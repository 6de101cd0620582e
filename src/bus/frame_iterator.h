#pragma once

#include <cstdint>
#include <memory>

#include "bus/channel_info.h"
#include "bus/frame.h"
#include "core/grow_array.h"

namespace quarrow {

class ByteStream;
class DataListView;
struct DgBlock;

// Walks the records of one data group in file order and decodes each into
// one frame. Records are taken from the data block in large chunks, so a
// walk costs one read per chunk, not one per field; buffers are reused and
// grow only for a record larger than any before it.
//
// A data group with record ids is read honouring them (unsorted); one
// without is read as records of its one channel group (sorted). The walk
// ends quietly at the first record that cannot be read whole or whose
// record id is not in the data group's layout map.
//
// Where the file is held in memory the records are read in place. A walk
// can also restart at any record offset it handed out, and can skim the
// records (their offsets, kinds and times, nothing decoded), so that a
// table can be ordered first and its rows decoded later, in pieces.
class FrameIterator {
 public:
  ~FrameIterator();
  FrameIterator(const FrameIterator&) = delete;
  FrameIterator& operator=(const FrameIterator&) = delete;

  // Restarts at the first record. Returns its frame, or null when there is
  // no record. Every record read is handed out; one that gives no frame has
  // kind FRAME_NONE.
  const Frame* first();
  // The frame of the next record, or null once the walk has ended. The frame
  // handed out before is overwritten.
  const Frame* next();
  // The decode result of the last record (FRAME_INVALID before any).
  FrameKind last_result() const { return result_; }
  // True when the walk ended because the file could not be read, rather
  // than at the end of the records or at a record that does not fit.
  bool read_failed() const { return read_failed_; }

  // Reads the next record without decoding it: false once the walk has
  // ended. *kind is its group's kind, *time the value of its timestamp
  // channel (0 without one); a record that decodes to no frame is still
  // skimmed, with its group's kind.
  bool skim(uint64_t* offset, FrameKind* kind, double* time);
  // Records of other kinds than those in mask (bit 1 << kind) are read
  // past without being decoded. All kinds by default; with fewer, the
  // records handed out also have record_time().
  void want_kinds(uint32_t mask) { wanted_ = mask; }
  // What skim would give as the time of the record last handed out,
  // whether it decoded to a frame or not.
  double record_time() const { return record_time_; }
  // Makes the record at offset (one that skim or record_offset gave) the
  // next one.
  void restart_at(uint64_t offset);
  // The data offset of the record last read.
  uint64_t record_offset() const { return record_offset_; }
  // True when the data group's records and variable data are all held in
  // memory: walks of the group then touch no stream, and iterators of one
  // group may run on different threads once one was created.
  bool in_memory() const { return in_memory_; }

 private:
  friend std::unique_ptr<FrameIterator> frame_iterator_create(DgBlock* group);
  FrameIterator() = default;

  const Frame* step();
  double time_of(const RecordView& view, const RecordLayout* layout);
  bool read_record(RecordView* view, const RecordLayout** layout);
  bool read_sorted(RecordView* view, const RecordLayout** layout);
  bool read_unsorted(RecordView* view, const RecordLayout** layout);
  const RecordLayout* find_layout(uint64_t id);
  bool read_id(uint64_t offset, uint64_t* id);
  bool read_length(uint64_t offset, uint64_t* length);
  bool append_sd_entry(BlockBase* block, uint64_t offset);
  bool append_list_entry(BlockBase* block, uint64_t offset);
  // Reads an entry (a 4-byte length and its bytes) at the stream's
  // position, of which `left` bytes remain, into the variable data.
  bool append_read_entry(ByteStream* stream, uint64_t left);
  DataListView* signal_list(const BlockBase* block);
  bool index_vlsd_records();
  bool append_vlsd_entry(uint64_t record_id, uint64_t offset);
  bool append_entry(const uint8_t* bytes, uint64_t length);
  bool reserve_variable(uint64_t size);

  // Chunk reading: `available` bytes from the record start are in memory,
  // and `take` makes sure n bytes are (false when the data has fewer).
  bool take(uint64_t n);
  const uint8_t* at(uint64_t offset) const { return bytes_ + begin_ + offset; }
  void consume(uint64_t n);

  DgBlock* group_ = nullptr;
  ByteStream* data_ = nullptr;  // the DT block's view or list_; null: no records
  std::unique_ptr<DataListView> list_;
  uint64_t data_size_ = 0;
  uint64_t id_size_ = 0;
  bool ended_ = true;
  bool read_failed_ = false;
  bool in_memory_ = false;
  bool skimming_ = false;  // variable data is checked, not copied
  uint32_t wanted_ = ~0u;
  uint64_t record_offset_ = 0;
  double record_time_ = 0.0;

  // The data held in memory (the whole of it), or null: chunks then.
  const uint8_t* memory_ = nullptr;
  const uint8_t* bytes_ = nullptr;  // memory_ or chunk_
  uint8_t* chunk_ = nullptr;
  uint64_t chunk_capacity_ = 0;
  uint64_t chunk_base_ = 0;  // data offset of chunk_[0]
  uint64_t begin_ = 0;       // the current record's first byte in chunk_
  uint64_t end_ = 0;         // bytes of chunk_ holding data

  // Logs of other writers: every VLSD record of the data group, sorted by
  // record id and offset in its group's sequence of entries (record ids
  // not counted), so that a fixed record's offset finds its entry wherever
  // it stands. Built once per iterator, before the walk.
  struct VlsdEntry {
    uint64_t record_id;
    uint64_t offset;  // in the group's sequence
    uint64_t body;    // data offset of the entry's bytes
    uint64_t length;
  };
  GrowArray<VlsdEntry> vlsd_index_;
  bool by_offset_ = false;
  // Reads VLSD entries of a list without moving data_'s inflated piece.
  std::unique_ptr<DataListView> vlsd_list_;
  // Signal data held in lists (logs of other writers): a view per list,
  // made when the iterator is; owned.
  struct SignalList {
    BlockBase* block;
    DataListView* view;
  };
  GrowArray<SignalList> signal_lists_;

  uint8_t* variable_ = nullptr;
  uint64_t variable_size_ = 0;
  uint64_t variable_capacity_ = 0;

  uint64_t cached_id_ = 0;
  const RecordLayout* cached_layout_ = nullptr;
  const RecordLayout* timed_layout_ = nullptr;
  const ChannelInfo* time_channel_ = nullptr;  // of timed_layout_

  FrameKind result_ = FRAME_INVALID;
  FrameBuffer frame_{};
};

// An iterator over the records of a data group; null for a null group or
// when memory is short.
std::unique_ptr<FrameIterator> frame_iterator_create(DgBlock* group);

}  // namespace quarrow
