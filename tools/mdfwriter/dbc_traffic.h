// DBC-shaped traffic: a seeded set of messages with signals of every kind a
// DBC file describes, the DBC text that describes them, and what the frame
// generator needs to send frames that match them.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quarrow::mdfw {

struct DbcSignalShape {
  std::string name;
  uint32_t start_bit = 0;  // as the DBC writes it: LSB for Intel, MSB for Motorola
  uint32_t length = 1;
  bool intel = true;
  bool is_signed = false;
  uint8_t value_type = 0;  // SIG_VALTYPE_: 0 integer, 1 single, 2 double
  double factor = 1;
  double offset = 0;
  std::string unit;
  // -1 plain; -2 the message's multiplexor (M); otherwise the multiplexor
  // value that selects it (mN).
  int mux = -1;
};

struct DbcMessageShape {
  uint32_t id = 0;  // as in BO_: bit 31 marks an extended id
  std::string name;
  uint32_t size = 8;
  bool j1939 = false;  // marked by its VFrameFormat attribute
  std::vector<DbcSignalShape> signals;
};

// count messages with about eight signals each: standard, extended and
// J1939 ids, classic and CAN FD sizes, Intel and Motorola, signed, scaled,
// IEEE single, multiplexed messages, units beyond ASCII and one that needs
// quoting in a table.
std::vector<DbcMessageShape> dbc_traffic_messages(uint32_t count, uint64_t seed);

// The DBC file that describes the messages.
std::string dbc_traffic_text(const std::vector<DbcMessageShape>& messages);

}  // namespace quarrow::mdfw
