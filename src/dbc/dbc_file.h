#pragma once

#include <cstdint>

#include "core/grow_array.h"
#include "core/sso_string.h"
#include "core/string_view.h"

namespace quarrow {

// How a signal's raw bits are read as a number (SIG_VALTYPE_).
enum DbcValueType : uint8_t {
  DBC_VALUE_INTEGER = 0,
  DBC_VALUE_FLOAT = 1,   // IEEE single, 32 bits
  DBC_VALUE_DOUBLE = 2,  // IEEE double, 64 bits
};

// Raw multiplexor values low..high (inclusive) that select a signal.
struct DbcMuxRange {
  uint64_t low;
  uint64_t high;
};

// One SG_ line as decoding needs it.
struct DbcSignal {
  SsoString name;
  SsoString unit;  // UTF-8
  // As written in the file: the least significant bit for Intel (@1), the
  // most significant for Motorola (@0), numbered bit i of byte i / 8 with
  // bit 0 the least significant of its byte.
  uint32_t start_bit = 0;
  uint32_t length = 0;  // 1..64
  bool little_endian = true;
  bool is_signed = false;
  DbcValueType value_type = DBC_VALUE_INTEGER;
  double factor = 1.0;
  double offset = 0.0;
  uint32_t line = 0;  // of its SG_ statement
  // M, or the M of mNM: its raw value selects other signals.
  bool is_multiplexor = false;
  // Index in the message's signals of the multiplexor that selects this
  // signal; -1 for a signal present in every frame.
  int32_t multiplexor = -1;
  // The multiplexor's raw values that select this signal: the N of mN, or
  // the ranges of its SG_MUL_VAL_ statement, which take precedence.
  GrowArray<DbcMuxRange> selectors;
};

// One BO_ statement with its signals.
struct DbcMessage {
  // As in BO_: bit 31 marks an extended id, the low 29 bits are the id.
  uint32_t id = 0;
  SsoString name;
  uint32_t size = 0;  // declared data bytes
  // Matched by parameter group number (id bits 8..25) instead of the whole
  // id.
  bool j1939 = false;
  uint32_t line = 0;
  // In the order of their SG_ lines, without the ones that were skipped.
  // Multiplexors are never cyclic: following multiplexor from any signal
  // ends at a signal whose multiplexor is -1.
  GrowArray<DbcSignal> signals;
};

// What decoding needs of one DBC file.
struct DbcFile {
  // In file order, without the ones that were skipped.
  GrowArray<DbcMessage> messages;
};

// Reads the text of a DBC file into out. Flaws that decoding can live with
// are logged at LOG_WARN, each naming file_name, the line and the item, and
// the item is skipped or kept as the DBC tools do. Returns false with
// *error set ("line N: what was wrong") when a statement that decoding needs
// cannot be parsed, or when memory is short. Text that is not a DBC file
// (one with a NUL byte, without any statement, or whose first word is no
// DBC keyword) fails with "line N: not a DBC file". Names and units are
// UTF-8: a file that is not valid UTF-8 as a whole is read as Windows-1252.
bool dbc_parse(const char* text, uint64_t size, StringView file_name, DbcFile* out,
               SsoString* error);

}  // namespace quarrow
