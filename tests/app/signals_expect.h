// The signals table that a plain bit-by-bit decoding of a CAN table's rows
// gives, for the messages of DBC-shaped traffic.

#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "mdfwriter/dbc_traffic.h"

namespace quarrow::test {

using mdfw::DbcMessageShape;

// The raw bits of a signal, or false when the data lacks some. Bit i is bit i % 8 of byte i / 8;
// Motorola fields run from their most significant bit down a byte, on to bit 7 of the next.
inline bool raw_of(const mdfw::DbcSignalShape& s, const std::vector<uint8_t>& data, uint64_t* raw) {
  *raw = 0;
  for (uint32_t i = 0, bit = s.start_bit; i < s.length; ++i) {
    if (bit / 8 >= data.size()) return false;
    const uint64_t b = data[bit / 8] >> (bit % 8) & 1;
    *raw = s.intel ? *raw | b << i : *raw << 1 | b;
    bit = s.intel ? bit + 1 : bit % 8 == 0 ? bit + 15 : bit - 1;
  }
  return true;
}

inline std::string value_of(const mdfw::DbcSignalShape& s, uint64_t raw) {
  auto value = static_cast<int64_t>(raw);
  if (s.is_signed && (raw >> (s.length - 1) & 1)) value -= int64_t{1} << s.length;
  // Generated signals have at most 32 bits: with integral scalings the value is exact.
  auto factor = static_cast<int64_t>(s.factor), offset = static_cast<int64_t>(s.offset);
  if (s.value_type != 1 && s.factor == factor && s.offset == offset) {
    return std::to_string(value * factor + offset);
  }
  double x = s.value_type == 1 ? std::bit_cast<float>(static_cast<uint32_t>(raw))
                               : static_cast<double>(value);
  volatile double product = x * s.factor;  // two roundings
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof(text), product + s.offset).ptr);
}

// The message a frame matches: by id; for J1939 by its parameter group, the id without priority
// and source address.
inline const DbcMessageShape* message_for(const std::vector<DbcMessageShape>& messages, uint32_t id,
                                          bool extended) {
  for (const DbcMessageShape& m : messages) {
    const uint32_t mask = m.j1939 ? 0x3FFFF00 : 0x1FFFFFFF;
    if (extended == (m.id >> 31 == 1) && (m.id & mask) == (id & mask)) return &m;
  }
  return nullptr;
}

// The signals of the CAN table's data frames, decoded bit by bit; of bus `bus` only if not 0.
inline std::string expected_signals(const std::string& can_table,
                                    const std::vector<DbcMessageShape>& messages, int bus = 0) {
  std::string table, row;
  std::stringstream rows(can_table);
  std::getline(rows, row);  // the header
  while (std::getline(rows, row)) {
    std::vector<std::string> f;
    std::stringstream fields(row);
    for (std::string field; std::getline(fields, field, ';');) f.push_back(field);
    if (f[10] == "1" || (bus && std::stoi(f[1]) != bus)) continue;  // remote frames
    const DbcMessageShape* m = message_for(messages, std::stoul(f[2], nullptr, 16), f[3] == "1");
    if (!m) continue;
    std::vector<uint8_t> data;
    for (size_t i = 0; f.size() > 11 && i + 1 < f[11].size(); i += 2) {
      data.push_back(static_cast<uint8_t>(std::stoul(f[11].substr(i, 2), nullptr, 16)));
    }
    int64_t selector = -1;  // the multiplexor's raw value, once read
    for (const mdfw::DbcSignalShape& s : m->signals) {
      uint64_t raw;
      if (!raw_of(s, data, &raw)) continue;
      if (s.mux == -2) selector = static_cast<int64_t>(raw);
      if (s.mux >= 0 && selector != s.mux) continue;
      std::string unit = s.unit.find(';') == std::string::npos ? s.unit : '"' + s.unit + '"';
      table += f[0] + ";" + f[1] + ";" + f[2] + ";" + m->name + ";" + s.name + ";" +
               value_of(s, raw) + ";" + unit + "\n";
    }
  }
  return table.empty() ? "" : "TimestampEpoch;BusChannel;ID;Message;Signal;Value;Unit\n" + table;
}

}  // namespace quarrow::test
