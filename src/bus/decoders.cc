#include "bus/decoders.h"

#include <cmath>
#include <cstring>

#include "bus/bits.h"

namespace quarrow {

double channel_value(const ChannelInfo& channel, const RecordView& record) {
  uint64_t raw = bits_extract(record.fixed, record.fixed_size, channel.bit_position,
                              channel.bit_count, channel.little_endian != 0);
  double value;
  if (channel.value_class == VALUE_FLOAT) {
    if (channel.bit_count == 32) {
      // A single-precision channel: its pattern read as a double would be a
      // meaningless denormal.
      float f;
      uint32_t bits = static_cast<uint32_t>(raw);
      std::memcpy(&f, &bits, sizeof(f));
      value = f;
    } else {
      std::memcpy(&value, &raw, sizeof(value));
    }
  } else {
    value = static_cast<double>(raw);
  }
  if (channel.conversion.kind == CONVERSION_IDENTITY) return value;
  return conversion_apply(channel.conversion, value);
}

bool variable_next(VariableCursor* cursor, const uint8_t** bytes, uint64_t* length) {
  uint64_t left = cursor->size - cursor->position;
  if (left < 4) {
    *bytes = cursor->data + cursor->size;
    *length = 0;
    cursor->position = cursor->size;
    return true;
  }
  const uint8_t* p = cursor->data + cursor->position;
  uint64_t n = static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 |
               static_cast<uint64_t>(p[2]) << 16 | static_cast<uint64_t>(p[3]) << 24;
  if (n > left - 4) return false;
  *bytes = p + 4;
  *length = n;
  cursor->position += 4 + n;
  return true;
}

namespace {

uint8_t as_flag(double v) {
  return std::trunc(v) != 0.0 ? 1 : 0;
}

uint8_t as_byte(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return 0;
  return static_cast<uint8_t>(static_cast<uint32_t>(static_cast<int32_t>(v)));
}

// An unsigned integer of at most 53 bits without conversion is exact as a
// double: its fields can be taken from the integer, with the overloads
// below giving what the double ones give for it.
bool is_plain(const ChannelInfo& channel) {
  return channel.value_class == VALUE_UINT && channel.conversion.kind == CONVERSION_IDENTITY &&
         channel.bit_count <= 53;
}

uint8_t as_flag(uint64_t raw) {
  return raw != 0 ? 1 : 0;
}

uint8_t as_byte(uint64_t raw) {
  return raw < 2147483648u ? static_cast<uint8_t>(raw) : 0;
}

uint32_t as_id(uint64_t raw) {
  return static_cast<uint32_t>(raw);
}

uint32_t as_id(double v) {
  // The range of int64_t; beyond it (and for NaN) the conversion is undefined.
  if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(v)));
}

// The bytes of a channel used as data bytes: its next variable-data entry
// when it has a data block, else its whole bytes in the fixed record,
// clipped to the record. False when the entry runs past the variable data.
bool channel_bytes(const ChannelInfo& channel, const RecordView& record, VariableCursor* variable,
                   const uint8_t** bytes, uint64_t* length) {
  if (channel.data_block) return variable_next(variable, bytes, length);
  uint64_t first = channel.bit_position / 8;
  uint64_t n = channel.bit_count / 8;
  if (channel.length_channel >= 0) {
    // Stored at maximum length: the real length is another channel's value,
    // the bytes behind it are padding.
    double real = channel_value((*record.channels)[channel.length_channel], record);
    if (!(real >= 0.0)) real = 0.0;
    if (real < static_cast<double>(n)) n = static_cast<uint64_t>(real);
  }
  if (first >= record.fixed_size) {
    n = 0;
    first = record.fixed_size;
  } else if (n > record.fixed_size - first) {
    n = record.fixed_size - first;
  }
  *bytes = record.fixed + first;
  *length = n;
  return true;
}

// Copies up to storage bytes and zero-fills the rest of the storage.
void copy_bytes(uint8_t* storage, uint64_t storage_size, const uint8_t* bytes, uint64_t length) {
  uint64_t n = length < storage_size ? length : storage_size;
  if (n) std::memcpy(storage, bytes, n);
  std::memset(storage + n, 0, storage_size - n);
}

FrameKind no_frame(Frame* frame) {
  frame->data = nullptr;
  frame->data_length = 0;
  frame->kind = FRAME_NONE;
  return FRAME_INVALID;
}

VariableCursor variable_of(const RecordView& record) {
  return VariableCursor{record.variable, record.variable ? record.variable_size : 0, 0};
}

// The CAN fields a data frame and a remote frame share, from a physical
// value or a plain channel's integer. False for a role a CAN frame does not
// have.
template <typename V>
bool set_can_field(CanFrame* can, ChannelRole role, V v) {
  switch (role) {
    case ROLE_TIMESTAMP:
      can->timestamp = static_cast<double>(v);
      return true;
    case ROLE_ID:
      can->id |= as_id(v);
      return true;
    case ROLE_IDE:
      can->ide = as_flag(v);
      return true;
    case ROLE_DIR:
      can->dir = as_flag(v);
      return true;
    case ROLE_BUS_CHANNEL:
      can->bus_channel = as_byte(v);
      return true;
    case ROLE_DLC:
      can->dlc = as_byte(v);
      return true;
    case ROLE_DATA_LENGTH:
      can->data_length = as_byte(v);
      return true;
    default:
      return false;
  }
}

// The fields of a CAN data frame: the shared ones and the flexible data
// rate flags.
template <typename V>
bool set_can_data_field(CanFrame* can, ChannelRole role, V v) {
  switch (role) {
    case ROLE_EDL:
      can->edl = as_flag(v);
      return true;
    case ROLE_ESI:
      can->esi = as_flag(v);
      return true;
    case ROLE_BRS:
      can->brs = as_flag(v);
      return true;
    default:
      return set_can_field(can, role, v);
  }
}

}  // namespace

