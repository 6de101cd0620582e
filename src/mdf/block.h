#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "core/grow_array.h"

namespace quarrow {

// A link that leads nowhere. Links stored as 0 in a file are turned into this
// value as soon as they are read, so presence tests compare with it alone.
inline constexpr uint64_t MDF_NO_LINK = UINT64_MAX;

// The block types the reader understands; every other id is BLOCK_UNKNOWN
// and makes the load of the linking block fail. The types from BLOCK_AT on
// are known only when the logs of other writers are read.
enum BlockType : uint32_t {
  BLOCK_UNKNOWN = 0,
  BLOCK_ID = 1,
  BLOCK_CC = 2,
  BLOCK_CG = 3,
  BLOCK_CN = 4,
  BLOCK_DG = 5,
  BLOCK_DT = 6,
  BLOCK_FH = 7,
  BLOCK_HD = 8,
  BLOCK_MD = 9,
  BLOCK_SD = 10,
  BLOCK_SI = 11,
  BLOCK_TX = 12,
  // Read only for logs of other writers (BlockLoader::other_writers).
  BLOCK_AT = 13,
  BLOCK_CA = 14,
  BLOCK_CH = 15,
  BLOCK_DL = 16,
  BLOCK_DZ = 17,
  BLOCK_EV = 18,
  BLOCK_HL = 19,
  BLOCK_SR = 20,
};

// A descriptor's link count for the types whose blocks state any number of
// links (DL).
inline constexpr uint64_t kAnyLinkCount = UINT64_MAX;

// Size of the header in front of every block but the identification block.
inline constexpr uint64_t kBlockHeaderSize = 24;

// What block_read_header() found at a position.
struct BlockHeader {
  BlockType type = BLOCK_UNKNOWN;
  uint64_t length = 0;
  uint64_t link_count = 0;
};

struct BlockBase;
class BlockLoader;

// One constant record per block type (see block_descriptor()).
struct BlockDescriptor {
  BlockType type;
  // Length of the fixed part on disk, header included.
  uint64_t default_length;
  // The link count every block of this type must declare; ignored where
  // checks_link_count is false (DT, SD, ID).
  uint64_t link_count;
  bool checks_link_count;
  // True for the types whose link 0 is the next block of a chain (DG, CG,
  // CN, FH); the loader follows those links itself, iteratively.
  bool chained;
  // Allocates a zero-filled block of the type, or null when memory is short.
  BlockBase* (*create)();
  // Reads the block's links and data and loads its children. The links have
  // been read into block->load.links already.
  bool (*parse)(BlockBase* block, BlockLoader* loader);
};

// The descriptor of a type, or null for BLOCK_UNKNOWN.
const BlockDescriptor* block_descriptor(BlockType type);

// State the loader keeps in a block while the file is opened. Nothing outside
// mdf/ reads it.
struct BlockLoadState {
  enum Phase : uint8_t { PENDING = 0, BUSY = 1, DONE = 2 };
  enum Listing : uint8_t { NOT_LISTED = 0, KEPT_ALIVE = 1, LISTED = 2 };
  Phase phase = PENDING;
  Listing listing = NOT_LISTED;
  uint64_t walk = 0;            // the chain walk that collected the block
  uint64_t next = MDF_NO_LINK;  // the chain's next block, for chained types
  GrowArray<uint64_t> links;    // released once the block is parsed
};

// The common head of every in-memory block. Blocks are shared through
// BlockRef and destroyed when the last reference goes; the destructor of a
// typed block releases what it owns (child references, lists, texts).
struct BlockBase {
  explicit BlockBase(const BlockDescriptor* d)
      : type(d->type), length(d->default_length), link_count(d->link_count), descriptor(d) {}
  virtual ~BlockBase() = default;
  BlockBase(const BlockBase&) = delete;
  BlockBase& operator=(const BlockBase&) = delete;

  BlockType type;
  uint64_t length;
  uint64_t link_count;
  const BlockDescriptor* descriptor;
  uint64_t offset = 0;  // file offset of the block

  // The size of the data section behind header and links.
  uint64_t data_size() const {
    uint64_t fixed = kBlockHeaderSize + 8 * link_count;
    return length > fixed ? length - fixed : 0;
  }

  std::atomic<uint32_t> use_count{0};
  BlockBase* release_next = nullptr;  // queue of blocks waiting for deletion
  BlockLoadState load;
};

// A counted, shared handle to a block. Copying takes a reference, the
// destructor (or reset) releases one; the last release destroys the block.
// Destruction is queued, so releasing a long chain of blocks that hold each
// other does not nest on the stack.
class BlockRef {
 public:
  BlockRef() = default;
  BlockRef(const BlockRef& other) : block_(other.block_) { retain(); }
  BlockRef(BlockRef&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  BlockRef& operator=(const BlockRef& other) {
    if (this != &other) {
      BlockBase* old = block_;
      block_ = other.block_;
      retain();
      release(old);
    }
    return *this;
  }
  BlockRef& operator=(BlockRef&& other) noexcept {
    if (this != &other) {
      BlockBase* old = block_;
      block_ = other.block_;
      other.block_ = nullptr;
      release(old);
    }
    return *this;
  }
  ~BlockRef() { release(block_); }

  // Takes ownership of a freshly created block (use count 0 -> 1).
  static BlockRef adopt(BlockBase* block);
  // A new reference to a block that someone else already holds.
  static BlockRef share(BlockBase* block);

  BlockBase* get() const { return block_; }
  BlockBase* operator->() const { return block_; }
  explicit operator bool() const { return block_ != nullptr; }
  uint32_t use_count() const { return block_ ? block_->use_count.load() : 0; }

  void reset() {
    BlockBase* old = block_;
    block_ = nullptr;
    release(old);
  }

 private:
  void retain() {
    if (block_) block_->use_count.fetch_add(1, std::memory_order_relaxed);
  }
  static void release(BlockBase* block);

  BlockBase* block_ = nullptr;
};

// Releases the reference and leaves it null.
inline void block_ref_release(BlockRef* ref) {
  if (ref) ref->reset();
}

// The create operation of a descriptor: a default-initialised T bound to
// its descriptor, or null when memory is short.
template <typename T, const BlockDescriptor* D>
BlockBase* block_create() {
  return new (std::nothrow) T(D);
}

// The children of one chain, first block first.
using BlockList = GrowArray<BlockRef>;

// Typed access: the block when its type is T's, otherwise null. Every typed
// read goes through this test, so a link to a block of an unexpected type
// reads as an absent block.
template <typename T>
T* block_as(BlockBase* block) {
  return block && block->type == T::kType ? static_cast<T*>(block) : nullptr;
}
template <typename T>
const T* block_as(const BlockBase* block) {
  return block && block->type == T::kType ? static_cast<const T*>(block) : nullptr;
}
template <typename T>
T* block_as(const BlockRef& ref) {
  return block_as<T>(ref.get());
}

}  // namespace quarrow
