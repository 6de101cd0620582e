#pragma once

#include <cstdint>

namespace quarrow {

// The kind of frame a channel group carries, and of a decoded frame.
enum FrameKind : uint32_t {
  FRAME_NONE = 0,
  FRAME_CAN_DATA = 1,
  FRAME_CAN_REMOTE = 2,
  FRAME_CAN_ERROR = 3,
  FRAME_LIN = 4,
  FRAME_LIN_CHECKSUM_ERROR = 5,
  FRAME_LIN_RECEIVE_ERROR = 6,
  FRAME_LIN_SYNC_ERROR = 7,
  FRAME_LIN_TRANSMISSION_ERROR = 8,
  // Never a group kind: what a decoder returns when a record gives no frame.
  FRAME_INVALID = 9,
};

inline constexpr uint64_t kCanFrameStorage = 64;
inline constexpr uint64_t kLinFrameStorage = 8;

// The fields every decoded frame starts with, so that a receiver can read the
// kind before knowing the frame's type.
struct Frame {
  double timestamp;  // seconds since the start of the recording
  uint32_t id;
  uint8_t* data;  // the frame's own storage; null when the record gave no frame
  uint64_t data_length;
  FrameKind kind;
};

// CAN data (kind 1) and remote (kind 2) frames.
struct CanFrame : Frame {
  uint8_t ide;
  uint8_t dir;
  uint8_t edl;
  uint8_t esi;
  uint8_t brs;
  uint8_t rtr;
  uint8_t bus_channel;
  uint8_t dlc;
  uint8_t bytes[kCanFrameStorage];
};

// LIN frames (kind 4).
struct LinFrame : Frame {
  uint8_t dir;
  uint8_t bus_channel;
  uint8_t received_count;
  uint8_t bytes[kLinFrameStorage];
};

// CAN error frames (kind 3): id 0, no data.
struct CanErrorFrame : Frame {
  uint8_t bus_channel;
  uint32_t error_type;  // 1..5, 0 for anything else
};

// Storage for any decoded frame; the largest is a CanFrame.
union FrameBuffer {
  Frame frame;
  CanFrame can;
  LinFrame lin;
  CanErrorFrame error;
};

}  // namespace quarrow
