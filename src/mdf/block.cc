#include "mdf/block.h"

#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/data_list.h"
#include "mdf/file_blocks.h"

namespace quarrow {

const BlockDescriptor* block_descriptor(BlockType type) {
  switch (type) {
    case BLOCK_ID:
      return &kIdDescriptor;
    case BLOCK_CC:
      return &kCcDescriptor;
    case BLOCK_CG:
      return &kCgDescriptor;
    case BLOCK_CN:
      return &kCnDescriptor;
    case BLOCK_DG:
      return &kDgDescriptor;
    case BLOCK_DT:
      return &kDtDescriptor;
    case BLOCK_FH:
      return &kFhDescriptor;
    case BLOCK_HD:
      return &kHdDescriptor;
    case BLOCK_MD:
      return &kMdDescriptor;
    case BLOCK_SD:
      return &kSdDescriptor;
    case BLOCK_SI:
      return &kSiDescriptor;
    case BLOCK_TX:
      return &kTxDescriptor;
    case BLOCK_CA:
      return &kCaDescriptor;
    case BLOCK_DL:
      return &kDlDescriptor;
    case BLOCK_DZ:
      return &kDzDescriptor;
    case BLOCK_HL:
      return &kHlDescriptor;
    default:
      break;
  }
  return nullptr;
}

BlockRef BlockRef::adopt(BlockBase* block) {
  BlockRef ref;
  ref.block_ = block;
  if (block) block->use_count.store(1, std::memory_order_relaxed);
  return ref;
}

BlockRef BlockRef::share(BlockBase* block) {
  BlockRef ref;
  ref.block_ = block;
  ref.retain();
  return ref;
}

void BlockRef::release(BlockBase* block) {
  if (!block || block->use_count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // Deleting a block releases its children, which may delete them in turn.
  // Those deletions are queued behind the one running, so a long line of
  // blocks that each hold the next is freed in a loop rather than nested
  // calls.
  static thread_local BlockBase* queue = nullptr;
  static thread_local bool draining = false;
  block->release_next = queue;
  queue = block;
  if (draining) return;
  draining = true;
  while (queue) {
    BlockBase* next = queue;
    queue = next->release_next;
    delete next;
  }
  draining = false;
}

}  // namespace quarrow
