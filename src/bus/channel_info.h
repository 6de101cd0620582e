#pragma once

#include <cstdint>

#include "bus/frame.h"
#include "core/grow_array.h"
#include "core/hash_map.h"
#include "core/sso_string.h"

namespace quarrow {

struct BlockBase;
struct CnBlock;
struct DgBlock;
struct CgBlock;

// Which frame field a channel fills, decided by its full name.
enum ChannelRole : uint32_t {
  ROLE_NONE = 0,
  ROLE_BRS = 1,
  ROLE_BUS_CHANNEL = 2,
  ROLE_DATA_BYTES = 3,
  ROLE_DATA_LENGTH = 4,
  ROLE_DIR = 5,
  ROLE_DLC = 6,
  ROLE_EDL = 7,
  ROLE_ERROR_TYPE = 8,
  ROLE_ESI = 9,
  ROLE_ID = 10,
  ROLE_IDE = 11,
  ROLE_LIN_BUS_CHANNEL = 12,
  ROLE_LIN_DATA_BYTES = 13,
  ROLE_LIN_DATA_LENGTH = 14,
  ROLE_LIN_DIR = 15,
  ROLE_LIN_ID = 16,
  ROLE_LIN_RECEIVED_COUNT = 17,
  ROLE_TIMESTAMP = 18,
  // A member of a known composition that no table column needs; only logs
  // of other writers have such channels recognised (they are skipped).
  ROLE_IGNORED = 19,
};

enum ValueClass : uint32_t {
  VALUE_UINT = 0,
  VALUE_BYTES = 1,
  VALUE_FLOAT = 2,  // IEEE 754 double from the raw 64-bit pattern
};

enum ConversionKind : uint32_t {
  CONVERSION_IDENTITY = 0,
  CONVERSION_LINEAR = 1,
  CONVERSION_VALUE_TABLE = 2,
};

// The parameters of a value-table conversion (bus/conversion.h).
struct ValueTable;

// Raw-to-physical conversion of a numeric channel. Never absent: a channel
// without one gets the identity. Movable, not copyable: it owns its table.
struct Conversion {
  ConversionKind kind = CONVERSION_IDENTITY;
  double factor = 1.0;  // linear: raw * factor + offset
  double offset = 0.0;
  ValueTable* table = nullptr;  // value table only; owned

  Conversion() = default;
  ~Conversion();
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;
  Conversion(Conversion&& other) noexcept;
  Conversion& operator=(Conversion&& other) noexcept;
};

double conversion_apply(const Conversion& conversion, double raw);

// One leaf channel of a channel group, ready for the record decoder.
struct ChannelInfo {
  uint64_t bit_position = 0;  // counted from the first byte after the record id
  uint64_t bit_count = 0;
  ValueClass value_class = VALUE_UINT;
  uint8_t little_endian = 0;
  Conversion conversion;
  SsoString name;
  ChannelRole role = ROLE_NONE;
  // For a variable-length channel only: the SD block or VLSD channel group
  // its values live in.
  BlockBase* data_block = nullptr;
  // For bytes stored at their maximum length (logs of other writers): the
  // index in the list of the channel that holds their real length; -1 for
  // none.
  int64_t length_channel = -1;
  const CnBlock* origin = nullptr;         // the channel this was made from
  const CnBlock* length_origin = nullptr;  // the channel of length_channel
};

using ChannelInfoList = GrowArray<ChannelInfo>;

struct RecordView {
  const uint8_t* fixed;
  uint64_t fixed_size;
  const uint8_t* variable;
  uint64_t variable_size;
  const ChannelInfoList* channels;
};

// Turns one record into a frame in the buffer; returns the kind written or
// FRAME_INVALID (the buffer's kind is then FRAME_NONE).
using DecodeFn = FrameKind (*)(const RecordView& record, FrameBuffer* frame);

// How the records of one channel group are read and decoded.
struct RecordLayout {
  uint64_t record_id = 0;
  uint32_t record_size = 0;  // 0xFFFFFFFF for a VLSD channel group
  const ChannelInfoList* channels = nullptr;
  DecodeFn decode = nullptr;
  FrameKind kind = FRAME_NONE;
  bool variable = false;  // a channel keeps its values in a data block
};

inline constexpr uint32_t kVlsdRecordSize = 0xFFFFFFFFu;

// Record id to layout, one per data group (a group without record ids is
// under key 0).
using RecordLayoutMap = HashMap<uint64_t, RecordLayout>;

// Appends the ChannelInfo of a channel, or of its composition members, to
// list. Called by the channel-group parse for every channel. other_writers:
// the layouts of other MDF 4 writers are recognised too (the master channel
// is the timestamp whatever its name, bus prefixes on names, unknown
// members skipped, bytes at maximum length).
void channel_info_add(CnBlock* channel, ChannelInfoList* list, bool other_writers = false);
// Fills the data group's record-layout map; called once its channel groups
// are loaded.
void record_layouts_build(DgBlock* group);

}  // namespace quarrow
