#include "mdf/data_list.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "mdf/block_loader.h"
#include "mdf/data_block.h"
#include "mdf/stream_cursor.h"

namespace quarrow {

namespace {

// The largest piece inflated at once. Writers cut their data into blocks of
// a few megabytes; a larger statement is taken as damage, so that a small
// hostile block cannot demand a huge buffer.
constexpr uint64_t kMaxInflatedPiece = 64ull << 20;
// Deflate cannot shrink data by more than this factor (plus a few bytes).
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr uint64_t kCompressedChunk = 64 * 1024;
// Bytes of the DZ fields in front of the compressed data.
constexpr uint64_t kDzFieldsSize = 24;

bool is_piece(const BlockBase* block) {
  return block_as<DtBlock>(block) || block_as<SdBlock>(block) || block_as<DzBlock>(block);
}

bool dz_parse(BlockBase* block, BlockLoader* loader) {
  auto* dz = static_cast<DzBlock*>(block);
  StreamCursor cursor = loader->data_cursor(block);
  char original[2];
  uint8_t reserved;
  if (!cursor.read_bytes(original, 2) || !cursor.read_u8(&dz->dz_zip_type) ||
      !cursor.read_u8(&reserved) || !cursor.read_u32(&dz->dz_zip_parameter) ||
      !cursor.read_u64(&dz->dz_org_data_length) || !cursor.read_u64(&dz->dz_data_length)) {
    return false;
  }
  bool known = (std::memcmp(original, "DT", 2) == 0 || std::memcmp(original, "SD", 2) == 0) &&
               dz->dz_zip_type <= 1;
  // The loader has checked the block's length against the file.
  uint64_t room = block->data_size() > kDzFieldsSize ? block->data_size() - kDzFieldsSize : 0;
  if (!known || dz->dz_data_length > room || dz->dz_org_data_length > kMaxInflatedPiece ||
      dz->dz_org_data_length > dz->dz_data_length * kMaxDeflateRatio + 64) {
    return false;
  }
  dz->data_start = block->offset + kBlockHeaderSize + kDzFieldsSize;
  dz->source = loader->stream();
  return true;
}

// Link 0, the next list of the chain, is followed by the loader.
bool dl_parse(BlockBase* block, BlockLoader* loader) {
  auto* dl = static_cast<DlBlock*>(block);
  const GrowArray<uint64_t>& links = block->load.links;
  if (links.size() == 0) return false;
  uint64_t count = links.size() - 1;
  if (!dl->dl_data.reserve(count)) return false;
  for (uint64_t i = 1; i < links.size(); ++i) {
    BlockRef piece;
    if (!block_load_ref(loader, links[i], &piece) || !is_piece(piece.get())) return false;
    dl->dl_data.append(std::move(piece));
  }
  StreamCursor cursor = loader->data_cursor(block);
  uint32_t dl_count;
  if (!cursor.read_u8(&dl->dl_flags) || !cursor.skip(3) || !cursor.read_u32(&dl_count) ||
      dl_count != count) {
    return false;
  }
  if (dl->dl_flags & 1) return cursor.read_u64(&dl->dl_equal_length);
  if (!dl->dl_offset.reserve(count)) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t offset;
    if (!cursor.read_u64(&offset)) return false;
    dl->dl_offset.append(offset);
  }
  return true;
}

bool hl_parse(BlockBase* block, BlockLoader* loader) {
  auto* hl = static_cast<HlBlock*>(block);
  if (!block_load_ref(loader, block->load.links[0], &hl->hl_dl_first)) return false;
  if (hl->hl_dl_first && !block_as<DlBlock>(hl->hl_dl_first)) return false;
  StreamCursor cursor = loader->data_cursor(block);
  return cursor.read_u16(&hl->hl_flags) && cursor.read_u8(&hl->hl_zip_type);
}

uint64_t claimed_size(const BlockBase* piece) {
  if (const auto* dz = block_as<DzBlock>(piece)) return dz->dz_org_data_length;
  return static_cast<const DataBlock*>(piece)->view_size();
}

uint64_t present_size(const BlockBase* piece) {
  if (const auto* dz = block_as<DzBlock>(piece)) return dz->dz_org_data_length;
  return static_cast<const DataBlock*>(piece)->present_size();
}

// The pieces behind a data link in stream order, up to the first one that
// does not stand where its list says or that the file holds only in part;
// *missing counts the bytes claimed from there on. False when memory is
// short.
bool collect_pieces(BlockBase* data, GrowArray<DataPiece>* pieces, uint64_t* missing) {
  *missing = 0;
  if (HlBlock* hl = block_as<HlBlock>(data)) data = hl->hl_dl_first.get();
  if (!data) return true;
  uint64_t at = 0;
  bool ended = false;
  auto add = [&](BlockBase* piece, bool fits) {
    uint64_t claimed = claimed_size(piece);
    uint64_t present = present_size(piece);
    if (ended || !fits || present > UINT64_MAX - at) {
      ended = true;
      *missing += claimed > 0 ? claimed : 1;
      return true;
    }
    if (present > 0 && !pieces->append(DataPiece{piece, at, present})) return false;
    at += present;
    if (present < claimed) {
      ended = true;
      *missing += claimed - present;
    }
    return true;
  };
  DlBlock* head = block_as<DlBlock>(data);
  if (!head) return !is_piece(data) || add(data, true);
  for (uint64_t d = 0; d <= head->dl_rest.size(); ++d) {
    DlBlock* dl = d == 0 ? head : block_as<DlBlock>(head->dl_rest[d - 1]);
    if (!dl) break;
    bool last_list = d == head->dl_rest.size();
    uint64_t count = dl->dl_data.size();
    for (uint64_t i = 0; i < count; ++i) {
      BlockBase* piece = dl->dl_data[i].get();
      bool fits = dl->dl_flags & 1 ? claimed_size(piece) == dl->dl_equal_length ||
                                         (last_list && i + 1 == count &&
                                          claimed_size(piece) < dl->dl_equal_length)
                                   : dl->dl_offset[i] == at;
      if (!add(piece, fits)) return false;
    }
  }
  return true;
}

// Reads exactly n bytes of the file from position; false when it cannot.
bool read_source(ByteStream* source, uint64_t position, uint8_t* buffer, uint64_t n) {
  if (position > static_cast<uint64_t>(INT64_MAX) ||
      stream_seek(source, static_cast<int64_t>(position), STREAM_SEEK_SET) !=
          static_cast<int64_t>(position)) {
    return false;
  }
  while (n > 0) {
    int64_t r = stream_read(source, buffer, n);
    if (r <= 0) return false;
    buffer += r;
    n -= static_cast<uint64_t>(r);
  }
  return true;
}

// Inflates the block's data into out (dz_org_data_length bytes); true only
// when the compressed data gives exactly that many bytes and ends there.
bool inflate_block(const DzBlock* dz, uint8_t* out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  uint8_t chunk[kCompressedChunk];
  uint64_t read = 0;
  int ret = Z_OK;
  z.next_out = out;
  z.avail_out = static_cast<uInt>(dz->dz_org_data_length);
  while (ret == Z_OK) {
    if (z.avail_in == 0) {
      uint64_t left = dz->dz_data_length - read;
      if (left == 0) break;
      uint64_t n = left < kCompressedChunk ? left : kCompressedChunk;
      if (!read_source(dz->source, dz->data_start + read, chunk, n)) break;
      read += n;
      z.next_in = chunk;
      z.avail_in = static_cast<uInt>(n);
    }
    ret = inflate(&z, Z_NO_FLUSH);
  }
  bool whole = ret == Z_STREAM_END && z.total_out == dz->dz_org_data_length;
  inflateEnd(&z);
  return whole;
}

// Undoes the transposition of zip type 1: the first rows * columns bytes
// were stored column by column; the rest as they were.
bool untranspose(uint8_t* data, uint64_t size, uint64_t columns) {
  uint64_t rows = columns > 0 ? size / columns : 0;
  if (rows < 2 || columns < 2) return true;
  auto* rows_first = static_cast<uint8_t*>(std::malloc(rows * columns));
  if (!rows_first) return false;
  for (uint64_t c = 0; c < columns; ++c) {
    const uint8_t* column = data + c * rows;
    for (uint64_t r = 0; r < rows; ++r) rows_first[r * columns + c] = column[r];
  }
  std::memcpy(data, rows_first, rows * columns);
  std::free(rows_first);
  return true;
}

// The loader has checked the block's length; its links are not followed.
bool ca_parse(BlockBase*, BlockLoader*) {
  return true;
}

}  // namespace

