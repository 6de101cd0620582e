#pragma once

#include <cstdint>

#include "bus/channel_info.h"
#include "bus/frame.h"

namespace quarrow {

// The physical value of a numeric channel: its bits in the fixed record (as
// an unsigned integer, or an IEEE 754 float of 32 or 64 bits), passed
// through its conversion.
double channel_value(const ChannelInfo& channel, const RecordView& record);

// Walks the entries of a record's variable data, one per channel that has a
// data block: a 4-byte little-endian length, then that many bytes.
struct VariableCursor {
  const uint8_t* data;
  uint64_t size;
  uint64_t position;
};

// Takes the next entry. Fewer than four bytes left give an empty entry;
// false when the entry is longer than the bytes that remain.
bool variable_next(VariableCursor* cursor, const uint8_t** bytes, uint64_t* length);

// Decode functions chosen by the channel names of a group. Each clears the
// frame, fills it from the record's channels and returns the frame's kind,
// or FRAME_INVALID (the frame's kind then FRAME_NONE, data null) when a
// channel has a role the frame does not know or the data is damaged.
FrameKind decode_can_data(const RecordView& record, FrameBuffer* frame);
FrameKind decode_can_remote(const RecordView& record, FrameBuffer* frame);
FrameKind decode_can_error(const RecordView& record, FrameBuffer* frame);
FrameKind decode_lin(const RecordView& record, FrameBuffer* frame);
// For every other group: sets the kind to FRAME_NONE, touches nothing else.
FrameKind decode_no_frame(const RecordView& record, FrameBuffer* frame);

}  // namespace quarrow
