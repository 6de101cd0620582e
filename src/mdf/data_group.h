#pragma once

#include <cstdint>

#include "bus/channel_info.h"
#include "mdf/block.h"

namespace quarrow {

// A data group: its channel groups share one data block of records.
struct DgBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_DG;
  using BlockBase::BlockBase;

  BlockList dg_cg_list;  // CgBlock, chain order
  BlockRef dg_data;      // the records (a DtBlock in a readable file)
  BlockRef dg_md_comment;
  uint8_t dg_rec_id_size = 0;  // 0, 1, 2, 4 or 8 bytes in front of each record
  // The loader's option: VLSD records are found by the offset that the
  // fixed record holds, wherever they stand.
  bool other_writers = false;
  // Record id to layout, filled by record_layouts_build() when the group is
  // loaded.
  RecordLayoutMap record_layouts;
};

// Bit 0 of cg_flags: a channel group of variable-length signal data.
inline constexpr uint16_t kCgFlagVlsd = 1;

struct CgBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_CG;
  using BlockBase::BlockBase;

  BlockList cg_cn_list;  // CnBlock, chain order
  BlockRef cg_tx_acq_name;
  BlockRef cg_si_acq_source;
  BlockRef cg_md_comment;
  uint64_t cg_record_id = 0;
  uint64_t cg_cycle_count = 0;
  uint16_t cg_flags = 0;
  uint16_t cg_path_separator = 0;
  uint32_t cg_data_bytes = 0;
  uint32_t cg_inval_bytes = 0;
  uint8_t cg_vlsd = 0;         // bit 0 of cg_flags
  bool other_writers = false;  // the loader's option, for channel recognition
  // Filled by channel_info_add() for every channel when the group is loaded.
  ChannelInfoList channel_infos;
};

enum ChannelKind : uint32_t {
  CHANNEL_FIXED = 0,
  CHANNEL_VLSD = 1,
  CHANNEL_MASTER = 2,
  CHANNEL_VIRTUAL_DATA = 6,
  CHANNEL_OTHER = 7,
};

// The MDF data type plus one; 0 for what the reader does not support.
enum ChannelDataType : uint32_t {
  DATA_UNSUPPORTED = 0,
  DATA_UINT_LE = 1,
  DATA_UINT_BE = 2,  // never produced by the reader
  DATA_FLOAT_LE = 5,
  DATA_FLOAT_BE = 6,  // never produced by the reader
  DATA_BYTE_ARRAY = 11,
};

struct CnBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_CN;
  using BlockBase::BlockBase;

  BlockList cn_member_list;  // composition members (CnBlock), chain order
  BlockRef cn_tx_name;
  BlockRef cn_si_source;
  BlockRef cn_cc_conversion;
  // Signal data of a variable-length channel: an SdBlock, or the CgBlock of
  // a VLSD channel group.
  BlockRef cn_data;
  BlockRef cn_md_unit;
  BlockRef cn_md_comment;
  uint8_t cn_type = 0;
  uint8_t cn_sync_type = 0;
  uint8_t cn_data_type = 0;
  uint8_t cn_bit_offset = 0;
  uint32_t cn_byte_offset = 0;  // within the record data, after the record id
  uint32_t cn_bit_count = 0;
  uint32_t cn_flags = 0;
  uint32_t cn_inval_bit_pos = 0;
  uint8_t cn_precision = 0;
  uint16_t cn_attachment_count = 0;
  double cn_val_range_min = 0;
  double cn_val_range_max = 0;
  double cn_limit_min = 0;
  double cn_limit_max = 0;
  double cn_limit_ext_min = 0;
  double cn_limit_ext_max = 0;
  ChannelKind kind = CHANNEL_OTHER;
  ChannelDataType data_type = DATA_UNSUPPORTED;
};

// Field readers that accept null: 0, CHANNEL_OTHER and DATA_UNSUPPORTED.
uint32_t cn_block_bit_count(const CnBlock* channel);
uint8_t cn_block_bit_offset(const CnBlock* channel);
uint32_t cn_block_byte_offset(const CnBlock* channel);
ChannelKind cn_block_kind(const CnBlock* channel);
ChannelDataType cn_block_data_type(const CnBlock* channel);

// The mappings the CN parse applies to cn_type and cn_data_type.
ChannelKind channel_kind_from_type(uint8_t cn_type);
ChannelDataType channel_data_type_from_type(uint8_t cn_data_type);

struct CcBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_CC;
  using BlockBase::BlockBase;
  ~CcBlock() override;

  BlockRef cc_tx_name;
  BlockRef cc_md_unit;
  BlockRef cc_md_comment;
  BlockRef cc_cc_inverse;
  uint8_t cc_type = 0;  // 0 identity, 1 linear, 5 value to value, ...
  uint8_t cc_precision = 0;
  uint16_t cc_flags = 0;
  uint16_t cc_ref_count = 0;
  uint16_t cc_val_count = 0;
  double cc_phy_range_min = 0;
  double cc_phy_range_max = 0;
  double* cc_val = nullptr;  // cc_val_count values, owned
};

// Stores cc_val[index] in *out; false for a null block or out, or an index
// not below cc_val_count.
bool cc_block_value(const CcBlock* conversion, uint64_t index, double* out);

class StreamCursor;

// The links a block may carry behind its fixed ones, as the counts in its
// data section state them (read through counts, which starts there): a
// channel's attachment references and the three links of its default X
// channel (bit 12 of cn_flags), a conversion's references. False for the
// types that have no such links. A count that cannot be read counts 0.
// *what names the block in messages: "##CN with attachment references",
// or its id alone when it has no optional links.
bool optional_links(BlockType type, StreamCursor counts, uint64_t* count, const char** what);

extern const BlockDescriptor kDgDescriptor;
extern const BlockDescriptor kCgDescriptor;
extern const BlockDescriptor kCnDescriptor;
extern const BlockDescriptor kCcDescriptor;

}  // namespace quarrow
