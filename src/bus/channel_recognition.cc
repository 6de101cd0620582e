#include "bus/channel_recognition.h"

#include "bus/conversion.h"
#include "bus/decoders.h"
#include "log/log.h"
#include "mdf/data_group.h"
#include "mdf/data_list.h"
#include "mdf/file_blocks.h"

namespace quarrow {

namespace {

struct RoleName {
  const char* name;
  ChannelRole role;
};

constexpr RoleName kRoleNames[] = {
    {"CAN_DataFrame.BRS", ROLE_BRS},
    {"CAN_DataFrame.BusChannel", ROLE_BUS_CHANNEL},
    {"CAN_RemoteFrame.BusChannel", ROLE_BUS_CHANNEL},
    {"CAN_ErrorFrame.BusChannel", ROLE_BUS_CHANNEL},
    {"CAN_DataFrame.DataBytes", ROLE_DATA_BYTES},
    {"CAN_DataFrame.DataLength", ROLE_DATA_LENGTH},
    {"CAN_RemoteFrame.DataLength", ROLE_DATA_LENGTH},
    {"CAN_DataFrame.Dir", ROLE_DIR},
    {"CAN_RemoteFrame.Dir", ROLE_DIR},
    {"CAN_DataFrame.DLC", ROLE_DLC},
    {"CAN_RemoteFrame.DLC", ROLE_DLC},
    {"CAN_DataFrame.EDL", ROLE_EDL},
    {"CAN_ErrorFrame.ErrorType", ROLE_ERROR_TYPE},
    {"CAN_DataFrame.ESI", ROLE_ESI},
    {"CAN_DataFrame.ID", ROLE_ID},
    {"CAN_RemoteFrame.ID", ROLE_ID},
    {"CAN_DataFrame.IDE", ROLE_IDE},
    {"CAN_RemoteFrame.IDE", ROLE_IDE},
    {"LIN_Frame.BusChannel", ROLE_LIN_BUS_CHANNEL},
    {"LIN_Frame.DataBytes", ROLE_LIN_DATA_BYTES},
    {"LIN_Frame.DataLength", ROLE_LIN_DATA_LENGTH},
    {"LIN_Frame.Dir", ROLE_LIN_DIR},
    {"LIN_Frame.ID", ROLE_LIN_ID},
    {"LIN_Frame.ReceivedDataByteCount", ROLE_LIN_RECEIVED_COUNT},
    {"Timestamp", ROLE_TIMESTAMP},
};

struct GroupName {
  const char* name;
  DecodeFn decode;
  FrameKind kind;
};

constexpr GroupName kGroupNames[] = {
    {"CAN_DataFrame", decode_can_data, FRAME_CAN_DATA},
    {"CAN_RemoteFrame", decode_can_remote, FRAME_CAN_REMOTE},
    {"CAN_ErrorFrame", decode_can_error, FRAME_CAN_ERROR},
    {"LIN_Frame", decode_lin, FRAME_LIN},
    {"LIN_ChecksumError", decode_no_frame, FRAME_LIN_CHECKSUM_ERROR},
    {"LIN_ReceiveError", decode_no_frame, FRAME_LIN_RECEIVE_ERROR},
    {"LIN_SyncError", decode_no_frame, FRAME_LIN_SYNC_ERROR},
    {"LIN_TransmissionError", decode_no_frame, FRAME_LIN_TRANSMISSION_ERROR},
};

void set_value_class(ChannelInfo* info, ChannelDataType type) {
  switch (type) {
    case DATA_UINT_LE:
      info->value_class = VALUE_UINT;
      info->little_endian = 1;
      return;
    case DATA_UINT_BE:
      info->value_class = VALUE_UINT;
      info->little_endian = 0;
      return;
    case DATA_FLOAT_LE:
      info->value_class = VALUE_FLOAT;
      info->little_endian = 1;
      return;
    case DATA_FLOAT_BE:
      info->value_class = VALUE_FLOAT;
      info->little_endian = 0;
      return;
    case DATA_BYTE_ARRAY:
      info->value_class = VALUE_BYTES;
      info->little_endian = 1;
      return;
    default:
      QLOG(LOG_WARN, "Unsupported channel data type: %d", static_cast<int>(type));
      info->value_class = VALUE_UINT;
      info->little_endian = 0;
  }
}

void set_conversion(ChannelInfo* info, const CcBlock* cc) {
  if (!cc) return;
  // A parameter block that cannot be allocated leaves the identity.
  if (cc->cc_type == 1) {
    (void)conversion_set_linear(&info->conversion, cc->cc_val, cc->cc_val_count);
  } else if (cc->cc_type == 5) {
    (void)conversion_set_value_table(&info->conversion, cc->cc_val, cc->cc_val_count);
  }
}

// Other writers put the bus in front of the group's name ("CAN1_DataFrame",
// "LIN2_Frame"); the name without it is the one recognised.
void drop_bus_prefix(SsoString* name) {
  StringView n = name->view();
  if (n.size < 5 || !(n.prefix(3) == StringView("CAN") || n.prefix(3) == StringView("LIN"))) return;
  uint64_t i = 3;
  while (i < n.size && n.data[i] >= '0' && n.data[i] <= '9') ++i;
  if (i == 3 || i >= n.size || n.data[i] != '_') return;
  SsoString plain;
  if (plain.assign(n.prefix(3)) && plain.append(StringView(n.data + i, n.size - i)))
    *name = std::move(plain);
}

// What other writers' layouts change in a channel recognised by its name.
void recognise_other_writer(CnBlock* channel, ChannelInfo* info) {
  constexpr uint8_t kSyncTime = 1;
  constexpr uint8_t kMaximumLength = 5;
  if (cn_block_kind(channel) == CHANNEL_MASTER && channel->cn_sync_type == kSyncTime) {
    info->role = ROLE_TIMESTAMP;
  } else if (info->role == ROLE_NONE && info->name.view().find('.') >= 0 &&
             cn_block_kind(channel) != CHANNEL_VLSD) {
    info->role = ROLE_IGNORED;
  }
  if (channel->cn_type == kMaximumLength) info->length_origin = block_as<CnBlock>(channel->cn_data);
}

// Points each channel stored at maximum length at the channel of its
// length, once the list is complete.
void resolve_lengths(ChannelInfoList* list) {
  for (ChannelInfo& info : *list) {
    if (!info.length_origin) continue;
    for (uint64_t i = 0; i < list->size(); ++i) {
      if ((*list)[i].origin == info.length_origin) info.length_channel = static_cast<int64_t>(i);
    }
  }
}

}  // namespace

void channel_role_from_name(ChannelInfo* channel) {
  StringView name = channel->name.view();
  channel->role = ROLE_NONE;
  for (const RoleName& entry : kRoleNames) {
    if (name == StringView(entry.name)) {
      channel->role = entry.role;
      return;
    }
  }
}

// Composition members nest no deeper than the loader lets blocks nest, so
// the recursion is bounded.
void channel_info_add(CnBlock* channel, ChannelInfoList* list, bool other_writers) {
  if (!channel || !list) return;
  if (!channel->cn_member_list.empty()) {
    for (const BlockRef& member : channel->cn_member_list) {
      // An array of channels is not decoded: its channel is left without a
      // role, so that its group gives no frames.
      if (block_as<CaBlock>(member)) {
        (void)list->append(ChannelInfo());
        continue;
      }
      channel_info_add(block_as<CnBlock>(member), list, other_writers);
    }
    return;
  }
  ChannelInfo info;
  info.origin = channel;
  (void)info.name.assign(text_block_text(channel->cn_tx_name));
  if (other_writers) drop_bus_prefix(&info.name);
  channel_role_from_name(&info);
  if (other_writers) recognise_other_writer(channel, &info);
  info.bit_position =
      static_cast<uint64_t>(cn_block_byte_offset(channel)) * 8 + cn_block_bit_offset(channel);
  info.bit_count = cn_block_bit_count(channel);
  set_value_class(&info, cn_block_data_type(channel));
  set_conversion(&info, block_as<CcBlock>(channel->cn_cc_conversion));
  if (cn_block_kind(channel) == CHANNEL_VLSD) info.data_block = channel->cn_data.get();
  // A list that cannot grow leaves the channel out; the group then decodes
  // without it.
  (void)list->append(std::move(info));
}

ChannelInfoList* channel_info_build(CgBlock* group) {
  if (!group) return nullptr;
  group->channel_infos.clear();
  for (const BlockRef& channel : group->cg_cn_list) {
    channel_info_add(block_as<CnBlock>(channel), &group->channel_infos, group->other_writers);
  }
  resolve_lengths(&group->channel_infos);
  return &group->channel_infos;
}

bool group_recognise(const ChannelInfoList& channels, DecodeFn* decode, FrameKind* kind) {
  // Only "exactly one distinct prefix" matters, so the first prefix and a
  // comparison with it replace a set.
  StringView prefix;
  bool found = false;
  for (const ChannelInfo& channel : channels) {
    StringView name = channel.name.view();
    int64_t dot = name.find('.');
    if (dot < 0) continue;
    StringView p = name.prefix(static_cast<uint64_t>(dot));
    if (!found) {
      prefix = p;
      found = true;
    } else if (!(p == prefix)) {
      return false;
    }
  }
  if (!found) return false;
  *decode = decode_no_frame;
  *kind = FRAME_NONE;
  for (const GroupName& entry : kGroupNames) {
    if (prefix == StringView(entry.name)) {
      *decode = entry.decode;
      *kind = entry.kind;
      break;
    }
  }
  return true;
}

void record_layouts_build(DgBlock* data_group) {
  if (!data_group) return;
  RecordLayoutMap& map = data_group->record_layouts;
  map.clear();
  bool have_first = false;
  RecordLayout first;
  for (const BlockRef& ref : data_group->dg_cg_list) {
    CgBlock* group = block_as<CgBlock>(ref);
    if (!group) continue;
    RecordLayout layout;
    layout.record_id = group->cg_record_id;
    if (group->cg_vlsd) {
      layout.record_size = kVlsdRecordSize;
    } else {
      uint64_t size = static_cast<uint64_t>(group->cg_data_bytes) + group->cg_inval_bytes;
      // A record this large cannot be told from the VLSD marker; the group's
      // records are then not readable, and meeting one ends the walk.
      if (size >= kVlsdRecordSize) continue;
      layout.record_size = static_cast<uint32_t>(size);
      layout.channels = channel_info_build(group);
      if (layout.channels) {
        for (const ChannelInfo& channel : *layout.channels) {
          if (channel.data_block) layout.variable = true;
        }
      }
      layout.decode = decode_no_frame;
      layout.kind = FRAME_NONE;
      if (si_block_source_kind(block_as<SiBlock>(group->cg_si_acq_source)) == SOURCE_BUS) {
        group_recognise(*layout.channels, &layout.decode, &layout.kind);
      }
    }
    auto result = map.insert(layout.record_id);
    if (!result.slot || !result.inserted) continue;
    result.slot->value = layout;
    if (!have_first) {
      first = layout;
      have_first = true;
    }
  }
  if (data_group->dg_rec_id_size != 0 || !have_first) return;
  // Without record ids every record belongs to one group; the first group of
  // the data group is the one dispatched, under key 0.
  if (map.size() == 1 && first.record_id == 0) return;
  map.clear();
  first.record_id = 0;
  auto result = map.insert(uint64_t{0});
  if (result.slot) result.slot->value = first;
}

FrameKind group_kind(DgBlock* data_group, CgBlock* group) {
  if (!data_group || !group) return FRAME_NONE;
  uint64_t id = data_group->dg_rec_id_size == 0 ? 0 : group->cg_record_id;
  const auto* slot = data_group->record_layouts.find(id);
  return slot ? slot->value.kind : FRAME_NONE;
}

}  // namespace quarrow
