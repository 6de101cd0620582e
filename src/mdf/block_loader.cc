#include "mdf/block_loader.h"

#include <cstring>

#include "log/log.h"
#include "mdf/data_group.h"
#include "mdf/data_list.h"

namespace quarrow {

namespace {

struct IdEntry {
  const char* id;
  BlockType type;
};

// Classification order matters only for the identification block, whose
// eight-byte identifier is tested between the two groups of four-byte ids.
constexpr IdEntry kFirstIds[] = {
    {"##CC", BLOCK_CC}, {"##CG", BLOCK_CG}, {"##CN", BLOCK_CN}, {"##DG", BLOCK_DG},
    {"##DT", BLOCK_DT}, {"##FH", BLOCK_FH}, {"##HD", BLOCK_HD},
};
constexpr IdEntry kLaterIds[] = {
    {"##MD", BLOCK_MD},
    {"##SD", BLOCK_SD},
    {"##SI", BLOCK_SI},
    {"##TX", BLOCK_TX},
};
constexpr IdEntry kOtherWriterIds[] = {
    {"##AT", BLOCK_AT}, {"##CA", BLOCK_CA}, {"##CH", BLOCK_CH}, {"##DL", BLOCK_DL},
    {"##DZ", BLOCK_DZ}, {"##EV", BLOCK_EV}, {"##HL", BLOCK_HL}, {"##SR", BLOCK_SR},
};

BlockType classify(const unsigned char* raw, bool other_writers, const char** foreign) {
  for (const IdEntry& e : kFirstIds)
    if (std::memcmp(raw, e.id, 4) == 0) return e.type;
  if (std::memcmp(raw, "UnFinMF ", 8) == 0 || std::memcmp(raw, "MDF     ", 8) == 0) return BLOCK_ID;
  for (const IdEntry& e : kLaterIds)
    if (std::memcmp(raw, e.id, 4) == 0) return e.type;
  for (const IdEntry& e : kOtherWriterIds) {
    if (std::memcmp(raw, e.id, 4) != 0) continue;
    if (other_writers) return e.type;
    if (foreign) *foreign = e.id;
    break;
  }
  return BLOCK_UNKNOWN;
}

constexpr uint64_t kIdBlockLength = 64;

}  // namespace

bool block_read_header(ByteStream* stream, BlockHeader* header, bool other_writers,
                       const char** foreign) {
  unsigned char raw[kBlockHeaderSize];
  if (stream_read(stream, raw, sizeof(raw)) != static_cast<int64_t>(sizeof(raw))) return false;
  BlockType type = classify(raw, other_writers, foreign);
  if (type == BLOCK_UNKNOWN) {
    // The id comes from the file: anything unprintable is masked so that a
    // damaged file cannot put control characters into the log.
    char text[9];
    uint32_t n = 0;
    for (; n < 8 && raw[n] != 0; ++n) text[n] = raw[n] >= 0x20 && raw[n] < 0x7F ? raw[n] : '?';
    text[n] = 0;
    QLOG(LOG_ERROR, "Unable to load block header for type %s", text);
    return false;
  }
  header->type = type;
  if (type == BLOCK_ID) {
    stream_seek(stream, -static_cast<int64_t>(kBlockHeaderSize), STREAM_SEEK_CUR);
    header->length = kIdBlockLength;
    header->link_count = 0;
  } else {
    header->length = decode_le(raw + 8, 8);
    header->link_count = decode_le(raw + 16, 8);
  }
  return true;
}

bool block_read_links(ByteStream* stream, const BlockHeader& header, GrowArray<uint64_t>* links) {
  if (!links->reserve(links->size() + header.link_count)) return false;
  for (uint64_t i = 0; i < header.link_count; ++i) {
    unsigned char raw[8];
    if (stream_read(stream, raw, sizeof(raw)) != static_cast<int64_t>(sizeof(raw))) return false;
    uint64_t link = decode_le(raw, 8);
    links->append(link == 0 ? MDF_NO_LINK : link);
  }
  return true;
}

BlockLoader::BlockLoader(ByteStream* stream, uint64_t stream_size, bool other_writers)
    : stream_(stream),
      stream_size_(stream_size),
      other_writers_(other_writers),
      // Blocks do not overlap in a sound file and each takes at least a
      // header, which bounds how many blocks a file of this size can hold.
      max_blocks_(stream_size / kBlockHeaderSize + 1) {}

StreamCursor BlockLoader::data_cursor(const BlockBase* block) const {
  if (block->type == BLOCK_ID) return StreamCursor(stream_, block->offset);
  return StreamCursor(stream_, block->offset + kBlockHeaderSize + 8 * block->link_count);
}

uint64_t BlockLoader::next_block_after(uint64_t offset) {
  uint64_t next = stream_size_;
  cache_.for_each([&](const BlockCache::Slot& slot) {
    if (slot.key > offset && slot.key < next) next = slot.key;
  });
  return next;
}

bool BlockLoader::links_fit(const BlockDescriptor* d, const BlockHeader& header, uint64_t offset) {
  if (!other_writers_ && header.link_count == d->link_count) return true;
  uint64_t optional = 0;
  const char* what = nullptr;
  StreamCursor counts(stream_, offset + kBlockHeaderSize + 8 * header.link_count);
  if (!optional_links(header.type, counts, &optional, &what)) {
    return header.link_count == d->link_count;
  }
  // The links are read next, from right behind the header.
  stream_seek(stream_, static_cast<int64_t>(offset + kBlockHeaderSize), STREAM_SEEK_SET);
  if (header.link_count != d->link_count + optional) {
    if (other_writers_) {
      QLOG(LOG_ERROR, "Block %.4s at offset %llu has %llu links where its counts call for %llu",
           what, static_cast<unsigned long long>(offset),
           static_cast<unsigned long long>(header.link_count),
           static_cast<unsigned long long>(d->link_count + optional));
    }
    return false;
  }
  // The optional links are read with the others and never followed: a
  // channel's attachments and default X channel show in no table, and a
  // conversion with references gives the raw value (channel recognition).
  if (optional > 0) note_foreign(what);
  return optional == 0 || other_writers_;
}

bool BlockLoader::read_block(uint64_t offset, BlockRef* out) {
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      stream_seek(stream_, static_cast<int64_t>(offset), STREAM_SEEK_SET) !=
          static_cast<int64_t>(offset)) {
    return false;
  }
  BlockHeader header;
  const char* foreign = nullptr;
  if (!block_read_header(stream_, &header, other_writers_, &foreign)) {
    if (foreign) note_foreign(foreign);
    return false;
  }
  const BlockDescriptor* d = block_descriptor(header.type);
  if (!d) return false;
  if (header.type != BLOCK_ID) {
    // The header was read, so offset + 24 <= stream size.
    if (header.link_count > (UINT64_MAX - kBlockHeaderSize) / 8) return false;
    if (header.length < kBlockHeaderSize + 8 * header.link_count) return false;
    // The last data block of an unfinalised file may state a length beyond
    // the end; its view reads what is there.
    bool data_block = header.type == BLOCK_DT || header.type == BLOCK_SD;
    if (!data_block && header.length > stream_size_ - offset) return false;
  }
  if (d->checks_link_count && d->link_count != kAnyLinkCount && !links_fit(d, header, offset)) {
    return false;
  }
  if (block_count_ >= max_blocks_) return false;
  BlockBase* block = d->create();
  if (!block) {
    QLOG(LOG_ERROR, "Could not parse block at offset %llu",
         static_cast<unsigned long long>(offset));
    return false;
  }
  ++block_count_;
  BlockRef ref = BlockRef::adopt(block);
  block->offset = offset;
  block->length = header.length;
  if (d->checks_link_count) {
    block->link_count = header.link_count;
    if (!block_read_links(stream_, header, &block->load.links)) return false;
    if (d->chained) block->load.next = block->load.links[0];
  }
  auto inserted = cache_.insert(offset);
  if (!inserted.slot || !inserted.inserted) return false;
  inserted.slot->value = block;
  *out = std::move(ref);
  return true;
}

