#pragma once

#include <cstdint>
#include <memory>

#include "core/grow_array.h"
#include "core/hash_map.h"
#include "core/sso_string.h"
#include "dbc/dbc_file.h"

namespace quarrow {

// Where a signal's bits lie in a frame's data, computed once per signal.
struct SignalBits {
  // The field's first bit in reading order, as bits_extract counts it: the
  // least significant for Intel, the most significant for Motorola.
  uint32_t position;
  uint32_t length;    // 1..64
  uint32_t end_byte;  // bytes a frame must hold for the whole field
  bool little_endian;
};

// The bits of a DBC signal, or false when they cannot lie within 64 bytes.
bool signal_bits_locate(uint32_t start_bit, uint32_t length, bool little_endian, SignalBits* bits);

// The field's raw bits, not sign-extended. REQUIRES: 72 readable bytes at
// data (the decoder keeps each frame's bytes in a padded copy, so that a
// field within eight bytes is one load and two shifts).
uint64_t signal_bits_read(const SignalBits& bits, const uint8_t* data);

// Room that one value's text may need.
inline constexpr uint64_t kSignalValueRoom = 32;

// The shortest text that reads back as value, exactly as std::to_chars
// without a precision writes it.
char* signal_format_double(char* out, double value);

// Writes a signal's physical value: for integer signals whose factor and
// offset are integers, the exact integer raw * factor + offset where it fits
// in 64 bits; else double(raw) * factor + offset, printed as the shortest
// text that reads back as the same double. raw holds the field's bits as
// read; the signal's sign and value type decide how they are taken.
char* signal_write_value(char* out, const DbcSignal& signal, uint64_t raw);

// One message as the decoder runs it.
struct SignalMessage;

// Decodes CAN data frames with the DBC files of a run. Built once, then only
// read, so any number of threads may decode with it.
class SignalDecoder {
 public:
  SignalDecoder();
  ~SignalDecoder();
  SignalDecoder(const SignalDecoder&) = delete;
  SignalDecoder& operator=(const SignalDecoder&) = delete;

  // Takes over a file's messages for frames of bus_channel, or of every bus
  // when bus_channel is negative; earlier files are asked first. False when
  // memory is short.
  bool add(DbcFile* file, int bus_channel);

  // The message a frame is decoded with, or null.
  const SignalMessage* find(uint32_t bus_channel, uint32_t id, bool extended) const;

  // Bytes that write_rows may write for the message after a head of
  // head_size bytes per row.
  static uint64_t rows_room(const SignalMessage& message, uint64_t head_size);

  // Writes a row per signal that the frame's data_length bytes hold and its
  // multiplexors select, in the order of the signals: head, then
  // "Message;Signal;Value;Unit" and a line feed. Adds the rows to *rows.
  // REQUIRES: rows_room bytes at out.
  static char* write_rows(const SignalMessage& message, const uint8_t* data, uint64_t data_length,
                          const char* head, uint64_t head_size, char* out, uint64_t* rows);

 private:
  struct Database;
  GrowArray<Database*> databases_;
};

}  // namespace quarrow
