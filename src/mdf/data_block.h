#pragma once

#include <cstdint>

#include "io/stream.h"
#include "mdf/block.h"

namespace quarrow {

struct DataBlock;

// A read-only view of a data block's data section, with its own position
// relative to the data start. Every read seeks the file stream first, so
// views of different blocks can be used alternately on one stream. No write,
// no close.
class DataBlockView : public ByteStream {
 public:
  explicit DataBlockView(const DataBlock* owner) : owner_(owner) {}

  // At most the bytes left in the data section; 0 at its end, -1 when the
  // file stream cannot be positioned.
  int64_t read(void* buffer, uint64_t count) override;
  int64_t tell() override { return static_cast<int64_t>(position_); }
  // The target is clamped to the data size; a negative target fails.
  int64_t seek(int64_t offset, int32_t origin) override;
  // Bytes inside the data section, where the file stream holds them.
  const void* peek(uint64_t count) override;

 private:
  const DataBlock* owner_;
  uint64_t position_ = 0;
};

// DT (the records of a data group) and SD (variable-length values) blocks.
// The data is never copied into memory; it is read through the view.
struct DataBlock : BlockBase {
  using BlockBase::BlockBase;

  uint64_t data_start = 0;       // absolute position of the data section
  ByteStream* source = nullptr;  // the file stream, borrowed
  DataBlockView view{this};

  // Size of the source stream when the block was loaded; unknown (the
  // claim is trusted) for a block made in memory.
  uint64_t source_size = UINT64_MAX;

  // Where the source holds the present data in memory: see
  // data_block_memory.
  const uint8_t* memory = nullptr;
  bool memory_known = false;

  // length - 24: a data block's links are not part of its data.
  uint64_t view_size() const { return length > kBlockHeaderSize ? length - kBlockHeaderSize : 0; }
  // The part of the data section that the source really holds. A block may
  // claim far more (a log cut short, or a hostile length), so buffers are
  // sized by this, never by the claim.
  uint64_t present_size() const {
    uint64_t held = source_size > data_start ? source_size - data_start : 0;
    uint64_t claimed = view_size();
    return claimed < held ? claimed : held;
  }
};

struct DtBlock : DataBlock {
  static constexpr BlockType kType = BLOCK_DT;
  using DataBlock::DataBlock;
};

struct SdBlock : DataBlock {
  static constexpr BlockType kType = BLOCK_SD;
  using DataBlock::DataBlock;
};

// Reads up to count bytes of the block's data from position (relative to its
// data start) without moving its view; what data_block_stream's read gives.
int64_t data_block_read_at(const DataBlock* block, uint64_t position, void* buffer, uint64_t count);

// The data view of a DT or SD block; null for null or any other type.
ByteStream* data_block_stream(BlockBase* block);

// The block's present data where its source holds all of it in memory for
// good, else null (also for an empty block). The first call asks the
// source; later ones only read what it found, so threads may share the
// answer once one call has been made.
const uint8_t* data_block_memory(DataBlock* block);

extern const BlockDescriptor kDtDescriptor;
extern const BlockDescriptor kSdDescriptor;

}  // namespace quarrow
