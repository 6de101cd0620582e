#pragma once

#include <cstdint>

#include "core/hash_map.h"
#include "io/stream.h"
#include "mdf/block.h"
#include "mdf/stream_cursor.h"

namespace quarrow {

// Reads one block header at the stream's position and classifies it. An
// unknown id logs "Unable to load block header for type %s" and gives false;
// a short read gives false silently. For the identification block the
// stream is moved back to its first byte and length 64, no links reported.
// The types from BLOCK_AT on are known only with other_writers; without it
// their ids are unknown and *foreign, when given, names the first one met.
bool block_read_header(ByteStream* stream, BlockHeader* header, bool other_writers = false,
                       const char** foreign = nullptr);

// Reads header.link_count links from the stream's position, turning 0 into
// MDF_NO_LINK. True when all of them were read.
bool block_read_links(ByteStream* stream, const BlockHeader& header, GrowArray<uint64_t>* links);

// File offset to loaded block, for one open. Not owning: every block in it is
// owned by a list or a reference.
using BlockCache = HashMap<uint64_t, BlockBase*>;

// Loads the block graph of one open. Blocks are read once and shared through
// the cache by file offset; chains are followed iteratively, so their length
// does not nest on the stack. The nesting of a block inside the one that
// links to it is bounded by kMaxDepth, and link cycles fail the load.
//
// Every failure is final for the open: a caller that gets false gives up.
class BlockLoader {
 public:
  static constexpr uint32_t kMaxDepth = 64;

  // stream_size is the size of the stream, taken once per open; every
  // declared length and count is checked against it.
  // other_writers: the blocks and layouts of other MDF 4 writers are read
  // too (data lists, compressed data, ...).
  BlockLoader(ByteStream* stream, uint64_t stream_size, bool other_writers = false);
  ~BlockLoader() = default;
  BlockLoader(const BlockLoader&) = delete;
  BlockLoader& operator=(const BlockLoader&) = delete;

  ByteStream* stream() const { return stream_; }
  bool other_writers() const { return other_writers_; }

  // A load that fails on a block only other_writers reads names it here
  // ("##DL"); the first one noted stays, as it is what ended the load.
  // Nothing is noted with other_writers.
  void note_foreign(const char* what) {
    if (!foreign_ && !other_writers_) foreign_ = what;
  }
  const char* foreign() const { return foreign_; }
  uint64_t stream_size() const { return stream_size_; }

  // A cursor at the start of the block's data section (behind its links).
  StreamCursor data_cursor(const BlockBase* block) const;

  // Chain blocks loaded without a list. Whoever keeps the tree keeps these.
  BlockList* kept_alive() { return &kept_alive_; }

  // The smallest file offset above offset at which a loaded block starts, or
  // the stream size when none does.
  uint64_t next_block_after(uint64_t offset);

 private:
  friend bool block_load(BlockLoader* loader, uint64_t first, BlockList* list);
  friend bool block_load_ref(BlockLoader* loader, uint64_t offset, BlockRef* out);

  // Whether a block's stated link count is one its type allows. Channels
  // and conversions may carry optional links behind their fixed ones, as
  // many as the counts in their data section state; only other_writers
  // reads them, so without it such a block is noted as foreign.
  bool links_fit(const BlockDescriptor* d, const BlockHeader& header, uint64_t offset);
  bool walk(uint64_t first, BlockList* list, bool keep_alive_only, uint64_t id);
  bool read_block(uint64_t offset, BlockRef* out);
  bool complete(BlockBase* block);

  ByteStream* stream_;
  uint64_t stream_size_;
  bool other_writers_;
  const char* foreign_ = nullptr;
  uint64_t max_blocks_;
  uint64_t block_count_ = 0;
  uint64_t walk_count_ = 0;
  uint32_t depth_ = 0;
  BlockCache cache_;
  BlockList kept_alive_;
};

// Loads the chain that starts at first and appends it to list, first block
// first. True for MDF_NO_LINK (nothing appended). A chain that runs into a
// block already in a list ends with that block.
bool block_load(BlockLoader* loader, uint64_t first, BlockList* list);

// Loads the block at offset into *out (shared when it was loaded before).
// True with a null *out for MDF_NO_LINK. A chained block reached this way
// still has the rest of its chain loaded; that rest is kept alive with the
// tree (BlockLoader::kept_alive()).
bool block_load_ref(BlockLoader* loader, uint64_t offset, BlockRef* out);

}  // namespace quarrow
