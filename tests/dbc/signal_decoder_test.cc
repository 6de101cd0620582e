// Signal extraction and values, with every expected value worked out by
// hand from the bit layout; and the rows of a frame: multiplexing, data
// length, matching by id, bus and J1939 group.

#include "dbc/signal_decoder.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace quarrow {
namespace {

using Bytes = std::vector<uint8_t>;

// Every byte differs, so a field read from the wrong place shows.
Bytes counting(size_t size) {
  const uint8_t head[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
  Bytes bytes(size, 0);
  std::memcpy(bytes.data(), head, sizeof(head));
  return bytes;
}

DbcSignal make_signal(const char* name, uint32_t start, uint32_t length, bool intel,
                      bool is_signed = false, double factor = 1, double offset = 0,
                      DbcValueType type = DBC_VALUE_INTEGER) {
  DbcSignal s;
  s.name.assign(StringView(name));
  s.start_bit = start;
  s.length = length;
  s.little_endian = intel;
  s.is_signed = is_signed;
  s.factor = factor;
  s.offset = offset;
  s.value_type = type;
  return s;
}

std::string value_text(const DbcSignal& signal, const Bytes& data) {
  SignalBits bits;
  if (!signal_bits_locate(signal.start_bit, signal.length, signal.little_endian, &bits)) {
    return "unplaceable";
  }
  if (bits.end_byte > data.size()) return "outside";
  uint8_t padded[72] = {};
  std::memcpy(padded, data.data(), data.size());
  char out[kSignalValueRoom];
  char* end = signal_write_value(out, signal, signal_bits_read(bits, padded));
  return std::string(out, end);
}

TEST(SignalDecoderTest, ExtractsEveryLayoutAndComputesValues) {
  const Bytes eight = counting(8);
  Bytes fd(64, 0);
  fd[55] = 0x80;  // bit 447: just before the last eight bytes
  fd[56] = 0xA5;
  fd[63] = 0x5A;
  Bytes nine = counting(9);
  nine[8] = 0xC3;
  const Bytes float_bytes = {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x20, 0xC1};  // 1.5f, -10.0f
  const Bytes pi_le = {0x18, 0x2D, 0x44, 0x54, 0xFB, 0x21, 0x09, 0x40};
  const Bytes ones(8, 0xFF);
  const Bytes sign_bit = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
  struct Case {
    DbcSignal signal;
    const Bytes& data;
    const char* expected;
  } cases[] = {
      // Intel: the start bit is the least significant.
      {make_signal("byte0", 0, 8, true), eight, "18"},     // 0x12
      {make_signal("nibbles", 4, 8, true), eight, "65"},   // 0x41
      {make_signal("word", 0, 16, true), eight, "13330"},  // 0x3412
      {make_signal("bit1", 1, 1, true), eight, "1"},       // 0x12 = 0b00010010
      {make_signal("bit7", 7, 1, true), eight, "0"},
      {make_signal("across", 12, 12, true), eight, "1379"},                   // 0x563
      {make_signal("all", 0, 64, true), eight, "17356517385562371090"},       // 0xF0DEBC9A78563412
      {make_signal("nine_bytes", 4, 64, true), nine, "4543546850418189121"},  // 0x3F0DEBC9A7856341
      // Motorola: the start bit is the most significant, in the DBC's
      // numbering (bit 7 of byte 0 is start bit 7).
      {make_signal("m_byte0", 7, 8, false), eight, "18"},    // 0x12
      {make_signal("m_word", 7, 16, false), eight, "4660"},  // 0x1234
      {make_signal("m_nibbles", 3, 8, false), eight, "35"},  // 0x23
      {make_signal("m_bit1", 1, 1, false), eight, "1"},
      {make_signal("m_bit0", 0, 1, false), eight, "0"},
      {make_signal("m_across", 11, 12, false), eight, "1110"},             // 0x456
      {make_signal("m_all", 7, 64, false), eight, "1311768467463790320"},  // 0x123456789ABCDEF0
      {make_signal("m_nine_bytes", 3, 64, false), nine,
       "2541551405711093516"},  // 0x23456789ABCDEF0C
      // The last bytes of a 64-byte frame.
      {make_signal("fd_last", 504, 8, true), fd, "90"},  // 0x5A
      {make_signal("m_fd_last", 511, 8, false), fd, "90"},
      {make_signal("fd_tail", 448, 64, true), fd, "6485183463413514405"},      // 0x5A000000000000A5
      {make_signal("m_fd_tail", 455, 64, false), fd, "11889503016258109530"},  // 0xA50000000000005A
      {make_signal("fd_straddle", 447, 9, true), fd, "331"},  // bit 447 set, then 0xA5
      // Signed and scaled.
      {make_signal("minus_one", 0, 8, true, true), ones, "-1"},
      {make_signal("m_minus_one", 7, 12, false, true), ones, "-1"},
      {make_signal("min64", 0, 64, true, true), sign_bit, "-9223372036854775808"},
      {make_signal("max_u64", 0, 64, true), ones, "18446744073709551615"},
      {make_signal("scaled", 0, 8, true, false, 2, -40), eight, "-4"},  // 18 * 2 - 40
      {make_signal("signed_scaled", 0, 8, true, true, -3, 7), ones, "10"},
      // Beyond 64 bits the exact integer gives way to the double, printed in
      // the shorter of the plain and the exponent form.
      {make_signal("too_wide", 0, 64, true, false, 2), ones, "36893488147419103232"},
      {make_signal("too_wide_tiny", 0, 64, true, false, 1e-300), ones, "1.8446744073709552e-281"},
      {make_signal("tenth", 0, 8, true, false, 0.1), eight, "1.8"},
      {make_signal("two_roundings", 0, 2, true, false, 0.1), Bytes{0x03}, "0.30000000000000004"},
      {make_signal("tiny", 1, 1, true, false, 1e-07), eight, "1e-07"},
      {make_signal("half_offset", 0, 1, true, false, 1, 0.5), eight, "0.5"},
      // IEEE values.
      {make_signal("single", 0, 32, true, false, 1, 0, DBC_VALUE_FLOAT), float_bytes, "1.5"},
      {make_signal("single_scaled", 32, 32, true, false, 0.5, 1, DBC_VALUE_FLOAT), float_bytes,
       "-4"},
      {make_signal("double", 0, 64, true, false, 1, 0, DBC_VALUE_DOUBLE), pi_le,
       "3.141592653589793"},
      {make_signal("nan", 0, 64, true, false, 1, 0, DBC_VALUE_DOUBLE), ones, "-nan"},
      // What no frame holds.
      {make_signal("past_data", 56, 16, true), eight, "outside"},
      {make_signal("m_past_data", 63, 9, false), eight, "outside"},
      {make_signal("past_64_bytes", 505, 8, true), fd, "unplaceable"},
      {make_signal("m_past_64_bytes", 504, 2, false), fd, "unplaceable"},
      {make_signal("no_bits", 0, 0, true), eight, "unplaceable"},
      {make_signal("too_many_bits", 0, 65, true), eight, "unplaceable"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(value_text(c.signal, c.data), c.expected) << c.signal.name.c_str();
  }
}

// The fast path for values with few decimals must write what std::to_chars
// writes, for scaled raw values of every common factor and for any double.
TEST(SignalDecoderTest, FormatsDoublesAsToCharsDoes) {
  std::mt19937_64 rng(42);
  const double factors[] = {0.1,     0.01, 0.001,  0.5, 0.25, 0.125, 0.2, 0.05, 1e-4, 1e-5,
                            0.03125, 3.6,  0.0625, 1.5, 100,  1000,  1e5, 1e7,  0.3};
  const double offsets[] = {0, -40, 0.5, -273.15, 1e6, -0.1};
  auto check = [](double value) {
    char fast[kSignalValueRoom], reference[kSignalValueRoom];
    std::string got(fast, signal_format_double(fast, value));
    std::string want(reference, std::to_chars(reference, reference + sizeof(reference), value).ptr);
    return got == want ? std::string() : got + " instead of " + want;
  };
  uint64_t wrong = 0;
  std::string first;
  auto note = [&](const std::string& why) {
    if (!why.empty() && wrong++ == 0) first = why;
  };
  for (int i = 0; i < 300000; ++i) {
    double raw = static_cast<double>(static_cast<int64_t>(rng() >> (rng() % 64)) >> 1);
    note(check(raw * factors[i % std::size(factors)] + offsets[i % std::size(offsets)]));
    uint64_t bits = rng();
    double any;
    std::memcpy(&any, &bits, sizeof(any));
    note(check(any));
  }
  for (double edge : {0.0, -0.0, 1e-4, 9.999e-5, 1e15, 999999999999999.9, 1125899906842624.0,
                      100000.0, 123456.0, 0.1 + 0.2, -1.5, 1e21, 5e-324,
                      // As long with an exponent as without: written without.
                      10000.0, 0.001, 1200000.0, -0.0012}) {
    note(check(edge));
  }
  EXPECT_EQ(wrong, 0u) << first;
}

template <typename... Signals>
DbcMessage make_message(uint32_t id, const char* name, bool j1939, Signals... signals) {
  DbcMessage m;
  m.id = id;
  m.name.assign(StringView(name));
  m.size = 8;
  m.j1939 = j1939;
  (m.signals.append(std::move(signals)), ...);
  return m;
}

DbcSignal selected_by(DbcSignal signal, int32_t multiplexor, uint64_t low, uint64_t high,
                      const char* unit = "") {
  signal.multiplexor = multiplexor;
  signal.selectors.append(DbcMuxRange{low, high});
  signal.unit.assign(StringView(unit));
  return signal;
}

std::string rows_of(const SignalMessage* message, const Bytes& data) {
  if (!message) return "no message";
  std::string out(SignalDecoder::rows_room(*message, 2), '\0');
  uint64_t rows = 0;
  char* end =
      SignalDecoder::write_rows(*message, data.data(), data.size(), "T;", 2, out.data(), &rows);
  out.resize(static_cast<size_t>(end - out.data()));
  return out;
}

TEST(SignalDecoderTest, WritesTheSignalsAFrameHoldsAndItsMultiplexorsSelect) {
  DbcSignal mux = make_signal("Mux", 0, 8, true);
  mux.is_multiplexor = true;
  DbcSignal speed = make_signal("Speed", 8, 16, true, false, 0.5);
  speed.unit.assign(StringView("km/h"));
  DbcFile file;
  file.messages.append(make_message(
      0x123, "Engine", false, std::move(mux), std::move(speed),
      selected_by(make_signal("A", 24, 8, true), 0, 1, 1),
      selected_by(make_signal("B", 24, 8, true, true), 0, 2, 3, "a;\"b\""),
      selected_by(make_signal("C", 32, 8, true), 2, 5, 6), make_signal("Tail", 56, 8, true)));
  SignalDecoder decoder;
  ASSERT_TRUE(decoder.add(&file, -1));
  const struct {
    Bytes data;
    const char* rows;
  } cases[] = {
      {{1, 0x10, 0x00, 5, 9, 0, 0, 7},
       "T;Engine;Mux;1;\nT;Engine;Speed;8;km/h\nT;Engine;A;5;\nT;Engine;C;9;\nT;Engine;Tail;7;\n"},
      // A selects C only with 5 or 6; B by a range; the tail lies beyond
      // the data length.
      {{3, 0x01, 0x00, 0xFF, 9},
       "T;Engine;Mux;3;\nT;Engine;Speed;0.5;km/h\nT;Engine;B;-1;\"a;\"\"b\"\"\"\n"},
      {{1, 0x01, 0x00, 4, 9, 0, 0, 7},
       "T;Engine;Mux;1;\nT;Engine;Speed;0.5;km/h\nT;Engine;A;4;\nT;Engine;Tail;7;\n"},
      // A multiplexor value that selects nothing, and a frame too short for
      // all but the multiplexor.
      {{9, 0, 0, 0, 0, 0, 0, 0}, "T;Engine;Mux;9;\nT;Engine;Speed;0;km/h\nT;Engine;Tail;0;\n"},
      {{1, 0}, "T;Engine;Mux;1;\n"},
      {{}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(rows_of(decoder.find(1, 0x123, false), c.data), c.rows);
}

TEST(SignalDecoderTest, MatchesFramesByBusIdKindAndJ1939Group) {
  // One one-bit signal each, so the rows name the message.
  auto message = [](uint32_t id, const char* name, bool j1939 = false) {
    return make_message(id, name, j1939, make_signal("S", 0, 1, true));
  };
  DbcFile bus2;
  bus2.messages.append(message(0x123, "Bus2Only"));
  DbcFile all;
  for (auto [id, name, j1939] : {std::tuple{0x123u, "Standard", false},
                                 {0x80000123u, "Extended", false},
                                 {0x98FEF1FEu, "Pdu2", true},
                                 {0x98EA23FEu, "Pdu1", true},
                                 {0x7FFu, "Highest", false}}) {
    all.messages.append(message(id, name, j1939));
  }
  SignalDecoder decoder;
  ASSERT_TRUE(decoder.add(&bus2, 2));
  ASSERT_TRUE(decoder.add(&all, -1));
  const struct {
    uint32_t bus;
    uint32_t id;
    bool extended;
    const char* message;
  } cases[] = {
      {2, 0x123, false, "Bus2Only"},
      {1, 0x123, false, "Standard"},
      {2, 0x123, true, "Extended"},
      {1, 0x124, false, nullptr},
      {1, 0x7FF, false, "Highest"},
      {1, 0x7FF, true, nullptr},
      // J1939: priority and source address do not count, the destination
      // of a PDU1 group does.
      {1, 0x0CFEF117, true, "Pdu2"},
      {1, 0x18FEF1FE, false, nullptr},
      {1, 0x1AFEF1FE, true, nullptr},  // the extended data page counts
      {1, 0x18EA2300, true, "Pdu1"},
      {1, 0x18EA2400, true, nullptr},
  };
  for (const auto& c : cases) {
    std::string expected = c.message ? "T;" + std::string(c.message) + ";S;1;\n" : "no message";
    EXPECT_EQ(rows_of(decoder.find(c.bus, c.id, c.extended), {1}), expected) << std::hex << c.id;
  }
}

}  // namespace
}  // namespace quarrow
