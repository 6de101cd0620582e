#include "mdf/file_blocks.h"

#include "log/log.h"
#include "mdf/block_loader.h"
#include "mdf/stream_cursor.h"

namespace quarrow {

namespace {

bool id_parse(BlockBase* block, BlockLoader* loader) {
  auto* id = static_cast<IdBlock*>(block);
  StreamCursor cursor = loader->data_cursor(block);
  if (!cursor.read_text(&id->id_file, 8) || id->id_file.size() != 8) return false;
  if (!(id->id_file.view() == "MDF     ") && !(id->id_file.view() == "UnFinMF ")) return false;
  // The rest is informational: a file that ends inside the identification
  // block fails at the header block instead.
  (void)(cursor.read_text(&id->id_vers, 8) && cursor.read_text(&id->id_prog, 8) && cursor.skip(4) &&
         cursor.read_u16(&id->id_ver) && cursor.skip(30) && cursor.read_u16(&id->id_unfin_flags) &&
         cursor.read_u16(&id->id_custom_unfin_flags));
  return true;
}

bool hd_parse(BlockBase* block, BlockLoader* loader) {
  auto* hd = static_cast<HdBlock*>(block);
  const GrowArray<uint64_t>& links = block->load.links;
  if (!block_load(loader, links[0], &hd->hd_dg_list)) return false;
  if (!block_load(loader, links[1], &hd->hd_fh_list)) return false;
  // Channel hierarchies, attachments and events are not supported; logs
  // of other writers have them skipped, as the tables need none of them.
  const char* const kinds[] = {"##CH", "##AT", "##EV"};
  for (int i = 0; i < 3; ++i) {
    if (links[2 + i] == MDF_NO_LINK || loader->other_writers()) continue;
    QLOG(LOG_ERROR, "Unsupported parameter present in file");
    loader->note_foreign(kinds[i]);
    return false;
  }
  if (!block_load_ref(loader, links[5], &hd->hd_md_comment)) return false;
  StreamCursor cursor = loader->data_cursor(block);
  return cursor.read_u64(&hd->hd_start_time_ns) && cursor.read_i16(&hd->hd_tz_offset_min) &&
         cursor.read_i16(&hd->hd_dst_offset_min) && cursor.read_u8(&hd->hd_time_flags) &&
         cursor.read_u8(&hd->hd_time_class) && cursor.read_u8(&hd->hd_flags) && cursor.skip(1) &&
         cursor.read_f64(&hd->hd_start_angle_rad) && cursor.read_f64(&hd->hd_start_distance_m);
}

// Link 0, the next file-history block, is followed by the loader.
bool fh_parse(BlockBase* block, BlockLoader* loader) {
  auto* fh = static_cast<FhBlock*>(block);
  if (!block_load_ref(loader, block->load.links[1], &fh->fh_md_comment)) return false;
  StreamCursor cursor = loader->data_cursor(block);
  return cursor.read_u64(&fh->fh_time_ns) && cursor.read_i16(&fh->fh_tz_offset_min) &&
         cursor.read_i16(&fh->fh_dst_offset_min) && cursor.read_u8(&fh->fh_time_flags);
}

bool text_parse(BlockBase* block, BlockLoader* loader) {
  auto* text = static_cast<TextBlock*>(block);
  uint64_t size = block->data_size();
  if (size == 0) return true;
  // The loader has checked the length against the stream, so the room
  // reserved here is no larger than the file.
  StreamCursor cursor = loader->data_cursor(block);
  return cursor.read_text(&text->text, size);
}

bool si_parse(BlockBase* block, BlockLoader* loader) {
  auto* si = static_cast<SiBlock*>(block);
  const GrowArray<uint64_t>& links = block->load.links;
  if (!block_load_ref(loader, links[0], &si->si_tx_name) ||
      !block_load_ref(loader, links[1], &si->si_tx_path) ||
      !block_load_ref(loader, links[2], &si->si_md_comment)) {
    return false;
  }
  StreamCursor cursor = loader->data_cursor(block);
  if (!cursor.read_u8(&si->si_type) || !cursor.read_u8(&si->si_bus_type) ||
      !cursor.read_u8(&si->si_flags)) {
    return false;
  }
  si->source_kind = si->si_type == 2 ? SOURCE_BUS : SOURCE_OTHER;
  return true;
}

}  // namespace

const BlockDescriptor kIdDescriptor = {
    BLOCK_ID, 64, 0, false, false, block_create<IdBlock, &kIdDescriptor>, id_parse};
const BlockDescriptor kHdDescriptor = {
    BLOCK_HD, 104, 6, true, false, block_create<HdBlock, &kHdDescriptor>, hd_parse};
const BlockDescriptor kFhDescriptor = {
    BLOCK_FH, 56, 2, true, true, block_create<FhBlock, &kFhDescriptor>, fh_parse};
const BlockDescriptor kTxDescriptor = {
    BLOCK_TX, 24, 0, true, false, block_create<TxBlock, &kTxDescriptor>, text_parse};
const BlockDescriptor kMdDescriptor = {
    BLOCK_MD, 24, 0, true, false, block_create<MdBlock, &kMdDescriptor>, text_parse};
const BlockDescriptor kSiDescriptor = {
    BLOCK_SI, 56, 3, true, false, block_create<SiBlock, &kSiDescriptor>, si_parse};

StringView text_block_text(const BlockBase* block) {
  if (const TxBlock* tx = block_as<TxBlock>(block)) return tx->text.view();
  if (const MdBlock* md = block_as<MdBlock>(block)) return md->text.view();
  return StringView();
}

SourceKind si_block_source_kind(const SiBlock* block) {
  return block ? block->source_kind : SOURCE_OTHER;
}

}  // namespace quarrow
