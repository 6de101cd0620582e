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

// The first two distinct prefixes ("CAN_DataFrame" of "CAN_DataFrame.ID")
// of the channel names; returns how many there are, counting no further
// than two. A name without "." has none.
int name_prefixes(const ChannelInfoList& channels, StringView* first, StringView* second) {
  int found = 0;
  for (const ChannelInfo& channel : channels) {
    StringView name = channel.name.view();
    int64_t dot = name.find('.');
    if (dot < 0) continue;
    StringView p = name.prefix(static_cast<uint64_t>(dot));
    if (found == 0) {
      *first = p;
      found = 1;
    } else if (!(p == *first)) {
      *second = p;
      return 2;
    }
  }
  return found;
}

// Appends the leaf channels of channel: itself, or its composition members
// to any depth (bounded, as members nest no deeper than the loader lets
// blocks nest). With names_only the value class and conversion are left
// out, so that nothing is logged or allocated for them.
void add_leaves(CnBlock* channel, ChannelInfoList* list, bool other_writers, bool names_only) {
  if (!channel || !list) return;
  if (!channel->cn_member_list.empty()) {
    for (const BlockRef& member : channel->cn_member_list) {
      // An array of channels is not decoded: its channel is left without a
      // role, so that its group gives no frames.
      if (block_as<CaBlock>(member)) {
        (void)list->append(ChannelInfo());
        continue;
      }
      add_leaves(block_as<CnBlock>(member), list, other_writers, names_only);
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
  if (!names_only) {
    set_value_class(&info, cn_block_data_type(channel));
    set_conversion(&info, block_as<CcBlock>(channel->cn_cc_conversion));
  }
  if (cn_block_kind(channel) == CHANNEL_VLSD) info.data_block = channel->cn_data.get();
  // A list that cannot grow leaves the channel out; the group then decodes
  // without it.
  (void)list->append(std::move(info));
}

// Whether the decoder of a frame kind takes the channel, as the decoders
// decide it: any other role, and a channel with a data block that holds
// no data bytes, make every record of the group invalid.
bool decoder_takes(FrameKind kind, const ChannelInfo& c) {
  if (c.role == ROLE_IGNORED || c.role == ROLE_TIMESTAMP) return true;
  switch (kind) {
    case FRAME_CAN_DATA:
      if (c.data_block) return c.role == ROLE_DATA_BYTES;
      return c.role >= ROLE_BRS && c.role <= ROLE_IDE && c.role != ROLE_ERROR_TYPE;
    case FRAME_CAN_REMOTE:
      return c.role == ROLE_BUS_CHANNEL || c.role == ROLE_DATA_LENGTH || c.role == ROLE_DIR ||
             c.role == ROLE_DLC || c.role == ROLE_ID || c.role == ROLE_IDE;
    case FRAME_LIN:
      if (c.data_block) return c.role == ROLE_LIN_DATA_BYTES;
      return c.role >= ROLE_LIN_BUS_CHANNEL && c.role <= ROLE_LIN_RECEIVED_COUNT;
    default:
      return true;
  }
}

// Appends text from a file in double quotes, control characters masked, so
// that a name cannot put line breaks or escapes into the log.
bool append_quoted(SsoString* out, StringView text) {
  if (!out->push_back('"')) return false;
  for (uint64_t i = 0; i < text.size; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (!out->push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c))) return false;
  }
  return out->push_back('"') != nullptr;
}

// Why a group of a bus acquisition source, with its channels read as
// listed, gives no rows for the tables. False when it gives rows, and for
// groups of error and event frames, which never do.
bool no_rows_reason(const ChannelInfoList& channels, SsoString* reason) {
  StringView first, second;
  int prefixes = name_prefixes(channels, &first, &second);
  if (prefixes == 0) {
    (void)reason->append("none of its channels is named like a frame field");
    return true;
  }
  if (prefixes == 2) {
    (void)(reason->append("its channels are of two frame types, ") &&
           append_quoted(reason, first) && reason->append(" and ") &&
           append_quoted(reason, second));
    return true;
  }
  DecodeFn decode = nullptr;
  FrameKind kind = FRAME_NONE;
  group_recognise(channels, &decode, &kind);
  if (kind == FRAME_NONE) {
    (void)(reason->append("its frame type ") && append_quoted(reason, first) &&
           reason->append(" is in no table"));
    return true;
  }
  for (const ChannelInfo& c : channels) {
    if (decoder_takes(kind, c)) continue;
    if (!c.origin) {
      (void)reason->append("it holds a channel array");
    } else if (cn_block_kind(c.origin) == CHANNEL_MASTER) {
      (void)(reason->append("its time channel is named ") && append_quoted(reason, c.name.view()) &&
             reason->append(", not \"Timestamp\""));
    } else {
      (void)(reason->append("its channel ") && append_quoted(reason, c.name.view()) &&
             reason->append(" is no field of its frame type"));
    }
    return true;
  }
  return false;
}

bool looks_like_bus_name(StringView name) {
  return name.prefix(4) == StringView("CAN_") || name.prefix(4) == StringView("LIN_");
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

void channel_info_add(CnBlock* channel, ChannelInfoList* list, bool other_writers) {
  add_leaves(channel, list, other_writers, false);
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
  StringView prefix, other;
  if (name_prefixes(channels, &prefix, &other) != 1) return false;
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

bool unread_bus_group(HdBlock* hd, UnreadBusGroup* found) {
  if (!hd || !found) return false;
  bool any = false;
  uint64_t dg_index = 0;
  for (const BlockRef& dg_ref : hd->hd_dg_list) {
    ++dg_index;
    DgBlock* dg = block_as<DgBlock>(dg_ref);
    if (!dg) continue;
    for (const BlockRef& cg_ref : dg->dg_cg_list) {
      CgBlock* cg = block_as<CgBlock>(cg_ref);
      if (!cg || cg->cg_vlsd) continue;
      const SiBlock* source = block_as<SiBlock>(cg->cg_si_acq_source);
      bool bus = si_block_source_kind(source) == SOURCE_BUS;
      StringView name = text_block_text(cg->cg_tx_acq_name);
      if (!bus && !looks_like_bus_name(name)) continue;
      SsoString reason;
      if (!bus) {
        (void)reason.append(source ? "its acquisition source is not a bus"
                                   : "it has no acquisition source");
      } else if (!no_rows_reason(cg->channel_infos, &reason)) {
        continue;
      }
      bool option_reads = false;
      if (bus && !cg->other_writers) {
        ChannelInfoList as_other;
        for (const BlockRef& cn : cg->cg_cn_list)
          add_leaves(block_as<CnBlock>(cn), &as_other, true, true);
        SsoString ignored;
        option_reads = !no_rows_reason(as_other, &ignored);
      }
      if (any && (found->other_writers_read_it || !option_reads)) continue;
      any = true;
      found->other_writers_read_it = option_reads;
      found->text.clear();
      (void)(found->text.append("channel group ") && append_quoted(&found->text, name) &&
             found->text.append_format(" of data group %llu was not recognised, as ",
                                       static_cast<unsigned long long>(dg_index)) >= 0 &&
             found->text.append(reason.view()));
    }
  }
  return any;
}

}  // namespace quarrow
