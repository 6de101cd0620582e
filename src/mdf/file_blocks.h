#pragma once

#include <cstdint>

#include "core/sso_string.h"
#include "core/string_view.h"
#include "mdf/block.h"

namespace quarrow {

// Bit of id_unfin_flags: the last data block still has a provisional length.
inline constexpr uint16_t kUnfinDataBlockLength = 4;

// The identification block: the fixed 64 bytes at offset 0.
struct IdBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_ID;
  using BlockBase::BlockBase;

  // The header block at offset 64; MDF has no link for it, the reader keeps
  // it here.
  BlockRef id_hd;
  SsoString id_file;  // "MDF     " or "UnFinMF "
  SsoString id_vers;
  SsoString id_prog;
  uint16_t id_ver = 0;
  uint16_t id_unfin_flags = 0;
  uint16_t id_custom_unfin_flags = 0;
  // Chain blocks that were reached only through an ordinary link; they live
  // as long as the tree.
  BlockList kept_alive;
};

struct HdBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_HD;
  using BlockBase::BlockBase;

  BlockList hd_dg_list;  // DgBlock, chain order
  BlockList hd_fh_list;  // FhBlock, chain order
  BlockRef hd_md_comment;
  uint64_t hd_start_time_ns = 0;  // since 1970-01-01 00:00
  int16_t hd_tz_offset_min = 0;
  int16_t hd_dst_offset_min = 0;
  uint8_t hd_time_flags = 0;
  uint8_t hd_time_class = 0;
  uint8_t hd_flags = 0;
  double hd_start_angle_rad = 0;
  double hd_start_distance_m = 0;
};

struct FhBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_FH;
  using BlockBase::BlockBase;

  BlockRef fh_md_comment;
  uint64_t fh_time_ns = 0;
  int16_t fh_tz_offset_min = 0;
  int16_t fh_dst_offset_min = 0;
  uint8_t fh_time_flags = 0;
};

// TX (plain text) and MD (XML kept as text) blocks are read alike.
struct TextBlock : BlockBase {
  using BlockBase::BlockBase;
  // Ends at the first zero byte of the data section.
  SsoString text;
};

struct TxBlock : TextBlock {
  static constexpr BlockType kType = BLOCK_TX;
  using TextBlock::TextBlock;
};

struct MdBlock : TextBlock {
  static constexpr BlockType kType = BLOCK_MD;
  using TextBlock::TextBlock;
};

enum SourceKind : uint32_t {
  SOURCE_BUS = 2,
  SOURCE_OTHER = 6,
};

struct SiBlock : BlockBase {
  static constexpr BlockType kType = BLOCK_SI;
  using BlockBase::BlockBase;

  BlockRef si_tx_name;
  BlockRef si_tx_path;
  BlockRef si_md_comment;
  uint8_t si_type = 0;  // 0 other, 1 ECU, 2 bus, 3 I/O, 4 tool, 5 user
  uint8_t si_bus_type = 0;
  uint8_t si_flags = 0;
  SourceKind source_kind = SOURCE_OTHER;
};

// The text of a TX or MD block; empty for null or any other block type.
StringView text_block_text(const BlockBase* block);
inline StringView text_block_text(const BlockRef& ref) {
  return text_block_text(ref.get());
}
// SOURCE_OTHER for null.
SourceKind si_block_source_kind(const SiBlock* block);

extern const BlockDescriptor kIdDescriptor;
extern const BlockDescriptor kHdDescriptor;
extern const BlockDescriptor kFhDescriptor;
extern const BlockDescriptor kTxDescriptor;
extern const BlockDescriptor kMdDescriptor;
extern const BlockDescriptor kSiDescriptor;

}  // namespace quarrow