const BlockDescriptor kCaDescriptor = {
    BLOCK_CA, 24, 0, false, false, block_create<CaBlock, &kCaDescriptor>, ca_parse};
const BlockDescriptor kDlDescriptor = {
    BLOCK_DL, 40, kAnyLinkCount, true, true, block_create<DlBlock, &kDlDescriptor>, dl_parse};
const BlockDescriptor kDzDescriptor = {
    BLOCK_DZ, 48, 0, false, false, block_create<DzBlock, &kDzDescriptor>, dz_parse};
const BlockDescriptor kHlDescriptor = {
    BLOCK_HL, 40, 1, true, false, block_create<HlBlock, &kHlDescriptor>, hl_parse};

BlockList* dl_rest_list(BlockBase* dl) {
  return &static_cast<DlBlock*>(dl)->dl_rest;
}

bool data_is_list(const BlockBase* block) {
  return block_as<DlBlock>(block) || block_as<HlBlock>(block) || block_as<DzBlock>(block);
}

uint64_t data_missing_bytes(BlockBase* data) {
  if (DtBlock* dt = block_as<DtBlock>(data)) return dt->view_size() - dt->present_size();
  if (!data_is_list(data)) return 0;
  GrowArray<DataPiece> pieces;
  uint64_t missing = 0;
  collect_pieces(data, &pieces, &missing);
  return missing;
}

