#pragma once

// The data blocks that other MDF 4 writers use beside DT and SD: data lists
// (DL) of several blocks, header lists (HL) in front of them, and
// deflate-compressed blocks (DZ). A data link that leads to any of them is
// read as one continuous stream of bytes: the concatenation of the pieces'
// data, compressed pieces inflated one at a time as the stream reaches them.

#include <cstdint>
#include <memory>

#include "core/grow_array.h"
#include "io/stream.h"
#include "mdf/block.h"

namespace quarrow {

// A DT or SD block's data, deflated, and transposed first for zip type 1.
struct DzBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_DZ;
  using BlockBase::BlockBase;

  uint8_t dz_zip_type = 0;        // 0 deflate, 1 transposition then deflate
  uint32_t dz_zip_parameter = 0;  // bytes per record of the transposition
  uint64_t dz_org_data_length = 0;
  uint64_t dz_data_length = 0;
  uint64_t data_start = 0;       // absolute position of the compressed bytes
  ByteStream* source = nullptr;  // the file stream, borrowed
};

// One block of a chain of data lists. Its data blocks follow each other in
// the stream; the blocks of the chain behind it are in dl_rest when the
// chain was reached through a data link (see block_load_ref).
struct DlBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_DL;
  using BlockBase::BlockBase;

  BlockList dl_data;     // DT, SD or DZ blocks, in link order
  uint8_t dl_flags = 0;  // bit 0: every block but the last holds dl_equal_length
  uint64_t dl_equal_length = 0;
  GrowArray<uint64_t> dl_offset;  // offset form: where each block's data starts
  BlockList dl_rest;
};

struct HlBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_HL;
  using BlockBase::BlockBase;

  BlockRef hl_dl_first;
  uint16_t hl_flags = 0;
  uint8_t hl_zip_type = 0;
};

// A channel array. Nothing of it is read: a channel whose composition is an
// array is not decoded.
struct CaBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_CA;
  using BlockBase::BlockBase;
};

// The list that takes the rest of a DL chain reached through a link.
BlockList* dl_rest_list(BlockBase* dl);

// True for the blocks that data_list_open reads: DL, HL and DZ.
bool data_is_list(const BlockBase* block);

// Bytes the data behind a data link claims beyond what the file holds or
// what a list's own offsets allow; 0 for a sound block or list, and for
// null.
uint64_t data_missing_bytes(BlockBase* data);

struct DataPiece {
  BlockBase* block;  // DtBlock, SdBlock or DzBlock
  uint64_t start;    // offset of its first byte in the stream
  uint64_t size;
};

// A read-only stream over the data behind a DL, HL or DZ block. Each view
// has its own position and inflated piece, so views of one list do not
// disturb each other; one view is for one thread.
class DataListView : public ByteStream {
 public:
  ~DataListView() override;

  // At most the bytes left; 0 at the end, -1 when the file cannot be read
  // or a compressed piece is damaged.
  int64_t read(void* buffer, uint64_t count) override;
  int64_t tell() override { return static_cast<int64_t>(position_); }
  // The target is clamped to the size; a negative target fails.
  int64_t seek(int64_t offset, int32_t origin) override;

  uint64_t size() const { return size_; }

 private:
  friend std::unique_ptr<DataListView> data_list_open(BlockBase* data);
  DataListView() = default;

  // The piece that holds position (position < size_).
  uint64_t piece_at(uint64_t position) const;
  bool inflate_piece(uint64_t index);

  GrowArray<DataPiece> pieces_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  uint64_t current_ = 0;  // the piece read last, where the search starts
  uint8_t* inflated_ = nullptr;
  uint64_t inflated_piece_ = UINT64_MAX;
};

// A view over the data behind a DL, HL or DZ block, or null for any other
// block and when memory is short. The data ends early, before the first
// piece that does not fit what the list states.
std::unique_ptr<DataListView> data_list_open(BlockBase* data);

extern const BlockDescriptor kCaDescriptor;
extern const BlockDescriptor kDlDescriptor;
extern const BlockDescriptor kDzDescriptor;
extern const BlockDescriptor kHlDescriptor;

}  // namespace quarrow
