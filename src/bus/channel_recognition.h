#pragma once

#include "bus/channel_info.h"
#include "bus/frame.h"

namespace quarrow {

struct CgBlock;
struct DgBlock;
struct HdBlock;

// Sets channel->role from its whole name, byte for byte (ROLE_NONE when the
// name is not one of the bus-logging field names).
void channel_role_from_name(ChannelInfo* channel);

// Discards the group's ChannelInfo list and builds it anew from its
// channels. Returns the list (owned by the group).
ChannelInfoList* channel_info_build(CgBlock* group);

// Chooses the decode function and frame kind of a group from the prefixes
// ("CAN_DataFrame" of "CAN_DataFrame.ID") of its channel names. False when
// the names do not share exactly one prefix; the outputs are then untouched.
bool group_recognise(const ChannelInfoList& channels, DecodeFn* decode, FrameKind* kind);

// The frame kind of a channel group as its data group's layout map has it:
// under the group's record id, or under 0 when the data group has no record
// ids. FRAME_NONE when the map has no such entry.
FrameKind group_kind(DgBlock* data_group, CgBlock* group);

// A channel group that looks like bus logging (a bus acquisition source,
// or an acquisition name that begins with "CAN_" or "LIN_") yet whose
// records give no rows for the CAN or LIN table.
struct UnreadBusGroup {
  // "channel group "CAN" of data group 1 was not recognised, as its time
  // channel is named "time", not "Timestamp"", names from the file in
  // quotes with control characters masked.
  SsoString text;
  // The group was read without --other-writers, and the option would have
  // given its rows.
  bool other_writers_read_it = false;
};

// Looks for such groups in the file. True when there is one; *found then
// describes the first that --other-writers would read, else the first.
bool unread_bus_group(HdBlock* hd, UnreadBusGroup* found);

}  // namespace quarrow
