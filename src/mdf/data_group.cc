#include "mdf/data_group.h"

#include <cstdlib>

#include "log/log.h"
#include "mdf/block_loader.h"
#include "mdf/stream_cursor.h"

namespace quarrow {

namespace {

// Link 0 of DG, CG and CN blocks is the next block of the chain; the loader
// follows it.

bool dg_parse(BlockBase* block, BlockLoader* loader) {
  auto* dg = static_cast<DgBlock*>(block);
  const GrowArray<uint64_t>& links = block->load.links;
  if (!block_load(loader, links[1], &dg->dg_cg_list) ||
      !block_load_ref(loader, links[2], &dg->dg_data) ||
      !block_load_ref(loader, links[3], &dg->dg_md_comment)) {
    return false;
  }
  StreamCursor cursor = loader->data_cursor(block);
  if (!cursor.read_u8(&dg->dg_rec_id_size)) return false;
  dg->other_writers = loader->other_writers();
  record_layouts_build(dg);
  return true;
}

bool cg_parse(BlockBase* block, BlockLoader* loader) {
  auto* cg = static_cast<CgBlock*>(block);
  const GrowArray<uint64_t>& links = block->load.links;
  if (!block_load(loader, links[1], &cg->cg_cn_list) ||
      !block_load_ref(loader, links[2], &cg->cg_tx_acq_name) ||
      !block_load_ref(loader, links[3], &cg->cg_si_acq_source)) {
    return false;
  }
  // Sample reductions are not supported; logs of other writers have them
  // skipped, as the records hold the samples themselves.
  if (links[4] != MDF_NO_LINK && !loader->other_writers()) {
    QLOG(LOG_ERROR, "Unsupported parameter present in file");
    loader->note_foreign("##SR");
    return false;
  }
  if (!block_load_ref(loader, links[5], &cg->cg_md_comment)) return false;
  StreamCursor cursor = loader->data_cursor(block);
  if (!cursor.read_u64(&cg->cg_record_id) || !cursor.read_u64(&cg->cg_cycle_count) ||
      !cursor.read_u16(&cg->cg_flags) || !cursor.read_u16(&cg->cg_path_separator) ||
      !cursor.skip(4) || !cursor.read_u32(&cg->cg_data_bytes) ||
      !cursor.read_u32(&cg->cg_inval_bytes)) {
    return false;
  }
  cg->cg_vlsd = (cg->cg_flags & kCgFlagVlsd) != 0 ? 1 : 0;
  cg->other_writers = loader->other_writers();
  for (const BlockRef& ref : cg->cg_cn_list) {
    if (CnBlock* channel = block_as<CnBlock>(ref))
      channel_info_add(channel, &cg->channel_infos, cg->other_writers);
  }
  return true;
}

bool cn_parse(BlockBase* block, BlockLoader* loader) {
  auto* cn = static_cast<CnBlock*>(block);
  const GrowArray<uint64_t>& links = block->load.links;
  if (!block_load(loader, links[1], &cn->cn_member_list)) return false;
  BlockRef* refs[] = {&cn->cn_tx_name, &cn->cn_si_source, &cn->cn_cc_conversion,
                      &cn->cn_data,    &cn->cn_md_unit,   &cn->cn_md_comment};
  for (uint64_t i = 0; i < 6; ++i)
    if (!block_load_ref(loader, links[2 + i], refs[i])) return false;
  StreamCursor cursor = loader->data_cursor(block);
  if (!cursor.read_u8(&cn->cn_type) || !cursor.read_u8(&cn->cn_sync_type) ||
      !cursor.read_u8(&cn->cn_data_type) || !cursor.read_u8(&cn->cn_bit_offset) ||
      !cursor.read_u32(&cn->cn_byte_offset) || !cursor.read_u32(&cn->cn_bit_count) ||
      !cursor.read_u32(&cn->cn_flags) || !cursor.read_u32(&cn->cn_inval_bit_pos) ||
      !cursor.read_u8(&cn->cn_precision) || !cursor.skip(1) ||
      !cursor.read_u16(&cn->cn_attachment_count) || !cursor.read_f64(&cn->cn_val_range_min) ||
      !cursor.read_f64(&cn->cn_val_range_max) || !cursor.read_f64(&cn->cn_limit_min) ||
      !cursor.read_f64(&cn->cn_limit_max) || !cursor.read_f64(&cn->cn_limit_ext_min) ||
      !cursor.read_f64(&cn->cn_limit_ext_max)) {
    return false;
  }
  cn->kind = channel_kind_from_type(cn->cn_type);
  cn->data_type = channel_data_type_from_type(cn->cn_data_type);
  return true;
}

bool cc_parse(BlockBase* block, BlockLoader* loader) {
  auto* cc = static_cast<CcBlock*>(block);
  const GrowArray<uint64_t>& links = block->load.links;
  if (!block_load_ref(loader, links[0], &cc->cc_tx_name) ||
      !block_load_ref(loader, links[1], &cc->cc_md_unit) ||
      !block_load_ref(loader, links[2], &cc->cc_md_comment) ||
      !block_load_ref(loader, links[3], &cc->cc_cc_inverse)) {
    return false;
  }
  StreamCursor cursor = loader->data_cursor(block);
  if (!cursor.read_u8(&cc->cc_type) || !cursor.read_u8(&cc->cc_precision) ||
      !cursor.read_u16(&cc->cc_flags) || !cursor.read_u16(&cc->cc_ref_count) ||
      !cursor.read_u16(&cc->cc_val_count) || !cursor.read_f64(&cc->cc_phy_range_min) ||
      !cursor.read_f64(&cc->cc_phy_range_max)) {
    return false;
  }
  if (cc->cc_val_count == 0) return true;
  // No more values than the rest of the stream can hold.
  uint64_t values_at = block->offset + kBlockHeaderSize + 8 * block->link_count + cursor.offset();
  uint64_t room = loader->stream_size() > values_at ? loader->stream_size() - values_at : 0;
  if (cc->cc_val_count > room / sizeof(double)) return false;
  cc->cc_val = static_cast<double*>(std::calloc(cc->cc_val_count, sizeof(double)));
  if (!cc->cc_val) return false;
  for (uint16_t i = 0; i < cc->cc_val_count; ++i)
    if (!cursor.read_f64(&cc->cc_val[i])) return false;
  return true;
}

}  // namespace

const BlockDescriptor kDgDescriptor = {
    BLOCK_DG, 64, 4, true, true, block_create<DgBlock, &kDgDescriptor>, dg_parse};
const BlockDescriptor kCgDescriptor = {
    BLOCK_CG, 104, 6, true, true, block_create<CgBlock, &kCgDescriptor>, cg_parse};
const BlockDescriptor kCnDescriptor = {
    BLOCK_CN, 160, 8, true, true, block_create<CnBlock, &kCnDescriptor>, cn_parse};
const BlockDescriptor kCcDescriptor = {
    BLOCK_CC, 80, 4, true, false, block_create<CcBlock, &kCcDescriptor>, cc_parse};

CcBlock::~CcBlock() {
  std::free(cc_val);
}

ChannelKind channel_kind_from_type(uint8_t cn_type) {
  switch (cn_type) {
    case 0:
      return CHANNEL_FIXED;
    case 1:
      return CHANNEL_VLSD;
    case 2:
      return CHANNEL_MASTER;
    case 6:
      return CHANNEL_VIRTUAL_DATA;
    default:
      return CHANNEL_OTHER;
  }
}

ChannelDataType channel_data_type_from_type(uint8_t cn_data_type) {
  switch (cn_data_type) {
    case 0:
      return DATA_UINT_LE;
    case 4:
      return DATA_FLOAT_LE;
    case 10:
      return DATA_BYTE_ARRAY;
    default:
      // Big-endian and signed channels are not read.
      return DATA_UNSUPPORTED;
  }
}

bool optional_links(BlockType type, StreamCursor counts, uint64_t* count, const char** what) {
  *count = 0;
  if (type == BLOCK_CC) {
    uint16_t references = 0;
    if (counts.skip(4) && counts.read_u16(&references)) *count = references;
    *what = *count > 0 ? "##CC with references" : "##CC";
    return true;
  }
  if (type != BLOCK_CN) return false;
  constexpr uint32_t kCnFlagDefaultX = 1u << 12;
  uint32_t flags = 0;
  uint16_t attachments = 0;
  StreamCursor at_count = counts;
  if (!counts.skip(12) || !counts.read_u32(&flags)) flags = 0;
  if (!at_count.skip(22) || !at_count.read_u16(&attachments)) attachments = 0;
  *count = attachments + ((flags & kCnFlagDefaultX) != 0 ? 3 : 0);
  *what = attachments > 0             ? "##CN with attachment references"
          : (flags & kCnFlagDefaultX) ? "##CN with a default X channel"
                                      : "##CN";
  return true;
}

uint32_t cn_block_bit_count(const CnBlock* channel) {
  return channel ? channel->cn_bit_count : 0;
}
uint8_t cn_block_bit_offset(const CnBlock* channel) {
  return channel ? channel->cn_bit_offset : 0;
}
uint32_t cn_block_byte_offset(const CnBlock* channel) {
  return channel ? channel->cn_byte_offset : 0;
}
ChannelKind cn_block_kind(const CnBlock* channel) {
  return channel ? channel->kind : CHANNEL_OTHER;
}
ChannelDataType cn_block_data_type(const CnBlock* channel) {
  return channel ? channel->data_type : DATA_UNSUPPORTED;
}

bool cc_block_value(const CcBlock* conversion, uint64_t index, double* out) {
  if (!conversion || !out || index >= conversion->cc_val_count || !conversion->cc_val) return false;
  *out = conversion->cc_val[index];
  return true;
}

}  // namespace quarrow
