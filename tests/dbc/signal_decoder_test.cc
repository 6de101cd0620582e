// Signal values worked out by hand from the bit layout, and the rows of a frame: multiplexing,
// data length, matching by id, bus and J1939 group.

#include "dbc/signal_decoder.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dbc/dbc_file.h"

namespace quarrow {
namespace {

using Bytes = std::vector<uint8_t>;

// "start|length@order sign (factor,offset) type" as the DBC writes a signal, the type 'f' or 'd'
// for IEEE values, then " = " and the value written, or "0x..." for an integer given in hex.
void expect_value(const Bytes& data, const char* spec) {
  DbcSignal s;
  char order = 0, sign = 0, type = 0;
  std::sscanf(spec, "%u|%u@%c%c (%lf,%lf) %c", &s.start_bit, &s.length, &order, &sign, &s.factor,
              &s.offset, &type);
  s.little_endian = order == '1';
  s.is_signed = sign == '-';
  s.value_type = type == 'f' ? DBC_VALUE_FLOAT : type == 'd' ? DBC_VALUE_DOUBLE : DBC_VALUE_INTEGER;
  std::string want = std::strstr(spec, " = ") + 3;
  if (want.rfind("0x", 0) == 0) want = std::to_string(std::stoull(want, nullptr, 16));
  SignalBits bits;
  uint8_t padded[72] = {};
  std::memcpy(padded, data.data(), data.size());
  char out[kSignalValueRoom];
  std::string got =
      !signal_bits_locate(s.start_bit, s.length, s.little_endian, &bits) ? "unplaceable"
      : bits.end_byte > data.size()
          ? "outside"
          : std::string(out, signal_write_value(out, s, signal_bits_read(bits, padded)));
  EXPECT_EQ(got, want) << spec;
}

TEST(SignalDecoderTest, ExtractsEveryLayoutAndComputesValues) {
  const Bytes eight = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};  // a field read wrong shows
  const Bytes nine = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0xC3};
  Bytes fd(64, 0);  // the last eight bytes of a 64-byte frame, and bit 447 before them
  fd[55] = 0x80;
  fd[56] = 0xA5;
  fd[63] = 0x5A;
  const Bytes ieee = {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x20, 0xC1};  // 1.5f, -10.0f
  const Bytes pi = {0x18, 0x2D, 0x44, 0x54, 0xFB, 0x21, 0x09, 0x40}, ones(8, 0xFF);
  const Bytes sign_bit = {0, 0, 0, 0, 0, 0, 0, 0x80}, three = {0x03};
  const std::pair<const Bytes&, std::vector<const char*>> groups[] = {
      {eight,
       {// Intel counts from the least significant bit; Motorola from the most significant, bit 7
        // of byte 0 being start bit 7.
        "0|8@1+ = 0x12", "4|8@1+ = 0x41", "0|16@1+ = 0x3412", "1|1@1+ = 1", "7|1@1+ = 0",
        "12|12@1+ = 0x563", "0|64@1+ = 0xF0DEBC9A78563412", "7|8@0+ = 0x12", "7|16@0+ = 0x1234",
        "3|8@0+ = 0x23", "1|1@0+ = 1", "0|1@0+ = 0", "11|12@0+ = 0x456",
        "7|64@0+ = 0x123456789ABCDEF0",
        // Scaled; then what no frame holds.
        "0|8@1+ (2,-40) = -4", "0|8@1+ (0.1,0) = 1.8", "1|1@1+ (1e-07,0) = 1e-07",
        "0|1@1+ (1,0.5) = 0.5", "56|16@1+ = outside", "63|9@0+ = outside", "0|0@1+ = unplaceable",
        "0|65@1+ = unplaceable"}},
      {nine, {"4|64@1+ = 0x3F0DEBC9A7856341", "3|64@0+ = 0x23456789ABCDEF0C"}},
      {fd,
       {"504|8@1+ = 0x5A", "511|8@0+ = 0x5A", "448|64@1+ = 0x5A000000000000A5",
        "455|64@0+ = 0xA50000000000005A", "447|9@1+ = 0x14B", "505|8@1+ = unplaceable",
        "504|2@0+ = unplaceable"}},
      // Signed and scaled; beyond 64 bits the exact integer gives way to the double, written in
      // the shorter of the plain and the exponent form.
      {ones,
       {"0|8@1- = -1", "7|12@0- = -1", "0|64@1+ = 18446744073709551615", "0|8@1- (-3,7) = 10",
        "0|64@1+ (2,0) = 36893488147419103232", "0|64@1+ (1e-300,0) = 1.8446744073709552e-281",
        "0|64@1+ (1,0) d = -nan"}},
      {sign_bit, {"0|64@1- = -9223372036854775808"}},
      {three, {"0|2@1+ (0.1,0) = 0.30000000000000004"}},  // two roundings
      {ieee, {"0|32@1+ (1,0) f = 1.5", "32|32@1+ (0.5,1) f = -4"}},
      {pi, {"0|64@1+ (1,0) d = 3.141592653589793"}},
  };
  for (const auto& [data, cases] : groups) {
    for (const char* c : cases) expect_value(data, c);
  }
}