std::unique_ptr<DataListView> data_list_open(BlockBase* data) {
  if (!data_is_list(data)) return nullptr;
  std::unique_ptr<DataListView> view(new (std::nothrow) DataListView);
  uint64_t missing;
  if (!view || !collect_pieces(data, &view->pieces_, &missing)) return nullptr;
  if (view->pieces_.size() > 0) {
    const DataPiece& last = view->pieces_.back();
    view->size_ = last.start + last.size;
  }
  return view;
}

DataListView::~DataListView() {
  std::free(inflated_);
}

uint64_t DataListView::piece_at(uint64_t position) const {
  const DataPiece& current = pieces_[current_];
  if (position >= current.start && position - current.start < current.size) return current_;
  uint64_t low = 0;
  uint64_t high = pieces_.size();
  // The last piece whose start is at or before position.
  while (high - low > 1) {
    uint64_t mid = low + (high - low) / 2;
    if (pieces_[mid].start <= position) {
      low = mid;
    } else {
      high = mid;
    }
  }
  return low;
}

bool DataListView::inflate_piece(uint64_t index) {
  if (inflated_piece_ == index) return true;
  const auto* dz = static_cast<const DzBlock*>(pieces_[index].block);
  inflated_piece_ = UINT64_MAX;
  // One piece is held at a time: moving to another one inflates that one.
  std::free(inflated_);
  inflated_ = static_cast<uint8_t*>(std::malloc(dz->dz_org_data_length));
  if (!inflated_ || !inflate_block(dz, inflated_)) return false;
  if (dz->dz_zip_type == 1 && !untranspose(inflated_, dz->dz_org_data_length, dz->dz_zip_parameter))
    return false;
  inflated_piece_ = index;
  return true;
}

int64_t DataListView::read(void* buffer, uint64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < count && position_ < size_) {
    current_ = piece_at(position_);
    const DataPiece& piece = pieces_[current_];
    uint64_t within = position_ - piece.start;
    uint64_t left = piece.size - within;
    uint64_t n = count - done < left ? count - done : left;
    int64_t got;
    if (block_as<DzBlock>(piece.block)) {
      if (!inflate_piece(current_)) return done > 0 ? static_cast<int64_t>(done) : -1;
      std::memcpy(out + done, inflated_ + within, n);
      got = static_cast<int64_t>(n);
    } else {
      got = data_block_read_at(static_cast<const DataBlock*>(piece.block), within, out + done, n);
      if (got <= 0) return done > 0 ? static_cast<int64_t>(done) : got < 0 ? -1 : 0;
    }
    position_ += static_cast<uint64_t>(got);
    done += static_cast<uint64_t>(got);
  }
  return static_cast<int64_t>(done);
}

int64_t DataListView::seek(int64_t offset, int32_t origin) {
  int64_t target = stream_seek_target(position_, size_, offset, origin);
  if (target < 0) return -1;
  position_ = static_cast<uint64_t>(target) < size_ ? static_cast<uint64_t>(target) : size_;
  return static_cast<int64_t>(position_);
}

}  // namespace quarrow
