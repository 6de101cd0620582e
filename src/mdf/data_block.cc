#include "mdf/data_block.h"

#include "mdf/block_loader.h"

namespace quarrow {

namespace {

// Nothing is read: the data stays in the file until a view reads it.
bool data_parse(BlockBase* block, BlockLoader* loader) {
  auto* data = static_cast<DataBlock*>(block);
  data->data_start = block->offset + kBlockHeaderSize;
  data->source = loader->stream();
  data->source_size = loader->stream_size();
  return true;
}

// Positions the file stream at the view position; false when it cannot be
// represented or the stream does not land there.
bool seek_source(const DataBlock* owner, uint64_t position) {
  if (owner->data_start > static_cast<uint64_t>(INT64_MAX) ||
      position > static_cast<uint64_t>(INT64_MAX) - owner->data_start) {
    return false;
  }
  int64_t target = static_cast<int64_t>(owner->data_start + position);
  return stream_seek(owner->source, target, STREAM_SEEK_SET) == target;
}

}  // namespace

const BlockDescriptor kDtDescriptor = {
    BLOCK_DT, 24, 0, false, false, block_create<DtBlock, &kDtDescriptor>, data_parse};
const BlockDescriptor kSdDescriptor = {
    BLOCK_SD, 24, 0, false, false, block_create<SdBlock, &kSdDescriptor>, data_parse};

int64_t data_block_read_at(const DataBlock* block, uint64_t position, void* buffer,
                           uint64_t count) {
  uint64_t size = block->view_size();
  uint64_t left = position < size ? size - position : 0;
  uint64_t n = count < left ? count : left;
  if (n == 0) return 0;
  if (!seek_source(block, position)) return -1;
  return stream_read(block->source, buffer, n);
}

int64_t DataBlockView::read(void* buffer, uint64_t count) {
  int64_t got = data_block_read_at(owner_, position_, buffer, count);
  if (got > 0) position_ += static_cast<uint64_t>(got);
  return got;
}

const void* DataBlockView::peek(uint64_t count) {
  uint64_t size = owner_->view_size();
  if (position_ > size || count > size - position_ || !seek_source(owner_, position_)) return nullptr;
  return stream_peek(owner_->source, count);
}

int64_t DataBlockView::seek(int64_t offset, int32_t origin) {
  uint64_t size = owner_->view_size();
  uint64_t target;
  switch (origin) {
    case STREAM_SEEK_SET:
      if (offset < 0) return -1;
      target = static_cast<uint64_t>(offset);
      break;
    case STREAM_SEEK_CUR:
      if (offset < 0) {
        uint64_t back = static_cast<uint64_t>(-(offset + 1)) + 1;
        if (back > position_) return -1;
        target = position_ - back;
      } else {
        uint64_t ahead = static_cast<uint64_t>(offset);
        target = ahead > size || position_ > size - ahead ? size : position_ + ahead;
      }
      break;
    case STREAM_SEEK_END:
      // Callers measure the view with offset 0; the end is as far as it goes.
      target = size;
      break;
    default:
      return -1;
  }
  if (target > size) target = size;
  if (target > static_cast<uint64_t>(INT64_MAX) || !seek_source(owner_, target)) return -1;
  position_ = target;
  return static_cast<int64_t>(target);
}

ByteStream* data_block_stream(BlockBase* block) {
  if (DtBlock* dt = block_as<DtBlock>(block)) return &dt->view;
  if (SdBlock* sd = block_as<SdBlock>(block)) return &sd->view;
  return nullptr;
}

const uint8_t* data_block_memory(DataBlock* block) {
  if (!block->memory_known) {
    block->memory_known = true;
    uint64_t held = 0;
    const unsigned char* content = stream_content(block->source, &held);
    uint64_t size = block->present_size();
    if (content && size > 0 && block->data_start <= held && size <= held - block->data_start) {
      block->memory = content + block->data_start;
    }
  }
  return block->memory;
}

}  // namespace quarrow