// The fast path for values with few decimals must write what std::to_chars writes, for scaled
// raw values of every common factor and for any double.
TEST(SignalDecoderTest, FormatsDoublesAsToCharsDoes) {
  std::mt19937_64 rng(42);
  const double factors[] = {0.1,     0.01, 0.001,  0.5, 0.25, 0.125, 0.2, 0.05, 1e-4, 1e-5,
                            0.03125, 3.6,  0.0625, 1.5, 100,  1000,  1e5, 1e7,  0.3};
  const double offsets[] = {0, -40, 0.5, -273.15, 1e6, -0.1};
  uint64_t wrong = 0;
  std::string first;
  auto check = [&](double value) {
    char fast[kSignalValueRoom], reference[kSignalValueRoom];
    std::string got(fast, signal_format_double(fast, value));
    std::string want(reference, std::to_chars(reference, reference + sizeof(reference), value).ptr);
    if (got != want && wrong++ == 0) first = got + " instead of " + want;
  };
  for (int i = 0; i < 300000; ++i) {
    double raw = static_cast<double>(static_cast<int64_t>(rng() >> (rng() % 64)) >> 1);
    check(raw * factors[i % std::size(factors)] + offsets[i % std::size(offsets)]);
    check(std::bit_cast<double>(rng()));
  }
  for (double edge : {0.0, -0.0, 1e-4, 9.999e-5, 1e15, 999999999999999.9, 1125899906842624.0,
                      100000.0, 123456.0, 0.1 + 0.2, -1.5, 1e21, 5e-324,
                      // As long with an exponent as without: written without.
                      10000.0, 0.001, 1200000.0, -0.0012}) {
    check(edge);
  }
  EXPECT_EQ(wrong, 0u) << first;
}

DbcFile parsed(const std::string& body) {
  DbcFile file;
  SsoString error;
  EXPECT_TRUE(dbc_parse(body.data(), body.size(), "t.dbc", &file, &error)) << error.c_str();
  return file;
}

// The rows of a frame with head "T;", or "no message".
std::string rows_of(const SignalMessage* message, const Bytes& data) {
  if (!message) return "no message";
  std::string out(SignalDecoder::rows_room(*message, 2), '\0');
  uint64_t rows = 0;
  char* end =
      SignalDecoder::write_rows(*message, data.data(), data.size(), "T;", 2, out.data(), &rows);
  out.resize(static_cast<size_t>(end - out.data()));
  return out;
}

