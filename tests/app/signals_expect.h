// The signals table that a plain bit-by-bit decoding of a CAN table's rows
// gives, for the messages of DBC-shaped traffic.

#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "mdfwriter/dbc_traffic.h"

namespace quarrow::test {

using mdfw::DbcMessageShape;
using mdfw::DbcSignalShape;

inline std::vector<std::string> split_row(const std::string& row) {
  std::vector<std::string> fields;
  std::stringstream stream(row);
  for (std::string field; std::getline(stream, field, ';');) fields.push_back(field);
  return fields;
}

// Bit i of the data in the DBC's numbering: bit i % 8 of byte i / 8.
inline int bit_at(const std::vector<uint8_t>& data, uint32_t i) {
  return data[i / 8] >> (i % 8) & 1;
}

// The raw bits of a signal, or false when the data does not hold them all.
// Motorola fields run from their most significant bit down a byte and on to
// bit 7 of the next byte.
inline bool raw_of(const DbcSignalShape& s, const std::vector<uint8_t>& data, uint64_t* raw) {
  *raw = 0;
  uint32_t bit = s.start_bit;
  for (uint32_t i = 0; i < s.length; ++i) {
    if (bit / 8 >= data.size()) return false;
    if (s.intel) {
      *raw |= static_cast<uint64_t>(bit_at(data, bit)) << i;
      ++bit;
    } else {
      *raw = *raw << 1 | static_cast<uint64_t>(bit_at(data, bit));
      bit = bit % 8 == 0 ? bit + 15 : bit - 1;
    }
  }
  return true;
}

inline std::string value_of(const DbcSignalShape& s, uint64_t raw) {
  char text[64];
  double x;
  if (s.value_type == 1) {
    auto bits = static_cast<uint32_t>(raw);
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    x = f;
  } else {
    bool negative = s.is_signed && (raw >> (s.length - 1) & 1);
    int64_t value =
        negative ? static_cast<int64_t>(raw) - (int64_t{1} << s.length) : static_cast<int64_t>(raw);
    // The generated signals are at most 32 bits wide with small integral
    // scalings, so the exact value fits.
    if (s.factor == static_cast<int64_t>(s.factor) && s.offset == static_cast<int64_t>(s.offset)) {
      return std::to_string(value * static_cast<int64_t>(s.factor) +
                            static_cast<int64_t>(s.offset));
    }
    x = static_cast<double>(value);
  }
  volatile double product = x * s.factor;  // two roundings
  return std::string(text, std::to_chars(text, text + sizeof(text), product + s.offset).ptr);
}

inline const DbcMessageShape* message_for(const std::vector<DbcMessageShape>& messages, uint32_t id,
                                          bool extended) {
  for (const DbcMessageShape& m : messages) {
    if (!extended && m.id == id) return &m;
    if (extended && m.id >> 31 &&
        (m.j1939 ? (m.id >> 8 & 0x3FFFF) == (id >> 8 & 0x3FFFF) : (m.id & 0x1FFFFFFF) == id)) {
      return &m;
    }
  }
  return nullptr;
}

// The signals table that the CAN table's data frames give, decoded bit by
// bit; only frames of bus channel `bus` when it is not 0.
inline std::string expected_signals(const std::string& can_table,
                                    const std::vector<DbcMessageShape>& messages, int bus = 0) {
  std::string table;
  std::stringstream rows(can_table);
  std::string row;
  std::getline(rows, row);  // the header
  while (std::getline(rows, row)) {
    std::vector<std::string> f = split_row(row);
    if (f[10] == "1" || (bus && std::stoi(f[1]) != bus)) continue;  // remote frames
    const DbcMessageShape* m = message_for(messages, std::stoul(f[2], nullptr, 16), f[3] == "1");
    if (!m) continue;
    std::vector<uint8_t> data;
    const std::string hex = f.size() > 11 ? f[11] : "";
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      data.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    uint64_t selector = 0;
    bool has_selector = false;
    for (const DbcSignalShape& s : m->signals) {
      uint64_t raw;
      if (!raw_of(s, data, &raw)) continue;
      if (s.mux == -2) {
        selector = raw;
        has_selector = true;
      }
      if (s.mux >= 0 && (!has_selector || selector != static_cast<uint64_t>(s.mux))) continue;
      std::string unit = s.unit.find(';') == std::string::npos ? s.unit : '"' + s.unit + '"';
      table += f[0] + ";" + f[1] + ";" + f[2] + ";" + m->name + ";" + s.name + ";" +
               value_of(s, raw) + ";" + unit + "\n";
    }
  }
  return table.empty() ? "" : "TimestampEpoch;BusChannel;ID;Message;Signal;Value;Unit\n" + table;
}

}  // namespace quarrow::test