FrameKind decode_can_data(const RecordView& record, FrameBuffer* frame) {
  CanFrame* can = &frame->can;
  // The fields before the data bytes; the bytes are cleared where they are
  // filled, or below. One clear of the whole frame costs more than the
  // rest of the decoding of a short frame.
  std::memset(static_cast<void*>(can), 0,
              static_cast<size_t>(reinterpret_cast<char*>(can->bytes) - reinterpret_cast<char*>(can)));
  bool have_bytes = false;
  if (!record.channels) {
    std::memset(can->bytes, 0, sizeof(can->bytes));
    return no_frame(can);
  }
  bool valid = true;
  VariableCursor variable = variable_of(record);
  for (const ChannelInfo& channel : *record.channels) {
    if (channel.role == ROLE_IGNORED) continue;
    // A channel with a data block owns the next variable-data entry whatever
    // its role, so the entries stay matched to their channels.
    if (channel.role == ROLE_DATA_BYTES || channel.data_block) {
      const uint8_t* bytes;
      uint64_t length;
      if (!channel_bytes(channel, record, &variable, &bytes, &length)) return no_frame(can);
      if (channel.role != ROLE_DATA_BYTES) {
        valid = false;
        continue;
      }
      if (channel.data_block && length > kCanFrameStorage) return no_frame(can);
      copy_bytes(can->bytes, kCanFrameStorage, bytes, length);
      have_bytes = true;
      continue;
    }
    bool known = is_plain(channel)
                     ? set_can_data_field(can, channel.role,
                                          bits_extract(record.fixed, record.fixed_size,
                                                       channel.bit_position, channel.bit_count,
                                                       channel.little_endian != 0))
                     : set_can_data_field(can, channel.role, channel_value(channel, record));
    if (!known) valid = false;
  }
  if (!have_bytes) std::memset(can->bytes, 0, sizeof(can->bytes));
  if (!valid) return no_frame(can);
  can->kind = FRAME_CAN_DATA;
  can->data = can->bytes;
  return FRAME_CAN_DATA;
}

FrameKind decode_can_remote(const RecordView& record, FrameBuffer* frame) {
  CanFrame* can = &frame->can;
  std::memset(can, 0, sizeof(*can));
  if (!record.channels) return no_frame(can);
  can->rtr = 1;
  bool valid = true;
  for (const ChannelInfo& channel : *record.channels) {
    if (channel.role == ROLE_IGNORED) continue;
    if (!set_can_field(can, channel.role, channel_value(channel, record))) valid = false;
  }
  if (!valid) return no_frame(can);
  can->kind = FRAME_CAN_REMOTE;
  can->data = can->bytes;
  return FRAME_CAN_REMOTE;
}

FrameKind decode_can_error(const RecordView& record, FrameBuffer* frame) {
  CanErrorFrame* error = &frame->error;
  std::memset(error, 0, sizeof(*error));
  if (!record.channels) return no_frame(error);
  bool valid = true;
  for (const ChannelInfo& channel : *record.channels) {
    if (channel.role == ROLE_IGNORED) continue;
    double v = channel_value(channel, record);
    switch (channel.role) {
      case ROLE_TIMESTAMP:
        error->timestamp = v;
        break;
      case ROLE_BUS_CHANNEL:
        error->bus_channel = as_byte(v);
        break;
      case ROLE_ERROR_TYPE: {
        uint8_t type = as_byte(v);
        error->error_type = type >= 1 && type <= 5 ? type : 0;
        break;
      }
      default:
        valid = false;
    }
  }
  if (!valid) return no_frame(error);
  error->kind = FRAME_CAN_ERROR;
  return FRAME_CAN_ERROR;
}

FrameKind decode_lin(const RecordView& record, FrameBuffer* frame) {
  LinFrame* lin = &frame->lin;
  std::memset(lin, 0, sizeof(*lin));
  if (!record.channels) return no_frame(lin);
  bool valid = true;
  VariableCursor variable = variable_of(record);
  for (const ChannelInfo& channel : *record.channels) {
    if (channel.role == ROLE_IGNORED) continue;
    if (channel.role == ROLE_LIN_DATA_BYTES || channel.data_block) {
      const uint8_t* bytes;
      uint64_t length;
      if (!channel_bytes(channel, record, &variable, &bytes, &length)) return no_frame(lin);
      if (channel.role == ROLE_LIN_DATA_BYTES) {
        copy_bytes(lin->bytes, kLinFrameStorage, bytes, length);
      } else {
        valid = false;
      }
      continue;
    }
    double v = channel_value(channel, record);
    switch (channel.role) {
      case ROLE_TIMESTAMP:
        lin->timestamp = v;
        break;
      case ROLE_LIN_ID:
        lin->id |= as_id(v);
        break;
      case ROLE_LIN_BUS_CHANNEL:
        lin->bus_channel = as_byte(v);
        break;
      case ROLE_LIN_DATA_LENGTH:
        lin->data_length = as_byte(v);
        break;
      case ROLE_LIN_RECEIVED_COUNT:
        lin->received_count = as_byte(v);
        break;
      case ROLE_LIN_DIR:
        lin->dir = v == 0.0 ? 0 : 1;
        break;
      default:
        valid = false;
    }
  }
  if (!valid) return no_frame(lin);
  lin->kind = FRAME_LIN;
  lin->data = lin->bytes;
  return FRAME_LIN;
}

FrameKind decode_no_frame(const RecordView&, FrameBuffer* frame) {
  frame->frame.kind = FRAME_NONE;
  return FRAME_INVALID;
}

}  // namespace quarrow