bool BlockLoader::complete(BlockBase* block) {
  if (block->load.phase == BlockLoadState::DONE) return true;
  // A block still being parsed is reached again only through a link cycle.
  if (block->load.phase == BlockLoadState::BUSY || depth_ >= kMaxDepth) return false;
  block->load.phase = BlockLoadState::BUSY;
  ++depth_;
  bool ok = block->descriptor->parse(block, this);
  --depth_;
  block->load.links.release();
  if (!ok) return false;
  block->load.phase = BlockLoadState::DONE;
  return true;
}

bool BlockLoader::walk(uint64_t first, BlockList* list, bool keep_alive_only, uint64_t id) {
  // First collect the chain, reading only headers and links, then parse its
  // blocks in order. A block may thus link to any block of its own chain,
  // before or after it: the one still to be parsed is parsed on demand.
  uint64_t start = list->size();
  for (uint64_t offset = first; offset != MDF_NO_LINK;) {
    BlockRef ref;
    if (auto* slot = cache_.find(offset)) {
      BlockBase* block = slot->value;
      if (block->load.walk == id) return false;  // the chain runs into itself
      if (keep_alive_only) break;                // someone else holds the rest
      if (block->load.phase == BlockLoadState::BUSY) return false;
      block->load.walk = id;
      // A block loaded only through an ordinary link joins this list with
      // its successors; one already in a list ends the chain here.
      bool adopt = block->load.listing != BlockLoadState::LISTED;
      block->load.listing = BlockLoadState::LISTED;
      if (!list->append(BlockRef::share(block))) return false;
      if (!adopt) break;
      offset = block->load.next;
      continue;
    }
    if (!read_block(offset, &ref)) return false;
    ref->load.walk = id;
    ref->load.listing = keep_alive_only ? BlockLoadState::KEPT_ALIVE : BlockLoadState::LISTED;
    offset = ref->load.next;
    if (!list->append(std::move(ref))) return false;
  }
  for (uint64_t i = start; i < list->size(); ++i)
    if (!complete((*list)[i].get())) return false;
  return true;
}

bool block_load(BlockLoader* loader, uint64_t first, BlockList* list) {
  return loader->walk(first, list, false, ++loader->walk_count_);
}

bool block_load_ref(BlockLoader* loader, uint64_t offset, BlockRef* out) {
  out->reset();
  if (offset == MDF_NO_LINK) return true;
  BlockRef ref;
  bool fresh = false;
  if (auto* slot = loader->cache_.find(offset)) {
    ref = BlockRef::share(slot->value);
  } else {
    if (!loader->read_block(offset, &ref)) return false;
    fresh = true;
  }
  if (!loader->complete(ref.get())) return false;
  if (fresh && ref->load.next != MDF_NO_LINK) {
    // The rest of its chain has no list to go into; it is loaded all the
    // same and kept alive with the tree. A data list keeps its own rest,
    // as its blocks are read in chain order.
    uint64_t id = ++loader->walk_count_;
    ref->load.walk = id;
    BlockList* rest = ref->type == BLOCK_DL ? dl_rest_list(ref.get()) : &loader->kept_alive_;
    if (!loader->walk(ref->load.next, rest, true, id)) return false;
  }
  *out = std::move(ref);
  return true;
}

}  // namespace quarrow