// Engine shows multiplexing and the data length; the one-bit messages, which message a frame
// matches by bus, id, kind and J1939 group.
TEST(SignalDecoderTest, WritesTheSignalsOfTheMatchingMessageThatItsMultiplexorsSelect) {
  const std::string v = "VERSION \"\"\n", s = ": 8 A\n SG_ S : 0|1@1+ (1,0) [0|0] \"\"\n";
  DbcFile bus2 = parsed(v + "BO_ 291 Bus2Only" + s);
  DbcFile all = parsed(
      v + "BO_ 256 Engine: 8 A\n SG_ Mux M : 0|8@1+ (1,0) [0|0] \"\"\n" +
      " SG_ Speed : 8|16@1+ (0.5,0) [0|0] \"km/h\"\n SG_ A m1M : 24|8@1+ (1,0) [0|0] \"\"\n" +
      " SG_ B m2 : 24|8@1- (1,0) [0|0] \"a;\\\"b\\\"\"\n SG_ C m5 : 32|8@1+ (1,0) [0|0] \"\"\n" +
      " SG_ Tail : 56|8@1+ (1,0) [0|0] \"\"\nSG_MUL_VAL_ 256 A Mux 1-1;\n" +
      "SG_MUL_VAL_ 256 B Mux 2-3;\nSG_MUL_VAL_ 256 C A 5-6;\nBO_ 291 Standard" + s +
      "BO_ 2147483939 Extended" + s + "BO_ 2566844926 Pdu2" + s + "BO_ 2565481470 Pdu1" + s +
      "BO_ 2047 Highest" + s +
      "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"A\",\"B\",\"C\",\"J1939PG\";\n" +
      "BA_ \"VFrameFormat\" BO_ 2566844926 3;\nBA_ \"VFrameFormat\" BO_ 2565481470 3;\n");
  SignalDecoder decoder;
  ASSERT_TRUE(decoder.add(&bus2, 2));
  ASSERT_TRUE(decoder.add(&all, -1));
  const std::pair<Bytes, const char*> frames[] = {
      {{1, 0x10, 0x00, 5, 9, 0, 0, 7},
       "T;Engine;Mux;1;\nT;Engine;Speed;8;km/h\nT;Engine;A;5;\nT;Engine;C;9;\nT;Engine;Tail;7;\n"},
      // A selects C only with 5 or 6; B by a range; the tail lies beyond the data length.
      {{3, 0x01, 0x00, 0xFF, 9},
       "T;Engine;Mux;3;\nT;Engine;Speed;0.5;km/h\nT;Engine;B;-1;\"a;\"\"b\"\"\"\n"},
      {{1, 0x01, 0x00, 4, 9, 0, 0, 7},
       "T;Engine;Mux;1;\nT;Engine;Speed;0.5;km/h\nT;Engine;A;4;\nT;Engine;Tail;7;\n"},
      // A multiplexor value that selects nothing; a frame too short for all but the multiplexor.
      {{9, 0, 0, 0, 0, 0, 0, 0}, "T;Engine;Mux;9;\nT;Engine;Speed;0;km/h\nT;Engine;Tail;0;\n"},
      {{1, 0}, "T;Engine;Mux;1;\n"},
      {{}, ""},
  };
  for (const auto& [data, rows] : frames) {
    EXPECT_EQ(rows_of(decoder.find(1, 0x100, false), data), rows);
  }
  const std::tuple<uint32_t, uint32_t, bool, const char*> matches[] = {
      {2, 0x123, false, "Bus2Only"},
      {1, 0x123, false, "Standard"},
      {2, 0x123, true, "Extended"},
      {1, 0x124, false, nullptr},
      {1, 0x7FF, false, "Highest"},
      {1, 0x7FF, true, nullptr},
      // J1939: priority and source address do not count, the destination of a PDU1 group does.
      {1, 0x0CFEF117, true, "Pdu2"},
      {1, 0x18FEF1FE, false, nullptr},
      {1, 0x1AFEF1FE, true, nullptr},  // the extended data page counts
      {1, 0x18EA2300, true, "Pdu1"},
      {1, 0x18EA2400, true, nullptr},
  };
  for (const auto& [bus, id, extended, message] : matches) {
    std::string expected = message ? "T;" + std::string(message) + ";S;1;\n" : "no message";
    EXPECT_EQ(rows_of(decoder.find(bus, id, extended), {1}), expected) << std::hex << id;
  }
}

}  // namespace
}  // namespace quarrow
