// Whole runs with --dbc: logs of DBC-shaped traffic give the signals table
// that a plain bit-by-bit decoding of their CAN rows gives, beside the CAN
// table, with -j, -O, -d and containers; DBC files that cannot be read stop
// the run before any log.

#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "mdfwriter/container_writer.h"
#include "mdfwriter/dbc_traffic.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;
using mdfw::DbcMessageShape;
using mdfw::DbcSignalShape;

std::vector<std::string> split(const std::string& row) {
  std::vector<std::string> fields;
  std::stringstream stream(row);
  for (std::string field; std::getline(stream, field, ';');) fields.push_back(field);
  return fields;
}

// Bit i of the data in the DBC's numbering: bit i % 8 of byte i / 8.
int bit_at(const std::vector<uint8_t>& data, uint32_t i) {
  return data[i / 8] >> (i % 8) & 1;
}

// The raw bits of a signal, or false when the data does not hold them all.
// Motorola fields run from their most significant bit down a byte and on to
// bit 7 of the next byte.
bool raw_of(const DbcSignalShape& s, const std::vector<uint8_t>& data, uint64_t* raw) {
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

std::string value_of(const DbcSignalShape& s, uint64_t raw) {
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

const DbcMessageShape* message_for(const std::vector<DbcMessageShape>& messages, uint32_t id,
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
std::string expected_signals(const std::string& can_table,
                             const std::vector<DbcMessageShape>& messages, int bus = 0) {
  std::string table;
  std::stringstream rows(can_table);
  std::string row;
  std::getline(rows, row);  // the header
  while (std::getline(rows, row)) {
    std::vector<std::string> f = split(row);
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

struct SignalsCase {
  const char* name;
  std::vector<std::string> options;
  bool compressed = false;
  int bus = 0;  // --dbc N:file
};

class ConvertSignalsTest : public ConvertRunTest {
 protected:
  void SetUp() override {
    // Both decodings see the same messages; the multiplexed ones have a
    // multiplexor first, which the reference relies on.
    messages_ = mdfw::dbc_traffic_messages(40, 5);
    const std::string dbc = mdfw::dbc_traffic_text(messages_);
    write_file(tmp_ / "vehicle.dbc", dbc);
    mdfw::GeneratorOptions generator;
    generator.seed = 11;
    generator.can_messages = messages_;
    generator.out_of_order_percent = 10;
    frames_ = mdfw::generate_frames(3000, generator);
  }

  std::vector<DbcMessageShape> messages_;
  std::vector<mdfw::BusFrame> frames_;
};

TEST_F(ConvertSignalsTest, WritesTheSignalsOfEveryDataFrameBesideItsCanTable) {
  const SignalsCase cases[] = {
      {"plain", {"--dbc", "vehicle.dbc"}},
      {"jobs", {"-j", "2", "--dbc", "vehicle.dbc"}},
      {"compressed, streamed", {"-b", "4096", "--dbc", "vehicle.dbc"}, true},
      {"bus 2 only", {"--dbc", "2:vehicle.dbc"}, false, 2},
      {"output folder, delete", {"-d", "-O", "out", "--dbc", "vehicle.dbc"}},
  };
  mdfw::BusLogOptions layout;
  layout.layout = mdfw::Layout::unsorted;
  const std::vector<uint8_t> bytes = mdfw::write_bus_log(frames_, layout);
  const ExpectedTables tables = expected_tables(frames_, layout);
  for (const SignalsCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tmp_ / "in");
    fs::remove_all(tmp_ / "out");
    fs::create_directories(tmp_ / "out");
    const std::string log = in(c.compressed ? "trip.mfc" : "trip.mf4");
    write_file(log, c.compressed ? mdfw::wrap_compressed(bytes, 10, 5, true, 0) : bytes);
    std::vector<std::string> args = c.options;
    args.push_back(log);
    ProcessResult r = convert(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string base = c.options.front() == "-d" ? tmp_ / "out/trip" : in("trip");
    expect_tables_at(base, tables);
    const std::string signals = expected_signals(tables.can, messages_, c.bus);
    EXPECT_GT(signals.size(), c.bus ? 100000u : 200000u);
    EXPECT_EQ(read_file(base + "_CAN_signals.csv"), signals);
    EXPECT_EQ(file_exists(log), c.options.front() != "-d");
  }
}

TEST_F(ConvertSignalsTest, ADbcFileThatCannotBeReadStopsTheRunBeforeAnyLog) {
  write_file(in("trip.mf4"), mdfw::write_bus_log(frames_, {}));
  write_file(tmp_ / "cut.dbc", mdfw::dbc_traffic_text(messages_).substr(0, 300));
  write_file(tmp_ / "big.dbc", std::string((64 << 20) + 1, ' '));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--dbc", "missing.dbc"}, "Could not read DBC file missing.dbc: the file cannot be opened"},
      // Only digits before the first colon make a bus prefix.
      {{"--dbc", "C:missing.dbc"},
       "Could not read DBC file C:missing.dbc: the file cannot be opened"},
      {{"--dbc", "12:missing.dbc"},
       "Could not read DBC file missing.dbc: the file cannot be opened"},
      {{"--dbc", "vehicle.dbc", "--dbc", "1:big.dbc"},
       "Could not read DBC file big.dbc: larger than 64 MiB"},
      {{"--dbc", "cut.dbc"}, "Could not read DBC file cut.dbc: line "},
  };
  for (const auto& [options, message] : cases) {
    std::vector<std::string> args = options;
    args.push_back(in("trip.mf4"));
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(list_tree(tmp_ / "in"), std::vector<std::string>{"trip.mf4"});
  }
  EXPECT_EQ(convert({"--dbc", "256:vehicle.dbc", in("trip.mf4")}).status, 131);
}

}  // namespace
}  // namespace quarrow::test
