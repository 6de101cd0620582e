#include "mdf/mdf_file.h"

#include <new>

#include "mdf/block_loader.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"

namespace quarrow {

namespace {

constexpr uint64_t kHeaderBlockOffset = 64;

// Loads the identification block and, through the header block, the whole
// tree.
bool mdf_read_root(MdfFile* file, BlockLoader* loader) {
  BlockRef id_ref;
  if (!block_load_ref(loader, 0, &id_ref)) return false;
  IdBlock* id = block_as<IdBlock>(id_ref);
  if (!id) return false;
  if (!block_load_ref(loader, kHeaderBlockOffset, &id->id_hd) || !id->id_hd) return false;
  id->kept_alive = std::move(*loader->kept_alive());
  file->id = std::move(id_ref);
  return true;
}

// An unfinalised file's last data block still has the length it was given
// when it was started; it really runs to the end of the stream, or up to the
// next block the file links to: a tool may have appended blocks behind it,
// whose bytes are no records. With no data block at all there is nothing to
// repair and the flag stays as it is.
void mdf_repair_unfinalised(MdfFile* file, BlockLoader* loader) {
  IdBlock* id = mdf_id_block(file);
  HdBlock* hd = mdf_hd_block(file);
  if (!id || !hd || (id->id_unfin_flags & kUnfinDataBlockLength) == 0) return;
  DtBlock* last = nullptr;
  for (const BlockRef& ref : hd->hd_dg_list) {
    DgBlock* dg = block_as<DgBlock>(ref);
    DtBlock* dt = dg ? block_as<DtBlock>(dg->dg_data) : nullptr;
    if (dt && (!last || dt->offset > last->offset)) last = dt;
  }
  if (!last) return;
  // The block's header was read from the stream, so the bound lies behind it.
  last->length = loader->next_block_after(last->offset) - last->offset;
  id->id_unfin_flags = static_cast<uint16_t>(id->id_unfin_flags & ~kUnfinDataBlockLength);
}

}  // namespace

MdfFile* mdf_open(ByteStream* stream, bool other_writers, const char** foreign) {
  if (foreign) *foreign = nullptr;
  if (!stream) return nullptr;
  int64_t size = stream_size(stream);
  if (size < 0) return nullptr;
  auto* file = new (std::nothrow) MdfFile;
  if (!file) return nullptr;
  file->stream = stream;
  BlockLoader loader(stream, static_cast<uint64_t>(size), other_writers);
  if (!mdf_read_root(file, &loader)) {
    if (foreign) *foreign = loader.foreign();
    delete file;
    return nullptr;
  }
  mdf_repair_unfinalised(file, &loader);
  return file;
}

void mdf_close(MdfFile* file) {
  delete file;
}

IdBlock* mdf_id_block(const MdfFile* file) {
  return file ? block_as<IdBlock>(file->id) : nullptr;
}

HdBlock* mdf_hd_block(const MdfFile* file) {
  IdBlock* id = mdf_id_block(file);
  return id ? block_as<HdBlock>(id->id_hd) : nullptr;
}

}  // namespace quarrow
